// Node.h - CNode, the base of everything the server publishes: the children list (kept in the
// listing order), the node's options, name and label, and the virtual operations through
// which a request is answered. Also WriteUrl, the link to a node in pages and scenes.
//
// Children order: first every child that had children when it was added, then the rest; each
// group by name compared after A-Z -> a-z as unsigned bytes; a child whose name equals an
// existing one's goes before it. Stored as an intrusive doubly linked list (m_firstChild ..
// m_next) plus an ordered index, so a folder of n entries is built in O(n log n) and FindChild
// is a binary search. Nodes are never removed while the server runs.
//
// Child access (FindChild, FirstChild, HasChildren) is virtual: a mailbox guards its children
// with its own lock. Sibling links (m_next) of a published child never change afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "server/Options.h"
#include "text/AsciiText.h"

class CSocketStream;

class CNode {
  public:
    CNode();
    virtual ~CNode();  // deletes the children, first to last
    CNode(const CNode&) = delete;
    CNode& operator=(const CNode&) = delete;

    // --- the tree ---
    // Takes ownership; inserts at the sorted place, sets m_parent, counts it. Cannot fail.
    void AddChild(std::unique_ptr<CNode> child);
    // The first child (in list order) whose name equals `name` ignoring A-Z case; null if none.
    virtual CNode* FindChild(std::string_view name) const;
    virtual CNode* FirstChild() const;
    virtual bool HasChildren() const;
    CNode* Next() const { return m_next; }
    CNode* Prev() const { return m_prev; }
    CNode* Parent() const { return m_parent; }

    // Path from the root: parent's path + name, "/" appended when the node has children.
    std::string GetPath() const;
    // m_label when set, else prefix + m_name.
    std::string GetLabel(std::string_view prefix) const;
    const COptions& Options() const { return *m_options; }
    // Scene model lookup: this node's child of that name, else `folder`'s, else null.
    CNode* FindModel(std::string_view name, const CNode* folder) const;

    // --- rendering: each node kind overrides what it answers ---
    // Base: "<A HREF=\"" url "\">" + first 40 bytes of the name (with "<" as "&lt;") + "</A>"
    // + spaces up to 40 columns (counted on the name bytes shown).
    virtual void WriteListEntry(CSocketStream& out);
    virtual void Reply(CSocketStream& out);                                 // base: writes nothing
    virtual void ReplyScene(CSocketStream& out);                            // base: Reply
    virtual void WriteSceneObject(CSocketStream& out, std::int64_t scale);  // base: nothing

    // Fields, as the rest of the server reads them. Links are written only by AddChild and by
    // a mailbox adding messages; a node owns its children through them.
    CNode* m_firstChild = nullptr;
    CNode* m_lastChild = nullptr;
    CNode* m_next = nullptr;
    CNode* m_prev = nullptr;
    CNode* m_parent = nullptr;
    std::shared_ptr<const COptions> m_options;  // shared defaults unless the node has its own
    std::string m_name;
    std::string m_label;
    int m_childCount = 0;
    std::atomic<std::int64_t> m_size{0};  // 64 bits; a folder's is its whole subtree's

    // The one record of defaults that nodes without options of their own share.
    static const std::shared_ptr<const COptions>& DefaultOptions();

  private:
    struct CChildIndex;
    std::unique_ptr<CChildIndex> m_index;  // created by the first AddChild
};

// Stream insertion of a node's URL: `out << "<A HREF=\"" << WriteUrl(node) << "\">"`.
// The parent's `redirect` prefix + escaped name; else, in scenes (request option page 0),
// "http://" host [":" port unless 80]; then the escaped GetPath. The raw name or path is cut
// at 1000 bytes before it is escaped, so an escape is never split.
struct WriteUrl {
    explicit WriteUrl(const CNode* node) : m_node(node) {}
    const CNode* m_node;
};
CSocketStream& operator<<(CSocketStream& out, WriteUrl url);
// The same URL as a string, for the given request options (null: defaults, page mode).
std::string NodeUrl(const CNode& node, const COptions* requestOptions);
