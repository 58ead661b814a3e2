// Line splitting, the response helpers and the dispatcher's replies,
// driven through a socket pair so that the exact bytes a client would get are compared.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "imap/dispatch.h"
#include "imap/line.h"
#include "imap/response.h"
#include "imap/session_io.h"
#include "net/tmqueue.h"
#include "mail_session.h"

namespace {

struct Split {
    const char* line;
    const char* tag;
    const char* command;  // nullptr: none
    const char* args;     // nullptr: none
};

TEST(SplitRequestLine, CutsTagCommandAndArguments) {
    const Split cases[] = {
        // A command as the reader leaves it: without its final line end, literals inside.
        {"a001 NOOP", "a001", "NOOP", nullptr},
        {"a1 SELECT inbox", "a1", "SELECT", "inbox"},
        {"a1 LOGIN ann \"pass word\"", "a1", "LOGIN", "ann \"pass word\""},
        {"a004", "a004", nullptr, nullptr},
        {"a1  two blanks", "a1", "", "two blanks"},
        {"a1 X {3}\r\na\rb", "a1", "X", "{3}\r\na\rb"},
        {"a1 X ", "a1", "X", ""},
    };
    const auto text = [](const char* p) { return p ? "\"" + std::string(p) + "\"" : std::string("none"); };
    for (const Split& c : cases) {
        auto session = std::make_unique<Session>();
        snprintf(session->szRecv, sizeof(session->szRecv), "%s", c.line);
        SplitRequestLine(session.get());
        EXPECT_EQ(text(session->pTag) + text(session->pCommand) + text(session->pArgs),
                  text(c.tag) + text(c.command) + text(c.args)) << c.line;
    }
}

TEST(EndAtFirstCrOrLf, SkipsLeadingLineEnds) {
    char a[] = "\r\nabc\r\ndef";
    EndAtFirstCrOrLf(a);
    EXPECT_STREQ(a, "\r\nabc");
    char b[] = "\n\r\n";
    EndAtFirstCrOrLf(b);
    EXPECT_STREQ(b, "\n\r\n");
}

TEST(FormatResponse, CutLineStillEndsInCrLf) {
    auto session = std::make_unique<Session>();
    std::string tag(9000, 't');
    session->pTag = tag.data();
    char command[] = "NOOP";
    session->pCommand = command;
    RespondCompleted(session.get());
    size_t length = strlen(session->szResponse);
    EXPECT_EQ(length, sizeof(session->szResponse) - 1);
    EXPECT_EQ(std::string(session->szResponse + length - 2), "\r\n");
}

using DispatchTest = MailSession;

TEST_F(DispatchTest, UidPrefixRules) {
    session->State = Imap4NonAuthenticated;
    EXPECT_EQ(Run("a006 UID FETCH 1:* FLAGS"), "a006 BAD UID needs a selected mailbox\r\n");
    EXPECT_EQ(result, 1);
    Select("inbox");
    EXPECT_EQ(Run("a007 UID EXPUNGE 1"), "a007 OK EXPUNGE completed\r\n");
    EXPECT_EQ(Run("a007 UID EXPUNGE"), "a007 BAD EXPUNGE illegal argument\r\n");
    EXPECT_EQ(Run("a008 uid bogus"), "a008 BAD illegal argument.(BOGUS)\r\n");
    EXPECT_EQ(Run("a009 UID SEARCH"), "a009 BAD SEARCH illegal argument\r\n");
    EXPECT_EQ(result, 1);
}

TEST_F(DispatchTest, StateRulesOfNamespaceAndCheck) {
    EXPECT_EQ(Run("n NAMESPACE"), "* NAMESPACE ((\"\" \"/\")) NIL NIL\r\nn OK NAMESPACE completed\r\n");
    EXPECT_EQ(Run("c check"), "c NO Command unrecognized: check\r\n");
    Select("inbox");
    EXPECT_EQ(Run("c check"), "c OK check completed\r\n");
}

TEST_F(DispatchTest, EachQueuedLineRunsAndTheLastDecides) {
    EXPECT_EQ(Dispatch("a1 LOGOUT\r\na2 NOOP\r\n"),
              "* BYE Velmora IMAP4rev1 Server terminating connection\r\na1 OK LOGOUT completed\r\n"
              "a2 OK NOOP completed\r\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(session->State, Imap4NonAuthenticated);
    Dispatch("a1 NOOP\r\na2 LOGOUT\r\n");
    EXPECT_EQ(result, 0);
    // A fragment without its LF waits in the queue for the rest of its line.
    EXPECT_EQ(Dispatch("a1 NOOP\r\na2 NO"), "a1 OK NOOP completed\r\n");
    EXPECT_STREQ(session->szQueue, "a2 NO");
}

TEST_F(DispatchTest, SendResponseFlushesAtTheBufferCeiling) {
    std::string line(5000, 'x');
    line += "\r\n";
    snprintf(session->szResponse, sizeof(session->szResponse), "%s", line.c_str());
    std::string held;
    while (held.size() + line.size() < SENDBUF_SIZE - 1) {
        SendResponse(session.get(), 0, 0);
        held += line;
    }
    SendResponse(session.get(), 0, 0);  // one more would not fit: what is held goes out alone
    EXPECT_EQ(Received(), held);
    SendResponse(session.get(), 1, 0);
    EXPECT_EQ(Received(), line + line);
    EXPECT_FALSE(OutputHeld(session.get()));
}

// Each send is one packet here, so the test sees how a command's answers leave: pipelined
// commands are answered in order, each in one send, however many lines it has.
TEST_F(DispatchTest, PipelinedCommandsLeaveOneSendEach) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    close(session->sockClient), close(peer);
    session->sockClient = fds[0], peer = fds[1];
    Select("inbox");
    Put("1-100000 2-000010 3-000000");
    snprintf(session->szRecv, sizeof(session->szRecv), "%s",
             "a1 NOOP\r\na2 FETCH 1:* (UID FLAGS)\r\na3 STORE 2 -FLAGS (\\Seen)\r\na4 SEARCH UNSEEN\r\n");
    ASSERT_EQ(DispatchCommand(session.get()), 1);
    std::vector<std::string> sends;
    char buf[65536];
    for (ssize_t n; (n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) sends.emplace_back(buf, size_t(n));
    const std::vector<std::string> expected = {
        "a1 OK NOOP completed\r\n",
        "* 1 FETCH (UID 1 FLAGS (\\Recent))\r\n* 2 FETCH (UID 2 FLAGS (\\Seen))\r\n* 3 FETCH (UID 3 FLAGS ())\r\n"
        "a2 OK FETCH completed\r\n",
        "* 2 FETCH (FLAGS ())\r\na3 OK STORE completed\r\n",
        "* SEARCH 1 2 3\r\na4 OK SEARCH completed\r\n",
    };
    EXPECT_EQ(sends, expected);
    EXPECT_EQ(Tree(box), "1-100000 2-000000 3-000000");
}

TEST(TMQueue, SessionsStartingTogetherNeverOvershootTheLimit) {
    InitTMQueue();
    constexpr int kThreads = 8;
    constexpr uint32_t kLimit = 4;
    std::vector<Session> sessions(kThreads);
    std::atomic<int> admitted{0};
    std::vector<std::thread> threads;
    for (Session& session : sessions) {
        // Logged in: none of them may be sent away to make room.
        session.bLoggedIn = 1;
        threads.emplace_back([&session, &admitted] {
            if (AdmitTMQueue(&session, kLimit, 0) == ADMITTED) admitted++;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(admitted.load(), 4);
    EXPECT_EQ(ViewTMQueue(), 5u);
    for (Session& session : sessions) RemoveTMQueue(&session);
    EXPECT_EQ(ViewTMQueue(), 1u);
}

}  // namespace
