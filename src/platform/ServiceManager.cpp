// ServiceManager.cpp - the systemd service manager: installing the unit through systemctl, the
// SIGTERM and SIGHUP dispatcher and notify status reports.
#include "platform/ServiceManager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/ChildProcess.h"
#include "platform/Console.h"
#include "platform/Fd.h"
#include "platform/Notify.h"

namespace {

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string NotifyMessage(const CServiceStatus& status) {
    const std::string extend =
        status.m_waitHint > 0
            ? "\nEXTEND_TIMEOUT_USEC=" + std::to_string(std::int64_t{status.m_waitHint} * 1000)
            : std::string();
    switch (status.m_currentState) {
        case kServiceStartPending:
            return "STATUS=Start pending" + extend;
        case kServiceRunning:
            return "READY=1\nSTATUS=Running";
        case kServiceStopPending:
            return "STOPPING=1\nSTATUS=Stop pending" + extend;
        case kServiceStopped: {
            const std::string code = std::to_string(status.m_win32ExitCode);
            return "STATUS=Stopped (exit code " + code + ")\nERRNO=" + code;
        }
        default:
            return "STATUS=State " + std::to_string(status.m_currentState);
    }
}

int StateFromActiveText(const std::string& text) {
    std::string word = text;
    while (!word.empty() && (word.back() == '\n' || word.back() == ' '))
        word.pop_back();
    if (word == "active" || word == "reloading" || word == "refreshing") return kServiceRunning;
    if (word == "activating") return kServiceStartPending;
    if (word == "deactivating") return kServiceStopPending;
    if (word == "inactive" || word == "failed" || word == "maintenance") return kServiceStopped;
    return 0;
}

CSystemdServiceManager::CSystemdServiceManager(CSystemdPaths paths) : m_paths(std::move(paths)) {}

std::string CSystemdServiceManager::UnitPath(const std::string& name) const {
    return m_paths.m_unitDirectory + "/" + UnitName(name);
}

bool CSystemdServiceManager::Open() {
    m_failureDetail.clear();
    if (::access(m_paths.m_bootedMarker.c_str(), F_OK) != 0) {
        const int saved = errno;
        m_failureDetail = "systemd is not running as PID 1 on this machine (no " +
                          m_paths.m_bootedMarker +
                          "), so there is no service manager to install into; run it in the "
                          "folder to publish with -cmd instead";
        errno = saved;
        return false;
    }
    if (RunChild({m_paths.m_systemctl, "--version"}, nullptr) != 0) {
        m_failureDetail = "systemctl (" + m_paths.m_systemctl +
                          ") cannot be run on this machine; install the systemd package";
        errno = ENOENT;
        return false;
    }
    return true;
}

bool CSystemdServiceManager::CreateService(const std::string& name, const std::string& programPath,
                                           const CUnitSite& site) {
    m_failureDetail.clear();
    const std::string text = BuildUnitFile(name, programPath, site);
    if (text.empty()) {
        m_failureDetail =
            "the program path or the folder cannot be written into a unit (it "
            "must be absolute, without quotes, backslashes or control bytes)";
        errno = EINVAL;
        return false;
    }
    const std::string target = UnitPath(name);
    // Written beside the target and linked into place: the unit appears whole or not at all,
    // and link() refuses to replace a unit that is already there.
    std::string temp = m_paths.m_unitDirectory + "/." + UnitName(name) + ".XXXXXX";
    CFd file(::mkstemp(temp.data()));
    if (!file.IsValid()) {
        const int saved = errno;
        m_failureDetail = "cannot write in " + m_paths.m_unitDirectory + " (" +
                          std::strerror(saved) + "): run -install as root";
        errno = saved;
        return false;
    }
    bool ok = ::fchmod(file.Get(), 0644) == 0 && WriteAll(file.Get(), text) &&
              ::fsync(file.Get()) == 0 && ::link(temp.c_str(), target.c_str()) == 0;
    const int saved = errno;
    ::unlink(temp.c_str());
    if (!ok) {
        m_failureDetail = saved == EEXIST ? target + " is there already: run -remove first"
                                          : "cannot write " + target + " (" + std::strerror(saved) +
                                                "): run -install as root";
        errno = saved;
        return false;
    }
    // A failed reload is not fatal: systemd loads a unit it has not seen yet when it is named,
    // and systemctl has said why on standard error.
    RunChild({m_paths.m_systemctl, "daemon-reload"}, nullptr);
    return true;
}

bool CSystemdServiceManager::OpenService(const std::string& name) {
    m_failureDetail.clear();
    struct stat info;
    if (::stat(UnitPath(name).c_str(), &info) == 0) return true;
    const int saved = errno;
    m_failureDetail = "no unit " + UnitPath(name) + ": the service is not installed";
    errno = saved;
    return false;
}

bool CSystemdServiceManager::QueryStatus(const std::string& name, CServiceStatus& status) {
    std::string text;
    // is-active exits non-zero for every state but active; the word it prints is what counts.
    if (RunChild({m_paths.m_systemctl, "is-active", UnitName(name)}, &text) < 0) return false;
    const int state = StateFromActiveText(text);
    if (state == 0) {
        errno = EIO;
        return false;
    }
    status.m_currentState = state;
    return true;
}

bool CSystemdServiceManager::ControlStop(const std::string& name, CServiceStatus& status) {
    if (!QueryStatus(name, status)) return false;
    if (status.m_currentState == kServiceStopped) {
        errno = ESRCH;  // nothing runs that could be stopped
        return false;
    }
    // --no-block: the caller watches the stop itself, one query a second.
    const int exitStatus =
        RunChild({m_paths.m_systemctl, "stop", "--no-block", UnitName(name)}, nullptr);
    if (exitStatus != 0) {
        if (exitStatus > 0) errno = EIO;  // systemctl said why on standard error
        return false;
    }
    status.m_currentState = kServiceStopPending;
    return true;
}

bool CSystemdServiceManager::DeleteService(const std::string& name) {
    m_failureDetail.clear();
    if (::unlink(UnitPath(name).c_str()) != 0) {
        const int saved = errno;
        m_failureDetail = "cannot delete " + UnitPath(name) + " (" + std::strerror(saved) +
                          "): run -remove as root";
        errno = saved;
        return false;
    }
    RunChild({m_paths.m_systemctl, "daemon-reload"}, nullptr);
    return true;
}

bool CSystemdServiceManager::RegisterControlHandler(std::function<void(int)> handler) {
    if (NotifySocketPath().empty()) {
        errno = ENOTCONN;
        return false;
    }
    bool stopWaiting;
    {
        std::scoped_lock guard(m_handlerLock);
        m_handler = handler;
        stopWaiting = std::exchange(m_stopPending, false);
    }
    // A SIGTERM that came before there was a handler is handed on now, not lost.
    if (stopWaiting) handler(kServiceControlStop);
    return true;
}

bool CSystemdServiceManager::SetStatus(const CServiceStatus& status) {
    return SendNotify(NotifySocketPath(), NotifyMessage(status));
}

bool CSystemdServiceManager::RunDispatcher(const std::function<void()>& serviceMain) {
    if (NotifySocketPath().empty()) {
        errno = ENOTCONN;  // started from a terminal, not by systemd
        return false;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);  // `systemctl reload`: reloads, as on a console
    sigset_t previous;
    if (int rc = ::pthread_sigmask(SIG_BLOCK, &stopSignals, &previous); rc != 0) {
        errno = rc;
        return false;
    }
    CFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
    CFd finished(::eventfd(0, EFD_CLOEXEC));
    if (!signals.IsValid() || !finished.IsValid()) {
        const int saved = errno;
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        errno = saved;
        return false;
    }
    std::thread mainThread([&serviceMain, &finished] {
        serviceMain();
        const std::uint64_t one = 1;
        while (::write(finished.Get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    });
    for (bool done = false; !done;) {
        pollfd watch[2] = {{signals.Get(), POLLIN, 0}, {finished.Get(), POLLIN, 0}};
        if (::poll(watch, 2, -1) < 0) continue;  // EINTR
        if (watch[1].revents & POLLIN) done = true;
        if (watch[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (::read(signals.Get(), &info, sizeof info) != sizeof info || done) continue;
            if (info.ssi_signo == SIGHUP) {
                RunHangupHandler();
            } else {
                std::function<void(int)> handler;
                {
                    std::scoped_lock guard(m_handlerLock);
                    handler = m_handler;
                    if (!handler) m_stopPending = true;
                }
                if (handler) handler(kServiceControlStop);
            }
        }
    }
    mainThread.join();
    // SIGTERM stays blocked: the process ends next, and unblocking a late SIGTERM here would
    // kill it instead of letting it exit with its own code.
    return true;
}
