// SEARCH's RETURN options: the ESEARCH answer, the saved result "$" in the commands that take a
// set, searches kept up to date; and LIST's extended form with STATUS.
#include <poll.h>

#include <filesystem>
#include <thread>

#include "imap/search_return.h"
#include "mail_session.h"

namespace {

// Six messages, UIDs 10 to 60; 1 and 4 seen, 6 a draft.
class Esearch : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        Put("10-000010 20-000000 30-000000 40-000010 50-000000 60-000001");
        Run("s SELECT INBOX");
    }
    // What arrives until it ends with the text, or nothing more comes for five seconds.
    std::string Await(const std::string& end) {
        std::string out;
        char buf[4096];
        struct pollfd fd = {peer, POLLIN, 0};
        while (!out.ends_with(end) && poll(&fd, 1, 5000) > 0) {
            ssize_t n = read(peer, buf, sizeof(buf));
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
};

TEST_F(Esearch, ReturnOptionsAnswerOneEsearchLine) {
    const Pair cases[] = {
        {"t SEARCH RETURN (MIN MAX COUNT ALL) UNSEEN", "* ESEARCH (TAG \"t\") MIN 2 MAX 6 COUNT 4 ALL 2:3,5:6\r\n"},
        {"t SEARCH RETURN () UNSEEN", "* ESEARCH (TAG \"t\") ALL 2:3,5:6\r\n"},
        {"t SEARCH RETURN (count) SEEN", "* ESEARCH (TAG \"t\") COUNT 2\r\n"},
        {"t UID SEARCH RETURN (MIN ALL) UNSEEN", "* ESEARCH (TAG \"t\") UID MIN 20 ALL 20,30,50,60\r\n"},
        {"t UID SEARCH RETURN (MAX) 1:3", "* ESEARCH (TAG \"t\") UID MAX 30\r\n"},
        // Nothing found: COUNT alone is told.
        {"t SEARCH RETURN (MIN MAX ALL COUNT) DELETED", "* ESEARCH (TAG \"t\") COUNT 0\r\n"},
        {"t UID SEARCH RETURN (MIN) DELETED", "* ESEARCH (TAG \"t\") UID\r\n"},
        // Positions within the result, either way round; past its end NIL.
        {"t SEARCH RETURN (PARTIAL 2:3) UNSEEN", "* ESEARCH (TAG \"t\") PARTIAL (2:3 3,5)\r\n"},
        {"t SEARCH RETURN (PARTIAL 9:2) UNSEEN", "* ESEARCH (TAG \"t\") PARTIAL (2:9 3,5:6)\r\n"},
        {"t SEARCH RETURN (PARTIAL 5:5) UNSEEN", "* ESEARCH (TAG \"t\") PARTIAL (5:5 NIL)\r\n"},
        {"t UID SEARCH RETURN (PARTIAL 1:1 COUNT) ALL", "* ESEARCH (TAG \"t\") UID COUNT 6 PARTIAL (1:1 10)\r\n"},
    };
    for (const auto& [request, answer] : cases) {
        std::string expected = std::string(answer) + "t OK SEARCH completed\r\n";
        EXPECT_EQ(Run(request), expected) << request;
    }
    // Without RETURN the answer is the plain one.
    EXPECT_EQ(Run("t SEARCH UNSEEN"), "* SEARCH 2 3 5 6\r\nt OK SEARCH completed\r\n");
}

TEST_F(Esearch, MalformedReturnOptionsSearchNothing) {
    const char* bad[] = {
        "RETURN (FOO) ALL", "RETURN (MIN MIN) ALL", "RETURN (PARTIAL 1) ALL", "RETURN (PARTIAL 1:*) ALL",
        "RETURN (PARTIAL 0:3) ALL", "RETURN (PARTIAL 1:4294967296) ALL", "RETURN (MIN", "RETURN (MIN)",
        "RETURN (MIN) ", "RETURN MIN ALL", "RETURN (MIN  MAX) ALL", "RETURN ( MIN) ALL",
    };
    for (const char* criteria : bad) {
        std::string answer = Run(std::string("t SEARCH ") + criteria);
        EXPECT_EQ(answer.rfind("t BAD ", 0), 0u) << criteria << ": " << answer;
    }
}

TEST_F(Esearch, SavedResultServesEveryCommandThatTakesASet) {
    // SAVE alone answers nothing but the tagged line.
    Talk({{"1 SEARCH RETURN (SAVE) UNSEEN", "1 OK SEARCH completed\r\n"},
          {"2 FETCH $ (UID)", "* 2 FETCH (UID 20)\r\n* 3 FETCH (UID 30)\r\n* 5 FETCH (UID 50)\r\n* 6 FETCH (UID 60)\r\n"
                              "2 OK FETCH completed\r\n"},
          {"3 UID SEARCH UID $ DRAFT", "* SEARCH 60\r\n3 OK SEARCH completed\r\n"},
          {"4 SEARCH NOT $", "* SEARCH 1 4\r\n4 OK SEARCH completed\r\n"},
          {"5 STORE $ +FLAGS.SILENT (\\Deleted)", "5 OK STORE completed\r\n"},
          {"6 UID STORE $ -FLAGS.SILENT (\\Deleted)", "6 OK STORE completed\r\n"},
          {"7 STORE 2 +FLAGS.SILENT (\\Deleted)", "7 OK STORE completed\r\n"},
          {"8 EXPUNGE", "* 2 EXPUNGE\r\n8 OK EXPUNGE completed\r\n"},
          // Saved as UIDs: after the expunge the rest have new numbers.
          {"9 FETCH $ (UID)", "* 2 FETCH (UID 30)\r\n* 4 FETCH (UID 50)\r\n* 5 FETCH (UID 60)\r\n9 OK FETCH completed\r\n"}});
    // COPY reads it too.
    MakeMailbox("Box");
    EXPECT_EQ(Run("10 COPY $ Box").rfind("10 OK [COPYUID ", 0), 0u);
    size_t nCopied = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Path("Box"))) nCopied += entry.path().extension() == ".MSG";
    EXPECT_EQ(nCopied, 3u);
    // MIN and MAX alone keep only those; SAVE beside the answer saves as well.
    Talk({{"11 SEARCH RETURN (SAVE MIN MAX) ALL", "* ESEARCH (TAG \"11\") MIN 1 MAX 5\r\n11 OK SEARCH completed\r\n"},
          {"12 UID SEARCH $", "* SEARCH 10 60\r\n12 OK SEARCH completed\r\n"},
          {"13 UID SEARCH RETURN (SAVE COUNT MIN) SEEN", "* ESEARCH (TAG \"13\") UID MIN 10 COUNT 2\r\n13 OK SEARCH completed\r\n"},
          {"14 SEARCH $", "* SEARCH 1 3\r\n14 OK SEARCH completed\r\n"}    });
    // A search that fails leaves nothing saved.
    EXPECT_EQ(Run("15 SEARCH RETURN (SAVE) FOO").rfind("15 BAD ", 0), 0u);
    EXPECT_EQ(Run("16 SEARCH $"), "* SEARCH\r\n16 OK SEARCH completed\r\n");
    // UID EXPUNGE removes only what "$" names.
    Talk({{"17 SEARCH RETURN (SAVE) UID 30", "17 OK SEARCH completed\r\n"},
          {"18 STORE 1:2 +FLAGS.SILENT (\\Deleted)", "18 OK STORE completed\r\n"},
          {"19 UID EXPUNGE $", "* 2 EXPUNGE\r\n19 OK EXPUNGE completed\r\n"}});
    // A new SELECT forgets it.
    Run("s SEARCH RETURN (SAVE) ALL");
    Run("20 SELECT INBOX");
    EXPECT_EQ(Run("21 FETCH $ (UID)"), "21 OK FETCH completed\r\n");
}

TEST_F(Esearch, UpdatesFollowEveryChangeUntilCancelled) {
    Talk({{"u SEARCH RETURN (UPDATE) UNSEEN", "* ESEARCH (TAG \"u\")\r\nu OK SEARCH completed\r\n"},
          {"v UID SEARCH RETURN (UPDATE COUNT) DRAFT", "* ESEARCH (TAG \"v\") UID COUNT 1\r\nv OK SEARCH completed\r\n"},
          {"1 STORE 2:3 +FLAGS.SILENT (\\Seen)",
           "* ESEARCH (TAG \"u\") REMOVEFROM (0 2:3)\r\n1 OK STORE completed\r\n"},
          {"2 STORE 1,6 -FLAGS.SILENT (\\Seen \\Draft)",
           "* ESEARCH (TAG \"u\") ADDTO (0 1)\r\n* ESEARCH (TAG \"v\") UID REMOVEFROM (0 60)\r\n2 OK STORE completed\r\n"}});
    // A change made elsewhere, and a new message, told after EXISTS with its number.
    std::filesystem::rename(box + "/0000000040-000010.MSG", box + "/0000000040-000000.MSG");
    Put("70-000001");
    EXPECT_EQ(Run("3 NOOP"), "* 7 EXISTS\r\n* 0 RECENT\r\n* 4 FETCH (FLAGS ())\r\n"
                             "* ESEARCH (TAG \"u\") ADDTO (0 4,7)\r\n* ESEARCH (TAG \"v\") UID ADDTO (0 70)\r\n"
                             "3 OK NOOP completed\r\n");
    // An expunge is told before its EXPUNGE, by the number the message had.
    Run("4 STORE 5 +FLAGS.SILENT (\\Deleted)");
    EXPECT_EQ(Run("5 EXPUNGE"), "* ESEARCH (TAG \"u\") REMOVEFROM (0 5)\r\n* 5 EXPUNGE\r\n5 OK EXPUNGE completed\r\n");
    // While FETCH runs an expunge elsewhere waits, and so does its REMOVEFROM.
    std::filesystem::remove(box + "/0000000070-000001.MSG");
    EXPECT_EQ(Run("6 FETCH 1 (UID)"), "* 1 FETCH (UID 10)\r\n6 OK FETCH completed\r\n");
    EXPECT_EQ(Run("7 NOOP"), "* ESEARCH (TAG \"u\") REMOVEFROM (0 6)\r\n* ESEARCH (TAG \"v\") UID REMOVEFROM (0 70)\r\n"
                             "* 6 EXPUNGE\r\n7 OK NOOP completed\r\n");
    Talk({{"8 CANCELUPDATE \"u\" \"v\"", "8 OK CANCELUPDATE completed\r\n"},
          {"9 STORE 1:* -FLAGS.SILENT (\\Seen)", "9 OK STORE completed\r\n"},
          {"10 CANCELUPDATE u", "10 BAD CANCELUPDATE illegal argument\r\n"}});
}

TEST_F(Esearch, UpdatesReachAnIdlingClientAndStayBounded) {
    Run("u SEARCH RETURN (UPDATE) SEEN");
    // Told while the client idles, not only once it is done.
    snprintf(session->szRecv, sizeof(session->szRecv), "i IDLE\r\n");
    std::thread idler([&] { DispatchCommand(session.get()); });
    EXPECT_EQ(Await("+ idling\r\n"), "+ idling\r\n");
    std::filesystem::rename(box + "/0000000020-000000.MSG", box + "/0000000020-000010.MSG");
    EXPECT_EQ(Await("(0 2)\r\n"), "* 2 FETCH (FLAGS (\\Seen))\r\n* ESEARCH (TAG \"u\") ADDTO (0 2)\r\n");
    ASSERT_EQ(write(peer, "DONE\r\n", 6), 6);
    idler.join();
    EXPECT_EQ(Await("completed\r\n"), "i OK IDLE completed\r\n");
    // A search given again under its tag replaces the one kept; past the bound none is kept.
    for (int i = 0; i < 15; i++) Run("t" + std::to_string(i) + " SEARCH RETURN (UPDATE) DELETED");
    EXPECT_EQ(Run("u SEARCH RETURN (UPDATE) DRAFT"), "* ESEARCH (TAG \"u\")\r\nu OK SEARCH completed\r\n");
    EXPECT_EQ(Run("x SEARCH RETURN (UPDATE COUNT) DRAFT"),
              "* ESEARCH (TAG \"x\") COUNT 1\r\n* NO [NOUPDATE \"x\"] Too many searches kept up to date\r\n"
              "x OK SEARCH completed\r\n");
    EXPECT_EQ(Run("1 STORE 1 +FLAGS.SILENT (\\Draft)"), "* ESEARCH (TAG \"u\") ADDTO (0 1)\r\n1 OK STORE completed\r\n");
    // A new SELECT ends them all.
    Run("s SELECT INBOX");
    EXPECT_EQ(Run("2 STORE 2 +FLAGS.SILENT (\\Draft \\Deleted)"), "2 OK STORE completed\r\n");
}

TEST_F(Esearch, NothingSavedNamesNoMessage) {
    MakeMailbox("Box");
    Talk({{"1 STORE $ +FLAGS (\\Deleted)", "1 OK STORE completed\r\n"},
          {"2 UID FETCH $ (UID)", "2 OK FETCH completed\r\n"},
          {"3 SEARCH $", "* SEARCH\r\n3 OK SEARCH completed\r\n"},
          {"4 SEARCH RETURN (SAVE) DELETED", "4 OK SEARCH completed\r\n"},
          {"5 UID SEARCH OR $ SEEN", "* SEARCH 10 40\r\n5 OK SEARCH completed\r\n"}});
    EXPECT_EQ(Run("6 COPY $ Box").rfind("6 OK ", 0), 0u);
    EXPECT_EQ(Tree(Path("Box")), "");
    // "$" stands alone: it joins no other set.
    EXPECT_EQ(Run("7 FETCH $,1 (UID)").rfind("7 BAD ", 0), 0u);
    EXPECT_EQ(Run("8 SEARCH $:2").rfind("8 BAD ", 0), 0u);
}

TEST_F(Esearch, StatusSizeIsTheSumOfTheMessageSizes) {
    // 40 bytes each, as FETCH tells them, whether the mailbox is open or not.
    EXPECT_EQ(Run("f FETCH 1 RFC822.SIZE"), "* 1 FETCH (RFC822.SIZE 40)\r\nf OK FETCH completed\r\n");
    EXPECT_EQ(Run("s STATUS INBOX (SIZE MESSAGES)"), "* STATUS INBOX (SIZE 240 MESSAGES 6)\r\ns OK STATUS completed\r\n");
    Run("c CLOSE");
    EXPECT_EQ(Run("s STATUS INBOX (SIZE)"), "* STATUS INBOX (SIZE 240)\r\ns OK STATUS completed\r\n");
    MakeMailbox("Empty");
    EXPECT_EQ(Run("s STATUS Empty (SIZE)"), "* STATUS Empty (SIZE 0)\r\ns OK STATUS completed\r\n");
}

TEST_F(Esearch, OfferedOnceLoggedIn) {
    const std::string words = " ESEARCH SEARCHRES CONTEXT=SEARCH LIST-EXTENDED LIST-STATUS STATUS=SIZE";
    EXPECT_NE(Run("c CAPABILITY").find(words), std::string::npos);
    session->State = Imap4NonAuthenticated;
    EXPECT_EQ(Run("c CAPABILITY").find(" ESEARCH"), std::string::npos);
}

TEST(EsearchSets, NumbersJoinIntoRuns) {
    const std::pair<std::vector<uint32_t>, const char*> cases[] = {
        {{}, ""}, {{7}, "7"}, {{1, 2, 3}, "1:3"}, {{1, 3, 4, 6}, "1,3:4,6"},
        // Runs go upwards only: an order that is not ascending stays as given.
        {{5, 4, 3}, "5,4,3"}, {{4294967294u, 4294967295u, 1}, "4294967294:4294967295,1"},
    };
    for (const auto& [numbers, text] : cases) EXPECT_EQ(FormatNumberSet(numbers), text);
}

class ListExtended : public MailSession {
protected:
    void SetUp() override {
        MailSession::SetUp();
        MakeMailbox("inbox");
        MakeMailbox("a", true);
        MakeMailbox("a/b");
        MakeMailbox("a/c", true);
        MakeMailbox("d");
        Write({{"d/0000000001-000010.MSG", "Subject: x\r\n\r\nbody\r\n"}, {"d/0000000002-000000.MSG", "12345"}});
    }
};

TEST_F(ListExtended, SelectionAndReturnOptions) {
    Talk({{"1 LIST (SUBSCRIBED) \"\" *",
           "* LIST (\\HasNoChildren \\Subscribed) \"/\" a/b\r\n* LIST (\\HasNoChildren \\Subscribed) \"/\" d\r\n"
           "* LIST (\\HasNoChildren \\Subscribed) \"/\" INBOX\r\n1 OK LIST completed\r\n"},
          {"2 LIST (SUBSCRIBED RECURSIVEMATCH) \"\" %",
           "* LIST (\\HasChildren) \"/\" a (\"CHILDINFO\" (\"SUBSCRIBED\"))\r\n* LIST (\\HasNoChildren \\Subscribed) \"/\" d\r\n"
           "* LIST (\\HasNoChildren \\Subscribed) \"/\" INBOX\r\n2 OK LIST completed\r\n"},
          // A child the patterns name itself needs no CHILDINFO on its parent.
          {"3 LIST (SUBSCRIBED RECURSIVEMATCH REMOTE) \"\" (a a/b)",
           "* LIST (\\HasNoChildren \\Subscribed) \"/\" a/b\r\n3 OK LIST completed\r\n"},
          {"4 LIST \"\" (d a/*) RETURN (SUBSCRIBED CHILDREN)",
           "* LIST (\\HasNoChildren \\Subscribed) \"/\" a/b\r\n* LIST (\\HasNoChildren) \"/\" a/c\r\n"
           "* LIST (\\HasNoChildren \\Subscribed) \"/\" d\r\n4 OK LIST completed\r\n"},
          {"5 LIST \"\" d RETURN (STATUS (MESSAGES UNSEEN SIZE))",
           "* LIST (\\HasNoChildren) \"/\" d\r\n* STATUS d (MESSAGES 2 UNSEEN 1 SIZE 25)\r\n5 OK LIST completed\r\n"},
          {"6 STATUS d (SIZE UIDNEXT)", "* STATUS d (SIZE 25 UIDNEXT 3)\r\n6 OK STATUS completed\r\n"}});
    // The plain forms answer as they always have.
    EXPECT_EQ(Run("7 LIST \"\" d"), "* LIST (\\HasNoChildren) \"/\" d\r\n7 OK LIST completed\r\n");
    const char* bad[] = {
        "LIST (FOO) \"\" *", "LIST (RECURSIVEMATCH) \"\" *", "LIST (RECURSIVEMATCH REMOTE) \"\" *",
        "LIST \"\" * RETURN (FOO)", "LIST \"\" * RETURN (STATUS (BAR))", "LIST \"\" * RETURN (STATUS)",
        "LIST \"\" ()", "LIST \"\" (a", "LIST \"\" * RETURN", "LIST \"\" * RETURN ()x",
    };
    for (const char* request : bad) {
        EXPECT_EQ(Run(std::string("b ") + request).rfind("b BAD ", 0), 0u) << request;
    }
}

TEST_F(ListExtended, ASubscriptionOutlivesItsMailbox) {
    Talk({{"1 DELETE a/b", "1 OK DELETE successful\r\n"},
          {"2 SUBSCRIBE never/made", "2 OK SUBSCRIBE completed\r\n"},
          {"3 LIST (SUBSCRIBED) \"\" *",
           "* LIST (\\HasNoChildren \\Subscribed) \"/\" d\r\n* LIST (\\HasNoChildren \\Subscribed) \"/\" INBOX\r\n"
           "* LIST (\\Subscribed \\NonExistent) \"/\" a/b\r\n* LIST (\\Subscribed \\NonExistent) \"/\" never/made\r\n"
           "3 OK LIST completed\r\n"},
          // LSUB answers as it always has.
          {"4 LSUB \"\" a/*", "4 OK LSUB completed\r\n"},
          // Not listed where only existing mailboxes are asked for.
          {"5 LIST \"\" never/*", "5 OK LIST completed\r\n"},
          // Made again, the mailbox is subscribed as its name was.
          {"6 CREATE never/made", "6 OK CREATE completed\r\n"},
          {"7 LIST (SUBSCRIBED) \"\" never/*", "* LIST (\\HasNoChildren \\Subscribed) \"/\" never/made\r\n7 OK LIST completed\r\n"},
          {"6 UNSUBSCRIBE a/b", "6 OK UNSUBSCRIBE completed\r\n"},
          {"7 LIST (SUBSCRIBED) \"\" a*", "7 OK LIST completed\r\n"}});
    // An unsubscribed mailbox deleted leaves nothing behind.
    Run("8 DELETE a/c");
    EXPECT_EQ(Run("9 LIST (SUBSCRIBED) \"\" a*"), "9 OK LIST completed\r\n");
}

}  // namespace
