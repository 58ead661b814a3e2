// Several sessions on one mailbox: each keeps the numbers its client was told until a change
// may be announced, and is told of every change made elsewhere.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "imap/view.h"
#include "mail_session.h"

namespace {


class Views : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        Put("1-100000 2-100000 3-100000 4-100000");
        a.Run("s SELECT INBOX");
        b.Run("s SELECT INBOX");
    }
    OtherSession a{mailDir}, b{mailDir};
};

TEST_F(Views, AnExpungeElsewhereKeepsNumbersUntilAnnouncedAndLosesNothing) {
    a.Talk({{"1 STORE 2 +FLAGS.SILENT (\\Deleted)", "1 OK STORE completed\r\n"},
            {"2 EXPUNGE", "* 2 EXPUNGE\r\n2 OK EXPUNGE completed\r\n"}});
    // B still numbers the old message 3 as 3: FETCH and STORE of 2 answer nothing and change nothing.
    b.Talk({{"1 FETCH 2:3 (UID)", "* 3 FETCH (UID 3)\r\n1 OK FETCH completed\r\n"},
            {"2 STORE 2 +FLAGS (\\Deleted)", "2 OK STORE completed\r\n"},
            {"3 STORE 3 +FLAGS (\\Seen)", "* 3 FETCH (FLAGS (\\Seen))\r\n3 OK STORE completed\r\n"},
            {"4 SEARCH ALL", "* SEARCH 1 3 4\r\n4 OK SEARCH completed\r\n"},
            {"5 NOOP", "* 2 EXPUNGE\r\n5 OK NOOP completed\r\n"},
            {"6 FETCH 2 (UID)", "* 2 FETCH (UID 3)\r\n6 OK FETCH completed\r\n"},
            {"7 EXPUNGE", "7 OK EXPUNGE completed\r\n"}});
    EXPECT_EQ(Tree(box), "1-000000 3-000010 4-000000 uid");
    // A's own STORE line was its news of message 1; B's change reaches A at its next command.
    b.Run("8 STORE 1 +FLAGS.SILENT (\\Deleted)");
    a.Talk({{"3 NOOP", "* 1 FETCH (FLAGS (\\Recent \\Deleted))\r\n* 2 FETCH (FLAGS (\\Recent \\Seen))\r\n"
                       "3 OK NOOP completed\r\n"},
            {"4 EXPUNGE", "* 1 EXPUNGE\r\n4 OK EXPUNGE completed\r\n"}});
    // An EXPUNGE of a message already gone announces it like any other.
    EXPECT_EQ(b.Run("9 EXPUNGE"), "* 1 EXPUNGE\r\n9 OK EXPUNGE completed\r\n");
    EXPECT_EQ(b.Run("10 UID FETCH 1:* (FLAGS)"), "* 1 FETCH (FLAGS (\\Seen) UID 3)\r\n* 2 FETCH (FLAGS () UID 4)\r\n"
                                                 "10 OK FETCH completed\r\n");
}

TEST_F(Views, AppendAndCopyAreAnnouncedAndRecentGoesToOneSession) {
    uint32_t ulValidity = 0;
    ASSERT_TRUE(GetUidValidity((mailDir + "inbox").c_str(), &ulValidity));
    const std::string v = std::to_string(ulValidity);
    EXPECT_EQ(a.Run("1 APPEND INBOX {5}\r\nhello"), "* 5 EXISTS\r\n* 5 RECENT\r\n1 OK [APPENDUID " + v + " 5] APPEND completed\r\n");
    EXPECT_EQ(b.Run("1 NOOP"), "* 5 EXISTS\r\n* 0 RECENT\r\n1 OK NOOP completed\r\n");
    EXPECT_EQ(b.Run("2 COPY 1 INBOX"), "* 6 EXISTS\r\n* 1 RECENT\r\n2 OK [COPYUID " + v + " 1 6] COPY completed\r\n");
    a.Talk({{"2 NOOP", "* 6 EXISTS\r\n* 5 RECENT\r\n2 OK NOOP completed\r\n"},
            {"3 FETCH 5:* FLAGS", "* 5 FETCH (FLAGS (\\Recent))\r\n* 6 FETCH (FLAGS ())\r\n3 OK FETCH completed\r\n"}});
    EXPECT_EQ(b.Run("3 FETCH 5:* FLAGS"), "* 5 FETCH (FLAGS ())\r\n* 6 FETCH (FLAGS (\\Recent))\r\n3 OK FETCH completed\r\n");
    // A third session opened now finds nothing recent, and STATUS counts nothing recent either.
    OtherSession c{mailDir};
    EXPECT_NE(c.Run("1 SELECT INBOX").find("* 6 EXISTS\r\n* 0 RECENT\r\n"), std::string::npos);
    EXPECT_EQ(c.Run("2 STATUS INBOX (RECENT)"), "* STATUS INBOX (RECENT 0)\r\n2 OK STATUS completed\r\n");
}

TEST_F(Views, AMessageStoredAfterALaterOneTakesAUidAboveIt) {
    uint32_t ulValidity = 0;
    ASSERT_TRUE(GetUidValidity(box.c_str(), &ulValidity));
    const std::string v = std::to_string(ulValidity);
    // A's literal is still on its way when B's APPEND, begun later, is stored.
    snprintf(a.session->szRecv, sizeof(a.session->szRecv), "1 APPEND INBOX {5}\r\n");
    std::thread appender([&] { DispatchCommand(a.session.get()); });
    EXPECT_EQ(a.Await("data\r\n"), "+ Ready for literal data\r\n");
    EXPECT_EQ(b.Run("1 APPEND INBOX {3}\r\nabc"), "* 5 EXISTS\r\n* 1 RECENT\r\n1 OK [APPENDUID " + v + " 6] APPEND completed\r\n");
    ASSERT_EQ(write(a.peer, "hello\r\n", 7), 7);
    appender.join();
    EXPECT_EQ(a.Await("completed\r\n"), "* 6 EXISTS\r\n* 5 RECENT\r\n1 OK [APPENDUID " + v + " 7] APPEND completed\r\n");
    // B, which has seen UID 6, can still be told of A's message: it is numbered after it.
    b.Talk({{"2 NOOP", "* 6 EXISTS\r\n* 1 RECENT\r\n2 OK NOOP completed\r\n"},
            {"3 UID FETCH 6:* (UID)", "* 5 FETCH (UID 6)\r\n* 6 FETCH (UID 7)\r\n3 OK FETCH completed\r\n"}});
    EXPECT_EQ(ReadFile(box + "/0000000007-000000.MSG"), "hello\r\n");
    EXPECT_EQ(ReadFile(box + "/uid"), "8");
}

// A uid file behind the messages (another program placed one, a backup put an old file back)
// never gives a new message a UID below one a client may have been told of: it could never be
// announced. Every way a message comes in takes a UID above all present, and above those
// expunged while the mailbox is open.
TEST_F(Views, ANewMessageTakesAUidAboveEveryUidPresent) {
    uint32_t ulValidity = 0;
    ASSERT_TRUE(GetUidValidity(box.c_str(), &ulValidity));
    const std::string v = std::to_string(ulValidity);
    Put("9-000000");
    ASSERT_EQ(ReadFile(box + "/uid"), "5");
    EXPECT_EQ(a.Run("1 NOOP"), "* 5 EXISTS\r\n* 4 RECENT\r\n1 OK NOOP completed\r\n");
    EXPECT_EQ(a.Run("2 APPEND INBOX {5}\r\nhello"), "* 6 EXISTS\r\n* 5 RECENT\r\n2 OK [APPENDUID " + v + " 10] APPEND completed\r\n");
    for (auto& entry : std::filesystem::directory_iterator(box)) {
        if (entry.path().filename().string().starts_with("0000000010-")) std::filesystem::remove(entry);
    }
    WriteFile(box + "/uid", "6");
    // STATUS answers from the index the sessions share, which remembers UID 10.
    EXPECT_NE(b.Run("3 STATUS INBOX (UIDNEXT)").find("* STATUS INBOX (UIDNEXT 11)\r\n"), std::string::npos);
    EXPECT_NE(b.Run("3 COPY 1 INBOX").find("3 OK [COPYUID " + v + " 1 11] COPY completed\r\n"), std::string::npos);
    MakeMailbox("Archive");
    Write({{"Archive/0000000007-000000.MSG", "x"}, {"Archive/uid", "2"}});
    ASSERT_TRUE(GetUidValidity(Path("Archive").c_str(), &ulValidity));
    EXPECT_NE(b.Run("4 MOVE 2 Archive").find("[COPYUID " + std::to_string(ulValidity) + " 2 8]"), std::string::npos);
    // The inbox import, with nobody's index to ask: the directory is listed.
    std::snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "MSG");
    WriteFile(box + "/uid", "3");
    Write({{"new.MSG", "Subject: new\r\n\r\nnew\r\n"}});
    a.session->pView.reset();
    b.session->pView.reset();
    OtherSession c{mailDir};
    c.Run("1 SELECT INBOX");
    EXPECT_EQ(Tree(box), "1-000000 3-000000 4-000000 9-000000 11-000000 12-000000 uid");
    EXPECT_EQ(ReadFile(box + "/uid"), "13");
    EXPECT_EQ(c.Run("2 STATUS INBOX (UIDNEXT MESSAGES)"), "* STATUS INBOX (UIDNEXT 13 MESSAGES 6)\r\n2 OK STATUS completed\r\n");
}

// While an expunge is still to be told (no EXPUNGE may be sent during FETCH), the client goes on
// numbering the expunged message: EXISTS counts it, and the EXPUNGE that follows brings the
// client's count to what the mailbox holds.
TEST_F(Views, ExistsCountsAMessageWhoseExpungeIsStillToBeTold) {
    a.Talk({{"1 STORE 2 +FLAGS.SILENT (\\Deleted)", "1 OK STORE completed\r\n"},
            {"2 EXPUNGE", "* 2 EXPUNGE\r\n2 OK EXPUNGE completed\r\n"}});
    Put("7-100000");
    b.Talk({{"1 FETCH 4 (UID)", "* 4 FETCH (UID 4)\r\n* 5 EXISTS\r\n* 1 RECENT\r\n1 OK FETCH completed\r\n"},
            {"2 FETCH 5 (UID)", "* 5 FETCH (UID 7)\r\n2 OK FETCH completed\r\n"},
            {"3 NOOP", "* 2 EXPUNGE\r\n3 OK NOOP completed\r\n"},
            {"4 FETCH 4 (UID)", "* 4 FETCH (UID 7)\r\n4 OK FETCH completed\r\n"}});
    // Two expunges still to be told when a message comes: EXISTS counts both.
    a.Talk({{"3 STORE 1,3 +FLAGS.SILENT (\\Deleted)", "* 4 EXISTS\r\n* 3 RECENT\r\n3 OK STORE completed\r\n"},
            {"4 EXPUNGE", "* 3 EXPUNGE\r\n* 1 EXPUNGE\r\n4 OK EXPUNGE completed\r\n"}});
    Put("8-100000");
    b.Talk({{"5 FETCH 1:2 (UID)", "* 2 FETCH (UID 3)\r\n* 5 EXISTS\r\n* 2 RECENT\r\n5 OK FETCH completed\r\n"},
            {"6 NOOP", "* 3 EXPUNGE\r\n* 1 EXPUNGE\r\n6 OK NOOP completed\r\n"},
            {"7 FETCH 1:* (UID)", "* 1 FETCH (UID 3)\r\n* 2 FETCH (UID 7)\r\n* 3 FETCH (UID 8)\r\n7 OK FETCH completed\r\n"}});
}

TEST_F(Views, FilesChangedByAnotherProgramAreAnnouncedToEverySession) {
    OtherSession c{mailDir};
    c.Run("s EXAMINE INBOX");
    std::filesystem::rename(box + "/0000000002-000000.MSG", box + "/0000000002-001000.MSG");
    Put("9-100000");
    // EXISTS comes at once, even while FETCH runs; the first to see the new message holds \Recent.
    EXPECT_EQ(b.Run("1 FETCH 2 (FLAGS)"), "* 2 FETCH (FLAGS (\\Flagged))\r\n* 5 EXISTS\r\n* 1 RECENT\r\n"
                                          "* 2 FETCH (FLAGS (\\Flagged))\r\n1 OK FETCH completed\r\n");
    a.Talk({{"1 NOOP", "* 5 EXISTS\r\n* 4 RECENT\r\n* 2 FETCH (FLAGS (\\Recent \\Flagged))\r\n1 OK NOOP completed\r\n"}});
    std::filesystem::remove(box + "/0000000009-000000.MSG");
    std::filesystem::remove(box + "/0000000001-000000.MSG");
    // C never heard of message 9, so it hears nothing of its removal; numbers shift before the
    // flags are told. A was told of message 9 and hears of both removals, highest first.
    EXPECT_EQ(c.Run("1 NOOP"), "* 1 EXPUNGE\r\n* 1 FETCH (FLAGS (\\Flagged))\r\n1 OK NOOP completed\r\n");
    EXPECT_EQ(a.Run("2 NOOP"), "* 5 EXPUNGE\r\n* 1 EXPUNGE\r\n2 OK NOOP completed\r\n");
}

TEST_F(Views, AStoreWhoseRenameFailsAnswersNoWithTheFlagsReallyStored) {
    std::string chattr = "chattr +i " + box + "/0000000003-000000.MSG 2>/dev/null";
    if (std::system(chattr.c_str()) != 0) GTEST_SKIP() << "no immutable attribute here";
    std::string answer = a.Run("1 STORE 2:3 +FLAGS (\\Seen)");
    EXPECT_EQ(std::system(chattr.replace(7, 1, "-").c_str()), 0);
    EXPECT_EQ(answer, "* 2 FETCH (FLAGS (\\Recent \\Seen))\r\n* 3 FETCH (FLAGS (\\Recent))\r\n1 NO STORE fails\r\n");
    EXPECT_EQ(Tree(box), "1-000000 2-000010 3-000000 4-000000 uid");
}

TEST_F(Views, AFileRenamedAfterTheListingIsFoundAgainByItsUid) {
    bool bCalled = false;
    ForEachMessage(a.session.get(), "2", false, [&](uint32_t, ViewMessage& message) {
        std::filesystem::rename(box + "/0000000002-000000.MSG", box + "/0000000002-000010.MSG");
        EXPECT_TRUE(ConfirmFileName(a.session.get(), message));
        EXPECT_STREQ(a.session->FindData.cFileName, "0000000002-000010.MSG");
        EXPECT_STREQ(a.session->szShownFlags, "100010");
        std::filesystem::remove(box + "/0000000002-000010.MSG");
        EXPECT_FALSE(ConfirmFileName(a.session.get(), message));
        return bCalled = true;
    });
    EXPECT_TRUE(bCalled);
}

TEST_F(Views, IdleIsWokenByEachKindOfChange) {
    std::snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "MSG");
    Settings.Timeout = 1;  // never below the half hour an idling client is granted
    snprintf(a.session->szRecv, sizeof(a.session->szRecv), "1 IDLE\r\n");
    std::thread idler([&] { DispatchCommand(a.session.get()); });
    EXPECT_EQ(a.Await("+ idling\r\n"), "+ idling\r\n");
    b.Run("1 STORE 2 +FLAGS.SILENT (\\Flagged)");
    EXPECT_EQ(a.Await("))\r\n"), "* 2 FETCH (FLAGS (\\Recent \\Flagged))\r\n");
    // Each command is news of its own: the flag change may be told before the expunge is made.
    b.Run("2 STORE 1 +FLAGS.SILENT (\\Deleted)");
    EXPECT_EQ(a.Await("))\r\n"), "* 1 FETCH (FLAGS (\\Recent \\Deleted))\r\n");
    b.Run("3 EXPUNGE");
    EXPECT_EQ(a.Await("EXPUNGE\r\n"), "* 1 EXPUNGE\r\n");
    Put("5-100000");  // another program's file, numbered as the uid file says
    WriteFile(box + "/uid", "6");
    EXPECT_EQ(a.Await("RECENT\r\n"), "* 4 EXISTS\r\n* 4 RECENT\r\n");
    // Mail delivered into the mail directory is taken into the inbox once its writer closes it,
    // not while it is half written (the flag change comes after the file's creation).
    {
        std::ofstream delivery(mailDir + "new.MSG", std::ios::binary);
        delivery << "Subject: new\r\n" << std::flush;
        b.Run("4 STORE 1 -FLAGS.SILENT (\\Flagged)");
        EXPECT_EQ(a.Await("))\r\n"), "* 1 FETCH (FLAGS (\\Recent))\r\n");
        delivery << "\r\nnew\r\n";
    }
    EXPECT_EQ(a.Await("RECENT\r\n"), "* 5 EXISTS\r\n* 5 RECENT\r\n");
    ASSERT_EQ(write(a.peer, "DONE\r\n", 6), 6);
    idler.join();
    EXPECT_EQ(a.Await("completed\r\n"), "1 OK IDLE completed\r\n");
    EXPECT_EQ(a.Run("2 FETCH 5 (UID RFC822.SIZE)"), "* 5 FETCH (UID 6 RFC822.SIZE 21)\r\n2 OK FETCH completed\r\n");
    // Anything but DONE ends it too, as a mistake.
    EXPECT_EQ(a.Run("3 IDLE\r\nNOOP"), "+ idling\r\n3 BAD IDLE expected DONE\r\n");
    Settings.Timeout = 0;
}

// Thunderbird acts on news only in the read that brought "+ idling": a flag changed elsewhere
// just before IDLE must come in the same write as the continuation.
TEST_F(Views, IdleContinuationAndTheNewsDueLeaveInOneWrite) {
    OtherSession c{mailDir, SOCK_SEQPACKET};
    c.Run("s SELECT INBOX");
    b.Run("1 STORE 2 +FLAGS.SILENT (\\Flagged)");
    ASSERT_EQ(write(c.peer, "DONE\r\n", 6), 6);
    snprintf(c.session->szRecv, sizeof(c.session->szRecv), "1 IDLE\r\n");
    DispatchCommand(c.session.get());
    std::vector<std::string> writes;
    char buf[4096];
    for (ssize_t n; (n = recv(c.peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) writes.emplace_back(buf, static_cast<size_t>(n));
    EXPECT_EQ(writes, (std::vector<std::string>{"+ idling\r\n* 2 FETCH (FLAGS (\\Flagged))\r\n", "1 OK IDLE completed\r\n"}));
    // Without news the continuation goes alone, at once.
    snprintf(c.session->szRecv, sizeof(c.session->szRecv), "2 IDLE\r\nDONE\r\n");
    DispatchCommand(c.session.get());
    writes.clear();
    for (ssize_t n; (n = recv(c.peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) writes.emplace_back(buf, static_cast<size_t>(n));
    EXPECT_EQ(writes, (std::vector<std::string>{"+ idling\r\n", "2 OK IDLE completed\r\n"}));
}

}  // namespace

namespace {

// An IDLE that outlives the autologout is told BYE once, and the connection ends. (Without a
// mailbox selected, so that the limit is looked at every second.)
TEST_F(Views, IdleLongerThanTheAutologoutEndsWithOneBye) {
    OtherSession c{mailDir, SOCK_SEQPACKET};
    ASSERT_EQ(c.session->State, Imap4Authorization);
    const int32_t lIdle = Settings.IdleTimeout;
    Settings.IdleTimeout = 1;
    snprintf(c.session->szRecv, sizeof(c.session->szRecv), "1 IDLE\r\n");
    EXPECT_EQ(DispatchCommand(c.session.get()), 0);
    Settings.IdleTimeout = lIdle;
    std::vector<std::string> writes;
    char buf[4096];
    for (ssize_t n; (n = recv(c.peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) writes.emplace_back(buf, static_cast<size_t>(n));
    EXPECT_EQ(writes, (std::vector<std::string>{"+ idling\r\n", "* BYE Autologout; idle for too long\r\n"}));
}

}  // namespace
