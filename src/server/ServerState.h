// ServerState.h - the one process-wide record: the tree, the listeners, the stop event, and
// the values that query keywords may change for every later request.
//
// Written only on the start-up thread before any worker runs: the listeners, m_httpPort,
// m_smtpPort, the factories. The tree (m_root and the topics/models/icons folders) is one
// snapshot that a reload replaces whole (SiteTree below).
// Shared with workers and guarded (TSan-clean): host name, delay, type table, cart (Cart.h),
// log switch; the request log is written under m_logLock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "server/AddressList.h"
#include "server/Node.h"
#include "platform/AutoResetEvent.h"
#include "text/AsciiText.h"

class CFolderNode;
class CListener;
struct CFindData;
struct CScanContext;
struct CCatalogueItem;

// The child of the icons folder with that name (ignoring case); null when there is no icons
// folder or no such icon.
const CNode* FindIcon(std::string_view name);

struct CCartSlot {
    const CCatalogueItem* m_item = nullptr;  // free when none
    int m_quantity = 0;
};

// One published tree: the root folder and the special folders its scan found. A reload builds
// a new one and swaps it in whole; requests in progress keep theirs until they end.
struct CSiteTree {
    CSiteTree();
    ~CSiteTree();
    std::unique_ptr<CFolderNode> m_root;
    CFolderNode* m_topics = nullptr;
    CFolderNode* m_models = nullptr;
    CFolderNode* m_icons = nullptr;
};

// The tree a thread sees: the one it is building (a reload's scan), else the one it pinned. A
// request pins at dispatch: `get()` is the dispatcher's call, taken once as a request starts
// walking its path; every other reader (`->`, the special folders) reads the same tree through
// the rest of that request. A thread that reads without having pinned pins the published tree.
namespace SiteTree {
std::shared_ptr<CSiteTree> Published();
void Publish(std::shared_ptr<CSiteTree> tree);
CSiteTree& Active();
// The calling thread's scan writes its special folders into `tree` (null: back to normal).
void SetBuilding(CSiteTree* tree);
// The calling thread reads the published tree from now on (the mail side, under
// m_deliveryLock, before each lookup).
void PinPublished();
// The calling thread lets go of the tree it pinned.
void Unpin();
}  // namespace SiteTree

// The root as ServerState has always shown it (a unique_ptr's interface), over the snapshots.
class CSiteRoot {
  public:
    // Pins the published tree for the calling thread's request and returns its root.
    CFolderNode* get() const;
    CFolderNode* operator->() const { return SiteTree::Active().m_root.get(); }
    CFolderNode& operator*() const { return *SiteTree::Active().m_root; }
    explicit operator bool() const { return SiteTree::Active().m_root != nullptr; }
    // Start-up and tests: publishes a tree with this root and the special folders its scan
    // just recorded; the old tree goes when its last request ends.
    CSiteRoot& operator=(std::unique_ptr<CFolderNode> root);
    void reset();
};

// One special folder of the active tree, read and written like the plain pointer it was.
class CSiteFolder {
  public:
    explicit CSiteFolder(CFolderNode* CSiteTree::*member) : m_member(member) {}
    operator CFolderNode*() const { return SiteTree::Active().*m_member; }
    CFolderNode* operator->() const { return SiteTree::Active().*m_member; }
    CSiteFolder& operator=(CFolderNode* folder) {
        SiteTree::Active().*m_member = folder;
        return *this;
    }
    CSiteFolder& operator=(const CSiteFolder& other) {
        return *this = static_cast<CFolderNode*>(other);
    }

  private:
    CFolderNode* CSiteTree::*m_member;
};

class ServerState {
  public:
    static constexpr int kTypeTableSize = 300;
    static constexpr int kCartSlots = 10;
    static constexpr int kMaxDelayMs = 5000;

    // --- the tree (see CSiteRoot) and the listeners (start-up thread only) ---
    CSiteRoot m_root;
    std::unique_ptr<CListener> m_httpListener;
    std::unique_ptr<CListener> m_smtpListener;
    CAutoResetEvent m_stopEvent;
    int m_httpPort = 80;
    int m_smtpPort = 25;
    CSiteFolder m_topicsFolder{&CSiteTree::m_topics};  // not owned: nodes of m_root's tree
    CSiteFolder m_modelsFolder{&CSiteTree::m_models};
    CSiteFolder m_iconsFolder{&CSiteTree::m_icons};
    // Held shared while mail is looked up and stored, exclusive while a reload scans and swaps
    // the tree: mail stored before the swap is in the spools the new tree reads, mail after it
    // goes to the new tree's mailboxes.
    std::shared_mutex m_deliveryLock;
    CNode m_userList;       // children are CUserNode records; empty unless a caller fills it
    CAddressList m_admins;  // root `admin`: whose queries change the values below

    // Factories through which mail and smtp plug into the core (registered by main()).
    // A mailbox is built for every subfolder of the topics folder; null factory = plain folder.
    std::function<std::unique_ptr<CFolderNode>(CFolderNode* parent, const CFindData& entry,
                                               CScanContext& context)>
        m_makeMailbox;
    std::function<std::unique_ptr<CListener>()> m_makeSmtpListener;
    // Called by RunServer once it listens, before it waits: the service host reports running.
    std::function<void()> m_reportRunning;
    // Set by RunServer when a listener could not have its port (the errno): the process then
    // ends with exit code 1 instead of serving nothing.
    std::atomic<int> m_startError{0};

    // --- request log ---
    std::atomic<int> m_logRequests{0};
    std::mutex m_logLock;  // held while one group of log lines is written

    // --- values any request may change (thread-safe accessors) ---
    std::string GetHostName() const;
    // Ignores an empty or implausible name (only letters, digits, "-", ".", ":", "[", "]"):
    // the name is written into every scene and page.
    void SetHostName(std::string name);
    // Only when still empty: the listener's "localhost" lookup.
    void SetHostNameIfEmpty(std::string name);
    int GetDelay() const { return m_delay.load(std::memory_order_relaxed); }
    void SetDelay(int milliseconds);  // clamped to 0..kMaxDelayMs

    // Type table: entries are only appended; a 301st is ignored.
    void AddType(std::string key, std::string type);
    // The MIME type of the first entry whose key equals `kind` exactly; empty when none.
    std::string LookupType(std::string_view kind) const;
    int TypeCount() const;

    // Cart (Cart.cpp): the first free slot takes the item; false when all are taken.
    bool AddToCartSlots(const CCatalogueItem* item, int quantity);
    std::vector<CCartSlot> CartSnapshot() const;

    // Back to the zero-initialised state (tests; RunServer's teardown leaves the rest).
    void ResetForTests();

  private:
    mutable std::mutex m_hostLock;
    std::string m_hostName;  // guarded by m_hostLock
    std::atomic<int> m_delay{0};
    mutable std::shared_mutex m_typeLock;
    std::vector<std::pair<std::string, std::string>> m_typeTable;  // guarded by m_typeLock
    mutable std::mutex m_cartLock;
    CCartSlot m_cart[kCartSlots];  // guarded by m_cartLock
};

extern ServerState g_state;

// Writes one group of request-log lines to standard output under m_logLock, if the log is on:
// "[" thread-id "] " + first, then each continuation line as it is; every line ends with "\n"
// and the group is flushed at once, so groups of different workers never interleave.
void LogLines(unsigned threadId, std::string_view first,
              std::initializer_list<std::string_view> continuation = {});
