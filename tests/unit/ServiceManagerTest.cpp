// The systemd side of the service host: the unit file and its checks, the notify datagrams,
// the state words, unit files in a scratch folder, and the SIGTERM dispatcher.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TempTree.h"
#include "platform/AutoResetEvent.h"
#include "platform/ChildProcess.h"
#include "platform/Fd.h"
#include "platform/Notify.h"
#include "platform/ServiceManager.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A datagram socket the test owns, bound to a path or an abstract name ("@...").
class CNotifyReceiver {
  public:
    explicit CNotifyReceiver(const std::string& address) : m_address(address) {
        m_socket.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un un{};
        un.sun_family = AF_UNIX;
        std::copy(address.begin(), address.end(), un.sun_path);
        if (address[0] == '@') un.sun_path[0] = '\0';
        const socklen_t length = static_cast<socklen_t>(
            offsetof(sockaddr_un, sun_path) + address.size() + (address[0] == '@' ? 0 : 1));
        m_bound = ::bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&un), length) == 0;
        timeval wait{10, 0};  // a missing datagram fails the test instead of hanging it
        ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    bool Bound() const { return m_bound; }
    std::string Receive() {
        char buffer[4096];
        ssize_t n = ::recv(m_socket.Get(), buffer, sizeof buffer, 0);
        return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<size_t>(n));
    }

  private:
    std::string m_address;
    CFd m_socket;
    bool m_bound = false;
};

// Sets or clears NOTIFY_SOCKET for one test and puts the old value back.
class CNotifyEnvironment {
  public:
    explicit CNotifyEnvironment(const char* value) {
        if (const char* old = std::getenv("NOTIFY_SOCKET")) m_old = old;
        value ? ::setenv("NOTIFY_SOCKET", value, 1) : ::unsetenv("NOTIFY_SOCKET");
    }
    ~CNotifyEnvironment() {
        m_old.empty() ? ::unsetenv("NOTIFY_SOCKET") : ::setenv("NOTIFY_SOCKET", m_old.c_str(), 1);
    }

  private:
    std::string m_old;
};

const CUnitSite kPlainSite{"/srv/site", "web", true};

TEST(ServiceManagerTest, UnitFileText) {
    EXPECT_EQ(UnitName("Vantrel"), "vantrel.service");
    // A folder a plain user owns, low ports: that user, only the capability to bind them.
    EXPECT_EQ(BuildUnitFile("Vantrel", "/usr/sbin/vantrel", kPlainSite),
              "[Unit]\nDescription=Vantrel\nAfter=network.target\n\n[Service]\nType=notify\n"
              "ExecStart=\"/usr/sbin/vantrel\"\nWorkingDirectory=/srv/site\n"
              "ExecReload=/bin/kill -HUP "
              "$MAINPID\nUser=web\nRestart=on-failure\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n"
              "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\nNoNewPrivileges=yes\n"
              "ProtectSystem=strict\nReadWritePaths=\"/srv/site\"\nPrivateTmp=yes\n"
              "ProtectHome=yes\nProtectKernelTunables=yes\nProtectKernelModules=yes\n"
              "ProtectControlGroups=yes\nRestrictSUIDSGID=yes\nLockPersonality=yes\n"
              "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n\n"
              "[Install]\nWantedBy=multi-user.target\n");
    struct {
        const char* label;
        CUnitSite site;
        std::vector<std::string> present, absent;
    } const kSites[] = {
        {"root's folder runs as root, with root's capabilities",
         {"/srv/site", "root", true},
         {"\nUser=root\n", "\nNoNewPrivileges=yes\n", "\nProtectHome=yes\n"},
         {"AmbientCapabilities", "CapabilityBoundingSet"}},
        {"high ports need no capability",
         {"/srv/site", "web", false},
         {"\nCapabilityBoundingSet=\n"},
         {"AmbientCapabilities"}},
        {"a folder in a home keeps the homes",
         {"/home/ann/site", "ann", false},
         {"\nWorkingDirectory=/home/ann/site\n", "\nReadWritePaths=\"/home/ann/site\"\n",
          "\nPrivateTmp=yes\n"},
         {"ProtectHome"}},
        {"a folder in /tmp keeps the real /tmp",
         {"/tmp/site", "web", false},
         {"\nProtectHome=yes\n"},
         {"PrivateTmp"}},
        {"specifiers are escaped",
         {"/srv/50% off", "web", false},
         {"\nWorkingDirectory=/srv/50%% off\n", "\nReadWritePaths=\"/srv/50%% off\"\n"},
         {}},
    };
    for (const auto& c : kSites) {
        SCOPED_TRACE(c.label);
        const std::string unit = BuildUnitFile("Vantrel", "/usr/sbin/vantrel", c.site);
        for (const auto& line : c.present)
            EXPECT_NE(unit.find(line), std::string::npos) << line << "\n" << unit;
        for (const auto& word : c.absent)
            EXPECT_EQ(unit.find(word), std::string::npos) << word << "\n" << unit;
    }
    struct {
        const char* label;
        std::string path;
        std::string execStart;  // empty = refused
    } const kCases[] = {
        {"spaces stay one path", "/srv/my site/vantrel", "ExecStart=\"/srv/my site/vantrel\"\n"},
        {"specifier and variable", "/srv/50%$HOME/v", "ExecStart=\"/srv/50%%$$HOME/v\"\n"},
        {"quote and backslash", "/srv/a\"b\\c/v", "ExecStart=\"/srv/a\\\"b\\\\c/v\"\n"},
        {"relative", "vantrel", ""},
        {"empty", "", ""},
        {"line end would add a unit line", "/srv/x\nExecStartPre=/bin/evil", ""},
        {"other control byte", std::string("/srv/x\x01y"), ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.label);
        const std::string unit = BuildUnitFile("Vantrel", c.path, kPlainSite);
        if (c.execStart.empty()) {
            EXPECT_EQ(unit, "");
        } else {
            EXPECT_NE(unit.find("\n" + c.execStart), std::string::npos) << unit;
        }
    }
    // The folder and the user land in lines of their own: no byte may end or split one.
    for (const CUnitSite& bad :
         {CUnitSite{"site", "web", false}, CUnitSite{"/srv/a\nUser=root", "web", false},
          CUnitSite{"/srv/a\"b", "web", false}, CUnitSite{"/srv/site", "", false},
          CUnitSite{"/srv/site", "web\nUser=root", false}}) {
        EXPECT_EQ(BuildUnitFile("Vantrel", "/usr/sbin/vantrel", bad), "") << bad.m_folder;
    }
}

TEST(ServiceManagerTest, NotifyMessagesAndStateWords) {
    struct {
        int state, exitCode, waitHint;
        const char* message;
    } const kMessages[] = {
        {kServiceStartPending, 0, 3000, "STATUS=Start pending\nEXTEND_TIMEOUT_USEC=3000000"},
        {kServiceRunning, 0, 0, "READY=1\nSTATUS=Running"},
        {kServiceStopPending, 0, 0, "STOPPING=1\nSTATUS=Stop pending"},
        {kServiceStopPending, 0, 2000,
         "STOPPING=1\nSTATUS=Stop pending\nEXTEND_TIMEOUT_USEC=2000000"},
        {kServiceStopped, 0, 0, "STATUS=Stopped (exit code 0)\nERRNO=0"},
        {kServiceStopped, 13, 0, "STATUS=Stopped (exit code 13)\nERRNO=13"},
    };
    for (const auto& c : kMessages) {
        SCOPED_TRACE(c.message);
        CServiceStatus status;
        status.m_currentState = c.state;
        status.m_win32ExitCode = c.exitCode;
        status.m_waitHint = c.waitHint;
        EXPECT_EQ(NotifyMessage(status), c.message);
    }
    struct {
        const char* word;
        int state;
    } const kWords[] = {
        {"active\n", kServiceRunning},
        {"reloading\n", kServiceRunning},
        {"activating\n", kServiceStartPending},
        {"deactivating\n", kServiceStopPending},
        {"inactive\n", kServiceStopped},
        {"failed\n", kServiceStopped},
        {"", 0},
        {"Failed to connect to bus\n", 0},
    };
    for (const auto& c : kWords) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(StateFromActiveText(c.word), c.state);
    }
}

TEST(ServiceManagerTest, SendNotifyToPathAndAbstractSockets) {
    CTempTree scratch;
    const std::string addresses[] = {
        (scratch.Path() / "notify").string(),
        "@vantrel-unit-" + std::to_string(::getpid()),
    };
    for (const std::string& address : addresses) {
        SCOPED_TRACE(address);
        CNotifyReceiver receiver(address);
        ASSERT_TRUE(receiver.Bound());
        ASSERT_TRUE(SendNotify(address, "READY=1\nSTATUS=Running"));
        EXPECT_EQ(receiver.Receive(), "READY=1\nSTATUS=Running");
    }
    struct {
        std::string address;
        int error;
    } const kFailures[] = {
        {"", EINVAL},
        {"@", EINVAL},
        {(scratch.Path() / "nobody").string(), ENOENT},
        {"/" + std::string(200, 'x'), ENAMETOOLONG},
    };
    for (const auto& c : kFailures) {
        SCOPED_TRACE(c.address);
        errno = 0;
        EXPECT_FALSE(SendNotify(c.address, "READY=1"));
        EXPECT_EQ(errno, c.error);
    }
}

// The real manager against a scratch unit folder; "true" stands in for systemctl.
TEST(ServiceManagerTest, UnitFilesInAScratchFolder) {
    CTempTree scratch;
    CSystemdPaths paths;
    paths.m_unitDirectory = scratch.Path().string();
    paths.m_bootedMarker = (scratch.Path() / "booted").string();
    paths.m_systemctl = "true";
    CSystemdServiceManager manager(paths);

    errno = 0;
    EXPECT_FALSE(manager.Open());
    EXPECT_EQ(errno, ENOENT);
    fs::create_directory(paths.m_bootedMarker);
    EXPECT_TRUE(manager.Open());

    const fs::path unit = scratch.Path() / "vantrel.service";
    EXPECT_FALSE(manager.OpenService("Vantrel"));
    ASSERT_TRUE(manager.CreateService("Vantrel", "/usr/sbin/vantrel", kPlainSite));
    EXPECT_EQ(ReadFile(unit), BuildUnitFile("Vantrel", "/usr/sbin/vantrel", kPlainSite));
    struct stat info;
    ASSERT_EQ(::stat(unit.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_TRUE(manager.OpenService("Vantrel"));

    // A second install keeps the first unit and leaves no temporary file behind.
    errno = 0;
    EXPECT_FALSE(manager.CreateService("Vantrel", "/elsewhere/vantrel", kPlainSite));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_NE(manager.FailureDetail().find("run -remove first"), std::string::npos);
    EXPECT_EQ(ReadFile(unit), BuildUnitFile("Vantrel", "/usr/sbin/vantrel", kPlainSite));
    errno = 0;
    EXPECT_FALSE(manager.CreateService("Other", "relative/path", kPlainSite));
    EXPECT_EQ(errno, EINVAL);
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(scratch.Path()))
        ++entries;
    EXPECT_EQ(entries, 2);  // the unit and the booted marker

    EXPECT_TRUE(manager.DeleteService("Vantrel"));
    EXPECT_FALSE(fs::exists(unit));
    errno = 0;
    EXPECT_FALSE(manager.DeleteService("Vantrel"));
    EXPECT_EQ(errno, ENOENT);
}

// Stop and query against a stand-in systemctl that prints the state kept in a file and
// records its arguments.
TEST(ServiceManagerTest, StopAndQueryThroughSystemctl) {
    CTempTree scratch;
    const fs::path script = scratch.Path() / "systemctl";
    const fs::path state = scratch.Path() / "state";
    const fs::path calls = scratch.Path() / "calls";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\necho \"$*\" >> '" << calls.string() << "'\n"
            << "case \"$1\" in\n  is-active) cat '" << state.string() << "' ;;\n"
            << "  stop) [ -e '" << scratch.Path().string() << "/refuse' ] && exit 1;"
            << " echo deactivating > '" << state.string() << "' ;;\nesac\n";
    }
    fs::permissions(script, fs::perms::owner_all);
    CSystemdPaths paths;
    paths.m_unitDirectory = scratch.Path().string();
    paths.m_systemctl = script.string();
    CSystemdServiceManager manager(paths);
    auto setState = [&](const char* word) { std::ofstream(state) << word << "\n"; };

    CServiceStatus status;
    setState("inactive");
    errno = 0;
    EXPECT_FALSE(manager.ControlStop("Vantrel", status));  // nothing to stop
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(status.m_currentState, kServiceStopped);

    setState("active");
    ASSERT_TRUE(manager.ControlStop("Vantrel", status));
    EXPECT_EQ(status.m_currentState, kServiceStopPending);
    ASSERT_TRUE(manager.QueryStatus("Vantrel", status));
    EXPECT_EQ(status.m_currentState, kServiceStopPending);  // the stand-in is stopping now
    setState("failed");
    ASSERT_TRUE(manager.QueryStatus("Vantrel", status));
    EXPECT_EQ(status.m_currentState, kServiceStopped);

    setState("active");
    std::ofstream(scratch.Path() / "refuse").put('x');
    errno = 0;
    EXPECT_FALSE(manager.ControlStop("Vantrel", status));
    EXPECT_EQ(errno, EIO);

    setState("no such word");
    errno = 0;
    EXPECT_FALSE(manager.QueryStatus("Vantrel", status));
    EXPECT_EQ(errno, EIO);

    EXPECT_EQ(ReadFile(calls),
              "is-active vantrel.service\n"
              "is-active vantrel.service\nstop --no-block vantrel.service\n"
              "is-active vantrel.service\nis-active vantrel.service\n"
              "is-active vantrel.service\nstop --no-block vantrel.service\n"
              "is-active vantrel.service\n");
}

TEST(ServiceManagerTest, WrittenUnitPassesSystemdVerify) {
    if (::access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze missing";
    CTempTree scratch;
    CSystemdPaths paths;
    paths.m_unitDirectory = scratch.Path().string();
    paths.m_systemctl = "true";
    CSystemdServiceManager manager(paths);
    std::string program;
    ASSERT_TRUE(GetModuleFileName(program));  // verify wants ExecStart to exist
    // A plain user's folder and root's; verify wants both the folder and the user to exist.
    for (const char* user : {"www-data", "root"}) {
        SCOPED_TRACE(user);
        manager.DeleteService("Vantrel");
        ASSERT_TRUE(
            manager.CreateService("Vantrel", program, {scratch.Path().string(), user, true}));
        std::string output;
        const int status = RunChild(
            {"sh", "-c", "systemd-analyze verify \"$0\" 2>&1", manager.UnitPath("Vantrel")},
            &output);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(output, "");
    }
}

TEST(ServiceManagerTest, RunChildReportsStatusAndOutput) {
    std::string output;
    EXPECT_EQ(RunChild({"sh", "-c", "printf 'inactive\\n'; exit 3"}, &output), 3);
    EXPECT_EQ(output, "inactive\n");
    errno = 0;
    EXPECT_EQ(RunChild({"/nonexistent/systemctl"}, &output), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(ServiceManagerTest, DispatcherNeedsTheNotifySocket) {
    CNotifyEnvironment environment(nullptr);
    CSystemdServiceManager manager;
    bool ran = false;
    errno = 0;
    EXPECT_FALSE(manager.RunDispatcher([&] { ran = true; }));
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(manager.RegisterControlHandler([](int) {}));
}

// SIGTERM reaches the registered handler as a stop control, the status goes
// out as a datagram, and the dispatcher returns once the service main does.
TEST(ServiceManagerTest, DispatcherTurnsSigtermIntoStop) {
    CTempTree scratch;
    const std::string address = (scratch.Path() / "notify").string();
    CNotifyReceiver receiver(address);
    ASSERT_TRUE(receiver.Bound());
    CNotifyEnvironment environment(address.c_str());
    sigset_t before;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &before);

    CSystemdServiceManager manager;
    const pthread_t dispatcherThread = ::pthread_self();
    CAutoResetEvent stopped;
    int control = 0;
    bool signalled = false;
    const bool dispatched = manager.RunDispatcher([&] {
        ASSERT_TRUE(manager.RegisterControlHandler([&](int c) {
            control = c;
            stopped.Set();
        }));
        CServiceStatus status;
        status.m_currentState = kServiceRunning;
        EXPECT_TRUE(manager.SetStatus(status));
        // Aimed at the dispatcher's thread, so no other thread of the test binary can take it.
        ::pthread_kill(dispatcherThread, SIGTERM);
        signalled = stopped.WaitFor(std::chrono::seconds(10));
    });
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);

    EXPECT_TRUE(dispatched);
    EXPECT_TRUE(signalled);
    EXPECT_EQ(control, kServiceControlStop);
    EXPECT_EQ(receiver.Receive(), "READY=1\nSTATUS=Running");
}

// A SIGTERM that comes before the service main has registered its handler still reaches it,
// whichever of the two threads gets there first.
TEST(ServiceManagerTest, StopBeforeTheHandlerIsNotLost) {
    CTempTree scratch;
    CNotifyEnvironment environment((scratch.Path() / "notify").c_str());
    sigset_t before;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &before);

    CSystemdServiceManager manager;
    const pthread_t dispatcherThread = ::pthread_self();
    CAutoResetEvent stopped;
    bool signalled = false;
    const bool dispatched = manager.RunDispatcher([&] {
        ::pthread_kill(dispatcherThread, SIGTERM);
        ASSERT_TRUE(manager.RegisterControlHandler([&](int c) {
            if (c == kServiceControlStop) stopped.Set();
        }));
        signalled = stopped.WaitFor(std::chrono::seconds(10));
    });
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);

    EXPECT_TRUE(dispatched);
    EXPECT_TRUE(signalled);
}

}  // namespace
