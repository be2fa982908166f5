// RunServer.cpp - the life of the server: scan, listen, wait for the stop, tear down.
#include "server/RunServer.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "server/AccessLog.h"
#include "platform/BindAddress.h"
#include "server/FolderNode.h"
#include "server/Listener.h"
#include "server/MimeTypes.h"
#include "server/ServerState.h"

namespace {

constexpr int kMaxWorkers = 1000;  // `clients` beyond this would only exhaust threads
// Standard streams, the two listeners, the mail worker's socket and spool, the resolver.
constexpr long kReservedDescriptors = 16;
// A worker blocked in accept already holds a descriptor number (the kernel reserves the new
// socket's slot before it waits), and its reply opens one more for a file or a spool.
constexpr long kDescriptorsPerWorker = 2;

// Every published folder keeps its directory open (FolderNode.h): let a large tree have
// what the hard limit allows rather than lose folders to the soft one.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// The workers the descriptor limit can carry: a larger pool would leave no descriptor for
// any file while its idle workers wait in accept, so every file would answer 404.
int AffordableWorkers(int wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
    long budget =
        (static_cast<long>(limit.rlim_cur) - kReservedDescriptors) / kDescriptorsPerWorker;
    if (budget >= wanted) return wanted;
    int workers = static_cast<int>(std::max(1L, budget));
    std::fprintf(stderr, "%d clients requested, %d served at once: the descriptor limit is %ld\n",
                 wanted, workers, static_cast<long>(limit.rlim_cur));
    return workers;
}

}  // namespace

void RunServer() {
    RaiseDescriptorLimit();
    g_state.m_root = std::make_unique<CFolderNode>(".");
    const COptions& rootOptions = g_state.m_root->Options();
    LoadSystemTypesIfAsked(rootOptions);
    OpenAccessLog(rootOptions.m_accessLog);
    SetListenAddress(rootOptions.m_listen);
    g_state.m_admins.Clear();
    for (const std::string& bad : g_state.m_admins.Add(rootOptions.m_admin)) {
        std::fprintf(stderr, "admin %s is not an address or prefix, ignored\n", bad.c_str());
    }

    auto http = std::make_unique<CHttpListener>();
    CHttpConnection::CSettings settings;
    settings.m_readTimeout = rootOptions.m_timeout;
    http->SetConnectionSettings(settings);
    g_state.m_httpListener = std::move(http);
    if (g_state.m_topicsFolder && g_state.m_makeSmtpListener) {
        g_state.m_smtpListener = g_state.m_makeSmtpListener();
    }

    if (g_state.m_httpListener->IsValid()) {
        g_state.m_httpPort = rootOptions.m_port;
        g_state.m_smtpPort = rootOptions.m_smtpPort;
        CListener* failed = nullptr;
        if (!g_state.m_httpListener->Listen(
                g_state.m_httpPort,
                AffordableWorkers(std::clamp(rootOptions.m_clients, 1, kMaxWorkers)))) {
            failed = g_state.m_httpListener.get();
        } else if (g_state.m_smtpListener && g_state.m_smtpListener->IsValid() &&
                   !g_state.m_smtpListener->Listen(
                       g_state.m_smtpPort, std::clamp(rootOptions.m_smtpClients, 1, kMaxWorkers))) {
            failed = g_state.m_smtpListener.get();
        }
        if (!failed) {
            if (g_state.m_reportRunning) g_state.m_reportRunning();
            g_state.m_stopEvent.Wait();
        } else {
            // A server that cannot have its port serves nothing: end instead of waiting.
            g_state.m_startError = failed->Error();
        }
    }

    // Listeners join their workers before they go, so no request still reads the tree.
    g_state.m_smtpListener.reset();
    g_state.m_httpListener.reset();
    g_state.m_topicsFolder = g_state.m_modelsFolder = g_state.m_iconsFolder = nullptr;
    g_state.m_root.reset();
    CloseAccessLog();
}

void StopServer() {
    g_state.m_stopEvent.Set();
}
