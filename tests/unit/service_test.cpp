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
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "env_guard.h"
#include "platform/service_host.h"
#include "platform/sysinfo.h"
#include "service/service.h"
#include "test_server.h"

namespace {

const char* const kPipe = "\\\\.\\pipe\\Velmora VEVE4D";

std::string UniqueName(const char* what) {
    static int n = 0;
    return std::string("veve4d-unit-") + what + "-" + std::to_string(getpid()) + "-" + std::to_string(++n);
}

template <typename F>
std::string Printed(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

TEST(CommandLine, OptionIsFirstArgumentWithDashOrSlashIgnoringCase) {
    const struct {
        std::vector<const char*> args;
        CommandOption expected;
    } cases[] = {
        {{}, OPTION_NONE},          {{"-install"}, OPTION_INSTALL},   {{"/INSTALL"}, OPTION_INSTALL},
        {{"-Install2"}, OPTION_NONE}, {{"install"}, OPTION_NONE},     {{"--install"}, OPTION_NONE},
        {{"/"}, OPTION_NONE},       {{"/Remove"}, OPTION_REMOVE},     {{"-DeBuG"}, OPTION_DEBUG},
        {{"-debug "}, OPTION_NONE}, {{"/VERSION", "-install"}, OPTION_VERSION}, {{"-x", "-install"}, OPTION_NONE},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("veve4d")};
        for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        EXPECT_EQ(ParseCommandOption(static_cast<int>(argv.size()) - 1, argv.data()), c.expected)
            << (c.args.empty() ? "(none)" : c.args[0]);
    }
}

TEST(CommandLine, VersionAndUsage) {
    std::string out = Printed(PrintVersion);
    EXPECT_EQ(out.rfind("Velmora IMAP4rev1 Server Beta(0.07)  ", 0), 0u) << out;
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
    EXPECT_NE(out[out.size() - 3], '\n') << "one closing line, then one empty line";

    // An unknown option prints the usage, then the dispatcher start fails without a manager.
    EnvGuard noSocket("NOTIFY_SOCKET", nullptr);
    char arg0[] = "veve4d", arg1[] = "-Install2";
    char* argv[] = {arg0, arg1, nullptr};
    dwLastError = 0;
    int result = 0;
    EXPECT_EQ(Printed([&] { result = ServiceEntry(2, argv); }),
              "vlmveve4d-svc -install          It inserts service.\n"
              "vlmveve4d-svc -remove           It removes service.\n"
              "vlmveve4d-svc -debug            To debug, it executes as the console application.\n"
              "vlmveve4d-svc -version          It displays a version.\n"
              "\nSeveral seconds or the debug mode borrows to end.\n"
              "waiting...\n");
    EXPECT_NE(result, 0);
    EXPECT_EQ(dwLastError, static_cast<uint32_t>(ENOTCONN));  // written as an error event
}

TEST(ErrorText, SystemTextWithHexCodeAndOnlyErrorEventsKeepIt) {
    // "File exists" needs 14 more bytes; one fewer leaves the text empty.
    std::vector<char> buf(11 + 14, 'x');
    SetLastSystemError(EEXIST);
    EXPECT_STREQ(GetLastErrorText(buf.data(), buf.size()), "File exists (0x11)");
    buf.assign(11 + 13, 'x');
    SetLastSystemError(EEXIST);
    EXPECT_STREQ(GetLastErrorText(buf.data(), buf.size()), "");

    dwLastError = 0;
    SetLastSystemError(EADDRINUSE);
    AddToEventLog("The named pipe could not be made.", "%s error: %d", EVENTLOG_ERROR_TYPE);
    SetLastSystemError(ENOENT);
    AddToEventLog("Velmora IMAP4rev1 Server", "(0.07)", EVENTLOG_SUCCESS);
    EXPECT_EQ(dwLastError, static_cast<uint32_t>(EADDRINUSE));
}

// A datagram socket standing in for systemd's notification socket.
struct NotifyReceiver {
    std::string name = "@" + UniqueName("notify");
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    NotifyReceiver() {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path + 1, name.c_str() + 1, name.size() - 1);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), offsetof(sockaddr_un, sun_path) + name.size()) != 0)
            ADD_FAILURE() << "bind " << strerror(errno);
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

TEST(StatusReports, CheckpointsCountWhilePendingAndEachStateHasItsNotification) {
    NotifyReceiver receiver;
    EnvGuard socketEnv("NOTIFY_SOCKET", receiver.name.c_str());
    bDebug = 0;
    dwCheckPoint = 1;
    ServiceStatus = SERVICE_STATUS{};
    hServiceStatus = RegisterServiceCtrlHandler("VLMVEVE4D-SVC", NoHandler);
    ASSERT_NE(hServiceStatus, nullptr);
    const struct {
        uint32_t state, exitCode, waitHint, checkPoint, controls;
        const char* message;
    } steps[] = {
        {SERVICE_START_PENDING, 0, 0, 1, 0, "STATUS=Starting (checkpoint 1)\n"},
        {SERVICE_START_PENDING, 0, 3000, 2, 0, "STATUS=Starting (checkpoint 2)\nEXTEND_TIMEOUT_USEC=3000000\n"},
        {SERVICE_RUNNING, 0, 0, 0, SERVICE_ACCEPT_STOP, "READY=1\nSTATUS=Running\n"},
        {SERVICE_RUNNING, 0, 0, 0, SERVICE_ACCEPT_STOP, "READY=1\nSTATUS=Running\n"},  // an interrogate
        // The counter only grows: the stop continues where the start left off.
        {SERVICE_STOP_PENDING, 0, 15000, 3, SERVICE_ACCEPT_STOP,
         "STOPPING=1\nSTATUS=Stopping (checkpoint 3)\nEXTEND_TIMEOUT_USEC=15000000\n"},
        {SERVICE_STOPPED, 0, 0, 0, SERVICE_ACCEPT_STOP, "STATUS=Stopped\n"},
        {SERVICE_STOPPED, EADDRINUSE, 0, 0, SERVICE_ACCEPT_STOP, "STATUS=Stopped (error 98)\nERRNO=98\n"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.message);
        ASSERT_EQ(ReportStatus(s.state, s.exitCode, s.waitHint), 1);
        EXPECT_EQ(ServiceStatus.dwCheckPoint, s.checkPoint);
        EXPECT_EQ(ServiceStatus.dwControlsAccepted, s.controls);
        EXPECT_EQ(ServiceStatus.dwWin32ExitCode, s.exitCode);
        EXPECT_EQ(receiver.Next(), s.message);
    }
    EXPECT_EQ(receiver.Next(), "");

    // The debug mode reports nothing and succeeds.
    bDebug = 1;
    EXPECT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 3000), 1);
    EXPECT_EQ(receiver.Next(), "");
    EXPECT_EQ(dwCheckPoint, 4u);
    bDebug = 0;
}

TEST(StatusReports, UnreachableManagerFailsAndWritesAnErrorEvent) {
    for (const char* pszSocket : {static_cast<const char*>(nullptr), "relative/path"}) {
        EnvGuard socketEnv("NOTIFY_SOCKET", pszSocket);
        EXPECT_EQ(RegisterServiceCtrlHandler("VLMVEVE4D-SVC", NoHandler), nullptr);
    }
    EnvGuard socketEnv("NOTIFY_SOCKET", ("@" + UniqueName("nobody")).c_str());
    dwLastError = 0;
    hServiceStatus = RegisterServiceCtrlHandler("VLMVEVE4D-SVC", NoHandler);
    ASSERT_NE(hServiceStatus, nullptr);
    EXPECT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 3000), 0);
    EXPECT_EQ(dwLastError, static_cast<uint32_t>(ECONNREFUSED));
}

// SIGTERM becomes the stop control; one that comes while the service is still starting
// (accepting no control) waits until the service runs.
std::atomic<int> g_stopsWhileStarting{0}, g_stopsWhileRunning{0}, g_interrogates{0};
std::atomic<bool> g_running{false};

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

// A unit directory and a systemctl that logs its calls and answers is-active from a list of
// states, one per call, repeating the last.
class UnitFiles : public testing::Test {
protected:
    void SetUp() override {
        mkdir(unitDir.c_str(), 0755);
        mkdir((tmp.path + "/pam.d").c_str(), 0755);
        WriteFile(systemctl, "#!/bin/sh\n"
                             "d='" + tmp.path + "'\n"
                             "echo \"$*\" >> \"$d/calls\"\n"
                             "if [ \"$1\" = is-active ]; then\n"
                             "  state=$(head -n 1 \"$d/states\")\n"
                             "  if [ \"$(wc -l < \"$d/states\")\" -gt 1 ]; then\n"
                             "    tail -n +2 \"$d/states\" > \"$d/states.next\"; mv \"$d/states.next\" \"$d/states\"\n"
                             "  fi\n"
                             "  echo \"$state\"\n"
                             "  [ \"$state\" = active ] || exit 3\n"
                             "fi\n");
        chmod(systemctl.c_str(), 0755);
        WriteFile(tmp.path + "/states", "inactive\n");
    }

    std::string Calls() { return FileExists(tmp.path + "/calls") ? ReadFile(tmp.path + "/calls") : ""; }

    TempDir tmp;
    std::string unitDir = tmp.path + "/units";
    std::string unitPath = unitDir + "/vlmveve4d-svc.service";
    std::string systemctl = tmp.path + "/systemctl";
    EnvGuard unitEnv{"VEVE4D_UNIT_DIR", unitDir.c_str()};
    EnvGuard ctlEnv{"VEVE4D_SYSTEMCTL", systemctl.c_str()};
    EnvGuard pamEnv{"VEVE4D_PAM_DIR", (tmp.path + "/pam.d").c_str()};
};

TEST_F(UnitFiles, InstallWritesADemandStartNotifyUnitAndReloads) {
    EXPECT_EQ(Printed(InstallService), "Velmora IMAP4rev1 Server installed.\n");
    char exe[512];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    ASSERT_EQ(strpbrk(exe, " %$\"\\"), nullptr) << "test binary path needs no quoting";
    EXPECT_EQ(ReadFile(unitPath), "[Unit]\nDescription=Velmora IMAP4rev1 Server\n\n[Service]\nType=notify\n"
                                  "ExecStart=" + std::string(exe) + "\nStandardOutput=null\n\n"
                                  "[Install]\nWantedBy=multi-user.target\n");
    EXPECT_EQ(Calls(), "daemon-reload\n");  // never enabled or started
    // A second install keeps the unit there.
    WriteFile(unitPath, "mine\n");
    EXPECT_EQ(Printed(InstallService), "CreateService failed - File exists (0x11)\n");
    EXPECT_EQ(ReadFile(unitPath), "mine\n");
}

TEST_F(UnitFiles, RemoveStopsARunningServiceFirst) {
    EXPECT_EQ(Printed(RemoveService), "OpenService failed - No such file or directory (0x2)\n");
    const std::string is = "is-active vlmveve4d-svc.service\n";
    const struct {
        const char* states;
        std::string output;
        std::string calls;
    } cases[] = {
        {"inactive\n", "Velmora IMAP4rev1 Server removed.\n", is + "daemon-reload\n"},
        {"active\ndeactivating\ninactive\n",
         "Stopping Velmora IMAP4rev1 Server..\nVelmora IMAP4rev1 Server stopped.\nVelmora IMAP4rev1 Server removed.\n",
         is + "stop --no-block vlmveve4d-svc.service\n" + is + is + "daemon-reload\n"},
        {"active\n",
         "Stopping Velmora IMAP4rev1 Server.\nVelmora IMAP4rev1 Server failed to stop.\n"
         "Velmora IMAP4rev1 Server removed.\n",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.states);
        WriteFile(unitPath, "unit\n");
        WriteFile(tmp.path + "/states", c.states);
        WriteFile(tmp.path + "/calls", "");
        EXPECT_EQ(Printed(RemoveService), c.output);
        EXPECT_FALSE(FileExists(unitPath));
        if (!c.calls.empty()) {
            EXPECT_EQ(Calls(), c.calls);
        }
    }
    // Without a systemctl to ask, the service counts as not running.
    WriteFile(unitPath, "unit\n");
    EnvGuard missing("VEVE4D_SYSTEMCTL", (tmp.path + "/no-such-systemctl").c_str());
    EXPECT_EQ(Printed(RemoveService), "Velmora IMAP4rev1 Server removed.\n");
    EnvGuard gone("VEVE4D_UNIT_DIR", (tmp.path + "/nowhere").c_str());
    EXPECT_EQ(Printed(RemoveService), "OpenSCManager failed - No such file or directory (0x2)\n");
    EXPECT_EQ(Printed(InstallService), "OpenSCManager failed - No such file or directory (0x2)\n");
}

TEST(ServiceUnit, ExecStartIsQuotedAndEscapedAndNeverCut) {
    const struct {
        const char* path;
        const char* execLine;
    } cases[] = {
        {"/opt/my mail/veve4d", "ExecStart=\"/opt/my mail/veve4d\"\n"},
        {"/opt/100%/veve4d", "ExecStart=/opt/100%%/veve4d\n"},
        {"/opt/$HOME/veve4d", "ExecStart=/opt/$$HOME/veve4d\n"},
        {"/opt/a\"b\\c", "ExecStart=\"/opt/a\\\"b\\\\c\"\n"},
    };
    char buf[1024];
    for (const auto& c : cases) {
        ASSERT_GT(FormatServiceUnit("Velmora IMAP4rev1 Server", c.path, buf, sizeof buf), 0u) << c.path;
        EXPECT_NE(strstr(buf, c.execLine), nullptr) << buf;
    }
    ASSERT_GT(FormatServiceUnit("10% off", "/x", buf, sizeof buf), 0u);
    EXPECT_NE(strstr(buf, "Description=10%% off\n"), nullptr) << buf;
    EXPECT_EQ(FormatServiceUnit("Velmora", "/opt/a\nb", buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    size_t full = FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, sizeof buf);
    EXPECT_EQ(strlen(buf), full);
    EXPECT_EQ(FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, full), 0u);
    EXPECT_EQ(FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, full + 1), full);
}

TEST(NamedPipe, ConnectSignalsTheEventAndTheStopEventComesFirst) {
    char name[108];
    PipeSocketName(kPipe, name, sizeof name);
    EXPECT_STREQ(name, "Velmora VEVE4D");
    EnvGuard pipeName("VEVE4D_PIPE_NAME", UniqueName("pipe").c_str());
    HANDLE_PIPE pipe = CreateNamedPipe(kPipe);
    ASSERT_NE(pipe, nullptr);
    HANDLE_EVENT both[2] = {CreateEvent(), CreateEvent()};  // the stop event, the pipe's
    ASSERT_EQ(ConnectNamedPipe(pipe, both[1]), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(ConnectToPipe(kPipe));
    EXPECT_EQ(WaitForMultipleObjects(2, both, 60000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_OBJECT_0 + 1);  // manual reset: still signalled
    SetEvent(both[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_OBJECT_0);
    // A client that came before the connect is reported as already connected.
    DisconnectNamedPipe(pipe);
    ASSERT_TRUE(ConnectToPipe(kPipe));
    EXPECT_EQ(ConnectNamedPipe(pipe, both[1]), ERROR_PIPE_CONNECTED);
    ClosePipe(pipe);
    EXPECT_FALSE(ConnectToPipe(kPipe));
    CloseEvent(both[0]);
    CloseEvent(both[1]);
}

TEST(SystemInfo, KernelReleaseGivesVersionNumbers) {
    const struct {
        const char* release;
        std::vector<long> version;
    } cases[] = {
        {"6.1.0-18-amd64", {6, 1, 0}}, {"5.15.153.1-microsoft-standard-WSL2", {5, 15, 153}}, {"7", {7, 0, 0}},
        {"", {0, 0, 0}},               {"rc1", {0, 0, 0}}, {"99999999999999999999.1.2", {999999999, 1, 2}},
    };
    for (const auto& c : cases) {
        OsVersionInfo info;
        ParseKernelRelease("Linux", c.release, &info);
        EXPECT_EQ(std::vector<long>({info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber}), c.version)
            << c.release;
        EXPECT_EQ(std::string(info.szCSDVersion), std::string("Linux ") + c.release);
    }
}

}  // namespace
