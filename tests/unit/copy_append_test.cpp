// COPY, UID COPY and APPEND on a mail directory under /tmp, the client's bytes on a socket pair.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "config/settings.h"

#include "dir_listing.h"
#include "mail_session.h"
#include "store/store.h"

namespace {

// The inbox holds UIDs 1, 2 and 5 with different flag codes; Archive's next UID is 7, Sent's 4.
class CopyAppend : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        Put("1-000010 2-110001 5-001100");
        Write({{"inbox/uid", "6"}, {"Archive/uid", "7"}, {"Sent/uid", "4"}});
        MakeMailbox("Archive", true);
        MakeMailbox("Sent", true);
    }
    // Answers with the UIDVALIDITY of APPENDUID and COPYUID written "V": it is the target's creation time.
    static std::string Masked(const std::string& answer) {
        return std::regex_replace(answer, std::regex("\\[(APPENDUID|COPYUID) \\d+ "), "[$1 V ");
    }
    std::string Run(const std::string& line) { return Masked(MailSession::Run(line)); }
};

TEST_F(CopyAppend, CopyTakesTheTargetsNextUidsAndKeepsFlagCodes) {
    Write({{"Archive/0000000008-000000.MSG", "old"}});  // above the uid file: every copy goes above it
    // Every element in turn, a message named twice copied twice; n:m names what m:n names. A
    // copy is new in its mailbox, so it carries the Recent digit.
    // The COPYUID code pairs each source UID with its copy's, in the order the set names them.
    const Pair copies[] = {{"COPY 2 Archive", "[COPYUID V 2 9] "}, {"COPY 1:3,2 \"archive\"", "[COPYUID V 1:2,5,2 10:11,12,13] "},
                           {"COPY 3:1,9 Archive", "[COPYUID V 1:2,5 14:15,16] "}, {"UID COPY 5 Archive", "[COPYUID V 5 17] "},
                           {"UID COPY 3 Archive", ""}, {"UID COPY 2:4 Archive", "[COPYUID V 2 18] "}};
    for (const auto& [request, code] : copies) {
        EXPECT_EQ(Run(std::string("a2 ") + request), std::string("a2 OK ") + code + "COPY completed\r\n") << request;
    }
    EXPECT_EQ(ReadFile(Path("Archive/0000000009-110001.MSG")), ReadFile(Path("inbox/0000000002-110001.MSG")));
    EXPECT_EQ(Tree(Path("Archive")), "8-000000 9-110001 10-100010 11-110001 12-101100 13-110001 14-100010 15-110001 "
                                     "16-101100 17-101100 18-110001 uid");
    EXPECT_EQ(ReadFile(Path("Archive/uid")), "19");
    EXPECT_EQ(Run("a3 COPY 1:x Archive"), "a3 BAD COPY illegal argument\r\n");
    // Into the selected mailbox itself each message is copied once, and announced before the OK.
    EXPECT_EQ(Run("a7 COPY 1:* INBOX"), "* 6 EXISTS\r\n* 4 RECENT\r\na7 OK [COPYUID V 1:2,5 6:7,8] COPY completed\r\n");
    EXPECT_EQ(Tree(box), "1-000010 2-110001 5-001100 6-100010 7-110001 8-101100 uid");
}

// What another server on a shared store may do between our taking UIDs and receiving the
// messages, having read the uid file a moment stale: receive its own message under a UID we
// took. Its file is left alone and ours go on to later UIDs.
TEST_F(CopyAppend, ANameAnotherWriterHoldsSendsTheMessageOnToALaterUid) {
    Write({{"Archive/.0000000007.incoming", "another server's message"}});
    EXPECT_EQ(Run("a1 COPY 1 Archive"), "a1 OK [COPYUID V 1 8] COPY completed\r\n");
    EXPECT_EQ(ReadFile(Path("Archive/.0000000007.incoming")), "another server's message");
    Write({{"Archive/.0000000009.incoming", "another server's message"}});
    EXPECT_EQ(Run("a2 APPEND Archive {5}\r\nHello"), "a2 OK [APPENDUID V 10] APPEND completed\r\n");
    EXPECT_EQ(ReadFile(Path("Archive/.0000000009.incoming")), "another server's message");
    EXPECT_EQ(Tree(Path("Archive")), ".0000000007.incoming* .0000000009.incoming* 8-100010 10-100000 uid");
}

// A wrong target is told before a wrong set, as it always was; neither copies nor moves anything.
TEST_F(CopyAppend, AMalformedSetIsRefusedOnceTheTargetIsKnownRight) {
    Run("s SELECT INBOX");  // opened for writing: MOVE runs
    const Pair cases[] = {
        {"a COPY 0 Archive", "a BAD COPY illegal argument\r\n"},
        {"a COPY 0 Nowhere", "a NO [TRYCREATE] COPY fails\r\n"},
        {"a COPY 1:4294967296 Archive", "a BAD COPY illegal argument\r\n"},
        {"a COPY \"1 2\" Archive", "a BAD COPY illegal argument\r\n"},
        {"a MOVE 1, Nowhere", "a NO [TRYCREATE] MOVE fails\r\n"},
        {"a MOVE *:x Archive", "a BAD MOVE illegal argument\r\n"},
        {"a UID MOVE 1:0 Archive", "a BAD MOVE illegal argument\r\n"},
        {"a UID EXPUNGE 1 2", "a BAD EXPUNGE illegal argument\r\n"},
        {"a UID EXPUNGE 4294967296", "a BAD EXPUNGE illegal argument\r\n"},
        // A set may come quoted, as an astring.
        {"b COPY \"2\" Archive", "b OK [COPYUID V 2 7] COPY completed\r\n"},
    };
    for (const auto& [request, answer] : cases) EXPECT_EQ(Run(request), answer) << request;
    EXPECT_EQ(Tree(Path("Archive")), "7-110001 uid");
    EXPECT_EQ(Tree(box), "1-000010 2-010001 5-001100 uid");  // SELECT took the Recent digit
}

TEST_F(CopyAppend, AppendStoresTheLiteralWithRecentAndTheListedFlagsAndTakesWhatFollowsAsRequests) {
    const std::string message = "Subject: test\r\n\r\nHello.\r\n";
    // UIDs 5 and 6 are taken, with other flag codes, though the uid file says 4: new messages go above them.
    Write({{"Sent/0000000005-000010.MSG", "old"}, {"Sent/0000000006-100000.MSG", "older"}});
    ClientSends(message + "\r\na0 NOOP\r\n");  // the request behind the literal stays a request
    EXPECT_EQ(Run("a1 APPEND \"Sent\" (\\Seen) {" + std::to_string(message.size()) + "}"),
              "+ Ready for literal data\r\na1 OK [APPENDUID V 7] APPEND completed\r\na0 OK NOOP completed\r\n");
    EXPECT_EQ(ReadFile(Path("Sent/0000000007-100010.MSG")), message);  // exactly the literal
    EXPECT_EQ(ReadFile(Path("Sent/uid")), "8");
    EXPECT_EQ(Run("a1 APPEND Sent {5}\r\nhello\r\na2 NOOP"), "a1 OK [APPENDUID V 8] APPEND completed\r\na2 OK NOOP completed\r\n");
    ClientSends("lo\r\n");  // part of the literal behind the line, the rest still on its way
    EXPECT_EQ(Masked(Dispatch("a3 APPEND Sent {5}\r\nhel")), "a3 OK [APPENDUID V 9] APPEND completed\r\n");
    EXPECT_EQ(ReadFile(Path("Sent/0000000006-100000.MSG")), "older");
    EXPECT_EQ(ReadFile(Path("Sent/0000000008-100000.MSG")) + ReadFile(Path("Sent/0000000009-100000.MSG")),
              "hello\r\nhello\r\n");
    MakeMailbox("Sent Items");
    int uid = 10;
    for (const char* args : {"Sent (\\Seen \\Flagged)", "Sent (\\seen)", "Sent (\\Answered \\Deleted \\Draft \\Recent)",
                             "Sent ()", "Sent", "Sent (\\Seen) \"17-Jul-1996 02:44:25 -0700\"",
                             }) {
        EXPECT_EQ(Run(std::string("a2 APPEND ") + args + " {3}\r\nabc"),
                  "a2 OK [APPENDUID V " + std::to_string(uid++) + "] APPEND completed\r\n") << args;
    }
    int item = 1;
    for (const char* args : {"\"Sent Items\" (\\Seen)", "{10+}\r\nSent Items"}) {
        EXPECT_EQ(Run(std::string("a2 APPEND ") + args + " {3}\r\nabc"),
                  "a2 OK [APPENDUID V " + std::to_string(item++) + "] APPEND completed\r\n") << args;
    }
    // Arguments longer than the copy they are read from: the size still comes from the whole line.
    EXPECT_EQ(Run("a3 APPEND Sent (\\Seen " + std::string(260, 'k') + ") {5}\r\nhello\r\na4 NOOP"),
              "a3 OK [APPENDUID V 16] APPEND completed\r\na4 OK NOOP completed\r\n");
    // The long keyword is kept in the mailbox's hidden state.
    EXPECT_EQ(Tree(Path("Sent")), "5-000010 6-100000 7-100010 8-100000 9-100000 "
                                  "10-101010 11-100010 12-110101 13-100000 14-100000 15-100010 16-100010 uid");
    EXPECT_EQ(Tree(Path("Sent Items")), "1-100010 2-100000 uid");
    // The date-time is the message's last-write time (INTERNALDATE); a wrong one is refused
    // before the client is asked for the literal, and nothing is stored.
    struct stat st = {};
    EXPECT_EQ(stat(Path("Sent/0000000015-100010.MSG").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 837596665);
    for (const char* date : {"\"31-Feb-2020 01:00:00 +0000\"", "\"17-Jul-1996 02:44:25\"", "\"yesterday\""}) {
        EXPECT_EQ(Run(std::string("a5 APPEND Sent ") + date + " {3}"), "a5 BAD APPEND invalid date-time\r\n") << date;
    }
    // A long tag comes back whole: the client waits for exactly its own.
    std::string tag = std::string(30, 't') + "XY" + std::string(8, 't');
    ClientSends("abc\r\n");
    EXPECT_EQ(Run(tag + " APPEND Sent {3}"), "+ Ready for literal data\r\n" + tag + " OK [APPENDUID V 17] APPEND completed\r\n");
}

// The uid file is replaced whole by a rename: a reader that opened it before never sees it
// change or empty, and a crash leaves either the old number or the new one.
TEST_F(CopyAppend, TheUidFileIsReplacedNeverRewritten) {
    for (const char* request : {"a1 APPEND Sent {3}\r\nabc", "a2 COPY 1:2 Sent", "a3 UID COPY 5 Sent"}) {
        SCOPED_TRACE(request);
        const std::string uid = Path("Sent/uid");
        const std::string before = ReadFile(uid);
        int fd = open(uid.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        struct stat held = {}, now = {};
        ASSERT_EQ(fstat(fd, &held), 0);
        EXPECT_NE(Run(request).find(" OK "), std::string::npos);
        ASSERT_EQ(stat(uid.c_str(), &now), 0);
        EXPECT_NE(now.st_ino, held.st_ino);
        char text[32];
        ssize_t n = pread(fd, text, sizeof(text), 0);
        close(fd);
        EXPECT_EQ(std::string(text, static_cast<size_t>(std::max<ssize_t>(n, 0))), before);
        EXPECT_NE(ReadFile(uid), before);
    }
    EXPECT_EQ(Tree(Path("Sent")), "4-100000 5-100010 6-110001 7-101100 uid");
    EXPECT_EQ(ReadFile(Path("Sent/uid")), "8");
}

TEST_F(CopyAppend, RefusedCopiesAndAppendsStoreNothingAndNeverRunTheLiteral) {
    std::filesystem::create_directories(outside + "/box");
    Write({{"Plain", ""}});
    // A copy that cannot be completed is taken back, and says why: a folder stands where the
    // uid file would be written. (A folder where a copy would be made only sends the copies on
    // to later UIDs, as another server's message would.)
    std::filesystem::remove(Path("Archive/uid"));
    MakeMailbox("Archive/uid");
    const char* bad = "a1 BAD APPEND illegal argument\r\n";
    Talk({{"a0 COPY 1:* Archive", "a0 NO [UNAVAILABLE] COPY fails: the uid file cannot be advanced\r\n"}, {"a1 COPY 1:* Missing", "a1 NO [TRYCREATE] COPY fails\r\n"},
          {"a2 UID COPY 1 \"Missing\"", "a2 NO [TRYCREATE] COPY fails\r\n"},
          {"a3 COPY 1:2", "a3 BAD COPY illegal argument\r\n"},
          {"a1 APPEND Missing {5}", "a1 NO [TRYCREATE] APPEND fails\r\n"},  // before any continuation
          // "a9 LOGOUT" inside the literal would end the session if it were taken for a request.
          {"a2 APPEND Missing {11}\r\na9 LOGOUT\r\n\r\na3 NOOP",
           "a2 NO [TRYCREATE] APPEND fails\r\na3 OK NOOP completed\r\n"},
          {"a1 APPEND Sent {0}", bad}, {"a1 APPEND Sent (\\Seen)", bad}, {"a1 APPEND Sent {x}", bad}});
    ClientSends("GOUT\r\n\r\na5 NOOP\r\n");
    EXPECT_EQ(Dispatch("a4 APPEND Missing {11}\r\na9 LO"), "a4 NO [TRYCREATE] APPEND fails\r\na5 OK NOOP completed\r\n");
    // A file is no mailbox, and creating it would not help.
    for (std::string target :
         {"Plain", "../outside/box", "/tmp", "\"/tmp\"", "Archive/../../outside/box", "C:box", "NUL", "CON"}) {
        EXPECT_EQ(Run("a4 COPY 1:* " + target), "a4 NO COPY fails\r\n") << target;
        EXPECT_EQ(Run("a1 APPEND " + target + " {3}\r\nabc\r\na2 NOOP"), "a1 NO APPEND fails\r\na2 OK NOOP completed\r\n")
            << target;
    }
    EXPECT_EQ(Tree(), "Archive* Archive/uid Plain Sent* Sent/uid inbox inbox/1-000010 inbox/2-110001 "
                      "inbox/5-001100 inbox/uid");
    EXPECT_EQ(Tree(outside), "box");
}

TEST_F(CopyAppend, AMessageNotWrittenWholeIsNotKept) {
    // A file-size limit stands in for a full disk; the literal is still read to its end.
    ClientSends(std::string(4000, 'x') + "\r\na2 NOOP\r\n");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small{100, saved.rlim_max};
    auto previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string answer = Run("a1 APPEND Sent {4000}");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(answer, "+ Ready for literal data\r\na1 NO [UNAVAILABLE] APPEND fails: the message file cannot be written\r\n"
                      "a2 OK NOOP completed\r\n");
    // A client that goes away inside the literal leaves nothing either.
    ClientSends("only part");
    shutdown(peer, SHUT_WR);
    EXPECT_EQ(Run("a3 APPEND Sent {100}"), "+ Ready for literal data\r\na3 NO APPEND fails\r\n");
    EXPECT_EQ(Tree(Path("Sent")), "uid");  // neither of the two left anything
    EXPECT_EQ(ReadFile(Path("Sent/uid")), "6");  // UIDs handed out are never handed out again
}

// A server killed (kill -9) while it copies a large message: the target never shows a piece of
// it as a message, and the next SELECT clears what the copy left.
TEST_F(CopyAppend, ACopyKilledHalfWayLeavesNoPieceOfAMessage) {
    const std::string big(24 << 20, 'x');
    WriteFile(Path("inbox/0000000005-001100.MSG"), big);
    const int nSavedFsync = Settings.MailFsync;
    Settings.MailFsync = MAIL_FSYNC_NEVER;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (;;) Run("a1 UID COPY 5 Archive");
    }
    // Killed as soon as anything new is in the target, and again after a first copy is whole.
    for (size_t nWanted : {2u, 4u}) {
        while (std::filesystem::exists(Path("Archive")) && SortedNames(Path("Archive")).size() < nWanted) {
            std::this_thread::yield();
        }
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    Settings.MailFsync = nSavedFsync;
    for (const std::string& name : SortedNames(Path("Archive"))) {
        if (name.size() == 21) {
            EXPECT_EQ(std::filesystem::file_size(Path("Archive/" + name)), big.size()) << name;
        }
    }
    // The leftover is hidden; once no writer holds it and it is old enough, a SELECT removes it.
    RemoveStaleTemporaries(Path("Archive").c_str(), 0);
    for (const std::string& name : SortedNames(Path("Archive"))) EXPECT_NE(name[0], '.') << name;
}

}  // namespace
