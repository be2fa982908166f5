// JsonReply.h - machine-readable listings: one JSON document per reply, written with the
// nlohmann JSON library (escaping, numbers and structure are its job, not ours).
//
// Names and mail values are bytes. JSON text must be UTF-8, so every string goes through
// JsonText: valid UTF-8 stays, any other byte becomes the character U+00XX of its value.
// The document is written with every non-ASCII character as a \u escape, so such a byte
// reads "\u00XX" on the wire and the whole reply is plain ASCII.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

class CSocketStream;

std::string JsonText(std::string_view bytes);

// The document as the reply body: dumped, with a final "\n".
std::string JsonBody(const nlohmann::ordered_json& document);
// The 200 header ("application/json", Content-length) and the body.
void WriteJsonBody(CSocketStream& out, const std::string& body);
void WriteJsonReply(CSocketStream& out, const nlohmann::ordered_json& document);
