// VrmlText.cpp - escaping of text inside quoted VRML strings.
#include "publish/VrmlText.h"

#include "server/Node.h"
#include "server/SocketStream.h"

std::string VrmlEscape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '"' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

CSocketStream& operator<<(CSocketStream& out, WriteVrmlUrl url) {
    return out << VrmlEscape(NodeUrl(*url.m_node, out.m_options));
}
