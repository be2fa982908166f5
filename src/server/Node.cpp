// Node.cpp - the children list, lookups, paths, labels and URLs of CNode.
#include "server/Node.h"

#include <set>

#include "server/HTEscape.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace {

constexpr std::size_t kUrlTextLimit = 1000;
constexpr std::size_t kListNameColumns = 40;

}  // namespace

// One entry per child: its group (had children when added) and the node for its name.
struct CNode::CChildIndex {
    struct Entry {
        bool m_isLeaf;  // group 1: had no children when added
        std::string_view m_name;
        CNode* m_node;
    };
    struct Before {
        using is_transparent = void;
        bool operator()(const Entry& a, const Entry& b) const {
            if (a.m_isLeaf != b.m_isLeaf) return !a.m_isLeaf;
            return CompareIgnoringCase(a.m_name, b.m_name) < 0;
        }
    };
    std::multiset<Entry, Before> m_entries;
};

const std::shared_ptr<const COptions>& CNode::DefaultOptions() {
    static const std::shared_ptr<const COptions> defaults = std::make_shared<const COptions>();
    return defaults;
}

CNode::CNode() : m_options(DefaultOptions()) {}

CNode::~CNode() {
    // Iterative over siblings; recursion only goes as deep as the tree.
    for (CNode* child = m_firstChild; child;) {
        CNode* next = child->m_next;
        delete child;
        child = next;
    }
}

void CNode::AddChild(std::unique_ptr<CNode> owned) {
    CNode* child = owned.release();
    if (!m_index) m_index = std::make_unique<CChildIndex>();
    CChildIndex::Entry entry{!child->HasChildren(), child->m_name, child};
    // lower_bound as the hint: the new child goes before every equal one.
    auto position = m_index->m_entries.lower_bound(entry);
    auto inserted = m_index->m_entries.insert(position, entry);
    auto after = std::next(inserted);
    CNode* successor = after == m_index->m_entries.end() ? nullptr : after->m_node;

    child->m_parent = this;
    child->m_next = successor;
    child->m_prev = successor ? successor->m_prev : m_lastChild;
    if (child->m_prev) {
        child->m_prev->m_next = child;
    } else {
        m_firstChild = child;
    }
    if (successor) {
        successor->m_prev = child;
    } else {
        m_lastChild = child;
    }
    ++m_childCount;
}

CNode* CNode::FindChild(std::string_view name) const {
    if (!m_index) return nullptr;
    for (bool isLeaf : {false, true}) {
        auto found = m_index->m_entries.lower_bound(CChildIndex::Entry{isLeaf, name, nullptr});
        if (found != m_index->m_entries.end() && found->m_isLeaf == isLeaf &&
            EqualsIgnoringCase(found->m_name, name)) {
            return found->m_node;
        }
    }
    return nullptr;
}

CNode* CNode::FirstChild() const {
    return m_firstChild;
}

bool CNode::HasChildren() const {
    return FirstChild() != nullptr;
}

std::string CNode::GetPath() const {
    std::string path = m_parent ? m_parent->GetPath() + m_name : std::string();
    if (HasChildren()) path += '/';
    return path;
}

std::string CNode::GetLabel(std::string_view prefix) const {
    if (!m_label.empty()) return m_label;
    std::string label(prefix);
    label += m_name;
    return label;
}

CNode* CNode::FindModel(std::string_view name, const CNode* folder) const {
    if (CNode* own = FindChild(name)) return own;
    return folder ? folder->FindChild(name) : nullptr;
}

void CNode::WriteListEntry(CSocketStream& out) {
    std::string_view shown(m_name);
    if (shown.size() > kListNameColumns) shown = shown.substr(0, kListNameColumns);
    out << "<A HREF=\"" << WriteUrl(this) << "\">" << EscapeLessThan(shown) << "</A>";
    out << std::string(kListNameColumns - shown.size(), ' ');
}

void CNode::Reply(CSocketStream&) {}

void CNode::ReplyScene(CSocketStream& out) {
    Reply(out);
}

void CNode::WriteSceneObject(CSocketStream&, std::int64_t) {}

std::string NodeUrl(const CNode& node, const COptions* requestOptions) {
    auto escapedCut = [](std::string_view raw) {
        return HTEscape(raw.substr(0, std::min(raw.size(), kUrlTextLimit)));
    };
    if (const CNode* parent = node.m_parent; parent && !parent->Options().m_redirect.empty()) {
        return parent->Options().m_redirect + escapedCut(node.m_name);
    }
    std::string url;
    if (requestOptions && requestOptions->m_viewAs == COptions::EView::kScene) {
        std::string host = g_state.GetHostName();
        // A literal IPv6 address needs its brackets, or its colons read as a port.
        bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
        url = "http://" + (ipv6 ? "[" + host + "]" : host);
        if (g_state.m_httpPort != 80) url += ":" + std::to_string(g_state.m_httpPort);
    }
    url += escapedCut(node.GetPath());
    return url;
}

CSocketStream& operator<<(CSocketStream& out, WriteUrl url) {
    return out << NodeUrl(*url.m_node, out.m_options);
}
