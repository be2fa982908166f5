// FileNode.cpp - construction, kind key, content type and disk path of a file node.
#include "server/FileNode.h"

#include "server/FolderNode.h"
#include "server/MimeTypes.h"
#include "server/ServerState.h"
#include "platform/DirectoryEnum.h"
#include "text/AsciiText.h"

CFileNode::CFileNode() {
    std::time_t now = std::time(nullptr);
    m_accessTime = m_modifiedTime = m_createdTime = now;
}

CFileNode::CFileNode(const CFindData& entry) {
    m_name = entry.m_name;
    m_size = entry.m_size;
    m_accessTime = entry.m_accessTime;
    m_modifiedTime = entry.m_writeTime;
    m_createdTime = entry.m_creationTime;
    m_device = entry.m_device;
    m_inode = entry.m_inode;
    m_scannedLink = entry.m_isSymlink;
}

std::string CFileNode::GetKind() const {
    if (HasChildren()) return "Folder";
    std::size_t dot = m_name.rfind('.');
    std::string kind =
        ToAsciiLower(dot == std::string::npos ? std::string_view(m_name)
                                              : std::string_view(m_name).substr(dot + 1));
    return kind.empty() ? "Default" : kind;
}

std::string CFileNode::GetContentType() const {
    std::string kind = GetKind();
    std::string type = g_state.LookupType(kind);
    // Kinds the site's `type` lines leave out take the system's type (root `mimetypes`).
    return type.empty() ? LookupSystemType(kind) : type;
}

std::string CFileNode::DiskPath() const {
    const auto* folder = dynamic_cast<const CFolderNode*>(m_parent);
    return (folder ? folder->m_dirPath : std::string()) + m_name;
}
