// VrmlText.h - text written inside quoted strings of a VRML world.
//
// Names, labels and descriptions come from the disk and from vantrel.cfg; a '"' or '\' in
// them would end the string early and break the whole world, so both get a backslash.
#pragma once

#include <string>
#include <string_view>

class CNode;
class CSocketStream;

// The text with every '"' and '\' preceded by a backslash; nothing else changes.
std::string VrmlEscape(std::string_view text);

// Stream insertion of a node's URL inside a quoted VRML string: WriteUrl's text, escaped as
// above. Escaped URL paths hold neither byte; only an operator's `redirect` prefix could.
struct WriteVrmlUrl {
    explicit WriteVrmlUrl(const CNode* node) : m_node(node) {}
    const CNode* m_node;
};
CSocketStream& operator<<(CSocketStream& out, WriteVrmlUrl url);
