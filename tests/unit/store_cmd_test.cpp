// STORE, EXPUNGE and CLOSE on a real mailbox directory: the file names they leave and the exact
// lines the client gets.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include "mail_session.h"

namespace {

class StoreExpunge : public MailSession {
protected:
    void SetUp() override {
        MailSession::SetUp();
        Select("inbox");
    }
};

bool SetImmutable(const std::string& path, bool bOn) {
    int fd = open(path.c_str(), O_RDONLY), flags = 0;
    bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = bOn ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

std::string Msg7(const char* flags) { return std::string("0000000007-") + flags + ".MSG"; }

TEST_F(StoreExpunge, StoreRenamesOneMessage) {
    // The flag codes before and after, and the FETCH line's flags (nullptr when none is sent).
    struct { const char *before, *request, *after, *shown; } const cases[] = {
        {"100000", "1 +FLAGS (\\Seen)", "100010", "\\Recent \\Seen"},
        {"100000", "1 +FLAGS (\\SEEN)", "100010", "\\Recent \\Seen"},
        {"100010", "1 -FLAGS (\\Recent)", "000010", "\\Seen"},
        {"000000", "1 +FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\Recent)", "111111",
         "\\Recent \\Answered \\Flagged \\Deleted \\Seen \\Draft"},
        {"111111", "1 -FLAGS (\\draft \\answered)", "101110", "\\Recent \\Flagged \\Deleted \\Seen"},
        // Flag words are taken by prefix; keywords and unknown flags name nothing.
        {"000000", "1 +FLAGS (\\Seenish)", "000010", "\\Seen"},
        {"000000", "1 +FLAGS (\\See $Junk Deleted)", "000000", ""},
        {"000000", "1 +FLAGS \\Seen \\Deleted", "000110", "\\Deleted \\Seen"},
        {"100000", "1 (+FLAGS (\\Answered))", "110000", "\\Recent \\Answered"},
        // FLAGS without a sign replaces the five client flags; Recent only moves when named.
        {"111111", "1 FLAGS (\\Flagged \\Draft)", "101001", "\\Recent \\Flagged \\Draft"},
        {"011110", "1 FLAGS (\\Recent)", "100000", "\\Recent"},
        {"111111", "1 FLAGS ()", "100000", "\\Recent"},
        {"011110", "1 flags \\Seen", "000010", "\\Seen"},
        {"100000", "1 +FLAGS.SILENT (\\Seen)", "100010", nullptr},
        {"111111", "1 FLAGS.silent (\\Seen)", "100010", nullptr},
        {"100000", "2 +FLAGS (\\Seen)", "100000", nullptr},
        {"100000", "0 +FLAGS (\\Seen)", "100000", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        for (const std::string& name : List()) std::filesystem::remove(box + "/" + name);
        Put({Msg7(c.before)});
        std::string fetch = c.shown ? std::string("* 1 FETCH (FLAGS (") + c.shown + "))\r\n" : "";
        EXPECT_EQ(Run(std::string("a STORE ") + c.request), fetch + "a OK STORE completed\r\n");
        EXPECT_EQ(List(), NameList{Msg7(c.after)});
    }
}

TEST_F(StoreExpunge, StoreWalksEveryElementInOrder) {
    // Stray names listed as messages take a number but hold no flag code to change.
    Put({"0000000001-100100.MSG", "0000000002-100100.MSG", "0000000003-100100.MSG", "0000000003.MSG",
         "0000000004-000000.MSG", "0000000005-000000.MSG", "notes.MSG"});
    EXPECT_EQ(Run("a STORE 2:* -FLAGS.SILENT (\\Deleted)"), "a OK STORE completed\r\n");
    // The same message twice is answered twice; a range is not turned round.
    EXPECT_EQ(Run("b STORE 1,1 +FLAGS (\\Seen)"),
              "* 1 FETCH (FLAGS (\\Recent \\Deleted \\Seen))\r\n* 1 FETCH (FLAGS (\\Recent \\Deleted \\Seen))\r\n"
              "b OK STORE completed\r\n");
    EXPECT_EQ(Run("c STORE 5:3 +FLAGS (\\Seen)"), "c OK STORE completed\r\n");
    EXPECT_EQ(Run("d store 5,1:2 -FLAGS (\\Recent)"),
              "* 5 FETCH (FLAGS ())\r\n* 1 FETCH (FLAGS (\\Deleted \\Seen))\r\n* 2 FETCH (FLAGS ())\r\n"
              "d OK store completed\r\n");
    EXPECT_EQ(List(), (NameList{"0000000001-000110.MSG", "0000000002-000000.MSG", "0000000003-100000.MSG", "0000000003.MSG",
                                "0000000004-000000.MSG", "0000000005-000000.MSG", "notes.MSG"}));
}

TEST_F(StoreExpunge, UidStoreAnswersWithSequenceNumbers) {
    // Hidden entries and directories are not messages and take no number.
    Put({"0000000003-000000.MSG", ".0000000004-000000.MSG", "0000000004-000000.MSG/", "0000000005-000000.MSG",
         "0000000007-000000.MSG", "0000000009-000000.MSG"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run("a UID STORE 7 +FLAGS (\\Flagged)"), "* 3 FETCH (FLAGS (\\Flagged))\r\na OK STORE completed\r\n");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("MoveFile(" + box + "/0000000007-000000.MSG -> " + box +
                                                          "/0000000007-001000.MSG)\n"),
              std::string::npos);
    EXPECT_EQ(Run("b UID STORE 4:7 +FLAGS (\\Seen)"),
              "* 2 FETCH (FLAGS (\\Seen))\r\n* 3 FETCH (FLAGS (\\Flagged \\Seen))\r\nb OK STORE completed\r\n");
    EXPECT_EQ(Run("c UID STORE 8 +FLAGS (\\Seen)"), "c OK STORE completed\r\n");
    EXPECT_EQ(Run("d UID STORE 9:* FLAGS (\\Answered)"), "* 4 FETCH (FLAGS (\\Answered))\r\nd OK STORE completed\r\n");
    EXPECT_EQ(List(), (NameList{".0000000004-000000.MSG", "0000000003-000000.MSG", "0000000004-000000.MSG",
                                "0000000005-000010.MSG", "0000000007-001010.MSG", "0000000009-010000.MSG"}));
    EXPECT_EQ(Run("e STORE 1"), "e BAD STORE illegal argument\r\n");
    EXPECT_EQ(Run("f UID STORE 1"), "f BAD STORE illegal argument\r\n");
}

TEST_F(StoreExpunge, ExpungeNumbersEachRemovalAsItStandsThenAndCloseRemovesSilently) {
    // Hidden entries and directories are neither removed nor counted.
    Put({"0000000001-000000.MSG", "0000000001-000100.MSG/", ".0000000002-000100.MSG", "0000000002-000100.MSG",
         "0000000003-100110.MSG", "0000000004-000000.MSG", "0000000005-000110.MSG"});
    session->lExists = 5;
    EXPECT_EQ(Run("a EXPUNGE"), "* 2 EXPUNGE\r\n* 2 EXPUNGE\r\n* 3 EXPUNGE\r\na OK EXPUNGE completed\r\n");
    EXPECT_EQ(session->lExists, 2);
    EXPECT_EQ(Run("b expunge"), "b OK expunge completed\r\n");
    Put({"0000000006-000100.MSG"});
    EXPECT_EQ(Run("c CLOSE"), "c OK CLOSE completed\r\n");
    Put({"0000000007-000100.MSG"});
    EXPECT_EQ(Run("d EXPUNGE"), "d NO Command unrecognized: EXPUNGE\r\n");
    EXPECT_EQ(List(), (NameList{".0000000002-000100.MSG", "0000000001-000000.MSG", "0000000001-000100.MSG",
                                "0000000004-000000.MSG", "0000000007-000100.MSG"}));
    Select("gone");  // a mailbox removed under the session
    EXPECT_EQ(Run("e EXPUNGE"), "e OK EXPUNGE completed\r\n");
    EXPECT_EQ(Run("f CLOSE"), "f OK CLOSE completed\r\n");
}

TEST_F(StoreExpunge, AFileThatStaysIsNeitherAnnouncedNorCounted) {
    Put({"0000000001-000100.MSG", "0000000002-000100.MSG", "0000000003-000000.MSG"});
    if (!SetImmutable(box + "/0000000001-000100.MSG", true)) GTEST_SKIP() << "no immutable attribute here";
    session->lExists = 3;
    std::string answer = Run("a EXPUNGE");
    SetImmutable(box + "/0000000001-000100.MSG", false);
    // The first message is still there, so the second keeps number 2.
    EXPECT_EQ(answer, "* 2 EXPUNGE\r\na OK EXPUNGE completed\r\n");
    EXPECT_EQ(List(), (NameList{"0000000001-000100.MSG", "0000000003-000000.MSG"}));
    EXPECT_EQ(session->lExists, 2);
}

}  // namespace
