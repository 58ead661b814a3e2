// A session that sent ENABLE IMAP4rev2, beside one that did not: no \Recent in any answer,
// SEARCH answered by ESEARCH, STATUS DELETED, the mailbox named on SELECT and [CLOSED] when
// another is opened; the IMAP4rev1 session keeps its answers.
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>

#include "config/settings.h"
#include "mail_session.h"
#include "store/store.h"

namespace {

const char* const kFlags = "\\Answered \\Flagged \\Deleted \\Seen \\Draft";

class Rev2 : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        saved = Settings;
        Settings.MaxKeywords = 256;
        snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "MSG");
        // Four new messages; 3 seen, 4 deleted.
        Put("1-100000 2-100000 3-100010 4-100100");
        ASSERT_TRUE(GetUidValidity(box.c_str(), &ulValidity));
        EXPECT_EQ(rev2.Run("e ENABLE IMAP4rev2"), "* ENABLED IMAP4rev2\r\ne OK ENABLE completed\r\n");
    }
    void TearDown() override {
        Settings = saved;
        InboxSession::TearDown();
    }
    // The modification sequence lines start from the clock: written as "M".
    static std::string Masked(const std::string& text) {
        return std::regex_replace(text, std::regex("HIGHESTMODSEQ \\d+"), "HIGHESTMODSEQ M");
    }
    std::string V() const { return std::to_string(ulValidity); }

    SettingsRecord saved;
    uint32_t ulValidity = 0;
    OtherSession rev2{mailDir}, rev1{mailDir};
};

TEST_F(Rev2, SelectTellsNoRecentNorFirstUnseenAndNamesTheMailbox) {
    std::string flags = std::string("* FLAGS (") + kFlags + ")\r\n* OK [PERMANENTFLAGS (" + kFlags +
                        " \\*)] Flags kept\r\n";
    EXPECT_EQ(Masked(rev2.Run("1 SELECT inbox")),
              "* 4 EXISTS\r\n* OK [UIDVALIDITY " + V() + "] UIDs valid\r\n* OK [UIDNEXT 5] Predicted next UID\r\n" + flags +
                  "* OK [HIGHESTMODSEQ M] Highest\r\n* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
                  "1 OK [READ-WRITE] SELECT completed\r\n");
    // The other session, opened after it, finds nothing recent; it is told so, and the first unseen.
    EXPECT_EQ(Masked(rev1.Run("1 EXAMINE INBOX")),
              "* 4 EXISTS\r\n* 0 RECENT\r\n* OK [UNSEEN 1] Message 1 is first unseen\r\n* OK [UIDVALIDITY " + V() +
                  "] UIDs valid\r\n* OK [UIDNEXT 5] Predicted next UID\r\n" + flags +
                  "* OK [HIGHESTMODSEQ M] Highest\r\n1 OK [READ-ONLY] EXAMINE completed\r\n");

    // Another mailbox opened while one is: the line between the two mailboxes' answers, then the
    // name with the attributes LIST gives it, "/" between levels whatever the client wrote.
    snprintf(Settings.SentFolder, sizeof(Settings.SentFolder), "Sent");
    MakeMailbox("Sent/2024/Q1");
    std::string answer = rev2.Run("2 EXAMINE Sent");
    EXPECT_EQ(answer.rfind("* OK [CLOSED] Previous mailbox closed\r\n* 0 EXISTS\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("* LIST (\\HasChildren \\Sent) \"/\" Sent\r\n2 OK [READ-ONLY]"), std::string::npos) << answer;
    answer = rev2.Run("3 SELECT \"Sent\\\\2024\\\\Q1\"");
    EXPECT_NE(answer.find("* LIST (\\HasNoChildren) \"/\" Sent/2024/Q1\r\n3 OK [READ-WRITE]"), std::string::npos)
        << answer;
    // A mailbox that cannot be opened closes the one selected all the same.
    EXPECT_EQ(rev2.Run("4 SELECT Nowhere"), "* OK [CLOSED] Previous mailbox closed\r\n4 NO No such mailbox\r\n");
    // Nothing was selected: nothing to close.
    EXPECT_EQ(rev2.Run("5 SELECT INBOX").find("[CLOSED]"), std::string::npos);
    EXPECT_EQ(rev2.Run("6 UNSELECT"), "6 OK UNSELECT completed\r\n");
    EXPECT_EQ(rev2.Run("7 SELECT INBOX").find("[CLOSED]"), std::string::npos);
    // The IMAP4rev1 session is told neither.
    answer = rev1.Run("2 SELECT Sent");
    EXPECT_EQ(answer.find("[CLOSED]"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("* LIST"), std::string::npos) << answer;
}

TEST_F(Rev2, FlagsAndAnnouncementsNeverShowRecent) {
    // Selected first, the session holds \Recent of every message, and never shows it.
    rev2.Run("1 SELECT INBOX");
    rev1.Run("1 SELECT INBOX");
    rev2.Talk({{"2 FETCH 1:* FLAGS",
                "* 1 FETCH (FLAGS ())\r\n* 2 FETCH (FLAGS ())\r\n* 3 FETCH (FLAGS (\\Seen))\r\n"
                "* 4 FETCH (FLAGS (\\Deleted))\r\n2 OK FETCH completed\r\n"},
               // Its own STORE is answered as asked; no UID unless under the UID prefix.
               {"3 STORE 1 +FLAGS (\\Answered)", "* 1 FETCH (FLAGS (\\Answered))\r\n3 OK STORE completed\r\n"},
               {"4 UID STORE 2 +FLAGS (\\Flagged)", "* 2 FETCH (UID 2 FLAGS (\\Flagged))\r\n4 OK STORE completed\r\n"}});
    // A change made elsewhere arrives with its UID; a new message with EXISTS alone.
    EXPECT_EQ(rev1.Run("2 STORE 3 +FLAGS.SILENT (\\Draft)"),
              "* 1 FETCH (FLAGS (\\Answered))\r\n* 2 FETCH (FLAGS (\\Flagged))\r\n2 OK STORE completed\r\n");
    EXPECT_EQ(rev1.Run("3 APPEND INBOX {5}\r\nhello"),
              "* 5 EXISTS\r\n* 1 RECENT\r\n3 OK [APPENDUID " + V() + " 5] APPEND completed\r\n");
    rev2.Talk({{"5 NOOP", "* 5 EXISTS\r\n* 3 FETCH (UID 3 FLAGS (\\Seen \\Draft))\r\n5 OK NOOP completed\r\n"},
               {"6 FETCH 5 (FLAGS UID)", "* 5 FETCH (FLAGS () UID 5)\r\n6 OK FETCH completed\r\n"}});
    // The IMAP4rev1 session still sees \Recent where it holds it.
    EXPECT_EQ(rev1.Run("4 FETCH 5 FLAGS"), "* 5 FETCH (FLAGS (\\Recent))\r\n4 OK FETCH completed\r\n");
}

TEST_F(Rev2, IdleTellsChangesWithTheirUidAndNewMailWithoutRecent) {
    Settings.Timeout = 1;  // never below the half hour an idling client is granted
    rev2.Run("1 SELECT INBOX");
    rev1.Run("1 SELECT INBOX");
    snprintf(rev2.session->szRecv, sizeof(rev2.session->szRecv), "2 IDLE\r\n");
    std::thread idler([&] { DispatchCommand(rev2.session.get()); });
    EXPECT_EQ(rev2.Await("+ idling\r\n"), "+ idling\r\n");
    rev1.Run("2 STORE 2 +FLAGS.SILENT (\\Flagged)");
    EXPECT_EQ(rev2.Await("))\r\n"), "* 2 FETCH (UID 2 FLAGS (\\Flagged))\r\n");
    Put("5-100000");  // another program's file, numbered as the uid file says
    WriteFile(box + "/uid", "6");
    EXPECT_EQ(rev2.Await("EXISTS\r\n"), "* 5 EXISTS\r\n");
    ASSERT_EQ(write(rev2.peer, "DONE\r\n", 6), 6);
    idler.join();
    EXPECT_EQ(rev2.Await("completed\r\n"), "2 OK IDLE completed\r\n");
}

TEST_F(Rev2, ABodyReadSetsSeenAndShowsTheFlagsWithoutRecent) {
    rev2.Run("1 SELECT INBOX");
    rev2.Talk({{"2 FETCH 1 BODY.PEEK[TEXT]", "* 1 FETCH (BODY[TEXT] {6}\r\nbody\r\n)\r\n2 OK FETCH completed\r\n"},
               {"3 FETCH 1 BODY[TEXT]", "* 1 FETCH (BODY[TEXT] {6}\r\nbody\r\n FLAGS (\\Seen))\r\n3 OK FETCH completed\r\n"},
               {"4 FETCH 2 BINARY[1]", "* 2 FETCH (BINARY[1] {6}\r\nbody\r\n FLAGS (\\Seen))\r\n4 OK FETCH completed\r\n"},
               {"5 FETCH 1:2 FLAGS", "* 1 FETCH (FLAGS (\\Seen))\r\n* 2 FETCH (FLAGS (\\Seen))\r\n5 OK FETCH completed\r\n"}});
    // Read-only, a read changes nothing.
    rev2.Run("6 EXAMINE INBOX");
    EXPECT_EQ(rev2.Run("7 FETCH 4 BODY[TEXT]"), "* 4 FETCH (BODY[TEXT] {6}\r\nbody\r\n)\r\n7 OK FETCH completed\r\n");
    EXPECT_EQ(Tree(box), "1-000010 2-000010 3-000010 4-000100 uid");
}

TEST_F(Rev2, SearchIsAnsweredByEsearchAndKnowsNoRecent) {
    rev2.Run("1 SELECT INBOX");
    rev2.Talk({{"2 SEARCH UNSEEN", "* ESEARCH (TAG \"2\") ALL 1:2,4\r\n2 OK SEARCH completed\r\n"},
               {"3 UID SEARCH CHARSET UTF-8 UNDELETED", "* ESEARCH (TAG \"3\") UID ALL 1:3\r\n3 OK SEARCH completed\r\n"},
               {"4 SEARCH DRAFT", "* ESEARCH (TAG \"4\")\r\n4 OK SEARCH completed\r\n"},
               {"5 UID SEARCH DRAFT", "* ESEARCH (TAG \"5\") UID\r\n5 OK SEARCH completed\r\n"},
               // What the client asks for is answered as before.
               {"6 SEARCH RETURN (COUNT) ALL", "* ESEARCH (TAG \"6\") COUNT 4\r\n6 OK SEARCH completed\r\n"},
               {"7 SEARCH RETURN (SAVE) SEEN", "7 OK SEARCH completed\r\n"},
               {"8 SEARCH $", "* ESEARCH (TAG \"8\") ALL 3\r\n8 OK SEARCH completed\r\n"}});
    // MODSEQ in the criteria (it turns CONDSTORE on): the highest found comes with the numbers.
    std::string answer = rev2.Run("9 SEARCH MODSEQ 1 SEEN");
    EXPECT_TRUE(std::regex_match(answer, std::regex("\\* OK \\[HIGHESTMODSEQ \\d+\\] Highest\r\n\\* ESEARCH \\(TAG \"9\"\\) ALL 3 MODSEQ \\d+\r\n9 OK SEARCH completed\r\n")))
        << answer;
    // \Recent does not exist: its keys are refused wherever they stand, also in SORT, and a
    // refused search saves nothing.
    for (const char* criteria : {"RECENT", "NEW", "OLD", "NOT RECENT", "OR SEEN (NEW)", "RETURN (SAVE) RECENT"}) {
        EXPECT_EQ(rev2.Run(std::string("10 SEARCH ") + criteria),
                  "10 BAD SEARCH: IMAP4rev2 has no \\Recent to search for\r\n") << criteria;
    }
    EXPECT_EQ(rev2.Run("11 FETCH $ UID"), "11 OK FETCH completed\r\n");
    EXPECT_EQ(rev2.Run("12 SORT (ARRIVAL) UTF-8 OLD"), "12 BAD SORT: IMAP4rev2 has no \\Recent to search for\r\n");
    // The IMAP4rev1 session keeps its SEARCH line and its keys.
    rev1.Run("1 SELECT INBOX");
    rev1.Talk({{"2 SEARCH UNSEEN", "* SEARCH 1 2 4\r\n2 OK SEARCH completed\r\n"},
               {"3 SEARCH OLD", "* SEARCH 1 2 3 4\r\n3 OK SEARCH completed\r\n"}});
}

TEST_F(Rev2, StatusCountsDeletedAndNoLongerRecent) {
    // Counted from the files, then from the index a selected session keeps open.
    EXPECT_EQ(rev2.Run("1 STATUS INBOX (MESSAGES DELETED UNSEEN)"),
              "* STATUS INBOX (MESSAGES 4 DELETED 1 UNSEEN 3)\r\n1 OK STATUS completed\r\n");
    rev1.Run("1 SELECT INBOX");
    rev1.Run("2 STORE 1:2 +FLAGS.SILENT (\\Deleted)");
    EXPECT_EQ(rev2.Run("2 STATUS INBOX (DELETED)"), "* STATUS INBOX (DELETED 3)\r\n2 OK STATUS completed\r\n");
    EXPECT_EQ(rev2.Run("3 LIST \"\" INBOX RETURN (STATUS (DELETED))"),
              "* LIST (\\HasNoChildren) \"/\" INBOX\r\n* STATUS INBOX (DELETED 3)\r\n3 OK LIST completed\r\n");
    EXPECT_EQ(rev2.Run("4 STATUS INBOX (MESSAGES RECENT)").rfind("4 BAD ", 0), 0u);
    EXPECT_EQ(rev2.Run("5 LIST \"\" INBOX RETURN (STATUS (RECENT))").rfind("5 BAD ", 0), 0u);
    // The IMAP4rev1 session knows RECENT and not DELETED, as before.
    EXPECT_EQ(rev1.Run("3 STATUS INBOX (RECENT)"), "* STATUS INBOX (RECENT 0)\r\n3 OK STATUS completed\r\n");
    EXPECT_EQ(rev1.Run("4 STATUS INBOX (DELETED)").rfind("4 BAD ", 0), 0u);
}

}  // namespace
