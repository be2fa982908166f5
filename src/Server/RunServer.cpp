// RunServer.cpp - the life of the server: scan, listen, wait for the stop, tear down.
#include "Server/RunServer.h"

#include <algorithm>

#include "Server/FolderNode.h"
#include "Server/Listener.h"
#include "Server/ServerState.h"

namespace {

constexpr int kMaxWorkers = 1000;  // `clients` beyond this would only exhaust threads
constexpr int kWriteTimeoutSeconds = 60;

}  // namespace

void RunServer() {
    g_state.m_root = std::make_unique<CFolderNode>(".");
    const COptions& rootOptions = g_state.m_root->Options();

    auto http = std::make_unique<CHttpListener>();
    CHttpConnection::CSettings settings;
    settings.m_readTimeout = rootOptions.m_timeout;
    settings.m_writeTimeout = kWriteTimeoutSeconds;
    http->SetConnectionSettings(settings);
    g_state.m_httpListener = std::move(http);
    if (g_state.m_topicsFolder && g_state.m_makeSmtpListener) {
        g_state.m_smtpListener = g_state.m_makeSmtpListener();
    }

    if (g_state.m_httpListener->IsValid()) {
        g_state.m_httpPort = rootOptions.m_port;
        g_state.m_smtpPort = rootOptions.m_smtpPort;
        g_state.m_httpListener->Listen(g_state.m_httpPort,
                                       std::clamp(rootOptions.m_clients, 1, kMaxWorkers));
        if (g_state.m_smtpListener && g_state.m_smtpListener->IsValid()) {
            g_state.m_smtpListener->Listen(g_state.m_smtpPort, 1);
        }
        if (g_state.m_reportRunning) g_state.m_reportRunning();
        g_state.m_stopEvent.Wait();
    }

    // Listeners join their workers before they go, so no request still reads the tree.
    g_state.m_smtpListener.reset();
    g_state.m_httpListener.reset();
    g_state.m_topicsFolder = g_state.m_modelsFolder = g_state.m_iconsFolder = nullptr;
    g_state.m_root.reset();
}

void StopServer() {
    g_state.m_stopEvent.Set();
}
