// The service host around the real binary: console control, systemd notifications, the single-instance pipe.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <thread>
#include <vector>

#include "notify_socket.h"
#include "test_server.h"

namespace {


TEST(DebugMode, ConsoleSignalsStopTheListenerAndASecondInstanceIsRefusedByThePipe) {
    for (int sig : {SIGINT, SIGQUIT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        TestServer server;
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry())) << server.Output();
        if (sig == SIGINT) {
            TestServer second;
            second.pipeName = server.pipeName;
            WriteFile(second.registryPath, ReadFile(server.registryPath));
            ASSERT_TRUE(second.Launch({"-debug"}, {}, false));
            EXPECT_EQ(second.WaitExit(), 1);
            // Settings are read and shown, but nothing is started; the first one is unaffected.
            std::string out = second.Output();
            EXPECT_TRUE(Has(out, "-------------------\n") && !Has(out, "Velmora IMAP4rev1 Server Beta") &&
                        !Has(out, "wait select()") && Has(out, "server start failed: the named pipe")) << out;
        }
        // Client threads are not waited for: the process ends with them running.
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port));
        ASSERT_EQ(server.Signal(sig), 0);
        EXPECT_EQ(server.WaitExit(), 0);
        EXPECT_TRUE(client.ClosedByPeer());
        std::string out = server.Output();
        // Passwords are checked here: no warning says otherwise.
        EXPECT_EQ(out.rfind("Debugging Velmora IMAP4rev1 Server.\n"
                            "---- regestry ----\n", 0), 0u) << out;
        // Only Ctrl+Break (SIGQUIT) prints the hint, right before the stop.
        EXPECT_EQ(Has(out, "use Ctrl+C"), sig == SIGQUIT) << out;
        // Client threads write too, so the stop's lines are looked for in order, not side by side.
        std::vector<std::string> stopLines = {"SERVICE_CONTROL_STOP in debug mode.\n",
                                              "Stopping Velmora IMAP4rev1 Server.\n", "Service Stoped.\n"};
        if (sig == SIGQUIT) stopLines.insert(stopLines.begin(), "use Ctrl+C or Ctrl+Break to simulate.\n");
        size_t nStop = 0;
        for (const std::string& line : stopLines)
            if (nStop != std::string::npos) nStop = out.find(line, nStop);
        ASSERT_NE(nStop, std::string::npos) << out;
        // The stop's own connection wakes the accept loop; the control thread's last line may come late.
        EXPECT_NE(out.find("Service terminating.(", nStop), std::string::npos) << out;
        EXPECT_FALSE(Has(out, "(error) accept clients.")) << out;
        EXPECT_NE(out.find("sock connected.\n", nStop), std::string::npos) << out;
    }
}

TEST(CommandLine, HelpAndVersionPrintAndSucceed) {
    for (const char* pszOption : {"--help", "-help", "--version", "-version"}) {
        SCOPED_TRACE(pszOption);
        TestServer server;
        ASSERT_TRUE(server.Launch({pszOption}, {}, false));
        EXPECT_EQ(server.WaitExit(), 0);
        std::string out = server.Output();
        if (pszOption[strlen(pszOption) - 1] == 'p') {
            EXPECT_EQ(out.rfind("Usage: veve4d [-install | -remove | -debug | -version | -help]\n", 0), 0u) << out;
            EXPECT_TRUE(Has(out, "veve4d -debug            To debug, it executes as the console application.\n")) << out;
            EXPECT_FALSE(Has(out, "waiting...")) << out;
        } else {
            EXPECT_EQ(out.rfind("Velmora IMAP4rev1 Server Beta(0.07)  \n", 0), 0u) << out;
        }
    }
}

TEST(ServiceMode, ReportsStartRunningAndStopToSystemd) {
    NotifySocket notify;
    TestServer server;
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry(), {}, {"NOTIFY_SOCKET=" + notify.name}));
    // One report from the service main function, four while start-up creates its objects.
    for (int n = 1; n <= 5; ++n)
        EXPECT_EQ(notify.Next(), "STATUS=Starting (checkpoint " + std::to_string(n) + ")\n"
                                 "EXTEND_TIMEOUT_USEC=3000000\n");
    EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running\n");
    ASSERT_TRUE(server.WaitForOutput("wait select()")) << server.Output();
    ASSERT_EQ(server.Signal(SIGHUP), 0);  // any other control hears the state again
    EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running\n");
    ASSERT_EQ(server.Signal(SIGTERM), 0);
    EXPECT_EQ(notify.Next(), "STOPPING=1\nSTATUS=Stopping (checkpoint 6)\nEXTEND_TIMEOUT_USEC=15000000\n");
    EXPECT_EQ(notify.Next(), "STATUS=Stopped\n");
    EXPECT_EQ(server.WaitExit(), 0);
    std::string out = server.Output();
    // A service start still shows the usage first, as any start without an option does.
    EXPECT_EQ(out.rfind("vlmveve4d-svc -install          It inserts service.\n", 0), 0u) << out;
    EXPECT_TRUE(Has(out, "Service Stoped.\n") && !Has(out, "SERVICE_CONTROL_STOP in debug mode.")) << out;
}

// A connection to the pipe name that stays open; -1 while the pipe does not exist.
int ConnectPipe(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    bool bOk = connect(fd, reinterpret_cast<sockaddr*>(&addr), offsetof(sockaddr_un, sun_path) + 1 + name.size()) == 0;
    if (!bOk) close(fd);
    return bOk ? fd : -1;
}

TEST(PipeWait, ConnectingToThePipeStartsTheListener) {
    // One that lands before the wait begins is dropped (an early end of stream): then try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        TestServer server;
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry(), {"-debug"}, {}));
        // Start() waited for the listener; start a fresh run by hand to reach the pipe early.
        server.Signal(SIGINT);
        ASSERT_EQ(server.WaitExit(), 0);
        WriteFile(server.outputPath, "");
        ASSERT_TRUE(server.Launch({"-debug"}, {}, false));
        int fd = -1;
        for (int i = 0; i < 2000 && (fd = ConnectPipe(server.pipeName)) < 0 && server.Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_GE(fd, 0) << server.Output();
        ASSERT_TRUE(server.WaitForOutput("wait select()")) << server.Output();
        pollfd pfd{fd, POLLIN, 0};
        bool bDropped = poll(&pfd, 1, 0) > 0;
        server.Signal(SIGINT);
        ASSERT_EQ(server.WaitExit(), 0);
        // Taken by the wait, it ends cleanly with the server; one left in the backlog would be reset.
        char c;
        EXPECT_TRUE(bDropped || read(fd, &c, 1) == 0);
        close(fd);
        if (!bDropped) return;
    }
    FAIL() << "every connection reached the pipe before the wait";
}

}  // namespace
