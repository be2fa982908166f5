// The entry point's command line, the console and service modes, the status reports and the
// install and remove texts, all against a recording service manager and event log.
#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <filesystem>

#include "server/ServerState.h"
#include "TempTree.h"
#include "service/ServiceHost.h"

namespace {

namespace fs = std::filesystem;

// Plays the service manager: each operation succeeds or fails with the errno the test sets.
class CFakeServiceManager : public CServiceManager {
  public:
    int m_openError = 0, m_createError = 0, m_openServiceError = 0, m_deleteError = 0;
    int m_dispatcherError = 0, m_registerError = 0, m_setStatusError = 0;
    bool m_running = false;  // ControlStop succeeds only then
    bool m_stopOnRegister = false;
    std::vector<int> m_queryStates;  // what each QueryStatus returns; empty = query fails
    std::vector<std::string> m_calls;
    std::string m_createdPath;
    CUnitSite m_createdSite;
    std::vector<CServiceStatus> m_reports;
    std::function<void(int)> m_handler;
    std::string m_detail;

    std::string FailureDetail() const override { return m_detail; }
    bool Fail(int error) {
        errno = error;
        return error == 0;
    }
    bool Open() override {
        m_calls.push_back("Open");
        return Fail(m_openError);
    }
    bool CreateService(const std::string& name, const std::string& path,
                       const CUnitSite& site) override {
        m_calls.push_back("CreateService " + name);
        m_createdPath = path;
        m_createdSite = site;
        return Fail(m_createError);
    }
    bool OpenService(const std::string& name) override {
        m_calls.push_back("OpenService " + name);
        return Fail(m_openServiceError);
    }
    bool ControlStop(const std::string&, CServiceStatus& status) override {
        m_calls.push_back("ControlStop");
        if (!m_running) return Fail(ESRCH);
        status.m_currentState = kServiceStopPending;
        return true;
    }
    bool QueryStatus(const std::string&, CServiceStatus& status) override {
        m_calls.push_back("QueryStatus");
        if (m_queryStates.empty()) return Fail(EIO);
        status.m_currentState = m_queryStates.front();
        m_queryStates.erase(m_queryStates.begin());
        return true;
    }
    bool DeleteService(const std::string& name) override {
        m_calls.push_back("DeleteService " + name);
        return Fail(m_deleteError);
    }
    bool RunDispatcher(const std::function<void()>& serviceMain) override {
        m_calls.push_back("RunDispatcher");
        if (m_dispatcherError) return Fail(m_dispatcherError);
        serviceMain();
        return true;
    }
    bool RegisterControlHandler(std::function<void(int)> handler) override {
        if (m_registerError) return Fail(m_registerError);
        m_handler = std::move(handler);
        if (m_stopOnRegister) m_handler(kServiceControlStop);  // a stop that came first
        return true;
    }
    bool SetStatus(const CServiceStatus& status) override {
        m_reports.push_back(status);
        return Fail(m_setStatusError);
    }
};

struct CEvent {
    std::string m_source, m_line, m_text;
};

class CRecordingEventLog : public CEventLog {
  public:
    std::vector<CEvent> m_events;
    void ReportError(const std::string& source, const std::string& line,
                     const std::string& text) override {
        m_events.push_back({source, line, text});
    }
};

constexpr char kUsage[] =
    "Vantrel -install          to install the service\n"
    "Vantrel -remove           to remove the service\n"
    "Vantrel -cmd <params>     to run as a console app\n"
    "\n"
    "Use Control Panel to start as a NT service.\n";

class ServiceHostTest : public ::testing::Test {
  protected:
    void SetUp() override { g_state.m_logRequests = 0; }
    void TearDown() override { g_state.m_logRequests = 0; }

    // A host whose hooks count what they are asked to do; `duringRun` runs inside RunServer.
    CServiceHost& MakeHost() {
        CServiceHooks hooks;
        hooks.m_runServer = [this] {
            ++m_runs;
            if (m_duringRun) m_duringRun();
        };
        hooks.m_stopServer = [this] { ++m_stops; };
        hooks.m_setConsoleCtrlHandler = [this](std::function<bool(int)> handler) {
            m_consoleHandler = std::move(handler);
            return true;
        };
        hooks.m_sleep = [this](std::chrono::milliseconds ms) { m_sleptMs += ms.count(); };
        hooks.m_getModuleFileName = [this](std::string& path) {
            if (m_pathError) {
                errno = m_pathError;
                return false;
            }
            path = m_programPath;
            return true;
        };
        hooks.m_setCurrentDirectory = [this](const std::string& folder) {
            m_folder = folder;
            errno = m_chdirError;
            return m_chdirError == 0;
        };
        m_host = std::make_unique<CServiceHost>(m_manager, m_log, std::move(hooks), m_out);
        m_host->SetErrorStream(m_err);
        return *m_host;
    }
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), "vantrel");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return MakeHost().Main(static_cast<int>(args.size()), argv.data());
    }

    CFakeServiceManager m_manager;
    CRecordingEventLog m_log;
    std::ostringstream m_out;
    std::ostringstream m_err;
    std::unique_ptr<CServiceHost> m_host;
    std::function<void()> m_duringRun;
    std::function<bool(int)> m_consoleHandler;
    std::string m_programPath = "/opt/vantrel/bin/vantrel";
    std::string m_folder;
    int m_pathError = 0, m_chdirError = 0;
    int m_runs = 0, m_stops = 0;
    long long m_sleptMs = 0;
};

TEST_F(ServiceHostTest, CommandLineTable) {
    enum EWant { Install, Remove, Debug, Cmd, Dispatch, Help, Version };
    struct {
        std::vector<std::string> args;
        EWant want;
    } const kCases[] = {
        {{"-install"}, Install},   {{"/INSTALL"}, Install},
        {{"-Install"}, Install},   {{"/install", "."}, Install},
        {{"-remove"}, Remove},     {{"/ReMoVe"}, Remove},
        {{"-debug"}, Debug},       {{"/DEBUG", "x"}, Debug},
        {{"-cmd"}, Cmd},           {{"-cmd", "extra", "words"}, Cmd},
        {{"/CMD"}, Cmd},           {{}, Dispatch},
        {{"install"}, Dispatch},   {{"-installx"}, Dispatch},
        {{"-instal"}, Dispatch},   {{"--install"}, Dispatch},
        {{"-"}, Dispatch},         {{""}, Dispatch},
        {{"\\install"}, Dispatch}, {{"x", "-install"}, Dispatch},  // only the first argument counts
        {{"-c\xc4md"}, Dispatch},  {{"-help"}, Help},
        {{"--help"}, Help},        {{"-h"}, Help},
        {{"/HELP"}, Help},         {{"---help"}, Dispatch},
        {{"--version"}, Version},  {{"-hx"}, Dispatch},
    };
    for (const auto& c : kCases) {
        std::string label;
        for (const auto& a : c.args)
            label += "[" + a + "]";
        SCOPED_TRACE(label);
        m_manager = CFakeServiceManager{};
        m_manager.m_dispatcherError = ENOTCONN;  // a terminal, not the service manager
        m_out.str("");
        m_runs = 0;
        g_state.m_logRequests = 0;

        const int code = Run(c.args);

        const bool console = c.want == Debug || c.want == Cmd;
        EXPECT_EQ(code, c.want == Dispatch ? 1 : 0);
        EXPECT_EQ(m_runs, console ? 1 : 0);
        EXPECT_EQ(m_host->ConsoleMode(), console);
        EXPECT_EQ(g_state.m_logRequests.load(), c.want == Debug ? 1 : 0);
        // Everything the manager was asked, in order: a console mode asks nothing.
        const std::vector<std::string> calls =
            c.want == Install    ? std::vector<std::string>{"Open", "CreateService Vantrel"}
            : c.want == Remove   ? std::vector<std::string>{"Open", "OpenService Vantrel",
                                                            "ControlStop", "DeleteService Vantrel"}
            : c.want == Dispatch ? std::vector<std::string>{"RunDispatcher"}
                                 : std::vector<std::string>{};
        EXPECT_EQ(m_manager.m_calls, calls);
        if (c.want == Dispatch) {
            EXPECT_EQ(m_out.str(), kUsage);
        }
        if (console) {
            EXPECT_EQ(m_out.str(), "Starting Vantrel.\n");
        }
        if (c.want == Help) {
            for (const char* word : {"-cmd", "-debug", "-install [FOLDER]", "-remove", "-help",
                                     "--help", "-h", "--version"}) {
                EXPECT_NE(m_out.str().find(word), std::string::npos) << word;
            }
        }
        if (c.want == Version) {
            EXPECT_EQ(m_out.str(), "vantrel " VANTREL_VERSION "\n");
        }
    }
}

// Started from a terminal: the usage text, then the dispatcher fails into the event log.
TEST_F(ServiceHostTest, FailedDispatcherGoesToEventLogAndExitsOne) {
    m_manager.m_dispatcherError = ENOTCONN;
    EXPECT_EQ(Run({}), 1);
    EXPECT_EQ(m_out.str(), kUsage);
    ASSERT_EQ(m_log.m_events.size(), 1u);
    EXPECT_EQ(m_log.m_events[0].m_source, "Vantrel");
    EXPECT_EQ(m_log.m_events[0].m_line, "Vantrel error: " + std::to_string(ENOTCONN));
    EXPECT_EQ(m_log.m_events[0].m_text, "StartServiceCtrlDispatcher failed");
    EXPECT_EQ(m_host->LastError(), ENOTCONN);
    EXPECT_TRUE(m_manager.m_reports.empty());
}

TEST_F(ServiceHostTest, ServiceReportsInOrderAndStopsThroughStopServer) {
    m_duringRun = [this] {
        // What RunServer does once it listens, then a stop and an interrogate from outside.
        m_host->ReportServiceStatus(kServiceRunning, 0, 0);
        m_manager.m_handler(kServiceControlInterrogate);
        m_manager.m_handler(kServiceControlStop);
    };
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(m_out.str(), kUsage);
    EXPECT_EQ(m_folder, "/opt/vantrel/bin");
    EXPECT_EQ(m_runs, 1);
    EXPECT_EQ(m_stops, 1);
    EXPECT_TRUE(m_log.m_events.empty());

    struct {
        int state, accepted, checkPoint, waitHint, exitCode;
    } const kWant[] = {
        {kServiceStartPending, 0, 1, 3000, 0},
        {kServiceRunning, kServiceAcceptStop, 0, 0, 0},
        {kServiceRunning, kServiceAcceptStop, 0, 0, 0},  // interrogate: unchanged
        {kServiceStopPending, kServiceAcceptStop, 2, 0, 0},
        {kServiceStopped, kServiceAcceptStop, 0, 0, 0},
    };
    ASSERT_EQ(m_manager.m_reports.size(), std::size(kWant));
    for (std::size_t i = 0; i < std::size(kWant); ++i) {
        SCOPED_TRACE("report " + std::to_string(i));
        const CServiceStatus& got = m_manager.m_reports[i];
        EXPECT_EQ(got.m_serviceType, kServiceOwnProcess);
        EXPECT_EQ(got.m_currentState, kWant[i].state);
        EXPECT_EQ(got.m_controlsAccepted, kWant[i].accepted);
        EXPECT_EQ(got.m_checkPoint, kWant[i].checkPoint);
        EXPECT_EQ(got.m_waitHint, kWant[i].waitHint);
        EXPECT_EQ(got.m_win32ExitCode, kWant[i].exitCode);
        EXPECT_EQ(got.m_serviceSpecificExitCode, 0);
    }
}

// Whatever keeps the server from starting, the service still ends with a stopped report that
// carries the recorded error, and the server never runs outside the program's folder.
TEST_F(ServiceHostTest, ServiceStartFailuresEndStoppedWithTheError) {
    struct {
        const char* label;
        int pathError, chdirError, setStatusError;
        const char* event;
    } const kCases[] = {
        {"no program path", ENOENT, 0, 0, "GetModuleFileName failed"},
        {"folder not entered", 0, EACCES, 0, "SetCurrentDirectory failed"},
        {"start report refused", 0, 0, EPIPE, "SetServiceStatus"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.label);
        m_manager = CFakeServiceManager{};
        m_manager.m_setStatusError = c.setStatusError;
        m_log.m_events.clear();
        m_runs = 0;
        m_pathError = c.pathError;
        m_chdirError = c.chdirError;
        const int error = c.pathError    ? c.pathError
                          : c.chdirError ? c.chdirError
                                         : c.setStatusError;

        EXPECT_EQ(Run({}), 0);
        EXPECT_EQ(m_runs, 0);
        ASSERT_FALSE(m_log.m_events.empty());
        EXPECT_EQ(m_log.m_events[0].m_text, c.event);
        EXPECT_EQ(m_log.m_events[0].m_line, "Vantrel error: " + std::to_string(error));
        ASSERT_FALSE(m_manager.m_reports.empty());
        EXPECT_EQ(m_manager.m_reports.back().m_currentState, kServiceStopped);
        EXPECT_EQ(m_manager.m_reports.back().m_win32ExitCode, error);
    }
}

TEST_F(ServiceHostTest, NoHandlerMeansNoReports) {
    m_manager.m_registerError = EPERM;
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(m_runs, 0);
    EXPECT_TRUE(m_manager.m_reports.empty());
}

// A stop during start-up is not undone by the running report; nothing follows stopped.
TEST_F(ServiceHostTest, LateReportsDoNotReorderTheStates) {
    m_duringRun = [this] {
        m_manager.m_handler(kServiceControlStop);
        m_host->ReportServiceStatus(kServiceRunning, 0, 0);
    };
    EXPECT_EQ(Run({}), 0);
    m_manager.m_handler(kServiceControlStop);  // after the end
    std::vector<int> states;
    for (const auto& r : m_manager.m_reports)
        states.push_back(r.m_currentState);
    EXPECT_EQ(states, (std::vector<int>{kServiceStartPending, kServiceStopPending, kServiceStopped,
                                        kServiceStopped}));
    EXPECT_EQ(m_stops, 1);
}

// A stop before the start report: nothing claims start-up or readiness after it.
TEST_F(ServiceHostTest, StopBeforeStartReport) {
    m_manager.m_stopOnRegister = true;
    m_duringRun = [this] { m_host->ReportServiceStatus(kServiceRunning, 0, 0); };
    EXPECT_EQ(Run({}), 0);
    std::vector<int> states;
    for (const auto& r : m_manager.m_reports)
        states.push_back(r.m_currentState);
    EXPECT_EQ(states, (std::vector<int>{kServiceStopPending, kServiceStopped}));
    EXPECT_EQ(m_stops, 1);
}

TEST_F(ServiceHostTest, ConsoleModeStopsOnCtrlCBreakAndTerminateOnly) {
    EXPECT_EQ(Run({"-cmd"}), 0);
    ASSERT_TRUE(m_consoleHandler);
    struct {
        int event;
        bool handled;
    } const kCases[] = {
        {kCtrlCEvent, true},
        {kCtrlBreakEvent, true},
        {kCtrlTerminateEvent, true},
        {kCtrlCloseEvent, false},
        {5, false},
        {6, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.event);
        m_out.str("");
        const int stopsBefore = m_stops;
        EXPECT_EQ(m_consoleHandler(c.event), c.handled);
        EXPECT_EQ(m_out.str(), c.handled ? "Stopping Vantrel.\n" : "");
        EXPECT_EQ(m_stops, stopsBefore + (c.handled ? 1 : 0));
    }
    // Console mode reports nothing to the manager or the event log.
    errno = EIO;
    EXPECT_TRUE(m_host->ReportServiceStatus(kServiceRunning, 0, 0));
    m_host->ReportServiceError("anything");
    EXPECT_TRUE(m_manager.m_reports.empty());
    EXPECT_TRUE(m_log.m_events.empty());
}

TEST_F(ServiceHostTest, InstallTexts) {
    struct {
        const char* label;
        int pathError, openError, createError;
        std::string want;
    } const kCases[] = {
        {"installed", 0, 0, 0, "Vantrel installed.\n"},
        {"no path", EACCES, 0, 0, "Unable to install Vantrel - Permission denied (0xd)\n"},
        {"no manager", 0, ENOENT, 0, "OpenSCManager failed - No such file or directory (0x2)\n"},
        {"exists", 0, 0, EEXIST, "CreateService failed - File exists (0x11)\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.label);
        m_manager = CFakeServiceManager{};
        m_manager.m_openError = c.openError;
        m_manager.m_createError = c.createError;
        m_pathError = c.pathError;
        m_out.str("");
        m_err.str("");
        m_manager.m_detail = c.openError || c.createError ? "what failed here" : "";
        EXPECT_EQ(Run({"-install"}), c.want == "Vantrel installed.\n" ? 0 : 1);
        EXPECT_EQ(m_out.str(), c.want);
        // The manager's own words follow on standard error, so the printed line stays as is.
        EXPECT_EQ(m_err.str(), m_manager.m_detail.empty() ? "" : "Vantrel: what failed here\n");
        if (!c.pathError && !c.openError) {
            EXPECT_EQ(m_manager.m_createdPath, m_programPath);
        }
        EXPECT_TRUE(m_log.m_events.empty());
    }
}

// -install FOLDER: the unit publishes that folder as its owner; the ports its vantrel.cfg
// names decide the capability; a folder that is not there installs nothing.
TEST_F(ServiceHostTest, InstallPublishesTheFolderAsItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving the folder to nobody needs root";
    CTempTree site;
    ASSERT_EQ(::chown(site.Path().c_str(), 65534, 65534), 0);  // nobody's
    EXPECT_EQ(Run({"-install", site.Path().string()}), 0);
    EXPECT_EQ(m_manager.m_createdSite.m_folder, fs::canonical(site.Path()).string());
    EXPECT_EQ(m_manager.m_createdSite.m_user, "nobody");
    EXPECT_TRUE(m_manager.m_createdSite.m_lowPorts);  // 80 and 25 by default

    site.Write("vantrel.cfg", "# ports\r\nport=8080&clients=3\nsmtpport=2525\r\n");
    m_manager = CFakeServiceManager{};
    EXPECT_EQ(Run({"-install", site.Path().string()}), 0);
    EXPECT_FALSE(m_manager.m_createdSite.m_lowPorts);

    m_manager = CFakeServiceManager{};
    m_out.str("");
    m_err.str("");
    errno = 0;
    EXPECT_EQ(Run({"-install", (site.Path() / "missing").string()}), 1);
    EXPECT_TRUE(m_manager.m_calls.empty());
    EXPECT_EQ(m_out.str().rfind("Unable to install Vantrel - ", 0), 0u) << m_out.str();
    EXPECT_NE(m_err.str().find("missing: No such file or directory"), std::string::npos)
        << m_err.str();
}

TEST_F(ServiceHostTest, RemoveTexts) {
    struct {
        const char* label;
        int openError, openServiceError, deleteError;
        bool running;
        std::vector<int> queries;
        std::string want;
        long long sleptMs;
    } const kCases[] = {
        {"stopped service", 0, 0, 0, false, {}, "Vantrel removed.\n", 0},
        {"running service",
         0,
         0,
         0,
         true,
         {kServiceStopPending, kServiceStopPending, kServiceStopped},
         "Stopping Vantrel...\nVantrel stopped.\nVantrel removed.\n",
         3000},
        {"stops at once",
         0,
         0,
         0,
         true,
         {kServiceStopped},
         "Stopping Vantrel.\nVantrel stopped.\nVantrel removed.\n",
         1000},
        {"will not stop",
         0,
         0,
         0,
         true,
         {kServiceStopPending, kServiceRunning},
         "Stopping Vantrel..\nVantrel failed to stop.\nVantrel removed.\n",
         2000},
        {"query fails",
         0,
         0,
         0,
         true,
         {},
         "Stopping Vantrel.\nVantrel failed to stop.\nVantrel removed.\n",
         1000},
        {"no manager",
         ENOENT,
         0,
         0,
         false,
         {},
         "OpenSCManager failed - No such file or directory (0x2)\n",
         0},
        {"not installed",
         0,
         ENOENT,
         0,
         false,
         {},
         "OpenService failed - No such file or directory (0x2)\n",
         0},
        {"delete refused",
         0,
         0,
         EACCES,
         false,
         {},
         "DeleteService failed - Permission denied (0xd)\n",
         0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.label);
        m_manager = CFakeServiceManager{};
        m_manager.m_openError = c.openError;
        m_manager.m_openServiceError = c.openServiceError;
        m_manager.m_deleteError = c.deleteError;
        m_manager.m_running = c.running;
        m_manager.m_queryStates = c.queries;
        m_out.str("");
        m_sleptMs = 0;
        EXPECT_EQ(Run({"-remove"}), c.want.find("removed.") != std::string::npos ? 0 : 1);
        EXPECT_EQ(m_out.str(), c.want);
        EXPECT_EQ(m_sleptMs, c.sleptMs);
        EXPECT_EQ(m_runs, 0);
    }
}

TEST_F(ServiceHostTest, LastErrorText) {
    CServiceHost& host = MakeHost();
    char buffer[256];
    errno = ENOENT;
    EXPECT_STREQ(host.GetLastErrorText(buffer, sizeof buffer), "No such file or directory (0x2)");
    errno = ENOTCONN;
    EXPECT_STREQ(host.GetLastErrorText(buffer, sizeof buffer),
                 "Transport endpoint is not connected (0x6b)");
    // Too small for the text and its code: empty, never cut.
    char small[20];
    errno = ENOENT;
    EXPECT_STREQ(host.GetLastErrorText(small, sizeof small), "");
}

}  // namespace
