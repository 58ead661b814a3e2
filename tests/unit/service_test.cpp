// Service host: the command line, status reports as systemd notifications, the error text,
// installing and removing the unit, and the events and pipe of the start-up wait.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_host.h"
#include "platform/sysinfo.h"
#include "service/service.h"
#include "test_server.h"

namespace {

class EnvGuard {
public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) saved_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvGuard() {
        if (had_) {
            setenv(name_.c_str(), saved_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::string saved_;
    bool had_ = false;
};

std::string UniqueName(const char* what) {
    static int n = 0;
    return std::string("veve4d-unit-") + what + "-" + std::to_string(getpid()) + "-" + std::to_string(++n);
}

std::string ErrorText(uint32_t code) {
    SetLastSystemError(code);
    char buf[256];
    return GetLastErrorText(buf, sizeof buf);
}

// ---- Command line

struct OptionCase {
    std::vector<const char*> args;
    CommandOption expected;
};

TEST(CommandLine, OptionIsFirstArgumentWithDashOrSlashIgnoringCase) {
    const OptionCase cases[] = {
        {{}, OPTION_NONE},
        {{"-install"}, OPTION_INSTALL},
        {{"/INSTALL"}, OPTION_INSTALL},
        {{"-Install2"}, OPTION_NONE},
        {{"install"}, OPTION_NONE},
        {{"--install"}, OPTION_NONE},
        {{"-"}, OPTION_NONE},
        {{"/"}, OPTION_NONE},
        {{"/Remove"}, OPTION_REMOVE},
        {{"-DeBuG"}, OPTION_DEBUG},
        {{"-version"}, OPTION_VERSION},
        {{"/VERSION", "-install"}, OPTION_VERSION},
        {{"-x", "-install"}, OPTION_NONE},
        {{"-debug "}, OPTION_NONE},
    };
    for (const OptionCase& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("veve4d")};
        for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        EXPECT_EQ(ParseCommandOption(static_cast<int>(argv.size()) - 1, argv.data()), c.expected)
            << (c.args.empty() ? "(none)" : c.args[0]);
    }
}

TEST(CommandLine, VersionNamesTheReleaseAndEndsWithAnEmptyLine) {
    testing::internal::CaptureStdout();
    PrintVersion();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Velmora IMAP4rev1 Server Beta(0.07)  ", 0), 0u) << out;
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
    EXPECT_NE(out[out.size() - 3], '\n') << "one closing line, then one empty line";
}

TEST(CommandLine, UnknownOptionPrintsUsageThenFailsToReachTheServiceManager) {
    EnvGuard noSocket("NOTIFY_SOCKET", nullptr);
    char arg0[] = "veve4d";
    char arg1[] = "-Install2";
    char* argv[] = {arg0, arg1, nullptr};
    dwLastError = 0;
    testing::internal::CaptureStdout();
    int result = ServiceEntry(2, argv);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "vlmveve4d-svc -install          It inserts service.\n"
              "vlmveve4d-svc -remove           It removes service.\n"
              "vlmveve4d-svc -debug            To debug, it executes as the console application.\n"
              "vlmveve4d-svc -version          It displays a version.\n"
              "\nSeveral seconds or the debug mode borrows to end.\n"
              "waiting...\n");
    EXPECT_NE(result, 0);
    // The failed dispatcher start was written as an error event.
    EXPECT_EQ(dwLastError, static_cast<uint32_t>(ENOTCONN));
}

// ---- Error text and event log

TEST(ErrorText, SystemTextWithHexCode) {
    EXPECT_EQ(ErrorText(ENOENT), "No such file or directory (0x2)");
    EXPECT_EQ(ErrorText(EADDRINUSE), "Address already in use (0x62)");
    EXPECT_EQ(ErrorText(EEXIST), "File exists (0x11)");
}

TEST(ErrorText, BufferThatCannotHoldTextAndCodeStaysEmpty) {
    const std::string text = "File exists";
    std::vector<char> buf(text.size() + 14, 'x');
    SetLastSystemError(EEXIST);
    EXPECT_STREQ(GetLastErrorText(buf.data(), buf.size()), "File exists (0x11)");
    buf.assign(text.size() + 13, 'x');
    SetLastSystemError(EEXIST);
    EXPECT_STREQ(GetLastErrorText(buf.data(), buf.size()), "");
}

TEST(EventLog, OnlyErrorEventsSaveTheSystemError) {
    dwLastError = 0;
    SetLastSystemError(EADDRINUSE);
    AddToEventLog("The named pipe could not be made.", "%s error: %d", EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(dwLastError, static_cast<uint32_t>(EADDRINUSE));
    SetLastSystemError(ENOENT);
    AddToEventLog("Velmora IMAP4rev1 Server", "(0.07)", EVENTLOG_SUCCESS);
    EXPECT_EQ(dwLastError, static_cast<uint32_t>(EADDRINUSE));
}

// ---- Status reports

// A datagram socket standing in for systemd's notification socket.
struct NotifyReceiver {
    int fd = -1;
    std::string name;

    NotifyReceiver() {
        name = "@" + UniqueName("notify");
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path + 1, name.c_str() + 1, name.size() - 1);
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) ADD_FAILURE() << "bind " << strerror(errno);
    }
    ~NotifyReceiver() { close(fd); }

    // The next datagram, "" when none is waiting.
    std::string Next() {
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};

void NoHandler(uint32_t) {}

class StatusReports : public testing::Test {
protected:
    void SetUp() override {
        bDebug = 0;
        dwCheckPoint = 1;
        dwLastError = 0;
        ServiceStatus = SERVICE_STATUS{};
        hServiceStatus = RegisterServiceCtrlHandler("VLMVEVE4D-SVC", NoHandler);
        ASSERT_NE(hServiceStatus, nullptr);
    }
    void TearDown() override { bDebug = 0; }

    NotifyReceiver receiver;
    EnvGuard socketEnv{"NOTIFY_SOCKET", receiver.name.c_str()};
};

TEST_F(StatusReports, PendingStatesCountCheckpointsRunningAndStoppedReportZero) {
    ASSERT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 3000), 1);
    EXPECT_EQ(ServiceStatus.dwCheckPoint, 1u);
    EXPECT_EQ(ServiceStatus.dwControlsAccepted, 0u);
    EXPECT_EQ(receiver.Next(), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=3000000\n");

    ASSERT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 3000), 1);
    EXPECT_EQ(ServiceStatus.dwCheckPoint, 2u);
    EXPECT_EQ(receiver.Next(), "STATUS=Starting (checkpoint 2)\nEXTEND_TIMEOUT_USEC=3000000\n");

    ASSERT_EQ(ReportStatus(SERVICE_RUNNING, 0, 0), 1);
    EXPECT_EQ(ServiceStatus.dwCheckPoint, 0u);
    EXPECT_EQ(ServiceStatus.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(receiver.Next(), "READY=1\nSTATUS=Running\n");

    // An interrogate while running repeats the state with checkpoint 0.
    ASSERT_EQ(ReportStatus(ServiceStatus.dwCurrentState, 0, 0), 1);
    EXPECT_EQ(ServiceStatus.dwCheckPoint, 0u);
    EXPECT_EQ(receiver.Next(), "READY=1\nSTATUS=Running\n");

    // The counter only grows: the stop continues where the start left off.
    ASSERT_EQ(ReportStatus(SERVICE_STOP_PENDING, 0, 15000), 1);
    EXPECT_EQ(ServiceStatus.dwCheckPoint, 3u);
    EXPECT_EQ(ServiceStatus.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(receiver.Next(), "STOPPING=1\nSTATUS=Stopping (checkpoint 3)\nEXTEND_TIMEOUT_USEC=15000000\n");

    ASSERT_EQ(ReportStatus(SERVICE_STOPPED, 0, 0), 1);
    EXPECT_EQ(ServiceStatus.dwCheckPoint, 0u);
    EXPECT_EQ(receiver.Next(), "STATUS=Stopped\n");
    EXPECT_EQ(dwCheckPoint, 4u);
    EXPECT_EQ(receiver.Next(), "");
}

TEST_F(StatusReports, StoppedWithAnErrorPassesItOn) {
    ASSERT_EQ(ReportStatus(SERVICE_STOPPED, EADDRINUSE, 0), 1);
    EXPECT_EQ(ServiceStatus.dwWin32ExitCode, static_cast<uint32_t>(EADDRINUSE));
    EXPECT_EQ(receiver.Next(), "STATUS=Stopped (error 98)\nERRNO=98\n");
}

TEST_F(StatusReports, PendingWithoutWaitHintDoesNotExtendTheTimeout) {
    ASSERT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 0), 1);
    EXPECT_EQ(receiver.Next(), "STATUS=Starting (checkpoint 1)\n");
}

TEST_F(StatusReports, DebugModeReportsNothingAndSucceeds) {
    bDebug = 1;
    EXPECT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 3000), 1);
    EXPECT_EQ(ReportStatus(SERVICE_RUNNING, 0, 0), 1);
    EXPECT_EQ(receiver.Next(), "");
    EXPECT_EQ(dwCheckPoint, 1u);
}

TEST(StatusReportFailure, UnreachableManagerFailsAndWritesAnErrorEvent) {
    EnvGuard socketEnv("NOTIFY_SOCKET", ("@" + UniqueName("nobody")).c_str());
    bDebug = 0;
    dwLastError = 0;
    hServiceStatus = RegisterServiceCtrlHandler("VLMVEVE4D-SVC", NoHandler);
    ASSERT_NE(hServiceStatus, nullptr);
    EXPECT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 3000), 0);
    EXPECT_EQ(dwLastError, static_cast<uint32_t>(ECONNREFUSED));
}

TEST(StatusReportFailure, NoManagerNoHandle) {
    EnvGuard noSocket("NOTIFY_SOCKET", nullptr);
    EXPECT_EQ(RegisterServiceCtrlHandler("VLMVEVE4D-SVC", NoHandler), nullptr);
    EnvGuard relative("NOTIFY_SOCKET", "relative/path");
    EXPECT_EQ(RegisterServiceCtrlHandler("VLMVEVE4D-SVC", NoHandler), nullptr);
}

// The dispatcher turns SIGTERM into the stop control; one that comes while the service is still
// starting (accepting no control) waits until the service runs.
std::atomic<int> g_stopsWhileStarting{0};
std::atomic<int> g_stopsWhileRunning{0};
std::atomic<bool> g_running{false};
std::atomic<int> g_interrogates{0};

void RecordingHandler(uint32_t dwControl) {
    if (dwControl == SERVICE_CONTROL_STOP) (g_running.load() ? g_stopsWhileRunning : g_stopsWhileStarting)++;
    if (dwControl == SERVICE_CONTROL_INTERROGATE) g_interrogates++;
}

template <typename Pred>
bool WaitUntil(Pred pred) {
    for (int i = 0; i < 1000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pred();
}

void EarlyStopServiceMain(int argc, char** argv) {
    EXPECT_EQ(argc, 1);
    EXPECT_STREQ(argv[0], "VLMVEVE4D-SVC");
    SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandler("VLMVEVE4D-SVC", RecordingHandler);
    ASSERT_NE(h, nullptr);
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 1, 3000};
    ASSERT_TRUE(SetServiceStatus(h, &status));
    kill(getpid(), SIGHUP);
    EXPECT_TRUE(WaitUntil([] { return g_interrogates.load() == 1; }));
    kill(getpid(), SIGTERM);
    // Give the control thread time to take the signal; it must hold it back meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    g_running = true;
    status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    ASSERT_TRUE(SetServiceStatus(h, &status));
    EXPECT_TRUE(WaitUntil([] { return g_stopsWhileRunning.load() == 1; }));
    status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(h, &status);
}

TEST(Dispatcher, StopDuringStartIsHeldUntilTheServiceRuns) {
    NotifyReceiver receiver;
    EnvGuard socketEnv("NOTIFY_SOCKET", receiver.name.c_str());
    ASSERT_TRUE(StartServiceCtrlDispatcher("VLMVEVE4D-SVC", EarlyStopServiceMain));
    EXPECT_EQ(g_stopsWhileStarting.load(), 0);
    EXPECT_EQ(g_stopsWhileRunning.load(), 1);
}

// ---- Installing and removing the unit

// A unit directory and a systemctl that logs its calls and answers is-active from a list of
// states, one per call, repeating the last.
class UnitFiles : public testing::Test {
protected:
    void SetUp() override {
        unitDir = tmp.path + "/units";
        mkdir(unitDir.c_str(), 0755);
        mkdir((tmp.path + "/pam.d").c_str(), 0755);
        WriteFile(tmp.path + "/states", "inactive\n");
        const std::string script = tmp.path + "/systemctl";
        WriteFile(script,
                  "#!/bin/sh\n"
                  "d='" + tmp.path + "'\n"
                  "echo \"$*\" >> \"$d/calls\"\n"
                  "if [ \"$1\" = is-active ]; then\n"
                  "  state=$(head -n 1 \"$d/states\")\n"
                  "  if [ \"$(wc -l < \"$d/states\")\" -gt 1 ]; then\n"
                  "    tail -n +2 \"$d/states\" > \"$d/states.next\"; mv \"$d/states.next\" \"$d/states\"\n"
                  "  fi\n"
                  "  echo \"$state\"\n"
                  "  [ \"$state\" = active ] || exit 3\n"
                  "fi\n"
                  "exit 0\n");
        chmod(script.c_str(), 0755);
        unitEnv = std::make_unique<EnvGuard>("VEVE4D_UNIT_DIR", unitDir.c_str());
        ctlEnv = std::make_unique<EnvGuard>("VEVE4D_SYSTEMCTL", script.c_str());
        pamEnv = std::make_unique<EnvGuard>("VEVE4D_PAM_DIR", (tmp.path + "/pam.d").c_str());
    }

    std::string Calls() { return FileExists(tmp.path + "/calls") ? ReadFile(tmp.path + "/calls") : ""; }
    std::string UnitPath() { return unitDir + "/vlmveve4d-svc.service"; }

    template <typename F>
    std::string Output(F f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }

    TempDir tmp;
    std::string unitDir;
    std::unique_ptr<EnvGuard> unitEnv, ctlEnv, pamEnv;
};

TEST_F(UnitFiles, InstallWritesADemandStartNotifyUnitAndReloads) {
    EXPECT_EQ(Output(InstallService), "Velmora IMAP4rev1 Server installed.\n");
    char exe[512];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    ASSERT_EQ(strpbrk(exe, " %$\"\\"), nullptr) << "test binary path needs no quoting";
    EXPECT_EQ(ReadFile(UnitPath()),
              "[Unit]\n"
              "Description=Velmora IMAP4rev1 Server\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=" + std::string(exe) + "\n"
              "StandardOutput=null\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    // Reloaded, never enabled or started.
    EXPECT_EQ(Calls(), "daemon-reload\n");
}

TEST_F(UnitFiles, InstallOverAnExistingUnitFailsAndKeepsIt) {
    WriteFile(UnitPath(), "mine\n");
    EXPECT_EQ(Output(InstallService), "CreateService failed - File exists (0x11)\n");
    EXPECT_EQ(ReadFile(UnitPath()), "mine\n");
    EXPECT_EQ(Calls(), "");
}

TEST_F(UnitFiles, MissingUnitDirectoryFailsToOpenTheManager) {
    EnvGuard gone("VEVE4D_UNIT_DIR", (tmp.path + "/nowhere").c_str());
    EXPECT_EQ(Output(InstallService), "OpenSCManager failed - No such file or directory (0x2)\n");
    EXPECT_EQ(Output(RemoveService), "OpenSCManager failed - No such file or directory (0x2)\n");
}

TEST_F(UnitFiles, RemoveOfAnUnknownServiceFailsToOpenIt) {
    EXPECT_EQ(Output(RemoveService), "OpenService failed - No such file or directory (0x2)\n");
}

TEST_F(UnitFiles, RemoveOfAStoppedServiceDeletesWithoutStopping) {
    WriteFile(UnitPath(), "unit\n");
    EXPECT_EQ(Output(RemoveService), "Velmora IMAP4rev1 Server removed.\n");
    EXPECT_FALSE(FileExists(UnitPath()));
    EXPECT_EQ(Calls(), "is-active vlmveve4d-svc.service\ndaemon-reload\n");
}

TEST_F(UnitFiles, RemoveOfARunningServiceWaitsForItToStop) {
    WriteFile(UnitPath(), "unit\n");
    WriteFile(tmp.path + "/states", "active\ndeactivating\ninactive\n");
    EXPECT_EQ(Output(RemoveService),
              "Stopping Velmora IMAP4rev1 Server..\n"
              "Velmora IMAP4rev1 Server stopped.\n"
              "Velmora IMAP4rev1 Server removed.\n");
    EXPECT_FALSE(FileExists(UnitPath()));
    EXPECT_EQ(Calls(),
              "is-active vlmveve4d-svc.service\n"
              "stop --no-block vlmveve4d-svc.service\n"
              "is-active vlmveve4d-svc.service\n"
              "is-active vlmveve4d-svc.service\n"
              "daemon-reload\n");
}

TEST_F(UnitFiles, RemoveOfAServiceThatKeepsRunningSaysSoAndStillDeletes) {
    WriteFile(UnitPath(), "unit\n");
    WriteFile(tmp.path + "/states", "active\n");
    EXPECT_EQ(Output(RemoveService),
              "Stopping Velmora IMAP4rev1 Server.\n"
              "Velmora IMAP4rev1 Server failed to stop.\n"
              "Velmora IMAP4rev1 Server removed.\n");
    EXPECT_FALSE(FileExists(UnitPath()));
}

TEST_F(UnitFiles, UnreachableSystemctlCountsAsNotRunning) {
    WriteFile(UnitPath(), "unit\n");
    EnvGuard missing("VEVE4D_SYSTEMCTL", (tmp.path + "/no-such-systemctl").c_str());
    EXPECT_EQ(Output(RemoveService), "Velmora IMAP4rev1 Server removed.\n");
    EXPECT_FALSE(FileExists(UnitPath()));
}

TEST(ServiceUnit, ExecStartIsQuotedAndEscapedForSystemd) {
    struct Case {
        const char* path;
        const char* execLine;
    } cases[] = {
        {"/usr/sbin/veve4d", "ExecStart=/usr/sbin/veve4d\n"},
        {"/opt/my mail/veve4d", "ExecStart=\"/opt/my mail/veve4d\"\n"},
        {"/opt/100%/veve4d", "ExecStart=/opt/100%%/veve4d\n"},
        {"/opt/$HOME/veve4d", "ExecStart=/opt/$$HOME/veve4d\n"},
        {"/opt/a\"b\\c", "ExecStart=\"/opt/a\\\"b\\\\c\"\n"},
    };
    for (const Case& c : cases) {
        char buf[1024];
        ASSERT_GT(FormatServiceUnit("Velmora IMAP4rev1 Server", c.path, buf, sizeof buf), 0u) << c.path;
        EXPECT_NE(strstr(buf, c.execLine), nullptr) << buf;
    }
}

TEST(ServiceUnit, UnrepresentableOrTooLongGivesNothing) {
    char buf[1024];
    EXPECT_EQ(FormatServiceUnit("Velmora", "/opt/a\nb", buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    size_t full = FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, sizeof buf);
    ASSERT_GT(full, 0u);
    EXPECT_EQ(strlen(buf), full);
    EXPECT_EQ(FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, full), 0u);
    EXPECT_EQ(FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, full + 1), full);
    EXPECT_EQ(FormatServiceUnit("10% off", "/x", buf, sizeof buf) > 0 && strstr(buf, "Description=10%% off\n"),
              true);
}

// ---- Events and the pipe

TEST(Events, ManualResetStaysSignalledUntilReset) {
    HANDLE_EVENT a = CreateEvent();
    HANDLE_EVENT b = CreateEvent();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    HANDLE_EVENT both[2] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_TIMEOUT);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 10000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 10000), WAIT_OBJECT_0 + 1);
    // When both are signalled the lower index is reported: the stop event comes first.
    SetEvent(a);
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 10000), WAIT_OBJECT_0);
    ResetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_OBJECT_0 + 1);
    ResetEvent(b);
    ResetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 20), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(0, both, 0), WAIT_FAILED);
    CloseEvent(a);
    CloseEvent(b);
}

TEST(Events, SetFromAnotherThreadEndsTheWait) {
    HANDLE_EVENT a = CreateEvent();
    std::thread setter([a] { SetEvent(a); });
    EXPECT_EQ(WaitForMultipleObjects(1, &a, 60000), WAIT_OBJECT_0);
    setter.join();
    CloseEvent(a);
}

TEST(NamedPipe, SocketNameIsTheLastPartOrTheOverride) {
    char buf[108];
    {
        EnvGuard none("VEVE4D_PIPE_NAME", nullptr);
        PipeSocketName("\\\\.\\pipe\\Velmora VEVE4D", buf, sizeof buf);
        EXPECT_STREQ(buf, "Velmora VEVE4D");
        PipeSocketName("plain", buf, sizeof buf);
        EXPECT_STREQ(buf, "plain");
    }
    EnvGuard set("VEVE4D_PIPE_NAME", "other");
    PipeSocketName("\\\\.\\pipe\\Velmora VEVE4D", buf, sizeof buf);
    EXPECT_STREQ(buf, "other");
}

TEST(NamedPipe, SecondInstanceCannotTakeTheName) {
    EnvGuard name("VEVE4D_PIPE_NAME", UniqueName("pipe").c_str());
    HANDLE_PIPE first = CreateNamedPipe("\\\\.\\pipe\\Velmora VEVE4D");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CreateNamedPipe("\\\\.\\pipe\\Velmora VEVE4D"), nullptr);
    EXPECT_EQ(GetLastSystemError(), static_cast<uint32_t>(EADDRINUSE));
    ClosePipe(first);
    // Gone with its owner: the next start gets it.
    HANDLE_PIPE again = CreateNamedPipe("\\\\.\\pipe\\Velmora VEVE4D");
    EXPECT_NE(again, nullptr);
    ClosePipe(again);
}

TEST(NamedPipe, ConnectPendsUntilAClientComesAndThenSignalsTheEvent) {
    EnvGuard name("VEVE4D_PIPE_NAME", UniqueName("pipe").c_str());
    HANDLE_PIPE pipe = CreateNamedPipe("\\\\.\\pipe\\Velmora VEVE4D");
    HANDLE_EVENT stop = CreateEvent();
    HANDLE_EVENT pipeEvent = CreateEvent();
    ASSERT_NE(pipe, nullptr);
    HANDLE_EVENT both[2] = {stop, pipeEvent};

    ASSERT_EQ(ConnectNamedPipe(pipe, pipeEvent), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(ConnectToPipe("\\\\.\\pipe\\Velmora VEVE4D"));
    EXPECT_EQ(WaitForMultipleObjects(2, both, 60000), WAIT_OBJECT_0 + 1);
    // Manual reset: it stays signalled for the next look.
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_OBJECT_0 + 1);

    // A client that came before the connect is reported as already connected.
    ResetEvent(pipeEvent);
    DisconnectNamedPipe(pipe);
    ASSERT_TRUE(ConnectToPipe("\\\\.\\pipe\\Velmora VEVE4D"));
    EXPECT_EQ(ConnectNamedPipe(pipe, pipeEvent), ERROR_PIPE_CONNECTED);
    DisconnectNamedPipe(pipe);
    EXPECT_EQ(ConnectNamedPipe(pipe, pipeEvent), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_TIMEOUT);

    // Closing the pipe while a connect pends leaves the event safe to wait on.
    ClosePipe(pipe);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_TIMEOUT);
    CloseEvent(stop);
    CloseEvent(pipeEvent);
}

TEST(NamedPipe, NobodyListeningRefusesTheClient) {
    EnvGuard name("VEVE4D_PIPE_NAME", UniqueName("pipe").c_str());
    EXPECT_FALSE(ConnectToPipe("\\\\.\\pipe\\Velmora VEVE4D"));
}

// ---- System probe

TEST(SystemInfo, KernelReleaseGivesVersionNumbers) {
    struct Case {
        const char* release;
        long major, minor, build;
    } cases[] = {
        {"6.1.0-18-amd64", 6, 1, 0},
        {"5.15.153.1-microsoft-standard-WSL2", 5, 15, 153},
        {"3.10.0-1160.el7.x86_64", 3, 10, 0},
        {"6.8.12", 6, 8, 12},
        {"4.4", 4, 4, 0},
        {"7", 7, 0, 0},
        {"", 0, 0, 0},
        {"rc1", 0, 0, 0},
        {"99999999999999999999.1.2", 999999999, 1, 2},
    };
    for (const Case& c : cases) {
        OsVersionInfo info;
        ParseKernelRelease("Linux", c.release, &info);
        EXPECT_EQ(info.dwMajorVersion, c.major) << c.release;
        EXPECT_EQ(info.dwMinorVersion, c.minor) << c.release;
        EXPECT_EQ(info.dwBuildNumber, c.build) << c.release;
        EXPECT_EQ(std::string(info.szCSDVersion), std::string("Linux ") + c.release);
    }
}

TEST(SystemInfo, MachineNameGivesArchitecture) {
    struct Case {
        const char* machine;
        uint16_t arch;
    } cases[] = {
        {"x86_64", PROCESSOR_ARCHITECTURE_INTEL}, {"i386", PROCESSOR_ARCHITECTURE_INTEL},
        {"i686", PROCESSOR_ARCHITECTURE_INTEL},   {"x86", PROCESSOR_ARCHITECTURE_INTEL},
        {"i786", PROCESSOR_ARCHITECTURE_UNKNOWN}, {"mips", PROCESSOR_ARCHITECTURE_MIPS},
        {"mips64", PROCESSOR_ARCHITECTURE_MIPS},  {"alpha", PROCESSOR_ARCHITECTURE_ALPHA},
        {"aarch64", PROCESSOR_ARCHITECTURE_UNKNOWN}, {"armv7l", PROCESSOR_ARCHITECTURE_UNKNOWN},
        {"", PROCESSOR_ARCHITECTURE_UNKNOWN},
    };
    for (const Case& c : cases) EXPECT_EQ(ArchitectureFromMachine(c.machine), c.arch) << c.machine;
}

TEST(SystemInfo, CompletionPortNeedsARealSocket) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    CompletionPort port = CreateIoCompletionPort(sock);
    EXPECT_NE(port, INVALID_COMPLETION_PORT);
    close(sock);
    CloseCompletionPort(port);
    EXPECT_EQ(CreateIoCompletionPort(-1), INVALID_COMPLETION_PORT);
    SystemInfo si;
    GetSystemInfo(&si);
    EXPECT_GE(si.dwNumberOfProcessors, 1u);
}

}  // namespace
