// STORE, EXPUNGE and CLOSE on a real mailbox directory: the file names left and the exact lines sent.
#include <cstdlib>

#include "config/settings.h"
#include "mail_session.h"

namespace {

using StoreExpunge = InboxSession;

TEST_F(StoreExpunge, StoreRenamesOneMessage) {
    // Message 7's flag codes before and after, and the FETCH line's flags (nullptr when none is sent).
    struct { const char *before, *request, *after, *shown; } const cases[] = {
        {"100000", "1 +FLAGS (\\Seen)", "100010", "\\Recent \\Seen"},
        {"100000", "1 +FLAGS (\\SEEN)", "100010", "\\Recent \\Seen"},
        // \Recent is the server's: STORE never moves it.
        {"100010", "1 -FLAGS (\\Recent)", "100010", "\\Recent \\Seen"},
        {"000000", "1 +FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\Recent)", "011111",
         "\\Answered \\Flagged \\Deleted \\Seen \\Draft"},
        {"111111", "1 -FLAGS (\\draft \\answered)", "101110", "\\Recent \\Flagged \\Deleted \\Seen"},
        // Flag words are taken by prefix; unknown flags name nothing (keywords: keywords_condstore_test).
        {"000000", "1 +FLAGS (\\Seenish)", "000010", "\\Seen"},
        {"000000", "1 +FLAGS (\\See \\Foo)", "000000", ""},
        {"000000", "1 +FLAGS \\Seen \\Deleted", "000110", "\\Deleted \\Seen"},
        {"100000", "1 (+FLAGS (\\Answered))", "110000", "\\Recent \\Answered"},
        // FLAGS without a sign replaces the five client flags.
        {"111111", "1 FLAGS (\\Flagged \\Draft)", "101001", "\\Recent \\Flagged \\Draft"},
        {"011110", "1 FLAGS (\\Recent)", "000000", ""}, {"111111", "1 FLAGS ()", "100000", "\\Recent"},
        {"011110", "1 flags \\Seen", "000010", "\\Seen"}, {"100000", "1 +FLAGS.SILENT (\\Seen)", "100010", nullptr},
        {"111111", "1 FLAGS.silent (\\Seen)", "100010", nullptr}, {"100000", "2 +FLAGS (\\Seen)", "100000", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        for (auto& entry : std::filesystem::directory_iterator(box)) std::filesystem::remove(entry);
        Put(std::string("7-") + c.before);
        session->pView.reset();  // each case is a fresh mailbox
        std::string fetch = c.shown ? std::string("* 1 FETCH (FLAGS (") + c.shown + "))\r\n" : "";
        EXPECT_EQ(Run(std::string("a STORE ") + c.request), fetch + "a OK STORE completed\r\n");
        EXPECT_EQ(Tree(box), std::string("7-") + c.after);
    }
}

// Each flag cleared alone from a message that has them all: only its digit changes.
TEST_F(StoreExpunge, MinusFlagsClearsEachFlagAndOnlyIt) {
    const char* const names[] = {"\\Answered", "\\Flagged", "\\Deleted", "\\Seen", "\\Draft"};
    for (size_t i = 0; i < 5; i++) {
        for (const char* item : {"-FLAGS", "-FLAGS.SILENT"}) {
            SCOPED_TRACE(std::string(item) + " " + names[i]);
            for (auto& entry : std::filesystem::directory_iterator(box)) std::filesystem::remove(entry);
            Put("7-011111");
            session->pView.reset();
            std::string left, code = "011111";
            code[i + 1] = '0';
            for (size_t j = 0; j < 5; j++) left += j == i ? "" : (left.empty() ? "" : " ") + std::string(names[j]);
            std::string fetch = item[6] == '\0' ? "* 1 FETCH (FLAGS (" + left + "))\r\n" : "";
            EXPECT_EQ(Run(std::string("a STORE 1 ") + item + " (" + names[i] + ")"), fetch + "a OK STORE completed\r\n");
            EXPECT_EQ(Tree(box), "7-" + code);
        }
    }
}

TEST_F(StoreExpunge, StoreWalksEveryElementInOrder) {
    // Names without a full flag code are no messages and take no number.
    Put("1-100100 2-100100 3-100100 3 4-000000 5-000000 notes.MSG");
    Talk({{"a STORE 2:* -FLAGS.SILENT (\\Deleted)", "a OK STORE completed\r\n"},
          // The same message twice is answered twice; n:m names what m:n names.
          {"b STORE 1,1 +FLAGS (\\Seen)", "* 1 FETCH (FLAGS (\\Recent \\Deleted \\Seen))\r\n"
                                          "* 1 FETCH (FLAGS (\\Recent \\Deleted \\Seen))\r\nb OK STORE completed\r\n"},
          {"c STORE 5:3 +FLAGS (\\Seen)", "* 3 FETCH (FLAGS (\\Recent \\Seen))\r\n* 4 FETCH (FLAGS (\\Seen))\r\n"
                                          "* 5 FETCH (FLAGS (\\Seen))\r\nc OK STORE completed\r\n"},
          {"d store 5,1:2 -FLAGS (\\Deleted)", "* 5 FETCH (FLAGS (\\Seen))\r\n* 1 FETCH (FLAGS (\\Recent \\Seen))\r\n"
                                               "* 2 FETCH (FLAGS (\\Recent))\r\nd OK store completed\r\n"},
          {"e STORE 1:x +FLAGS (\\Seen)", "e BAD STORE illegal argument\r\n"},
          {"f STORE 0 +FLAGS (\\Seen)", "f BAD STORE illegal argument\r\n"}});
    EXPECT_EQ(Tree(box), "1-100010 2-100000 3-100010 3 4-000010 5-000010 notes.MSG");
}

TEST_F(StoreExpunge, AMalformedSetOrNoItemIsRefusedAndAListedItemEndsAtItsParenthesis) {
    Put("7-100000");
    const char* const bad = "a BAD STORE illegal argument\r\n";
    Talk({{"a STORE 1", bad},
          {"a STORE 4294967296 +FLAGS (\\Seen)", bad},
          {"a STORE 1:4294967296 +FLAGS (\\Seen)", bad},
          {"a STORE 1, +FLAGS (\\Seen)", bad},
          {"a STORE \"1\" +FLAGS (\\Seen)", bad},
          {"a STORE 1(+FLAGS) (\\Seen)", bad},
          {"b STORE *:1 +FLAGS (\\Flagged)", "* 1 FETCH (FLAGS (\\Recent \\Flagged))\r\nb OK STORE completed\r\n"},
          // What stands behind the item's own list names nothing.
          {"c STORE 1 (+FLAGS (\\Seen)) \\Deleted", "* 1 FETCH (FLAGS (\\Recent \\Flagged \\Seen))\r\nc OK STORE completed\r\n"}});
    EXPECT_EQ(Tree(box), "7-101010");
}

TEST_F(StoreExpunge, UidStoreAnswersWithSequenceNumbersAndUids) {
    // Hidden entries and directories are not messages and take no number.
    Put("3-000000 .4-000000 4-000000/ 5-000000 7-000000 9-000000");
    // The console trace shows the rename, and nothing at all once switched off.
    const int32_t nTrace = Settings.ConsoleTrace;
    Settings.ConsoleTrace = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run("a UID STORE 7 +FLAGS (\\Flagged)"),
              "* 3 FETCH (UID 7 FLAGS (\\Flagged))\r\na OK STORE completed\r\n");
    std::string moved = "MoveFile(" + box + "/0000000007-000000.MSG -> " + box + "/0000000007-001000.MSG)\n";
    EXPECT_NE(testing::internal::GetCapturedStdout().find(moved), std::string::npos);
    Settings.ConsoleTrace = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run("b UID STORE 4:7 +FLAGS (\\Seen)"), "* 2 FETCH (UID 5 FLAGS (\\Seen))\r\n"
                                                    "* 3 FETCH (UID 7 FLAGS (\\Flagged \\Seen))\r\nb OK STORE completed\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    Settings.ConsoleTrace = nTrace;
    Talk({{"c UID STORE 8 +FLAGS (\\Seen)", "c OK STORE completed\r\n"},
          {"d UID STORE 9:* FLAGS (\\Answered)", "* 4 FETCH (UID 9 FLAGS (\\Answered))\r\nd OK STORE completed\r\n"},
          // n:* always takes in the highest UID, however high n is.
          {"g UID STORE 20:* +FLAGS (\\Draft)", "* 4 FETCH (UID 9 FLAGS (\\Answered \\Draft))\r\ng OK STORE completed\r\n"},
          {"e STORE 1", "e BAD STORE illegal argument\r\n"}, {"f UID STORE 1", "f BAD STORE illegal argument\r\n"}});
    EXPECT_EQ(Tree(box), ".4-000000* 3-000000 4-000000 5-000010 7-001010 9-010001");
}

TEST_F(StoreExpunge, ExpungeAnnouncesHighestFirstAndCloseRemovesSilently) {
    // Hidden entries and directories are neither removed nor counted.
    Put("1-000000 1-000100/ .2-000100 2-000100 3-100110 4-000000 5-000110");
    Talk({{"a EXPUNGE", "* 5 EXPUNGE\r\n* 3 EXPUNGE\r\n* 2 EXPUNGE\r\na OK EXPUNGE completed\r\n"},
          {"b expunge", "b OK expunge completed\r\n"}});
    Put("6-000100");
    EXPECT_EQ(Run("c CLOSE"), "c OK CLOSE completed\r\n");
    Put("7-000100");
    EXPECT_EQ(Run("d EXPUNGE"), "d NO Command unrecognized: EXPUNGE\r\n");
    EXPECT_EQ(Tree(box), ".2-000100* 1-000000 1-000100 4-000000 7-000100");
    Select("gone");  // a mailbox removed under the session
    Talk({{"e EXPUNGE", "e OK EXPUNGE completed\r\n"}, {"f CLOSE", "f OK CLOSE completed\r\n"}});
}

// EXAMINE answers [READ-ONLY]: no command may then change a file name, and a fetched body is not
// marked \Seen. After SELECT the same requests change the mailbox.
TEST_F(StoreExpunge, AfterExamineNothingChangesAndAfterSelectItDoes) {
    MakeMailbox("Other");
    const std::string body = "Subject: 0000000002-000000.MSG\r\n\r\nbody\r\n";
    const struct { const char *request, *examined; } cases[] = {
        {"STORE 2 +FLAGS (\\Seen)", "a NO [READ-ONLY] STORE fails\r\n"},
        {"STORE 1 -FLAGS.SILENT (\\Deleted)", "a NO [READ-ONLY] STORE fails\r\n"},
        {"UID STORE 3 FLAGS ()", "a NO [READ-ONLY] STORE fails\r\n"},
        {"EXPUNGE", "a NO [READ-ONLY] EXPUNGE fails\r\n"},
        {"UID EXPUNGE 1:*", "a NO [READ-ONLY] EXPUNGE fails\r\n"},
        {"MOVE 1 Other", "a NO [READ-ONLY] MOVE fails\r\n"},
        {"UID MOVE 1:3 Other", "a NO [READ-ONLY] MOVE fails\r\n"},
        {"CLOSE", "a OK CLOSE completed\r\n"},
        {"FETCH 2 BODY[]", nullptr},  // the body, and no FLAGS
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        for (const std::string& dir : {box, Path("Other")}) {
            for (auto& entry : std::filesystem::directory_iterator(dir)) std::filesystem::remove(entry);
        }
        Put("1-000100 2-000000 3-000110");
        Run("s SELECT INBOX");  // its uid file is made now, not by the request
        Run("s EXAMINE INBOX");
        const std::string before = Tree();
        std::string expected = c.examined ? c.examined
                                          : "* 2 FETCH (BODY[] {" + std::to_string(body.size()) + "}\r\n" + body +
                                                ")\r\na OK FETCH completed\r\n";
        EXPECT_EQ(Run(std::string("a ") + c.request), expected);
        EXPECT_EQ(Tree(), before);
        Run("s SELECT INBOX");
        EXPECT_EQ(Run(std::string("b ") + c.request).rfind("b NO", 0), std::string::npos);
        EXPECT_NE(Tree(), before);
    }
    // What leaves an examined mailbox as it is stays allowed: COPY from it.
    Run("s EXAMINE INBOX");
    const std::string before = Tree(box);
    EXPECT_EQ(Run("a COPY 2 Other").find("a OK"), 0u);
    EXPECT_EQ(Tree(box), before);
    EXPECT_EQ(Tree(Path("Other")), "1-100010 uid");  // message 2, \Seen since the last FETCH
}

TEST_F(StoreExpunge, AFileThatStaysIsNeitherAnnouncedNorCounted) {
    Put("1-000100 2-000100 3-000000");
    std::string chattr = "chattr +i " + box + "/0000000001-000100.MSG 2>/dev/null";
    if (std::system(chattr.c_str()) != 0) GTEST_SKIP() << "no immutable attribute here";
    std::string answer = Run("a EXPUNGE");
    EXPECT_EQ(std::system(chattr.replace(7, 1, "-").c_str()), 0);
    // The first message is still there, so the second keeps number 2.
    EXPECT_EQ(answer, "* 2 EXPUNGE\r\na OK EXPUNGE completed\r\n");
    EXPECT_EQ(Tree(box), "1-000100 3-000000");
}

}  // namespace

