// COPY, UID COPY and APPEND on a mail directory under /tmp, driven through the dispatcher with
// the client's bytes on a socket pair.
#include "mail_dir_session.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <csignal>

namespace {

// The inbox holds UIDs 1, 2 and 5 with different flag codes; Archive's next UID is 7.
class CopyCommandTest : public MailDirSession {
protected:
    void SetUp() override {
        MailDirSession::SetUp();
        Write(Path("inbox/0000000001-000010.MSG"), "first");
        Write(Path("inbox/0000000002-110001.MSG"), "second");
        Write(Path("inbox/0000000005-001100.MSG"), "fifth");
        Write(Path("inbox/uid"), "6");
        MakeMailbox("Archive", true);
        Write(Path("Archive/uid"), "7");
        Select("inbox");
    }
    std::vector<std::string> Messages(const std::string& mailbox) const {
        std::vector<std::string> names = Names(Path(mailbox));
        std::erase(names, "uid");
        return names;
    }
};

TEST_F(CopyCommandTest, CopyTakesTheTargetsNextUidAndKeepsTheFlagCode) {
    EXPECT_EQ(Dispatch("a1 COPY 2 Archive\r\n"), "a1 OK COPY completed\r\n");
    EXPECT_EQ(Messages("Archive"), std::vector<std::string>{"0000000007-110001.MSG"});
    EXPECT_EQ(Read(Path("Archive/0000000007-110001.MSG")), "second");
    EXPECT_EQ(Read(Path("Archive/uid")), "8");
    EXPECT_EQ(Messages("inbox").size(), 3u);
}

TEST_F(CopyCommandTest, EveryElementIsWalkedInTurn) {
    EXPECT_EQ(Dispatch("a1 copy 1:3,2 \"archive\"\r\n"), "a1 OK copy completed\r\n");
    EXPECT_EQ(Messages("Archive"), (std::vector<std::string>{"0000000007-000010.MSG", "0000000008-110001.MSG",
                                                             "0000000009-001100.MSG", "0000000010-110001.MSG"}));
    EXPECT_EQ(Read(Path("Archive/uid")), "11");
    EXPECT_EQ(Dispatch("a2 COPY 3:1,9 Archive\r\n"), "a2 OK COPY completed\r\n");
    EXPECT_EQ(Messages("Archive").size(), 4u);
}

TEST_F(CopyCommandTest, CopyIntoTheSelectedMailboxCopiesEachMessageOnce) {
    EXPECT_EQ(Dispatch("a1 COPY 1:* INBOX\r\n"), "a1 OK COPY completed\r\n");
    EXPECT_EQ(Messages("inbox"), (std::vector<std::string>{"0000000001-000010.MSG", "0000000002-110001.MSG",
                                                           "0000000005-001100.MSG", "0000000006-000010.MSG",
                                                           "0000000007-110001.MSG", "0000000008-001100.MSG"}));
}

TEST_F(CopyCommandTest, UidCopyComparesUids) {
    EXPECT_EQ(Dispatch("a1 UID COPY 5 Archive\r\n"), "a1 OK COPY completed\r\n");
    EXPECT_EQ(Messages("Archive"), std::vector<std::string>{"0000000007-001100.MSG"});
    EXPECT_EQ(Dispatch("a2 UID COPY 3 Archive\r\n"), "a2 OK COPY completed\r\n");
    EXPECT_EQ(Dispatch("a3 UID COPY 2:4 Archive\r\n"), "a3 OK COPY completed\r\n");
    EXPECT_EQ(Messages("Archive"), (std::vector<std::string>{"0000000007-001100.MSG", "0000000008-110001.MSG"}));
}

TEST_F(CopyCommandTest, CopyNeedsASelectedMailboxAndATarget) {
    session->State = Imap4Authorization;
    EXPECT_EQ(Dispatch("a1 COPY 1 Archive\r\n"), "a1 NO Command unrecognized: COPY\r\n");
    Select("inbox");
    EXPECT_EQ(Dispatch("a2 COPY 1:2\r\n"), "a2 BAD COPY illegal argument\r\n");
    EXPECT_EQ(Messages("Archive"), std::vector<std::string>{});
}

TEST_F(CopyCommandTest, CopyToAMissingMailboxAsksForCreateAndCopiesNothing) {
    EXPECT_EQ(Dispatch("a1 COPY 1:* Missing\r\n"), "a1 NO [TRYCREATE] COPY fails\r\n");
    EXPECT_EQ(Dispatch("a2 UID COPY 1 \"Missing\"\r\n"), "a2 NO [TRYCREATE] COPY fails\r\n");
    EXPECT_FALSE(Exists(Path("Missing")));
    EXPECT_EQ(Names(mailDir), (std::vector<std::string>{"Archive", "inbox"}));
    // A file is no mailbox either, but creating it would not help.
    Write(Path("Plain"), "");
    EXPECT_EQ(Dispatch("a3 COPY 1 Plain\r\n"), "a3 NO COPY fails\r\n");
}

TEST_F(CopyCommandTest, ACopyThatCannotBeCompletedTakesBackWhatItCopied) {
    // A child mailbox stands where the second copy would go: the copy fails there.
    MakeMailbox("Archive/0000000008-110001.MSG");
    EXPECT_EQ(Dispatch("a1 COPY 1:* Archive\r\n"), "a1 NO COPY fails\r\n");
    EXPECT_EQ(Messages("Archive"), std::vector<std::string>{"0000000008-110001.MSG"});
    EXPECT_TRUE(std::filesystem::is_directory(Path("Archive/0000000008-110001.MSG")));
    EXPECT_EQ(Messages("inbox").size(), 3u);
}

TEST_F(CopyCommandTest, AStaleUidFileNeverGivesACopyAnOldUid) {
    Write(Path("Archive/0000000007-000000.MSG"), "old");
    EXPECT_EQ(Dispatch("a1 COPY 2 Archive\r\n"), "a1 OK COPY completed\r\n");
    EXPECT_EQ(Messages("Archive"), (std::vector<std::string>{"0000000007-000000.MSG", "0000000008-110001.MSG"}));
    EXPECT_EQ(Read(Path("Archive/uid")), "9");
}

TEST_F(CopyCommandTest, TargetsOutsideTheMailDirectoryAreRefused) {
    std::filesystem::create_directories(outside + "/box");
    for (const char* target : {"../outside/box", "/tmp", "Archive/../../outside/box", "C:box", "NUL"}) {
        std::string line = std::string("a1 COPY 1:* ") + target + "\r\n";
        EXPECT_EQ(Dispatch(line), "a1 NO COPY fails\r\n") << target;
    }
    EXPECT_EQ(Names(outside + "/box"), std::vector<std::string>{});
}

// APPEND into Sent, whose next UID is 4.
class AppendCommandTest : public MailDirSession {
protected:
    void SetUp() override {
        MailDirSession::SetUp();
        MakeMailbox("Sent", true);
        Write(Path("Sent/uid"), "4");
    }
};

const std::string kMessage = "Subject: test\r\n\r\nHello.\r\n";

TEST_F(AppendCommandTest, TheLiteralIsAskedForAndStoredWithRecentAndTheListedFlags) {
    ClientSends(kMessage + "\r\n");
    EXPECT_EQ(Dispatch("a1 APPEND \"Sent\" (\\Seen) {" + std::to_string(kMessage.size()) + "}\r\n"),
              "+ Ready for literal data\r\na1 OK APPEND completed\r\n");
    EXPECT_EQ(Names(Path("Sent")), (std::vector<std::string>{"0000000004-100010.MSG", "uid"}));
    EXPECT_EQ(Read(Path("Sent/0000000004-100010.MSG")), kMessage + "\r\n");
    EXPECT_EQ(Read(Path("Sent/uid")), "5");
}

struct FlagCase {
    const char* flags;
    const char* name;
};

TEST_F(AppendCommandTest, FlagListsBecomeFlagCodes) {
    const FlagCase cases[] = {
        {" (\\Seen \\Flagged)", "0000000004-101010.MSG"},
        {" (\\seen)", "0000000005-100000.MSG"},
        {" (\\Answered \\Deleted \\Draft \\Recent)", "0000000006-110101.MSG"},
        {" ()", "0000000007-100000.MSG"},
        {"", "0000000008-100000.MSG"},
        {" (\\Seen) \"17-Jul-1996 02:44:25 -0700\"", "0000000009-100010.MSG"},
    };
    for (const FlagCase& c : cases) {
        EXPECT_EQ(Dispatch(std::string("a1 APPEND Sent") + c.flags + " {3}\r\nabc\r\n"), "a1 OK APPEND completed\r\n")
            << c.flags;
        EXPECT_TRUE(Exists(Path("Sent/") + c.name)) << c.flags;
    }
}

TEST_F(AppendCommandTest, ALiteralSentBehindTheLineIsTakenWithoutAContinuation) {
    EXPECT_EQ(Dispatch("a1 APPEND Sent {5}\r\nhello\r\na2 NOOP\r\n"),
              "a1 OK APPEND completed\r\na2 OK NOOP completed\r\n");
    EXPECT_EQ(Read(Path("Sent/0000000004-100000.MSG")), "hello\r\n");

    // Part of it behind the line, the rest still on its way.
    ClientSends("lo\r\n");
    EXPECT_EQ(Dispatch("a3 APPEND Sent {5}\r\nhel"), "a3 OK APPEND completed\r\n");
    EXPECT_EQ(Read(Path("Sent/0000000005-100000.MSG")), "hello\r\n");
}

TEST_F(AppendCommandTest, TheRequestBehindTheLiteralIsKeptOutOfTheMessage) {
    ClientSends("hello\r\na2 NOOP\r\n");
    EXPECT_EQ(Dispatch("a1 APPEND Sent {5}\r\n"),
              "+ Ready for literal data\r\na1 OK APPEND completed\r\na2 OK NOOP completed\r\n");
    EXPECT_EQ(Read(Path("Sent/0000000004-100000.MSG")), "hello\r\n");
}

TEST_F(AppendCommandTest, ALongTagIsAnsweredWithItsFirst31Characters) {
    std::string tag(40, 't');
    tag.replace(30, 2, "XY");
    ClientSends("abc\r\n");
    EXPECT_EQ(Dispatch(tag + " APPEND Sent {3}\r\n"), "+ Ready for literal data\r\n" + tag.substr(0, 31) + " OK APPEND completed\r\n");
}

TEST_F(AppendCommandTest, AQuotedNameIsCutAtItsFirstBlank) {
    MakeMailbox("Sent Items");
    EXPECT_EQ(Dispatch("a1 APPEND \"Sent Items\" (\\Seen) {3}\r\nabc\r\n"), "a1 OK APPEND completed\r\n");
    EXPECT_TRUE(Exists(Path("Sent/0000000004-100010.MSG")));
    EXPECT_EQ(Names(Path("Sent Items")), std::vector<std::string>{});
}

TEST_F(AppendCommandTest, AppendWithoutALiteralSizeOrLoginIsRefused) {
    EXPECT_EQ(Dispatch("a1 APPEND INBOX {0}\r\n"), "a1 BAD APPEND illegal argument\r\n");
    EXPECT_EQ(Dispatch("a2 APPEND INBOX (\\Seen)\r\n"), "a2 BAD APPEND illegal argument\r\n");
    EXPECT_EQ(Dispatch("a3 APPEND INBOX {x}\r\n"), "a3 BAD APPEND illegal argument\r\n");
    session->State = Imap4NonAuthenticated;
    EXPECT_EQ(Dispatch("a4 APPEND INBOX {3}\r\n"), "a4 NO Command unrecognized: APPEND\r\n");
    EXPECT_EQ(Names(Path("inbox")), std::vector<std::string>{});
}

TEST_F(AppendCommandTest, AppendToAMissingMailboxAsksForCreateBeforeTheLiteral) {
    EXPECT_EQ(Dispatch("a1 APPEND Missing {5}\r\n"), "a1 NO [TRYCREATE] APPEND fails\r\n");
    EXPECT_FALSE(Exists(Path("Missing")));
}

TEST_F(AppendCommandTest, ALiteralAlreadySentToAMissingMailboxIsNeverRunAsRequests) {
    // "a9 LOGOUT" inside the literal would end the session if it were taken for a request.
    EXPECT_EQ(Dispatch("a1 APPEND Missing {11}\r\na9 LOGOUT\r\n\r\na2 NOOP\r\n"),
              "a1 NO [TRYCREATE] APPEND fails\r\na2 OK NOOP completed\r\n");
    ClientSends("GOUT\r\n\r\na4 NOOP\r\n");
    EXPECT_EQ(Dispatch("a3 APPEND Missing {11}\r\na9 LO"), "a3 NO [TRYCREATE] APPEND fails\r\na4 OK NOOP completed\r\n");
    EXPECT_EQ(session->State, Imap4Authorization);
}

TEST_F(AppendCommandTest, AMessageCutShortByTheClientIsNotKept) {
    ClientSends("only part");
    shutdown(peer, SHUT_WR);
    EXPECT_EQ(Dispatch("a1 APPEND Sent {100}\r\n"), "+ Ready for literal data\r\na1 NO APPEND fails\r\n");
    EXPECT_EQ(Names(Path("Sent")), std::vector<std::string>{"uid"});
    EXPECT_EQ(Read(Path("Sent/uid")), "5");
}

TEST_F(AppendCommandTest, AMessageThatCannotBeWrittenWholeIsNotKept) {
    // A file-size limit stands in for a full disk: the write fails part way.
    std::string literal(4000, 'x');
    ClientSends(literal + "\r\na2 NOOP\r\n");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string answer = Dispatch("a1 APPEND Sent {4000}\r\n");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    // The literal is still read to its end: the request behind it is answered as a request.
    EXPECT_EQ(answer, "+ Ready for literal data\r\na1 NO APPEND fails\r\na2 OK NOOP completed\r\n");
    EXPECT_EQ(Names(Path("Sent")), std::vector<std::string>{"uid"});
}

TEST_F(AppendCommandTest, AStaleUidFileNeverGivesANewMessageAnOldUid) {
    // The uid file says 4, but 4 and 5 are taken (with other flag codes too).
    Write(Path("Sent/0000000004-100000.MSG"), "older message");
    Write(Path("Sent/0000000005-000010.MSG"), "old and seen");
    EXPECT_EQ(Dispatch("a1 APPEND Sent {3}\r\nabc\r\n"), "a1 OK APPEND completed\r\n");
    EXPECT_EQ(Read(Path("Sent/0000000004-100000.MSG")), "older message");
    EXPECT_EQ(Read(Path("Sent/0000000006-100000.MSG")), "abc\r\n");
    EXPECT_EQ(Read(Path("Sent/uid")), "7");
}

TEST_F(AppendCommandTest, MailboxesOutsideTheMailDirectoryAreRefused) {
    std::filesystem::create_directories(outside + "/box");
    for (const char* name : {"../outside/box", "\"/tmp\"", "Sent/../../outside/box", "C:box", "CON"}) {
        std::string line = std::string("a1 APPEND ") + name + " {3}\r\nabc\r\na2 NOOP\r\n";
        EXPECT_EQ(Dispatch(line), "a1 NO APPEND fails\r\na2 OK NOOP completed\r\n") << name;
    }
    EXPECT_EQ(Names(outside + "/box"), std::vector<std::string>{});
}

}  // namespace
