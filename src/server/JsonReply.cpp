// JsonReply.cpp - writing one JSON document as a reply.
#include "server/JsonReply.h"

#include <ctime>

#include "server/HttpHeader.h"
#include "server/SocketStream.h"
#include "server/Utf8.h"

std::string JsonText(std::string_view bytes) {
    return Utf8OrLatin1(bytes);
}

std::string JsonBody(const nlohmann::ordered_json& document) {
    // Every string went through JsonText, so dump() meets no invalid UTF-8 and cannot throw.
    std::string body = document.dump(-1, ' ', /*ensure_ascii=*/true);
    body += '\n';
    return body;
}

void WriteJsonBody(CSocketStream& out, const std::string& body) {
    WriteHttpHeader(out, "application/json", std::time(nullptr),
                    static_cast<std::int64_t>(body.size()));
    out << body;
}

void WriteJsonReply(CSocketStream& out, const nlohmann::ordered_json& document) {
    WriteJsonBody(out, JsonBody(document));
}
