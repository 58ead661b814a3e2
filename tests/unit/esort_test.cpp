// SORT's RETURN options: the ESEARCH answer in the sort order, the saved result, and a sort kept
// up to date whose changes name positions in that order.
#include <filesystem>
#include <string>

#include "mail_session.h"

namespace {

// Five messages, UIDs 10 to 50, all unseen; by subject 20 40 10 50 30 (sequence 2 4 1 5 3).
class Esort : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        const std::pair<int, const char*> messages[] = {{10, "c"}, {20, "a"}, {30, "e"}, {40, "b"}, {50, "d"}};
        for (const auto& [nUid, pszSubject] : messages) Deliver(nUid, pszSubject);
        Run("s SELECT INBOX");
    }
    void Deliver(int nUid, const std::string& subject, const std::string& flags = "000000") const {
        char szName[32];
        snprintf(szName, sizeof(szName), "/%010d-%s.MSG", nUid, flags.c_str());
        WriteFile(box + szName, "Subject: " + subject + "\r\n\r\nbody\r\n");
    }
};

TEST_F(Esort, ReturnOptionsAnswerInTheSortOrder) {
    const Pair cases[] = {
        // MIN and MAX are the first and the last in the order, not the lowest and highest number.
        {"t SORT RETURN (MIN MAX COUNT ALL) (SUBJECT) UTF-8 ALL", "* ESEARCH (TAG \"t\") MIN 2 MAX 3 COUNT 5 ALL 2,4,1,5,3\r\n"},
        {"t SORT RETURN () (SUBJECT) UTF-8 ALL", "* ESEARCH (TAG \"t\") ALL 2,4,1,5,3\r\n"},
        {"t UID SORT RETURN (ALL MIN) (REVERSE SUBJECT) UTF-8 ALL", "* ESEARCH (TAG \"t\") UID MIN 30 ALL 30,50,10,40,20\r\n"},
        {"t SORT RETURN (ALL) (ARRIVAL) US-ASCII ALL", "* ESEARCH (TAG \"t\") ALL 1:5\r\n"},
        {"t SORT RETURN (ALL) (REVERSE SUBJECT) US-ASCII ALL", "* ESEARCH (TAG \"t\") ALL 3,5,1,4,2\r\n"},
        {"t SORT RETURN (count) (SUBJECT) UTF-8 2:4", "* ESEARCH (TAG \"t\") COUNT 3\r\n"},
        // Positions are places in the order, either way round; past its end NIL.
        {"t SORT RETURN (PARTIAL 2:3) (SUBJECT) UTF-8 ALL", "* ESEARCH (TAG \"t\") PARTIAL (2:3 4,1)\r\n"},
        {"t SORT RETURN (PARTIAL 9:4) (SUBJECT) UTF-8 ALL", "* ESEARCH (TAG \"t\") PARTIAL (4:9 5,3)\r\n"},
        {"t UID SORT RETURN (PARTIAL 6:7) (SUBJECT) UTF-8 ALL", "* ESEARCH (TAG \"t\") UID PARTIAL (6:7 NIL)\r\n"},
        // Nothing found: COUNT alone is told.
        {"t SORT RETURN (MIN MAX ALL COUNT) (SUBJECT) UTF-8 DELETED", "* ESEARCH (TAG \"t\") COUNT 0\r\n"},
    };
    for (const auto& [request, answer] : cases) {
        EXPECT_EQ(Run(request), std::string(answer) + "t OK SORT completed\r\n") << request;
    }
    // Without RETURN the answer is the plain one.
    EXPECT_EQ(Run("t SORT (SUBJECT) UTF-8 ALL"), "* SORT 2 4 1 5 3\r\nt OK SORT completed\r\n");
    const char* bad[] = {
        "t SORT RETURN (PARTIAL 1:*) (SUBJECT) UTF-8 ALL", "t SORT RETURN (PARTIAL 1) (SUBJECT) UTF-8 ALL",
        "t SORT RETURN (FOO) (SUBJECT) UTF-8 ALL",         "t SORT RETURN (MIN) SUBJECT UTF-8 ALL",
        "t SORT RETURN (MIN) (SUBJECT) UTF-8",             "t SORT RETURN (MIN)",
    };
    for (const char* request : bad) {
        std::string answer = Run(request);
        EXPECT_TRUE(answer.starts_with("t BAD SORT")) << request << ": " << answer;
    }
}

TEST_F(Esort, SavedResultAndModSeqFollowTheOrder) {
    // MIN and MAX alone save the first and the last of the order.
    Talk({{"1 SORT RETURN (SAVE MIN MAX) (SUBJECT) UTF-8 ALL", "* ESEARCH (TAG \"1\") MIN 2 MAX 3\r\n1 OK SORT completed\r\n"},
          {"2 UID SEARCH $", "* SEARCH 20 30\r\n2 OK SEARCH completed\r\n"},
          // A sort reads "$" as SEARCH does.
          {"3 SORT (REVERSE SUBJECT) UTF-8 $", "* SORT 3 2\r\n3 OK SORT completed\r\n"},
          {"4 UID SORT RETURN (SAVE) (REVERSE SUBJECT) UTF-8 NOT $", "4 OK SORT completed\r\n"},
          {"5 UID SEARCH $", "* SEARCH 10 40 50\r\n5 OK SEARCH completed\r\n"}});
    // A sort that fails leaves nothing saved.
    EXPECT_TRUE(Run("7 SORT RETURN (SAVE) (SUBJECT) UTF-8 FOO").starts_with("7 BAD "));
    EXPECT_EQ(Run("8 SEARCH $"), "* SEARCH\r\n8 OK SEARCH completed\r\n");

    // MODSEQ in the criteria names the highest sequence found, as SEARCH names it.
    Run("9 STORE 4 +FLAGS.SILENT (\\Flagged)");
    std::string search = Run("10 SEARCH MODSEQ 1");
    size_t nAt = search.find(" (MODSEQ ");
    ASSERT_NE(nAt, std::string::npos) << search;
    std::string modseq = search.substr(nAt, search.find(')', nAt) + 1 - nAt);
    EXPECT_EQ(Run("11 SORT (SUBJECT) UTF-8 MODSEQ 1"), "* SORT 2 4 1 5 3" + modseq + "\r\n11 OK SORT completed\r\n");
    std::string esort = Run("12 SORT RETURN (COUNT) (SUBJECT) UTF-8 MODSEQ 1");
    EXPECT_EQ(esort, "* ESEARCH (TAG \"12\") COUNT 5 MODSEQ " + modseq.substr(9, modseq.size() - 10) +
                         "\r\n12 OK SORT completed\r\n");
}

TEST_F(Esort, UpdatesNamePositionsInTheSortOrder) {
    Talk({{"u SORT RETURN (UPDATE) (SUBJECT) UTF-8 UNSEEN", "* ESEARCH (TAG \"u\")\r\nu OK SORT completed\r\n"},
          {"v UID SORT RETURN (UPDATE COUNT) (REVERSE SUBJECT) UTF-8 UNFLAGGED", "* ESEARCH (TAG \"v\") UID COUNT 5\r\nv OK SORT completed\r\n"},
          // b is second by subject; then d (third of the four left) and a (first), the later first.
          {"1 STORE 4 +FLAGS.SILENT (\\Seen)", "* ESEARCH (TAG \"u\") REMOVEFROM (2 4)\r\n1 OK STORE completed\r\n"},
          {"2 STORE 2,5 +FLAGS.SILENT (\\Seen)", "* ESEARCH (TAG \"u\") REMOVEFROM (3 5 1 2)\r\n2 OK STORE completed\r\n"},
          // Each run where it ends: a and b first, d fourth.
          {"3 STORE 2,4,5 -FLAGS.SILENT (\\Seen)", "* ESEARCH (TAG \"u\") ADDTO (1 2,4 4 5)\r\n3 OK STORE completed\r\n"},
          {"4 STORE 1 +FLAGS.SILENT (\\Flagged)", "* ESEARCH (TAG \"v\") UID REMOVEFROM (3 10)\r\n4 OK STORE completed\r\n"}});
    // A new message takes its place by subject, told after EXISTS.
    Deliver(60, "bb");
    EXPECT_EQ(Run("5 NOOP"), "* 6 EXISTS\r\n* 0 RECENT\r\n* ESEARCH (TAG \"u\") ADDTO (3 6)\r\n"
                             "* ESEARCH (TAG \"v\") UID ADDTO (3 60)\r\n5 OK NOOP completed\r\n");
    // An expunge is told before its EXPUNGE, by the place and number the message had.
    Run("6 STORE 3 +FLAGS.SILENT (\\Deleted)");
    EXPECT_EQ(Run("7 EXPUNGE"), "* ESEARCH (TAG \"u\") REMOVEFROM (6 3)\r\n* ESEARCH (TAG \"v\") UID REMOVEFROM (1 30)\r\n"
                                "* 3 EXPUNGE\r\n7 OK EXPUNGE completed\r\n");
    // While SORT runs an expunge elsewhere waits, and so does its REMOVEFROM; the message keeps
    // its place meanwhile.
    std::filesystem::remove(box + "/0000000020-000000.MSG");
    Deliver(70, "0");
    EXPECT_EQ(Run("8 SORT (SUBJECT) UTF-8 ALL"), "* SORT 3 5 1 4\r\n* 6 EXISTS\r\n* 0 RECENT\r\n"
                                                 "* ESEARCH (TAG \"u\") ADDTO (2 6)\r\n"
                                                 "* ESEARCH (TAG \"v\") UID ADDTO (5 70)\r\n8 OK SORT completed\r\n");
    EXPECT_EQ(Run("9 NOOP"), "* ESEARCH (TAG \"u\") REMOVEFROM (1 2)\r\n* ESEARCH (TAG \"v\") UID REMOVEFROM (4 20)\r\n"
                             "* 2 EXPUNGE\r\n9 OK NOOP completed\r\n");
    Talk({{"10 CANCELUPDATE \"u\"", "10 OK CANCELUPDATE completed\r\n"},
          {"11 STORE 1:* +FLAGS.SILENT (\\Seen)", "11 OK STORE completed\r\n"},
          {"12 STORE 2 +FLAGS.SILENT (\\Flagged)", "* ESEARCH (TAG \"v\") UID REMOVEFROM (3 40)\r\n12 OK STORE completed\r\n"}});
}

// A message whose file is written anew may sort elsewhere: once the result is looked at again it
// leaves its old place and is added at its new one.
TEST_F(Esort, AMessageWrittenAnewMovesToItsNewPlace) {
    EXPECT_EQ(Run("u UID SORT RETURN (UPDATE ALL) (SUBJECT) UTF-8 ALL"),
              "* ESEARCH (TAG \"u\") UID ALL 20,40,10,50,30\r\nu OK SORT completed\r\n");
    Deliver(30, "0");
    EXPECT_EQ(Run("1 STORE 1 +FLAGS.SILENT (\\Flagged)"),
              "* ESEARCH (TAG \"u\") UID REMOVEFROM (5 30)\r\n* ESEARCH (TAG \"u\") UID ADDTO (1 30)\r\n"
              "1 OK STORE completed\r\n");
    EXPECT_EQ(Run("2 UID SORT RETURN (ALL) (SUBJECT) UTF-8 ALL"),
              "* ESEARCH (TAG \"2\") UID ALL 30,20,40,10,50\r\n2 OK SORT completed\r\n");
}

}  // namespace
