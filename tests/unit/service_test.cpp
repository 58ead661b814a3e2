// Service host: command line, status reports as systemd notifications, error text, the unit, stop during start.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

#include "env_guard.h"
#include "notify_socket.h"
#include "platform/registry.h"
#include "platform/service_host.h"
#include "platform/sysinfo.h"
#include "service/service.h"
#include "test_server.h"

namespace {

template <typename F>
std::string Printed(F f) { return testing::internal::CaptureStdout(), f(), testing::internal::GetCapturedStdout(); }

TEST(CommandLine, OptionIsFirstArgumentWithDashOrSlashIgnoringCase) {
    const struct { std::vector<const char*> args; CommandOption expected; } cases[] = {
        {{}, OPTION_NONE},          {{"-install"}, OPTION_INSTALL},   {{"/INSTALL"}, OPTION_INSTALL},
        {{"-Install2"}, OPTION_NONE}, {{"install"}, OPTION_NONE},     {{"--install"}, OPTION_NONE},
        {{"/"}, OPTION_NONE},       {{"/Remove"}, OPTION_REMOVE},     {{"-DeBuG"}, OPTION_DEBUG},
        {{"-debug "}, OPTION_NONE}, {{"/VERSION", "-install"}, OPTION_VERSION}, {{"-x", "-install"}, OPTION_NONE},
        {{"--version"}, OPTION_VERSION}, {{"--help"}, OPTION_HELP}, {{"-Help"}, OPTION_HELP}, {{"/?"}, OPTION_HELP},
        {{"-h"}, OPTION_HELP},       {{"--debug"}, OPTION_NONE},     {{"--h"}, OPTION_NONE},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("veve4d")};
        for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        EXPECT_EQ(ParseCommandOption(static_cast<int>(argv.size()) - 1, argv.data()), c.expected)
            << (c.args.empty() ? "(none)" : c.args[0]);
    }
}

TEST(ErrorText, SystemTextWithHexCodeAndOnlyErrorEventsKeepIt) {
    // "File exists" needs 14 more bytes; one fewer leaves the text empty.
    for (size_t n : {25, 24}) {
        std::vector<char> buf(n, 'x');
        SetLastSystemError(EEXIST);
        EXPECT_STREQ(GetLastErrorText(buf.data(), n), n == 25 ? "File exists (0x11)" : "");
    }
    BeginServiceStatus(nullptr);
    SetLastSystemError(EADDRINUSE);
    AddToEventLog("The named pipe could not be made.", "%s error: %d", EVENTLOG_ERROR_TYPE);
    SetLastSystemError(ENOENT);
    AddToEventLog("Velmora IMAP4rev1 Server", "(0.07)", EVENTLOG_SUCCESS);
    EXPECT_EQ(ServiceLastError(), static_cast<uint32_t>(EADDRINUSE));
}

TEST(StatusReports, CheckpointsCountWhilePendingAndEachStateHasItsNotification) {
    NotifySocket receiver;
    EnvGuard socketEnv("NOTIFY_SOCKET", receiver.name.c_str());
    bDebug = 0;
    BeginServiceStatus(RegisterServiceCtrlHandler("VLMVEVE4D-SVC", [](uint32_t) {}));
    // The report: checkpoint, controls accepted, then the notification. The real service's whole
    // sequence, with time-out extensions and the counter carried from start to stop, is the
    // integration test's; here what it never reaches.
    const struct { uint32_t state, exitCode, waitHint; std::string report; } steps[] = {
        {SERVICE_START_PENDING, 0, 0, "1 0 STATUS=Starting (checkpoint 1)\n"},
        {SERVICE_RUNNING, 0, 0, "0 1 READY=1\nSTATUS=Running\n"},
        {SERVICE_STOPPED, EADDRINUSE, 0, "0 1 STATUS=Stopped (error 98)\nERRNO=98\n"},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(ReportStatus(s.state, s.exitCode, s.waitHint), 1);
        SERVICE_STATUS status = ServiceStatusSnapshot();
        EXPECT_EQ(std::to_string(status.dwCheckPoint) + " " + std::to_string(status.dwControlsAccepted) + " " +
                      receiver.Next(0), s.report);
    }
    // An interrogate repeats the state, without the exit code.
    ASSERT_EQ(ReportCurrentStatus(), 1);
    EXPECT_EQ(receiver.Next(0), "STATUS=Stopped\n");
    bDebug = 1;  // the debug mode reports nothing, counts no checkpoint and succeeds
    EXPECT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 3000), 1);
    EXPECT_EQ(receiver.Next(0), "");
    bDebug = 0;
    ASSERT_EQ(ReportStatus(SERVICE_STOP_PENDING, 0, 0), 1);
    EXPECT_EQ(receiver.Next(0), "STOPPING=1\nSTATUS=Stopping (checkpoint 2)\n");

    // An unreachable manager fails the report and writes an error event.
    for (const char* pszSocket : {static_cast<const char*>(nullptr), "relative/path"}) {
        EnvGuard socketEnv("NOTIFY_SOCKET", pszSocket);
        EXPECT_EQ(RegisterServiceCtrlHandler("VLMVEVE4D-SVC", [](uint32_t) {}), nullptr);
    }
    socketEnv.Set(("@veve4d-nobody-" + std::to_string(getpid())).c_str());
    SERVICE_STATUS_HANDLE hStatus = RegisterServiceCtrlHandler("VLMVEVE4D-SVC", [](uint32_t) {});
    ASSERT_NE(hStatus, nullptr);
    BeginServiceStatus(hStatus);
    EXPECT_EQ(ReportStatus(SERVICE_START_PENDING, 0, 3000), 0);
    EXPECT_EQ(ServiceLastError(), static_cast<uint32_t>(ECONNREFUSED));
}

// SIGTERM is the stop control; one sent while the service starts (accepting no control) waits until it runs.
std::atomic<int> g_stopsWhileStarting{0}, g_stopsWhileRunning{0}, g_reloads{0};
std::atomic<bool> g_running{false};

void RecordingHandler(uint32_t dwControl) {
    if (dwControl == SERVICE_CONTROL_STOP) (g_running.load() ? g_stopsWhileRunning : g_stopsWhileStarting)++;
    if (dwControl == SERVICE_CONTROL_PARAMCHANGE) g_reloads++;
}

bool WaitUntil(const std::atomic<int>& counter) {
    for (int i = 0; i < 1000 && counter.load() != 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return counter.load() == 1;
}

void EarlyStopServiceMain(int argc, char** argv) {
    EXPECT_EQ(std::string(argv[0]) + " " + std::to_string(argc), "VLMVEVE4D-SVC 1");
    SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandler("VLMVEVE4D-SVC", RecordingHandler);
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 1, 3000};
    ASSERT_TRUE(SetServiceStatus(h, &status));
    // SIGHUP asks for a reload (a renewed certificate), even while the service starts.
    kill(getpid(), SIGHUP);
    EXPECT_TRUE(WaitUntil(g_reloads));
    kill(getpid(), SIGTERM);
    // Give the control thread time to take the signal; it must hold it back meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    g_running = true;
    status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    ASSERT_TRUE(SetServiceStatus(h, &status));
    EXPECT_TRUE(WaitUntil(g_stopsWhileRunning));
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(h, &status);
}

TEST(Dispatcher, StopDuringStartIsHeldUntilTheServiceRuns) {
    NotifySocket receiver;
    EnvGuard socketEnv("NOTIFY_SOCKET", receiver.name.c_str());
    ASSERT_TRUE(StartServiceCtrlDispatcher("VLMVEVE4D-SVC", EarlyStopServiceMain));
    EXPECT_EQ(std::to_string(g_stopsWhileStarting) + " then " + std::to_string(g_stopsWhileRunning), "0 then 1");
}

// The systemctl logs its calls and answers is-active from a list of states, one per call, repeating the last.
TEST(UnitFiles, InstallWritesANotifyUnitAndRemoveStopsARunningServiceFirst) {
    TempDir tmp;
    const std::string unitDir = tmp.path + "/units", unitPath = unitDir + "/vlmveve4d-svc.service",
                      systemctl = tmp.path + "/systemctl", calls = tmp.path + "/calls", states = tmp.path + "/states";
    EnvGuard unitEnv("VEVE4D_UNIT_DIR", unitDir.c_str()), ctlEnv("VEVE4D_SYSTEMCTL", systemctl.c_str()),
        pamEnv("VEVE4D_PAM_DIR", (tmp.path + "/pam.d").c_str());
    for (const auto& dir : {unitDir, tmp.path + "/pam.d"}) std::filesystem::create_directories(dir);
    // Operating-system accounts: the unit runs as root whatever accounts this host has, and the
    // host's own settings are never read.
    const std::string registry = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
                                 "\"UserManager\"=dword:00000001\n";
    LoadRegistryText(registry.data(), registry.size(), "install-test.reg");
    WriteFile(systemctl, "#!/bin/sh\necho \"$*\" >> '" + calls + "'\n[ \"$1\" = is-active ] || exit 0\n"
                         "s=$(head -n 1 '" + states + "'); [ $(wc -l < '" + states + "') -gt 1 ] && sed -i 1d '" +
                         states + "'\necho \"$s\"; [ \"$s\" = active ]\n");
    std::filesystem::permissions(systemctl, std::filesystem::perms::owner_all);
    WriteFile(states, "inactive\n");
    EXPECT_EQ(Printed(RemoveService), "OpenService failed - No such file or directory (0x2)\n");

    EXPECT_EQ(Printed(InstallService), "Velmora IMAP4rev1 Server installed.\n");
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(ReadFile(unitPath), "[Unit]\nDescription=Velmora IMAP4rev1 Server\n\n[Service]\nType=notify\nExecStart=" +
                                      exe + "\nExecReload=/bin/kill -HUP $MAINPID\nStandardOutput=null\n\n[Install]\nWantedBy=multi-user.target\n");
    EXPECT_EQ(ReadFile(calls), "daemon-reload\n");  // never enabled or started
    WriteFile(unitPath, "mine\n");  // a second install keeps it there
    EXPECT_EQ(Printed(InstallService), "CreateService failed - File exists (0x11)\n");
    EXPECT_EQ(ReadFile(unitPath), "mine\n");

    const std::string is = "is-active vlmveve4d-svc.service\n", name = "Velmora IMAP4rev1 Server";
    const struct { const char* states; std::string output, calls; /* "": not checked */ } cases[] = {
        {"inactive\n", name + " removed.\n", is + "daemon-reload\n"},
        {"active\ndeactivating\ninactive\n", "Stopping " + name + "..\n" + name + " stopped.\n" + name + " removed.\n",
         is + "stop --no-block vlmveve4d-svc.service\n" + is + is + "daemon-reload\n"},
        {"active\n", "Stopping " + name + ".\n" + name + " failed to stop.\n" + name + " removed.\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.states);
        WriteFile(unitPath, "unit\n");
        WriteFile(states, c.states);
        WriteFile(calls, "");
        EXPECT_EQ(Printed(RemoveService), c.output);
        EXPECT_FALSE(FileExists(unitPath));
        EXPECT_EQ(c.calls.empty() ? "" : ReadFile(calls), c.calls);
    }
    // Without a systemctl to ask, the service counts as not running.
    WriteFile(unitPath, "unit\n");
    EnvGuard missing("VEVE4D_SYSTEMCTL", (tmp.path + "/no-such-systemctl").c_str());
    EXPECT_EQ(Printed(RemoveService), name + " removed.\n");
    EnvGuard gone("VEVE4D_UNIT_DIR", (tmp.path + "/nowhere").c_str());
    EXPECT_EQ(Printed(RemoveService), "OpenSCManager failed - No such file or directory (0x2)\n");
    EXPECT_EQ(Printed(InstallService), "OpenSCManager failed - No such file or directory (0x2)\n");
    // Cut to its buffer, this one would be the unit directory above.
    std::string strDots;
    for (int i = 0; i < 300; ++i) strDots += "./";
    EnvGuard tooLong("VEVE4D_UNIT_DIR", (unitDir + "/" + strDots + "nowhere").c_str());
    EXPECT_EQ(Printed(InstallService), "OpenSCManager failed - File name too long (0x24)\n");
    LoadRegistryText("", 0, "empty");
}

TEST(Pipes, ANameTooLongForASocketIsRefusedNotCut) {
    // Cut, it would be the pipe of any other instance whose name begins the same.
    std::string strName = "veve4d-long-" + std::to_string(getpid()) + std::string(200, 'x');
    EnvGuard nameEnv("VEVE4D_PIPE_NAME", strName.c_str());
    HANDLE_PIPE hPipe = CreateNamedPipe("\\\\.\\pipe\\unused");
    EXPECT_EQ(hPipe, nullptr);
    if (hPipe != nullptr) ClosePipe(hPipe);
}

TEST(ServiceUnit, ExecStartIsQuotedAndEscapedAndNeverCut) {
    const struct { const char *name, *path, *line; } cases[] = {
        {"V", "/opt/my mail/veve4d", "ExecStart=\"/opt/my mail/veve4d\"\n"},
        {"V", "/opt/100%/veve4d", "ExecStart=/opt/100%%/veve4d\n"},
        {"V", "/opt/$HOME/veve4d", "ExecStart=/opt/$$HOME/veve4d\n"},
        {"V", "/opt/a\"b\\c", "ExecStart=\"/opt/a\\\"b\\\\c\"\n"},
        {"10% off", "/x", "Description=10%% off\n"},
    };
    char buf[1024];
    for (const auto& c : cases) {
        FormatServiceUnit(c.name, c.path, buf, sizeof buf);
        EXPECT_NE(strstr(buf, c.line), nullptr) << buf;
    }
    FormatServiceUnit("V", "/x", buf, sizeof buf, "veve4d");
    EXPECT_NE(strstr(buf, "ExecStart=/x\nExecReload=/bin/kill -HUP $MAINPID\nUser=veve4d\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n"), nullptr) << buf;
    EXPECT_EQ(FormatServiceUnit("Velmora", "/opt/a\nb", buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    size_t full = FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, sizeof buf);
    EXPECT_EQ(strlen(buf), full);
    EXPECT_EQ(FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, full), 0u);
    EXPECT_EQ(FormatServiceUnit("Velmora", "/usr/sbin/veve4d", buf, full + 1), full);
}

TEST(SystemInfo, KernelReleaseGivesVersionNumbers) {
    OsVersionInfo info;
    ParseKernelRelease("Linux", "99999999999999999999.1.2-x", &info);
    EXPECT_EQ(std::vector<long>({info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber}),
              std::vector<long>({999999999, 1, 2}));
    EXPECT_STREQ(info.szCSDVersion, "Linux 99999999999999999999.1.2-x");
}

}  // namespace
