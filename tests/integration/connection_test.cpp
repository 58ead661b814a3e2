// The connection front end and the dispatcher, over a real socket to the real binary.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <memory>
#include <regex>
#include <thread>

#include "test_server.h"

namespace {

using Registry = TestServer;

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start(Registry::BasicRegistry())) << server.Output();
        ASSERT_TRUE(client.Greeted(server.port));
    }
    TestServer server;
    ImapClient client;
};

TEST_F(ConnectionTest, MalformedAndUnknownCommands) {
    EXPECT_EQ(client.Command("a002", "SELECT"), std::vector<std::string>{"a002 BAD illegal argument.(SELECT)\r\n"});
    // Unknown words with arguments also complete with a tagged line, so the client never hangs.
    EXPECT_EQ(client.Command("a003", "FOO bar"),
              (std::vector<std::string>{"* BAD unkown command.(FOO)\r\n", "a003 BAD illegal argument.(FOO)\r\n"}));
    EXPECT_EQ(client.Command("a003", "frob"), std::vector<std::string>{"a003 BAD illegal argument.(FROB)\r\n"});
    client.Send("a004\r\n");
    EXPECT_EQ(client.ReadLine(), "a004 BAD illegal argument.(NULL)\r\n");
    EXPECT_EQ(client.Command("a008", " two blanks"),
              (std::vector<std::string>{"* BAD unkown command.()\r\n", "a008 BAD illegal argument.()\r\n"}));
    // A bare LF ends a request as well as CR LF does.
    client.Send("a009 NOOP\n");
    EXPECT_EQ(client.ReadLine(), "a009 OK NOOP completed\r\n");
}

TEST_F(ConnectionTest, LineSplitAcrossSegmentsIsOneCommand) {
    client.Send("a1 NO");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client.Send("O");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client.Send("P\r\n");
    EXPECT_EQ(client.ReadLine(), "a1 OK NOOP completed\r\n");
    // A fragment behind a complete line waits for its LF instead of running as a command.
    client.Send("a2 NOOP\r\na3 CAPA");
    EXPECT_EQ(client.ReadLine(), "a2 OK NOOP completed\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client.Send("BILITY\r\n");
    EXPECT_EQ(client.ReadLine(), "* CAPABILITY IMAP4 IMAP4rev1 IMAP4rev2 NAMESPACE IDLE LITERAL+ CHILDREN SPECIAL-USE UIDPLUS MOVE ENABLE CONDSTORE QRESYNC SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 AUTH=LOGIN BINARY MULTIAPPEND CATENATE ID UNSELECT SORT SORT=DISPLAY THREAD=ORDEREDSUBJECT THREAD=REFERENCES\r\n");
    EXPECT_EQ(client.ReadLine(), "a3 OK CAPABILITY completed\r\n");
}

// After login: before it, nothing that long is waited for (see hostile_input_test).
TEST(LongInput, LongLinesAndLiteralsAreReadToTheirEnd) {
    TestServer server;
    server.AddUser("ann", "pw");
    ASSERT_TRUE(server.Start(Registry::UserFileRegistry())) << server.Output();
    ImapClient client;
    ASSERT_TRUE(client.LoggedIn(server.port, "ann", "pw"));
    const std::string big(70000, 'x');
    auto one = [](const std::string& tag, const std::string& line) { return std::vector<std::string>{tag + line}; };
    // Lines and literals of 9,000 bytes are read whole; longer ones than a command may hold (64 KiB)
    // are read to their end and refused.
    EXPECT_EQ(client.Command("a1", "NOOP " + big.substr(0, 9000)), one("a1", " OK NOOP completed\r\n"));
    EXPECT_EQ(client.Command("a2", "NOOP " + big), one("a2", " BAD Command line too long\r\n"));
    client.Send("a3 NOOP {9000}\r\n");
    EXPECT_EQ(client.ReadLine(), "+ Ready for literal data\r\n");
    client.Send(big.substr(0, 9000) + " {3+}\r\nabc\r\n");
    EXPECT_EQ(client.ReadUntilTagged("a3"), one("a3", " OK NOOP completed\r\n"));
    // A synchronising literal too big is refused before the client sends it; a non-synchronising one is skipped.
    EXPECT_EQ(client.Command("a4", "NOOP {70000}"), one("a4", " BAD Literal too long\r\n"));
    EXPECT_EQ(client.Command("a5", "NOOP {70000+}\r\n" + big + " x"), one("a5", " BAD Command line too long\r\n"));
    client.Send(big);  // no line end yet: still one line
    client.Send(big + "\r\n");
    EXPECT_EQ(client.ReadUntilTagged("*"), one("*", " BAD Command line too long\r\n"));
    EXPECT_EQ(client.Command("a6", "NOOP"), one("a6", " OK NOOP completed\r\n"));
    // A long tag comes back whole.
    EXPECT_EQ(client.Command(big.substr(0, 4000), "NOOP"), one(big.substr(0, 4000), " OK NOOP completed\r\n"));
}

const char* const kIdleBye = "* BYE Too many connections; this one was idle\r\n";

// Working sessions count against AcceptLimit; one that sits before login without a word gives
// its place to a newcomer, and a full house of logged-in sessions refuses it.
TEST(AcceptLimit, IdleClientsBeforeLoginMakeRoomWorkingOnesDoNot) {
    TestServer server;
    server.AddUser("ann", "pw");
    ASSERT_TRUE(server.Start(Registry::UserFileRegistry(
        Registry::ServiceKey("\"AcceptLimit\"=dword:00000002\n\"Timeout\"=dword:0000012c\n"))));
    ImapClient first, idle, second, third, fourth;
    ASSERT_TRUE(first.LoggedIn(server.port, "ann", "pw"));
    ASSERT_TRUE(idle.Greeted(server.port));
    ASSERT_TRUE(second.Greeted(server.port));
    EXPECT_EQ(idle.ReadLine(), kIdleBye);
    EXPECT_TRUE(idle.ClosedByPeer());
    EXPECT_EQ(second.Command("l", "LOGIN ann pw").back(), "l OK LOGIN completed\r\n");

    ASSERT_TRUE(third.Connect(server.port));
    EXPECT_EQ(third.ReadLine(), "NO exceeds an accepting limit.\r\n");
    EXPECT_TRUE(third.ClosedByPeer());
    EXPECT_TRUE(server.WaitForOutput("exceeds an accepting limit. count=(2)\n"));

    first.Command("q", "LOGOUT");
    EXPECT_TRUE(first.ClosedByPeer());
    // The ended session's entry leaves the queue right after its socket closes.
    bool admitted = false;
    for (int attempt = 0; attempt < 50 && !admitted; attempt++) {
        ImapClient again;
        ASSERT_TRUE(again.Connect(server.port));
        admitted = again.ReadLine() == kGreeting;
        if (!admitted) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_TRUE(admitted);
    EXPECT_EQ(second.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
}

TEST(AcceptLimit, AddressLimitCountsEachClientAddressApart) {
    TestServer server;
    server.AddUser("ann", "pw");
    ASSERT_TRUE(server.Start(Registry::UserFileRegistry(Registry::ServiceKey("\"AddressLimit\"=dword:00000001\n"))));
    ImapClient working, refused, other, newcomer;
    ASSERT_TRUE(working.LoggedIn(server.port, "ann", "pw"));
    ASSERT_TRUE(refused.Connect(server.port));
    EXPECT_EQ(refused.ReadLine(), "* BYE Too many connections from your address\r\n");
    EXPECT_TRUE(refused.ClosedByPeer());
    // Another loopback address is another client.
    ASSERT_TRUE(other.Greeted(server.port, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(newcomer.Greeted(server.port, "127.0.0.1", "127.0.0.2"));
    EXPECT_EQ(other.ReadLine(), kIdleBye);
    EXPECT_EQ(working.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
}

TEST(Timeouts, SilentClientBeforeLoginIsToldByeAndClosed) {
    TestServer server;
    ASSERT_TRUE(server.Start(Registry::BasicRegistry(Registry::ServiceKey("\"LoginTimeout\"=dword:00000001\n"))));
    ImapClient silent, talking;
    ASSERT_TRUE(silent.Greeted(server.port));
    // A client that keeps talking is not cut off, however long it stays.
    ASSERT_TRUE(talking.Greeted(server.port));
    for (int i = 0; i < 4; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_EQ(talking.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
    }
    EXPECT_EQ(silent.ReadLine(), "* BYE Idle for too long before login\r\n");
    EXPECT_TRUE(silent.ClosedByPeer());
}

// A client that stops reading a large answer is dropped once the send time-out passes, and the
// thread does not wait the time-out again for every remaining piece.
TEST(Timeouts, ClientThatStopsReadingIsDroppedOnce) {
    TestServer server;
    server.AddUser("ann", "pw");
    const size_t size = 48u << 20;
    WriteFile(server.dir + "/users/ann/big.MSG", "Subject: big\r\n\r\n" + std::string(size, 'x'));
    ASSERT_TRUE(server.Start(Registry::UserFileRegistry(Registry::ServiceKey("\"SendDataTimeout\"=dword:00000001\n"))));
    ImapClient client;
    ASSERT_TRUE(client.LoggedIn(server.port, "ann", "pw"));
    EXPECT_EQ(client.Command("s", "SELECT inbox").back(), "s OK [READ-WRITE] SELECT completed\r\n");
    client.Send("f FETCH 1 BODY[]\r\n");
    EXPECT_TRUE(server.WaitForOutput("ERROR -> [send()", 30000)) << server.Output();
    EXPECT_LT(client.Drain(30000), size);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string out = server.Output();
    size_t first = out.find("ERROR -> [send()");
    EXPECT_EQ(out.find("ERROR -> [send()", first + 1), std::string::npos) << "reported more than once";
}

// RFC 7889: the limit is told after login, and a larger literal is refused before the client
// sends it.
TEST(Limits, AppendOverTheLimitIsRefusedBeforeTheLiteral) {
    TestServer server;
    server.AddUser("ann", "pw");
    ASSERT_TRUE(server.Start(Registry::UserFileRegistry(Registry::ServiceKey("\"MaxMessageSize\"=dword:000003e8\n"))));
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    auto caps = client.Command("c", "CAPABILITY");
    ASSERT_FALSE(caps.empty());
    EXPECT_EQ(caps[0].find("APPENDLIMIT"), std::string::npos);
    EXPECT_EQ(client.Command("l", "LOGIN ann pw").back(), "l OK LOGIN completed\r\n");
    EXPECT_NE(client.Command("c", "CAPABILITY")[0].find(" APPENDLIMIT=1000"), std::string::npos);
    client.Send("a1 APPEND inbox {1001}\r\n");
    EXPECT_EQ(client.ReadLine(), "a1 NO [TOOBIG] APPEND message larger than 1000 bytes\r\n");
    client.Send("a2 APPEND inbox {1000}\r\n");
    EXPECT_EQ(client.ReadLine().substr(0, 2), "+ ");
    client.Send("Subject: x\r\n\r\n" + std::string(984, 'x') + "\r\n\r\n");
    auto appended = client.ReadUntilTagged("a2");
    ASSERT_FALSE(appended.empty());
    EXPECT_EQ(appended.back().rfind("a2 OK", 0), 0u) << appended.back();
}

// Out of file descriptors: the accept loop waits instead of spinning, a logged-in client is
// told why its command failed (never invited to create a mailbox that exists), and the server
// serves again once descriptors are free.
TEST(Limits, OutOfDescriptorsSlowsTheAcceptLoopAndTellsTheReason) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's runtime needs descriptors of its own at the limit";
#endif
    TestServer server;
    server.AddUser("ann", "pw");
    WriteFile(server.dir + "/users/ann/d1.MSG", "Subject: one\r\n\r\nbody\r\n");
    server.openFileLimit = 24;
    ASSERT_TRUE(server.Start(Registry::UserFileRegistry()));
    ImapClient client;
    ASSERT_TRUE(client.LoggedIn(server.port, "ann", "pw"));
    EXPECT_EQ(client.Command("s", "SELECT inbox").back(), "s OK [READ-WRITE] SELECT completed\r\n");

    std::vector<std::unique_ptr<ImapClient>> crowd;
    for (int i = 0; i < 40; i++) {
        crowd.push_back(std::make_unique<ImapClient>());
        ASSERT_TRUE(crowd.back()->Connect(server.port));
    }
    ASSERT_TRUE(server.WaitForOutput("WSAEMFILE\n")) << server.Output();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string out = server.Output();
    size_t failures = 0;
    for (size_t at = out.find("WSAEMFILE\n"); at != std::string::npos; at = out.find("WSAEMFILE\n", at + 1)) {
        failures++;
    }
    EXPECT_LT(failures, 30u);
    auto answer = client.Command("c", "COPY 1:* inbox");
    EXPECT_EQ(answer.back().find("TRYCREATE"), std::string::npos) << answer.back();
    EXPECT_EQ(answer.back().rfind("c NO", 0), 0u) << answer.back();

    crowd.clear();
    // The loop may still be backing off (up to a second) while the crowd's sessions end.
    std::string greeting;
    for (int attempt = 0; attempt < 10 && greeting != kGreeting; attempt++) {
        ImapClient later;
        ASSERT_TRUE(later.Connect(server.port));
        greeting = later.ReadLine();
    }
    EXPECT_EQ(greeting, kGreeting);
}

TEST(AcceptLimit, NoLimitWithoutTimer) {
    TestServer server;
    ASSERT_TRUE(server.Start(Registry::BasicRegistry(
        Registry::ServiceKey("\"AcceptLimit\"=dword:00000001\n\"Timeout\"=dword:00000000\n"))));
    ImapClient clients[3];
    for (auto& c : clients) {
        ASSERT_TRUE(c.Greeted(server.port));
    }
}

TEST(Logs, AccessAndProtocolLinesHaveTheirFormats) {
    TestServer server;
    ASSERT_TRUE(server.Start(Registry::BasicRegistry(Registry::ServiceKey(
        "\"AcceptlogEnabled\"=dword:00000001\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
        "\"Imap4LogEnabled\"=dword:00000001\n"))));
    // The server creates the access-log directory, never the protocol-log one.
    ASSERT_EQ(mkdir((server.dir + "/spool/receiveimap4").c_str(), 0755), 0);
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    client.Command("a1", "noop");
    client.Command("a2", "LOGIN ann secret");
    client.Command("a3", "SELECT inbox");
    client.Send("a4\r\n");
    client.ReadLine();
    client.Command("a5", "LOGOUT");
    client.ClosedByPeer();
    // The peer's close is recorded with the receive error text of code 0; LOGOUT records nothing more.
    ImapClient gone;
    ASSERT_TRUE(gone.Greeted(server.port));
    gone.Close();
    EXPECT_TRUE(server.WaitForOutput("ERROR<- [read() SOCKET_ERROR OTHER CODE=0]\n"));

    std::string access = ReadFilesIn(server.dir + "/spool/imap4log");
    const std::string stamp = R"(\[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d\] )";
    EXPECT_TRUE(std::regex_search(access, std::regex(stamp + R"(- from 127\.0\.0\.1 noop - \n)"))) << access;
    // A failed LOGIN leaves its user name in the session, and so in later lines.
    EXPECT_TRUE(std::regex_search(access, std::regex(stamp + R"(ann from 127\.0\.0\.1 LOGIN ann \*\*\*\* failed\n)")))
        << access;
    EXPECT_TRUE(std::regex_search(access, std::regex(stamp + R"(ann from 127\.0\.0\.1 SELECT inbox \n)"))) << access;
    EXPECT_EQ(access.find("secret"), std::string::npos);
    EXPECT_EQ(access.find("a4"), std::string::npos);
    EXPECT_EQ(access.find("NULL"), std::string::npos);

    std::string protocol = ReadFilesIn(server.dir + "/spool/receiveimap4");
    const std::string prefix = stamp.substr(0, stamp.size() - 1) + R"(, [0-9a-f]{8,}, )";
    EXPECT_TRUE(std::regex_search(protocol, std::regex(prefix + R"(\* OK \[CAPABILITY IMAP4 [^\]]*\] Velmora IMAP4rev1 Server \(0\.07\) Ready\. \n)")))
        << protocol;
    EXPECT_TRUE(std::regex_search(protocol, std::regex(prefix + R"(a1 noop\n)"))) << protocol;
    EXPECT_TRUE(std::regex_search(protocol, std::regex(prefix + R"(a1 OK noop completed\n)"))) << protocol;
    EXPECT_NE(protocol.find(", read() SOCKET_ERROR OTHER CODE=0\n"), std::string::npos) << protocol;
    EXPECT_EQ(protocol.find('\r'), std::string::npos);
}

// AddressFamily 2 serves both families on one port, 1 IPv6 alone.
TEST(Listening, AddressFamilyChoosesIpv4Ipv6OrBoth) {
    if (!Ipv6LoopbackAvailable()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    for (int family : {2, 1}) {
        TestServer server;
        ASSERT_TRUE(server.Start(Registry::BasicRegistry("\"AddressFamily\"=dword:0000000" + std::to_string(family) + "\n")));
        ImapClient v4, v6;
        ASSERT_TRUE(v6.Greeted(server.port, "::1"));
        EXPECT_EQ(v6.Command("b", "NOOP"), std::vector<std::string>{"b OK NOOP completed\r\n"});
        EXPECT_EQ(v4.Connect(server.port, "127.0.0.1"), family == 2) << family;
        EXPECT_EQ(server.Signal(SIGINT), 0);
        EXPECT_EQ(server.WaitExit(), 0) << server.Output();
    }
}

TEST(Listening, ListenIpEntriesChooseAddressAndPort) {
    TestServer server;
    int second = FreePort();
    ASSERT_TRUE(server.Start(Registry::BasicRegistry(Registry::ServiceKey(
        "\"ListenMode\"=dword:00000001\n\"ListenIP\"=str(7):\"127.0.0.1 " + std::to_string(second) + "\\0127.0.0.1\\0\"\n"))));
    ImapClient a, b;
    ASSERT_TRUE(a.Greeted(second));
    ASSERT_TRUE(b.Greeted(server.port));
    EXPECT_TRUE(server.WaitForOutput("Imap4 IP            permit \"127.0.0.1 " + std::to_string(second) +
                                     "\" \"127.0.0.1\"\n"));
    // The stop request wakes the loop through the first IPv4 entry.
    EXPECT_EQ(server.Signal(SIGINT), 0);
    EXPECT_EQ(server.WaitExit(), 0) << server.Output();
    EXPECT_NE(server.Output().find("Service terminating."), std::string::npos);
}

}  // namespace
