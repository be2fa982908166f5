// ServiceHost.h - the program's entry logic: the command line, the two console modes, running
// under the service manager, and registering or removing the service. The server itself is
// RunServer; this only decides how it starts and how it is told to stop (StopServer).
//
// Everything outside the process goes through the seams handed in (the service manager, the
// event log, the hooks, the output stream), so the whole table can run against fakes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "platform/EventLog.h"
#include "platform/Console.h"  // the console event numbers
#include "platform/ServiceManager.h"

// Service name, display name, event source and the %s of every message.
inline constexpr char kServiceName[] = "Vantrel";

// What the host calls outside itself; main() fills in the real ones, tests record calls.
struct CServiceHooks {
    std::function<void()> m_runServer;
    std::function<void()> m_stopServer;
    // Routes console events to `handler` (true = handled); false when that cannot be set up.
    std::function<bool(std::function<bool(int event)> handler)> m_setConsoleCtrlHandler;
    std::function<void(std::chrono::milliseconds)> m_sleep;
    std::function<bool(std::string& path)> m_getModuleFileName;            // errno on failure
    std::function<bool(const std::string& folder)> m_setCurrentDirectory;  // errno on failure
    // The folder the process was started in; when unset, or "/" (a unit without a working
    // directory), the service publishes the program's own folder.
    std::function<std::string()> m_getCurrentDirectory;
};

class CServiceHost {
  public:
    CServiceHost(CServiceManager& manager, CEventLog& eventLog, CServiceHooks hooks,
                 std::ostream& out);

    // The entry point: reads argv[1] (and the folder after -install). Returns the process exit
    // code: 0 after a switch that did its work, 1 when -install or -remove changed nothing,
    // 0 after the dispatcher ran the service, 1 when the dispatcher could not start.
    int Main(int argc, char** argv);

    // True when the service was installed; `folder` empty = the current directory.
    bool InstallService(const std::string& folder = {});
    bool RemoveService();  // true when the unit was deleted
    // Where the lines that explain a failure go (standard error by default).
    void SetErrorStream(std::ostream& err) { m_err = &err; }
    void RunConsole(int argc, char** argv);
    void ServiceMain(int argc, char** argv);
    void ServiceControlHandler(int control);
    bool ConsoleControlHandler(int event);
    // Sets m_serviceStatus and hands it to the manager; does nothing in console mode.
    bool ReportServiceStatus(int state, int exitCode, int waitHint);
    // Records errno (the code of the final stopped report) and writes an error entry;
    // does nothing in console mode.
    void ReportServiceError(const std::string& text);
    // strerror(errno) and the code as "%s (0x%x)"; empty when it does not fit in `size`.
    const char* GetLastErrorText(char* buffer, std::size_t size);

    CServiceStatus ServiceStatus() const;
    bool ConsoleMode() const { return m_consoleMode.load(); }
    int LastError() const { return m_lastError.load(); }

  private:
    std::string ErrorText();  // GetLastErrorText into m_errorText
    void Print(const std::string& text);
    void PrintDetail(const std::string& detail);  // "Vantrel: detail" on the error stream

    CServiceManager& m_manager;
    CEventLog& m_eventLog;
    CServiceHooks m_hooks;
    std::ostream& m_out;
    std::ostream* m_err;
    std::mutex m_outLock;  // console handler thread and main thread both print

    // Reports come from the service main thread, the server and the control handler; the lock
    // is held across the hand-over so records and messages leave in the same order.
    mutable std::mutex m_statusLock;
    CServiceStatus m_serviceStatus;  // guarded by m_statusLock
    int m_checkPoint = 1;            // guarded by m_statusLock
    std::atomic<bool> m_consoleMode{false};
    std::atomic<int> m_lastError{0};
    char m_errorText[256] = {};
};
