// The service host around the real binary: console control in debug mode, the systemd
// notifications of a service start and stop, the pipe that keeps a second instance out and
// that starts the listener when a process connects to it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "test_server.h"

namespace {

// Index of text in the output, npos when missing.
size_t At(const std::string& out, const std::string& text) {
    return out.find(text);
}

std::string TailFrom(const std::string& out, const std::string& text) {
    size_t pos = out.find(text);
    return pos == std::string::npos ? std::string() : out.substr(pos);
}

TEST(DebugMode, CtrlCStopsTheListenerAndExitsCleanly) {
    TestServer server;
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry())) << server.Output();
    ASSERT_EQ(server.Signal(SIGINT), 0);
    EXPECT_EQ(server.WaitExit(), 0);
    std::string out = server.Output();
    // Nobody may take the debug mode for a production setting.
    EXPECT_EQ(out.rfind("Debugging Velmora IMAP4rev1 Server.\n"
                        "WARNING: debug mode: every operating-system password is accepted.\n"
                        "---- regestry ----\n",
                        0),
              0u)
        << out;
    EXPECT_EQ(At(out, "use Ctrl+C or Ctrl+Break to simulate.\n"), std::string::npos) << out;
    std::string tail = TailFrom(out, "SERVICE_CONTROL_STOP in debug mode.\n");
    ASSERT_FALSE(tail.empty()) << out;
    EXPECT_EQ(tail.rfind("SERVICE_CONTROL_STOP in debug mode.\n"
                         "Stopping Velmora IMAP4rev1 Server.\n"
                         "Service Stoped.\n",
                         0),
              0u)
        << tail;
    // The accept loop is woken by the stop's own connection and start-up ends after it; the
    // control thread's last line may come before or after.
    size_t nTerminating = At(tail, "Service terminating.(");
    ASSERT_NE(nTerminating, std::string::npos) << tail;
    EXPECT_NE(tail.find("(error) accept clients.\n", nTerminating), std::string::npos) << tail;
    EXPECT_NE(At(tail, "sock connected.\n"), std::string::npos) << tail;
}

TEST(DebugMode, CtrlBreakPrintsTheHintFirst) {
    TestServer server;
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry())) << server.Output();
    ASSERT_EQ(server.Signal(SIGQUIT), 0);
    EXPECT_EQ(server.WaitExit(), 0);
    std::string out = server.Output();
    EXPECT_NE(At(out, "use Ctrl+C or Ctrl+Break to simulate.\n"
                      "SERVICE_CONTROL_STOP in debug mode.\n"
                      "Stopping Velmora IMAP4rev1 Server.\n"),
              std::string::npos)
        << out;
    EXPECT_NE(At(out, "(error) accept clients.\n"), std::string::npos);
}

TEST(DebugMode, TerminateIsTakenAsCtrlC) {
    TestServer server;
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry())) << server.Output();
    ASSERT_EQ(server.Signal(SIGTERM), 0);
    EXPECT_EQ(server.WaitExit(), 0);
    std::string out = server.Output();
    EXPECT_EQ(At(out, "use Ctrl+C"), std::string::npos);
    EXPECT_NE(At(out, "SERVICE_CONTROL_STOP in debug mode.\n"), std::string::npos) << out;
    EXPECT_NE(At(out, "(error) accept clients.\n"), std::string::npos) << out;
}

TEST(DebugMode, ClientsAreServedUntilTheStop) {
    TestServer server;
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry())) << server.Output();
    ImapClient client;
    ASSERT_TRUE(client.Connect(server.port));
    EXPECT_EQ(client.ReadLine(), "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
    server.Signal(SIGINT);
    // Client threads are not waited for: the process ends with them running.
    EXPECT_EQ(server.WaitExit(), 0) << server.Output();
    EXPECT_TRUE(client.ClosedByPeer());
}

// systemd's notification socket for one service run.
struct NotifySocket {
    int fd = -1;
    std::string name;

    NotifySocket() {
        name = "@veve4d-itest-notify-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path + 1, name.c_str() + 1, name.size() - 1);
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) ADD_FAILURE() << strerror(errno);
    }
    ~NotifySocket() { close(fd); }

    // The next notification; "" when none came within the time.
    std::string Next(int timeoutMs = 10000) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) return "";
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    static inline int counter = 0;
};

std::string StartPending(int checkpoint) {
    return "STATUS=Starting (checkpoint " + std::to_string(checkpoint) + ")\nEXTEND_TIMEOUT_USEC=3000000\n";
}

TEST(ServiceMode, ReportsStartRunningAndStopToSystemd) {
    NotifySocket notify;
    TestServer server;
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry(), {}, {"NOTIFY_SOCKET=" + notify.name}));
    // One report from the service main function, four while start-up creates its objects.
    for (int checkpoint = 1; checkpoint <= 5; ++checkpoint) {
        EXPECT_EQ(notify.Next(), StartPending(checkpoint));
    }
    EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running\n");
    ASSERT_TRUE(server.WaitForOutput("wait select()")) << server.Output();

    // Any other control (SIGHUP) hears the state again.
    ASSERT_EQ(server.Signal(SIGHUP), 0);
    EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running\n");

    ASSERT_EQ(server.Signal(SIGTERM), 0);
    EXPECT_EQ(notify.Next(), "STOPPING=1\nSTATUS=Stopping (checkpoint 6)\nEXTEND_TIMEOUT_USEC=15000000\n");
    EXPECT_EQ(notify.Next(), "STATUS=Stopped\n");
    EXPECT_EQ(server.WaitExit(), 0);
    std::string out = server.Output();
    // A service start still shows the usage first, as any start without an option does.
    EXPECT_EQ(out.rfind("vlmveve4d-svc -install          It inserts service.\n", 0), 0u) << out;
    EXPECT_EQ(At(out, "SERVICE_CONTROL_STOP in debug mode."), std::string::npos);
    EXPECT_NE(At(out, "Service Stoped.\n"), std::string::npos) << out;
    EXPECT_NE(At(out, "(error) accept clients.\n"), std::string::npos) << out;
}

// Starts a second server on the first one's pipe name, without waiting for it to listen.
void LaunchOnSamePipe(TestServer& first, TestServer& second, std::vector<std::string> args,
                      std::vector<std::string> env) {
    second.pipeName = first.pipeName;
    WriteFile(second.registryPath, ReadFile(first.registryPath));
    ASSERT_TRUE(second.Launch(std::move(args), std::move(env), false));
}

TEST(SecondInstance, DebugStartIsRefusedByThePipe) {
    TestServer first;
    ASSERT_TRUE(first.Start(TestServer::BasicRegistry())) << first.Output();
    TestServer second;
    LaunchOnSamePipe(first, second, {"-debug"}, {});
    EXPECT_EQ(second.WaitExit(), 0);
    std::string out = second.Output();
    // Settings are read and shown, but nothing is started.
    EXPECT_NE(At(out, "-------------------\n"), std::string::npos) << out;
    EXPECT_EQ(At(out, "Velmora IMAP4rev1 Server Beta"), std::string::npos) << out;
    EXPECT_EQ(At(out, "wait select()"), std::string::npos) << out;

    // The first one is unaffected.
    ImapClient client;
    ASSERT_TRUE(client.Connect(first.port));
    EXPECT_EQ(client.ReadLine(), "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
    first.Signal(SIGINT);
    EXPECT_EQ(first.WaitExit(), 0);
}

TEST(SecondInstance, ServiceStartStopsWithTheErrorAndNeverReportsRunning) {
    TestServer first;
    ASSERT_TRUE(first.Start(TestServer::BasicRegistry())) << first.Output();
    NotifySocket notify;
    TestServer second;
    LaunchOnSamePipe(first, second, {}, {"NOTIFY_SOCKET=" + notify.name});
    for (int checkpoint = 1; checkpoint <= 5; ++checkpoint) {
        EXPECT_EQ(notify.Next(), StartPending(checkpoint));
    }
    EXPECT_EQ(notify.Next(), "STATUS=Stopped (error 98)\nERRNO=98\n");
    EXPECT_EQ(second.WaitExit(), 0);
    first.Signal(SIGINT);
    EXPECT_EQ(first.WaitExit(), 0);
}

// A connection to the pipe name that stays open; -1 while the pipe does not exist.
int ConnectPipe(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What the client side of a pipe connection sees once the server has gone: end of stream when
// the server had taken the connection, ECONNRESET when it was left waiting in the backlog.
int ReadAfterServerExit(int fd) {
    char c;
    ssize_t n = read(fd, &c, 1);
    return n == 0 ? 0 : errno;
}

TEST(PipeWait, ConnectingToThePipeStartsTheListener) {
    // A connection that lands before the wait begins is dropped by the server and the full
    // second is waited; that is told apart by an early end of stream and tried again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        TestServer server;
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry(), {"-debug"}, {}));
        // Start() waited for the listener; start a fresh run by hand to reach the pipe early.
        server.Signal(SIGINT);
        ASSERT_EQ(server.WaitExit(), 0);
        WriteFile(server.outputPath, "");
        ASSERT_TRUE(server.Launch({"-debug"}, {}, false));

        int fd = -1;
        for (int i = 0; i < 2000 && fd < 0 && server.Running(); ++i) {
            fd = ConnectPipe(server.pipeName);
            if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_GE(fd, 0) << server.Output();
        ASSERT_TRUE(server.WaitForOutput("wait select()")) << server.Output();
        pollfd pfd{fd, POLLIN, 0};
        bool bDropped = poll(&pfd, 1, 0) > 0;
        server.Signal(SIGINT);
        ASSERT_EQ(server.WaitExit(), 0);
        if (bDropped) {
            close(fd);
            continue;
        }
        // Taken by the wait, which then started the listener without waiting out its second.
        EXPECT_EQ(ReadAfterServerExit(fd), 0);
        close(fd);
        return;
    }
    FAIL() << "every connection reached the pipe before the wait";
}

TEST(PipeWait, WithoutAConnectionTheListenerStartsAnyway) {
    TestServer server;
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry())) << server.Output();
    // A connection made once the listener runs is left unanswered.
    int fd = ConnectPipe(server.pipeName);
    ASSERT_GE(fd, 0);
    server.Signal(SIGINT);
    ASSERT_EQ(server.WaitExit(), 0);
    EXPECT_EQ(ReadAfterServerExit(fd), ECONNRESET);
    close(fd);
}

}  // namespace
