// ServerState.h - the one process-wide record: the tree, the listeners, the stop event, and
// the values that query keywords may change for every later request.
//
// Written only on the start-up thread before any worker runs: m_root, the listeners,
// m_httpPort, m_smtpPort, the topics/models/icons folders, the factories.
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

#include "Server/AddressList.h"
#include "Server/Node.h"
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

class ServerState {
  public:
    static constexpr int kTypeTableSize = 300;
    static constexpr int kCartSlots = 10;
    static constexpr int kMaxDelayMs = 5000;

    // --- tree and listeners (start-up thread only) ---
    std::unique_ptr<CFolderNode> m_root;
    std::unique_ptr<CListener> m_httpListener;
    std::unique_ptr<CListener> m_smtpListener;
    CAutoResetEvent m_stopEvent;
    int m_httpPort = 80;
    int m_smtpPort = 25;
    CFolderNode* m_topicsFolder = nullptr;  // not owned: nodes of m_root's tree
    CFolderNode* m_modelsFolder = nullptr;
    CFolderNode* m_iconsFolder = nullptr;
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
