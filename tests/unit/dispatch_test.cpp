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
#include "net/client.h"
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
    for (const Split& c : cases) {
        auto session = std::make_unique<Session>();
        snprintf(session->szRecv, sizeof(session->szRecv), "%s", c.line);
        SplitRequestLine(session.get());
        SCOPED_TRACE(c.line);
        EXPECT_STREQ(session->pTag, c.tag);
        if (c.command == nullptr) {
            EXPECT_EQ(session->pCommand, nullptr);
        } else {
            ASSERT_NE(session->pCommand, nullptr);
            EXPECT_STREQ(session->pCommand, c.command);
        }
        if (c.args == nullptr) {
            EXPECT_EQ(session->pArgs, nullptr);
        } else {
            ASSERT_NE(session->pArgs, nullptr);
            EXPECT_STREQ(session->pArgs, c.args);
        }
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
    SendResponse(session.get(), 0, 0);
    SendResponse(session.get(), 0, 0);  // 10004 bytes would not fit: the first goes out alone
    EXPECT_EQ(Received(), line);
    SendResponse(session.get(), 1, 0);
    EXPECT_EQ(Received(), line + line);
    EXPECT_STREQ(session->szSendBuf, "");
}

TEST(TMQueue, SessionsStartingTogetherNeverOvershootTheLimit) {
    InitTMQueue();
    constexpr int kThreads = 8;
    constexpr uint32_t kLimit = 4;
    std::vector<Session> sessions(kThreads);
    std::atomic<int> admitted{0};
    std::vector<std::thread> threads;
    for (Session& session : sessions) {
        threads.emplace_back([&session, &admitted] {
            if (AdmitTMQueue(&session, kLimit)) admitted++;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(admitted.load(), 4);
    EXPECT_EQ(ViewTMQueue(), 5u);
    for (Session& session : sessions) RemoveTMQueue(&session);
    EXPECT_EQ(ViewTMQueue(), 1u);
}

}  // namespace
