// ServiceManager.h - the service manager as the service host sees it: register, stop, query and
// delete the service (the -install and -remove commands), and, when the manager started us,
// the dispatcher, the control handler and the status reports.
//
// CServiceManager is the seam; CSystemdServiceManager is the real one (a unit file under
// /etc/systemd/system, systemctl as a child process, status reports as notify datagrams).
// Every operation that can fail returns false with errno set, so the caller can print the
// system's text for it.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/UnitFile.h"

constexpr int kServiceOwnProcess = 16;

// Service states, numbered as status records carry them.
constexpr int kServiceStopped = 1;
constexpr int kServiceStartPending = 2;
constexpr int kServiceStopPending = 3;
constexpr int kServiceRunning = 4;

constexpr int kServiceControlStop = 1;
constexpr int kServiceControlInterrogate = 4;
constexpr int kServiceAcceptStop = 1;

struct CServiceStatus {
    int m_serviceType = 0;
    int m_currentState = 0;
    int m_controlsAccepted = 0;
    int m_win32ExitCode = 0;
    int m_serviceSpecificExitCode = 0;
    int m_checkPoint = 0;
    int m_waitHint = 0;  // milliseconds
};

class CServiceManager {
  public:
    virtual ~CServiceManager() = default;

    // --- registering and removing ---
    // The manager runs on this machine and can be talked to.
    virtual bool Open() = 0;
    // Registers `name` to run `programPath` without arguments in `site`'s folder.
    // Fails (EEXIST) when the service is already registered.
    virtual bool CreateService(const std::string& name, const std::string& programPath,
                               const CUnitSite& site) = 0;
    // The service `name` is registered.
    virtual bool OpenService(const std::string& name) = 0;
    // Asks a running service to stop; `status` receives its state. Fails when it is not running.
    virtual bool ControlStop(const std::string& name, CServiceStatus& status) = 0;
    // The service's current state into status.m_currentState.
    virtual bool QueryStatus(const std::string& name, CServiceStatus& status) = 0;
    virtual bool DeleteService(const std::string& name) = 0;

    // --- running as a service ---
    // Runs `serviceMain` on a new thread and hands the manager's controls to the registered
    // handler on this one; returns true once `serviceMain` has returned. Fails at once when the
    // process was not started by the manager.
    virtual bool RunDispatcher(const std::function<void()>& serviceMain) = 0;
    // Called from `serviceMain`: controls go to `handler` from now on.
    virtual bool RegisterControlHandler(std::function<void(int control)> handler) = 0;
    virtual bool SetStatus(const CServiceStatus& status) = 0;

    // One line on what the last failed registering call ran into on this machine, in words an
    // admin can act on; empty when there is nothing to add to the system's error text.
    virtual std::string FailureDetail() const { return {}; }
};

// Where the systemd manager keeps and finds things; tests point them at a scratch folder.
struct CSystemdPaths {
    std::string m_unitDirectory = "/etc/systemd/system";
    std::string m_bootedMarker = "/run/systemd/system";  // exists only while systemd runs
    std::string m_systemctl = "systemctl";
};

class CSystemdServiceManager : public CServiceManager {
  public:
    explicit CSystemdServiceManager(CSystemdPaths paths = {});

    bool Open() override;
    bool CreateService(const std::string& name, const std::string& programPath,
                       const CUnitSite& site) override;
    bool OpenService(const std::string& name) override;
    bool ControlStop(const std::string& name, CServiceStatus& status) override;
    bool QueryStatus(const std::string& name, CServiceStatus& status) override;
    bool DeleteService(const std::string& name) override;

    // Started by systemd = $NOTIFY_SOCKET is set. The stop control is SIGTERM: it is blocked in
    // this thread before `serviceMain`'s thread starts (so every thread the server makes
    // inherits the block) and read here through a signalfd.
    bool RunDispatcher(const std::function<void()>& serviceMain) override;
    bool RegisterControlHandler(std::function<void(int control)> handler) override;
    // One notify datagram per report (see NotifyMessage).
    bool SetStatus(const CServiceStatus& status) override;

    std::string FailureDetail() const override { return m_failureDetail; }

    std::string UnitPath(const std::string& name) const;

  private:
    CSystemdPaths m_paths;
    std::string m_failureDetail;
    std::mutex m_handlerLock;
    std::function<void(int)> m_handler;  // guarded by m_handlerLock
    bool m_stopPending = false;          // guarded by m_handlerLock: SIGTERM before a handler
};

// The notify datagram for a status record: start and stop pending extend the time-out by the
// wait hint, running is READY=1, stop pending STOPPING=1, stopped carries the exit code.
std::string NotifyMessage(const CServiceStatus& status);
// Maps `systemctl is-active` output to a state; 0 for a word it does not know.
int StateFromActiveText(const std::string& text);
