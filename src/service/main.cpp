// main.cpp - the program entry: wires the real service manager, event log and signals to the
// service host, which reads the command line and runs the server in the chosen mode.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <iostream>
#include <thread>

#include "server/AccessLog.h"
#include "server/ReloadSite.h"
#include "server/RunServer.h"
#include "server/ServerState.h"
#include "mail/MailArchive.h"
#include "platform/ChildProcess.h"
#include "platform/EventLog.h"
#include "platform/ServiceManager.h"
#include "platform/Console.h"
#include "service/ServiceHost.h"
#include "smtp/SmtpService.h"

namespace {

// SIGHUP: the tree is scanned again; one console line says what changed.
void ReloadAndReport() {
    CReloadCounts counts;
    if (!ReloadSite(counts)) return;
    const std::string line = ReloadLine(counts);
    std::scoped_lock guard(g_state.m_logLock);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    IgnoreBrokenPipes();
    SetHangupHandler([] {
        ReopenAccessLog();  // logrotate's postrotate
        ReloadAndReport();
    });
    RegisterMailArchive();
    RegisterSmtpService();

    CSystemdServiceManager manager;
    CSyslogEventLog eventLog;
    CServiceHooks hooks;
    hooks.m_runServer = RunServer;
    hooks.m_stopServer = StopServer;
    hooks.m_setConsoleCtrlHandler = SetConsoleCtrlHandler;
    hooks.m_sleep = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
    hooks.m_getModuleFileName = GetModuleFileName;
    hooks.m_setCurrentDirectory = [](const std::string& folder) {
        return ::chdir(folder.c_str()) == 0;
    };
    hooks.m_getCurrentDirectory = [] {
        char* folder = ::getcwd(nullptr, 0);
        std::string text = folder ? folder : "";
        ::free(folder);
        return text;
    };
    CServiceHost host(manager, eventLog, std::move(hooks), std::cout);
    g_state.m_reportRunning = [&host] { host.ReportServiceStatus(kServiceRunning, 0, 0); };

    const int code = host.Main(argc, argv);

    RemoveConsoleCtrlHandler();
    g_state.m_reportRunning = nullptr;
    std::cout.flush();
    return code;
}
