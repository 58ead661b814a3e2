// STORE, EXPUNGE and CLOSE on a real mailbox directory: the file names they leave and the exact
// lines the client gets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include "mailbox_session.h"

namespace {

using NameList = std::vector<std::string>;

struct StoreCase {
    const char* before;   // the one message's file name
    const char* request;  // STORE arguments
    const char* after;
    const char* untagged; // "" when nothing but the tagged line is expected
};

class StoreCommand : public MailboxSession {};

TEST_F(StoreCommand, ChangesFlagsOfOneMessage) {
    const StoreCase cases[] = {
        {"0000000007-100000.MSG", "1 +FLAGS (\\Seen)", "0000000007-100010.MSG", "* 1 FETCH (FLAGS (\\Recent \\Seen))"},
        {"0000000007-100000.MSG", "1 +FLAGS (\\SEEN)", "0000000007-100010.MSG", "* 1 FETCH (FLAGS (\\Recent \\Seen))"},
        {"0000000007-100010.MSG", "1 -FLAGS (\\Recent)", "0000000007-000010.MSG", "* 1 FETCH (FLAGS (\\Seen))"},
        {"0000000007-000000.MSG", "1 +FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\Recent)",
         "0000000007-111111.MSG", "* 1 FETCH (FLAGS (\\Recent \\Answered \\Flagged \\Deleted \\Seen \\Draft))"},
        {"0000000007-111111.MSG", "1 -FLAGS (\\draft \\answered)", "0000000007-101110.MSG",
         "* 1 FETCH (FLAGS (\\Recent \\Flagged \\Deleted \\Seen))"},
        // Flag words are taken by prefix; keywords and unknown flags name nothing.
        {"0000000007-000000.MSG", "1 +FLAGS (\\Seenish)", "0000000007-000010.MSG", "* 1 FETCH (FLAGS (\\Seen))"},
        {"0000000007-000000.MSG", "1 +FLAGS (\\See $Junk Deleted)", "0000000007-000000.MSG", "* 1 FETCH (FLAGS ())"},
        // Flags written without parentheses.
        {"0000000007-000000.MSG", "1 +FLAGS \\Seen \\Deleted", "0000000007-000110.MSG",
         "* 1 FETCH (FLAGS (\\Deleted \\Seen))"},
        {"0000000007-100000.MSG", "1 (+FLAGS (\\Answered))", "0000000007-110000.MSG",
         "* 1 FETCH (FLAGS (\\Recent \\Answered))"},
        // FLAGS without a sign replaces the five settable flags; Recent only moves when named.
        {"0000000007-111111.MSG", "1 FLAGS (\\Flagged \\Draft)", "0000000007-101001.MSG",
         "* 1 FETCH (FLAGS (\\Recent \\Flagged \\Draft))"},
        {"0000000007-011110.MSG", "1 FLAGS (\\Recent)", "0000000007-100000.MSG", "* 1 FETCH (FLAGS (\\Recent))"},
        {"0000000007-111111.MSG", "1 FLAGS ()", "0000000007-100000.MSG", "* 1 FETCH (FLAGS (\\Recent))"},
        {"0000000007-011110.MSG", "1 flags \\Seen", "0000000007-000010.MSG", "* 1 FETCH (FLAGS (\\Seen))"},
        // Silence, in any case, still changes the flags.
        {"0000000007-100000.MSG", "1 +FLAGS.SILENT (\\Seen)", "0000000007-100010.MSG", ""},
        {"0000000007-111111.MSG", "1 FLAGS.silent (\\Seen)", "0000000007-100010.MSG", ""},
        // Numbers that name no message.
        {"0000000007-100000.MSG", "2 +FLAGS (\\Seen)", "0000000007-100000.MSG", ""},
        {"0000000007-100000.MSG", "0 +FLAGS (\\Seen)", "0000000007-100000.MSG", ""},
    };
    for (const StoreCase& c : cases) {
        SCOPED_TRACE(c.request);
        for (const std::string& name : Names()) unlink((dir.path + "/" + name).c_str());
        Put({c.before});
        std::string expected = c.untagged[0] != '\0' ? std::string(c.untagged) + "\r\n" : "";
        expected += "a OK STORE completed\r\n";
        EXPECT_EQ(Run((std::string("a STORE ") + c.request).c_str()), expected);
        EXPECT_EQ(Names(), NameList{c.after});
    }
}

TEST_F(StoreCommand, WalksEveryElementInOrder) {
    Put({"0000000001-100100.MSG", "0000000002-100100.MSG", "0000000003-100100.MSG"});
    EXPECT_EQ(Run("a STORE 2:* -FLAGS.SILENT (\\Deleted)"), "a OK STORE completed\r\n");
    EXPECT_EQ(Names(), (NameList{"0000000001-100100.MSG", "0000000002-100000.MSG", "0000000003-100000.MSG"}));

    // The same message twice: once with a change, once without, answered both times.
    EXPECT_EQ(Run("b STORE 1,1 +FLAGS (\\Seen)"),
              "* 1 FETCH (FLAGS (\\Recent \\Deleted \\Seen))\r\n"
              "* 1 FETCH (FLAGS (\\Recent \\Deleted \\Seen))\r\n"
              "b OK STORE completed\r\n");
    EXPECT_EQ(Names()[0], "0000000001-100110.MSG");

    // A range is not turned round.
    EXPECT_EQ(Run("c STORE 3:2 +FLAGS (\\Seen)"), "c OK STORE completed\r\n");
    EXPECT_EQ(Run("d store 3,1:2 -FLAGS (\\Recent)"),
              "* 3 FETCH (FLAGS ())\r\n"
              "* 1 FETCH (FLAGS (\\Deleted \\Seen))\r\n"
              "* 2 FETCH (FLAGS ())\r\n"
              "d OK store completed\r\n");
    EXPECT_EQ(Names(), (NameList{"0000000001-000110.MSG", "0000000002-000000.MSG", "0000000003-000000.MSG"}));
}

TEST_F(StoreCommand, UidStoreAnswersWithSequenceNumbers) {
    Put({"0000000003-000000.MSG", "0000000005-000000.MSG", "0000000007-000000.MSG", "0000000009-000000.MSG"});
    // Hidden entries and directories are not messages and take no number.
    Put({".0000000004-000000.MSG"});
    ASSERT_EQ(mkdir((dir.path + "/0000000004-000000.MSG").c_str(), 0700), 0);

    EXPECT_EQ(Run("a UID STORE 7 +FLAGS (\\Flagged)"), "* 3 FETCH (FLAGS (\\Flagged))\r\na OK STORE completed\r\n");
    EXPECT_EQ(Run("b UID STORE 4:7 +FLAGS (\\Seen)"),
              "* 2 FETCH (FLAGS (\\Seen))\r\n* 3 FETCH (FLAGS (\\Flagged \\Seen))\r\nb OK STORE completed\r\n");
    EXPECT_EQ(Run("c UID STORE 8 +FLAGS (\\Seen)"), "c OK STORE completed\r\n");
    EXPECT_EQ(Run("d UID STORE 9:* FLAGS (\\Answered)"), "* 4 FETCH (FLAGS (\\Answered))\r\nd OK STORE completed\r\n");
    EXPECT_EQ(Names(), (NameList{".0000000004-000000.MSG", "0000000003-000000.MSG", "0000000004-000000.MSG",
                              "0000000005-000010.MSG", "0000000007-001010.MSG", "0000000009-010000.MSG"}));
}

TEST_F(StoreCommand, StrayFilesKeepTheirNames) {
    // "*.MSG" lists them and they are counted, but they hold no flag code to change.
    Put({"0000000001-000000.MSG", "0-1.MSG", "notes.MSG"});
    EXPECT_EQ(Run("a STORE 1:* +FLAGS (\\Seen)"), "* 2 FETCH (FLAGS (\\Seen))\r\na OK STORE completed\r\n");
    EXPECT_EQ(Names(), (NameList{"0-1.MSG", "0000000001-000010.MSG", "notes.MSG"}));
}

TEST_F(StoreCommand, TracesEachRename) {
    Put({"0000000007-100000.MSG"});
    testing::internal::CaptureStdout();
    Run("a STORE 1 +FLAGS (\\Seen)");
    std::string trace = testing::internal::GetCapturedStdout();
    std::string expected =
        "MoveFile(" + dir.path + "/0000000007-100000.MSG -> " + dir.path + "/0000000007-100010.MSG)\n";
    EXPECT_NE(trace.find(expected), std::string::npos) << trace;
}

TEST_F(StoreCommand, RefusesWrongStateAndMissingItem) {
    Put({"0000000001-000000.MSG"});
    EXPECT_EQ(Run("a STORE 1"), "a BAD STORE illegal argument\r\n");
    EXPECT_EQ(Run("b UID STORE 1"), "b BAD STORE illegal argument\r\n");
    session->State = Imap4Authorization;
    EXPECT_EQ(Run("c Store 1 +FLAGS (\\Seen)"), "c NO Command unrecognized: Store\r\n");
    EXPECT_EQ(Names(), NameList{"0000000001-000000.MSG"});
}

class ExpungeCommand : public MailboxSession {
protected:
    void TearDown() override {
        for (const std::string& path : immutable) SetImmutable(path, false);
        MailboxSession::TearDown();
    }
    static bool SetImmutable(const std::string& path, bool bOn) {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) return false;
        int flags = 0;
        bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = bOn ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        close(fd);
        return ok;
    }
    std::vector<std::string> immutable;
};

TEST_F(ExpungeCommand, NumbersEachRemovalAsItStandsThen) {
    Put({"0000000001-000000.MSG", "0000000002-000100.MSG", "0000000003-100110.MSG", "0000000004-000000.MSG",
         "0000000005-000010.MSG"});
    session->lExists = 5;
    EXPECT_EQ(Run("a EXPUNGE"), "* 2 EXPUNGE\r\n* 2 EXPUNGE\r\na OK EXPUNGE completed\r\n");
    EXPECT_EQ(Names(), (NameList{"0000000001-000000.MSG", "0000000004-000000.MSG", "0000000005-000010.MSG"}));
    EXPECT_EQ(session->lExists, 3);
    EXPECT_EQ(Run("b expunge"), "b OK expunge completed\r\n");
}

TEST_F(ExpungeCommand, FirstAndLast) {
    Put({"0000000001-000100.MSG", "0000000002-000000.MSG", "0000000003-111111.MSG"});
    EXPECT_EQ(Run("a EXPUNGE"), "* 1 EXPUNGE\r\n* 2 EXPUNGE\r\na OK EXPUNGE completed\r\n");
    EXPECT_EQ(Names(), NameList{"0000000002-000000.MSG"});
}

TEST_F(ExpungeCommand, HiddenEntriesAreNeitherRemovedNorCounted) {
    Put({".0000000001-000100.MSG", "0000000002-000100.MSG"});
    ASSERT_EQ(mkdir((dir.path + "/0000000001-000100.MSG").c_str(), 0700), 0);
    EXPECT_EQ(Run("a EXPUNGE"), "* 1 EXPUNGE\r\na OK EXPUNGE completed\r\n");
    EXPECT_EQ(Names(), (NameList{".0000000001-000100.MSG", "0000000001-000100.MSG"}));
}

TEST_F(ExpungeCommand, FileThatStaysIsNeitherAnnouncedNorCounted) {
    Put({"0000000001-000100.MSG", "0000000002-000100.MSG", "0000000003-000000.MSG"});
    std::string path = dir.path + "/0000000001-000100.MSG";
    if (!SetImmutable(path, true)) GTEST_SKIP() << "no immutable attribute here";
    immutable.push_back(path);
    session->lExists = 3;
    // The first message is still there, so the second keeps number 2.
    EXPECT_EQ(Run("a EXPUNGE"), "* 2 EXPUNGE\r\na OK EXPUNGE completed\r\n");
    EXPECT_EQ(Names(), (NameList{"0000000001-000100.MSG", "0000000003-000000.MSG"}));
    EXPECT_EQ(session->lExists, 2);
}

TEST_F(ExpungeCommand, CloseRemovesSilentlyAndLeavesTheSelectedState) {
    Put({"0000000001-000000.MSG", "0000000002-000100.MSG", "0000000003-000100.MSG"});
    EXPECT_EQ(Run("a CLOSE"), "a OK CLOSE completed\r\n");
    EXPECT_EQ(Names(), NameList{"0000000001-000000.MSG"});
    EXPECT_EQ(session->State, Imap4Authorization);
    Put({"0000000004-000100.MSG"});
    EXPECT_EQ(Run("b EXPUNGE"), "b NO Command unrecognized: EXPUNGE\r\n");
    EXPECT_EQ(Run("c CLOSE"), "c NO Command unrecognized: CLOSE\r\n");
    EXPECT_EQ(Names(), (NameList{"0000000001-000000.MSG", "0000000004-000100.MSG"}));
}

TEST_F(ExpungeCommand, EmptyOrMissingMailboxAnswersOk) {
    EXPECT_EQ(Run("a EXPUNGE"), "a OK EXPUNGE completed\r\n");
    snprintf(session->szMailbox, sizeof(session->szMailbox), "%s/gone", dir.path.c_str());
    EXPECT_EQ(Run("b EXPUNGE"), "b OK EXPUNGE completed\r\n");
    EXPECT_EQ(Run("c CLOSE"), "c OK CLOSE completed\r\n");
}

}  // namespace
