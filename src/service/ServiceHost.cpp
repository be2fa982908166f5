// ServiceHost.cpp - command line, console modes, service main and control handler, status
// reports, and the install and remove commands with their printed texts.
#include "service/ServiceHost.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string_view>

#include "server/ServerState.h"
#include "service/InstallSite.h"
#include "text/AsciiText.h"

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0"
#endif

namespace {

// Every switch, for -help; the short usage of an unknown switch stays as it always was.
constexpr char kHelpText[] =
    "Usage: vantrel SWITCH [ARGUMENTS]\n"
    "Publishes the current directory over HTTP (and its mailboxes over SMTP).\n"
    "\n"
    "  -cmd [params]       run in this console; Ctrl+C, Ctrl+\\ or SIGTERM stops it\n"
    "  -debug [params]     the same with the request log on standard output\n"
    "  -install [FOLDER]   install the systemd service publishing FOLDER (default: the\n"
    "                      current directory), run as the folder's owner\n"
    "  -remove             stop and remove the systemd service\n"
    "  -help, --help, -h   print this text\n"
    "  --version           print the version\n"
    "\n"
    "Switches start with - or / and ignore case. Without a switch the program expects to be\n"
    "started by systemd (vantrel.service). With -cmd or -debug, SIGHUP scans the folder\n"
    "again (new, changed and removed files show without a restart) and reopens the access log.\n";

constexpr auto kOneSecond = std::chrono::milliseconds(1000);
constexpr int kStartWaitHintMs = 3000;

}  // namespace

CServiceHost::CServiceHost(CServiceManager& manager, CEventLog& eventLog, CServiceHooks hooks,
                           std::ostream& out)
    : m_manager(manager),
      m_eventLog(eventLog),
      m_hooks(std::move(hooks)),
      m_out(out),
      m_err(&std::cerr) {}

void CServiceHost::PrintDetail(const std::string& detail) {
    if (detail.empty()) return;
    std::scoped_lock guard(m_outLock);
    *m_err << kServiceName << ": " << detail << "\n";
    m_err->flush();
}

void CServiceHost::Print(const std::string& text) {
    std::scoped_lock guard(m_outLock);
    m_out << text;
    m_out.flush();  // the remove command's dots must show while it waits
}

int CServiceHost::Main(int argc, char** argv) {
    enum class EAction { Install, Remove, Debug, Cmd };
    static constexpr std::pair<std::string_view, EAction> kSwitches[] = {
        {"install", EAction::Install},
        {"remove", EAction::Remove},
        {"debug", EAction::Debug},
        {"cmd", EAction::Cmd},
    };
    if (argc > 1 && argv[1] && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const std::string_view word = argv[1] + 1;
        if (EqualsIgnoringCase(word, "help") || EqualsIgnoringCase(word, "-help") ||
            EqualsIgnoringCase(word, "h")) {
            Print(kHelpText);
            return 0;
        }
        if (EqualsIgnoringCase(word, "-version") || EqualsIgnoringCase(word, "version")) {
            Print(std::string("vantrel ") + VANTREL_VERSION + "\n");
            return 0;
        }
        for (const auto& [name, action] : kSwitches) {
            if (!EqualsIgnoringCase(word, name)) continue;
            switch (action) {
                case EAction::Install:
                    return InstallService(argc > 2 && argv[2] ? argv[2] : "") ? 0 : 1;
                case EAction::Remove:
                    return RemoveService() ? 0 : 1;
                case EAction::Debug:
                    g_state.m_logRequests = 1;
                    m_consoleMode = true;
                    RunConsole(argc, argv);
                    return g_state.m_startError ? 1 : 0;
                case EAction::Cmd:
                    m_consoleMode = true;
                    RunConsole(argc, argv);
                    return g_state.m_startError ? 1 : 0;
            }
        }
    }
    const std::string name = kServiceName;
    Print(name + " -install          to install the service\n" + name +
          " -remove           to remove the service\n" + name +
          " -cmd <params>     to run as a console app\n" +
          "\nUse Control Panel to start as a NT service.\n");
    if (!m_manager.RunDispatcher([this, argc, argv] { ServiceMain(argc, argv); })) {
        ReportServiceError("StartServiceCtrlDispatcher failed");
        return 1;
    }
    return g_state.m_startError ? 1 : 0;
}

void CServiceHost::RunConsole(int /*argc*/, char** /*argv*/) {
    Print(std::string("Starting ") + kServiceName + ".\n");
    if (m_hooks.m_setConsoleCtrlHandler) {
        m_hooks.m_setConsoleCtrlHandler([this](int event) { return ConsoleControlHandler(event); });
    }
    m_hooks.m_runServer();
}

bool CServiceHost::ConsoleControlHandler(int event) {
    if (event != kCtrlCEvent && event != kCtrlBreakEvent && event != kCtrlTerminateEvent) {
        return false;  // the system's default handling applies
    }
    Print(std::string("Stopping ") + kServiceName + ".\n");
    m_hooks.m_stopServer();
    return true;
}

void CServiceHost::ServiceMain(int /*argc*/, char** /*argv*/) {
    if (!m_manager.RegisterControlHandler(
            [this](int control) { ServiceControlHandler(control); })) {
        return;  // no status can be reported without a handler
    }
    {
        std::scoped_lock guard(m_statusLock);
        m_serviceStatus.m_serviceType = kServiceOwnProcess;
        m_serviceStatus.m_serviceSpecificExitCode = 0;
    }
    if (ReportServiceStatus(kServiceStartPending, 0, kStartWaitHintMs)) {
        // The unit's working directory is the published tree. A service started without one
        // starts in "/": it then publishes the program's own folder, and when that cannot be
        // entered the server does not run at all: it would publish the whole file system.
        const std::string started =
            m_hooks.m_getCurrentDirectory ? m_hooks.m_getCurrentDirectory() : std::string("/");
        std::string path;
        if (!started.empty() && started != "/") {
            m_hooks.m_runServer();
        } else if (!m_hooks.m_getModuleFileName(path)) {
            ReportServiceError("GetModuleFileName failed");
        } else {
            const std::size_t slash = path.rfind('/');
            const std::string folder = slash == std::string::npos ? std::string(".")
                                       : slash == 0               ? std::string("/")
                                                                  : path.substr(0, slash);
            if (!m_hooks.m_setCurrentDirectory(folder)) {
                ReportServiceError("SetCurrentDirectory failed");
            } else {
                m_hooks.m_runServer();  // reports running itself once it listens
                if (int error = g_state.m_startError.load()) {
                    errno = error;
                    ReportServiceError("Couldn't bind the server socket");
                }
            }
        }
    }
    ReportServiceStatus(kServiceStopped, m_lastError.load(), 0);
}

void CServiceHost::ServiceControlHandler(int control) {
    int state;
    {
        std::scoped_lock guard(m_statusLock);
        // Stop pending goes out before StopServer, so the stopped report of the service main
        // thread can never be overtaken by it; a stop after the end changes nothing.
        if (control == kServiceControlStop && m_serviceStatus.m_currentState != kServiceStopped) {
            m_serviceStatus.m_currentState = kServiceStopPending;
        }
        state = m_serviceStatus.m_currentState;
    }
    ReportServiceStatus(state, 0, 0);
    if (control == kServiceControlStop && state == kServiceStopPending) m_hooks.m_stopServer();
}

bool CServiceHost::ReportServiceStatus(int state, int exitCode, int waitHint) {
    if (m_consoleMode) return true;
    std::scoped_lock guard(m_statusLock);
    // Once stopped, nothing else may be reported after it (a late control, a late start-up).
    if (m_serviceStatus.m_currentState == kServiceStopped && state != kServiceStopped) return true;
    // A stop that came during start-up is not undone by a later start or running report.
    if (m_serviceStatus.m_currentState == kServiceStopPending &&
        (state == kServiceStartPending || state == kServiceRunning)) {
        return true;
    }
    m_serviceStatus.m_controlsAccepted = state == kServiceStartPending ? 0 : kServiceAcceptStop;
    m_serviceStatus.m_currentState = state;
    m_serviceStatus.m_win32ExitCode = exitCode;
    m_serviceStatus.m_waitHint = waitHint;
    if (state == kServiceRunning || state == kServiceStopped) {
        m_serviceStatus.m_checkPoint = 0;
    } else {
        m_serviceStatus.m_checkPoint = m_checkPoint++;
    }
    const bool ok = m_manager.SetStatus(m_serviceStatus);
    if (!ok) ReportServiceError("SetServiceStatus");
    return ok;
}

void CServiceHost::ReportServiceError(const std::string& text) {
    if (m_consoleMode) return;
    m_lastError = errno;
    char line[64];
    std::snprintf(line, sizeof line, "%s error: %d", kServiceName, m_lastError.load());
    m_eventLog.ReportError(kServiceName, line, text);
}

const char* CServiceHost::GetLastErrorText(char* buffer, std::size_t size) {
    const int code = errno;
    const char* text = std::strerror(code);
    if (size == 0) return buffer;
    if (!text || !*text || size < std::strlen(text) + 14) {
        buffer[0] = '\0';
    } else {
        std::snprintf(buffer, size, "%s (0x%x)", text, static_cast<unsigned>(code));
    }
    return buffer;
}

std::string CServiceHost::ErrorText() {
    return GetLastErrorText(m_errorText, sizeof m_errorText);
}

CServiceStatus CServiceHost::ServiceStatus() const {
    std::scoped_lock guard(m_statusLock);
    return m_serviceStatus;
}

bool CServiceHost::InstallService(const std::string& folder) {
    const std::string name = kServiceName;
    std::string path;
    if (!m_hooks.m_getModuleFileName(path)) {
        Print("Unable to install " + name + " - " + ErrorText() + "\n");
        return false;
    }
    CUnitSite site;
    std::string why;
    if (!DescribeInstallSite(folder.empty() ? std::string(".") : folder, site, why)) {
        Print("Unable to install " + name + " - " + ErrorText() + "\n");
        PrintDetail(why);
        return false;
    }
    if (!m_manager.Open()) {
        Print("OpenSCManager failed - " + ErrorText() + "\n");
        PrintDetail(m_manager.FailureDetail());
        return false;
    }
    if (!m_manager.CreateService(name, path, site)) {
        Print("CreateService failed - " + ErrorText() + "\n");
        PrintDetail(m_manager.FailureDetail());
        return false;
    }
    Print(name + " installed.\n");
    return true;
}

bool CServiceHost::RemoveService() {
    const std::string name = kServiceName;
    if (!m_manager.Open()) {
        Print("OpenSCManager failed - " + ErrorText() + "\n");
        PrintDetail(m_manager.FailureDetail());
        return false;
    }
    if (!m_manager.OpenService(name)) {
        Print("OpenService failed - " + ErrorText() + "\n");
        PrintDetail(m_manager.FailureDetail());
        return false;
    }
    CServiceStatus status = ServiceStatus();
    if (m_manager.ControlStop(name, status)) {
        Print("Stopping " + name + ".");
        m_hooks.m_sleep(kOneSecond);
        // No limit here: the manager's own stop time-out ends a service that will not stop.
        while (m_manager.QueryStatus(name, status) &&
               status.m_currentState == kServiceStopPending) {
            Print(".");
            m_hooks.m_sleep(kOneSecond);
        }
        Print(status.m_currentState == kServiceStopped ? "\n" + name + " stopped.\n"
                                                       : "\n" + name + " failed to stop.\n");
    }
    {
        std::scoped_lock guard(m_statusLock);
        m_serviceStatus = status;
    }
    if (!m_manager.DeleteService(name)) {
        Print("DeleteService failed - " + ErrorText() + "\n");
        PrintDetail(m_manager.FailureDetail());
        return false;
    }
    Print(name + " removed.\n");
    return true;
}
