// CREATE, DELETE, RENAME, SUBSCRIBE, UNSUBSCRIBE, LIST and LSUB on a mail directory under /tmp,
// and the mailbox-name helpers they share.
#include "mail_dir_session.h"

#include "imap/mailbox_name.h"

namespace {

struct NameText {
    const char* name;
    const char* sent;
};

TEST(FormatMailboxName, AtomsQuotedStringsAndLiterals) {
    const NameText cases[] = {
        {"Work", "Work"},
        {"inbox", "inbox"},
        {"a.b-c_d+e", "a.b-c_d+e"},
        {"My Folder", "\"My Folder\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"(paren)", "\"(paren)\""},
        {"brace{", "\"brace{\""},
        {"star*", "\"star*\""},
        {"per%cent", "\"per%cent\""},
        {"code]", "\"code]\""},
        {"tab\there", "\"tab\there\""},
        {"", "\"\""},
        {"K\xc3\xb6ln", "{5}\r\nK\xc3\xb6ln"},
    };
    for (const NameText& c : cases) {
        char out[64];
        ASSERT_TRUE(FormatMailboxName(c.name, out, sizeof(out))) << c.name;
        EXPECT_STREQ(out, c.sent) << c.name;
    }
    char small[6];
    EXPECT_FALSE(FormatMailboxName("a b c d", small, sizeof(small)));
    EXPECT_FALSE(FormatMailboxName("abcdef", small, sizeof(small)));
}

struct Unquote {
    const char* text;
    const char* name;
};

TEST(RemoveQuotes, CutsAtTheNextQuoteWithoutEscapes) {
    const Unquote cases[] = {
        {"Work", "Work"},      {"\"Work\"", "Work"}, {"\"\"", ""},           {"\"open", "open"},
        {"a\"b\"", "a\"b\""},  {"\"a\\\"b\"", "a\\"}, {"\"Sent", "Sent"},
    };
    for (const Unquote& c : cases) {
        char out[32];
        RemoveQuotes(c.text, out, sizeof(out));
        EXPECT_STREQ(out, c.name) << c.text;
    }
}

using FoldersTest = MailDirSession;

TEST_F(FoldersTest, EveryFolderCommandNeedsALogin) {
    session->State = Imap4NonAuthenticated;
    for (const char* command : {"CREATE Work", "DELETE Work", "RENAME a b", "SUBSCRIBE Work", "UNSUBSCRIBE Work",
                                "LIST \"\" *", "LSUB \"\" *"}) {
        std::string line = std::string("a1 ") + command + "\r\n";
        std::string word(command, std::string(command).find(' '));
        EXPECT_EQ(Dispatch(line), "a1 NO Command unrecognized: " + word + "\r\n");
    }
    EXPECT_FALSE(Exists(Path("Work")));
}

TEST_F(FoldersTest, CreateMakesAnUnsubscribedMailboxThatSubscribeShows) {
    EXPECT_EQ(Dispatch("a1 CREATE \"Work\"\r\n"), "a1 OK CREATE completed\r\n");
    ASSERT_TRUE(std::filesystem::is_directory(Path("Work")));
    EXPECT_TRUE(Hidden(Path("Work")));
    EXPECT_EQ(Dispatch("a2 list \"\" \"*\"\r\n"),
              "* list () \"/\" inbox\r\n* list (\\Noselect) \"/\" Work\r\na2 OK list completed\r\n");
    EXPECT_EQ(Dispatch("a3 SUBSCRIBE Work\r\n"), "a3 OK SUBSCRIBE completed\r\n");
    EXPECT_EQ(Dispatch("a4 LIST \"\" \"%\"\r\n"),
              "* LIST () \"/\" inbox\r\n* LIST () \"/\" Work\r\na4 OK LIST completed\r\n");
}

TEST_F(FoldersTest, CreateMakesOneLevelAndAnswersOkForWhatExists) {
    EXPECT_EQ(Dispatch("a1 CREATE a/b\r\n"), "a1 OK CREATE completed\r\n");
    EXPECT_FALSE(Exists(Path("a")));
    MakeMailbox("Work");
    EXPECT_EQ(Dispatch("a2 CREATE WORK\r\n"), "a2 OK CREATE completed\r\n");
    EXPECT_EQ(Names(mailDir), (std::vector<std::string>{"Work", "inbox"}));
    EXPECT_FALSE(Hidden(Path("Work")));  // an existing mailbox keeps its subscription
    EXPECT_EQ(Dispatch("a3 CREATE Work/Sub/\r\n"), "a3 OK CREATE completed\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(Path("Work/Sub")));
    EXPECT_EQ(Dispatch("a4 CREATE work\\Deeper\r\n"), "a4 OK CREATE completed\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(Path("Work/Deeper")));
}

TEST_F(FoldersTest, DeleteRemovesOnlyAnEmptyMailboxOtherThanTheInbox) {
    EXPECT_EQ(Dispatch("a1 DELETE INBOX\r\n"), "a1 NO DELETE failed\r\n");
    EXPECT_EQ(Dispatch("a2 DELETE \"inbox\"\r\n"), "a2 NO DELETE failed\r\n");
    EXPECT_TRUE(Exists(Path("inbox")));

    MakeMailbox("Empty");
    Write(Path("Empty/uid"), "4");
    EXPECT_EQ(Dispatch("a3 DELETE empty\r\n"), "a3 OK DELETE successful\r\n");
    EXPECT_FALSE(Exists(Path("Empty")));
    EXPECT_EQ(Dispatch("a4 DELETE Empty\r\n"), "a4 NO DELETE failed\r\n");

    MakeMailbox("Full");
    Write(Path("Full/0000000003-000010.MSG"), "x");
    Write(Path("Full/uid"), "9");
    EXPECT_EQ(Dispatch("a5 DELETE Full\r\n"), "a5 NO DELETE failed\r\n");
    // The next UID survives: 4 to 8 must not be handed out again.
    EXPECT_EQ(Read(Path("Full/uid")), "9");
    EXPECT_TRUE(Exists(Path("Full/0000000003-000010.MSG")));

    MakeMailbox("Parent/Child");
    EXPECT_EQ(Dispatch("a6 DELETE Parent\r\n"), "a6 NO DELETE failed\r\n");
    EXPECT_EQ(Dispatch("a7 DELETE Parent/Child\r\n"), "a7 OK DELETE successful\r\n");
    EXPECT_EQ(Names(Path("Parent")), std::vector<std::string>{});
}

TEST_F(FoldersTest, RenameInboxMovesItsMessagesAndLeavesAnEmptyInbox) {
    Write(Path("inbox/0000000001-100000.MSG"), "one");
    Write(Path("inbox/0000000002-000010.MSG"), "two");
    Write(Path("inbox/uid"), "3");
    EXPECT_EQ(Dispatch("a1 RENAME INBOX Old\r\n"), "a1 OK RENAME successful\r\n");
    EXPECT_EQ(Names(Path("Old")), (std::vector<std::string>{"0000000001-100000.MSG", "0000000002-000010.MSG", "uid"}));
    EXPECT_TRUE(Hidden(Path("Old")));
    ASSERT_TRUE(std::filesystem::is_directory(Path("inbox")));
    EXPECT_EQ(Names(Path("inbox")), std::vector<std::string>{});
    EXPECT_FALSE(Hidden(Path("inbox")));
}

TEST_F(FoldersTest, RenameMovesAMailboxWithItsChildren) {
    MakeMailbox("Work/Sub");
    Write(Path("Work/Sub/0000000001-000000.MSG"), "m");
    EXPECT_EQ(Dispatch("a1 RENAME \"work\" \"Done\"\r\n"), "a1 OK RENAME successful\r\n");
    EXPECT_FALSE(Exists(Path("Work")));
    EXPECT_TRUE(Exists(Path("Done/Sub/0000000001-000000.MSG")));
    EXPECT_TRUE(Hidden(Path("Done")));
    EXPECT_FALSE(Exists(Path("inbox/Sub")));
}

TEST_F(FoldersTest, RenameRefusals) {
    MakeMailbox("Work");
    MakeMailbox("Archive");
    EXPECT_EQ(Dispatch("a1 RENAME Work\r\n"), "a1 BAD RENAME illegal argument\r\n");
    EXPECT_EQ(Dispatch("a2 RENAME Missing Other\r\n"), "a2 NO RENAME fails\r\n");
    EXPECT_EQ(Dispatch("a3 RENAME Work ARCHIVE\r\n"), "a3 NO RENAME fails\r\n");
    EXPECT_EQ(Names(mailDir), (std::vector<std::string>{"Archive", "Work", "inbox"}));
    EXPECT_FALSE(Hidden(Path("Work")));
}

TEST_F(FoldersTest, RenameSplitsAtTheFirstBlankEvenInsideQuotes) {
    MakeMailbox("Sent");
    // The old name is "Sent"; everything after the blank is the new name, kept whole because
    // it does not begin with a quote.
    EXPECT_EQ(Dispatch("a1 RENAME \"Sent Items\" Old\r\n"), "a1 OK RENAME successful\r\n");
    EXPECT_EQ(Names(mailDir), (std::vector<std::string>{"Items\" Old", "inbox"}));
    // Such a name goes back to the client as a quoted string with escapes.
    EXPECT_EQ(Dispatch("a2 SUBSCRIBE \"Items\" Old\r\n"), "a2 OK SUBSCRIBE completed\r\n");
    EXPECT_TRUE(Hidden(Path("Items\" Old")));  // the name was cut at its closing quote: "Items"
    EXPECT_EQ(Dispatch("a3 LIST \"\" %\r\n"),
              "* LIST () \"/\" inbox\r\n* LIST (\\Noselect) \"/\" \"Items\\\" Old\"\r\na3 OK LIST completed\r\n");
}

TEST_F(FoldersTest, SubscriptionFollowsTheAddressedMailbox) {
    MakeMailbox("Work");
    MakeMailbox("Box/Work");
    EXPECT_EQ(Dispatch("a1 UNSUBSCRIBE Work\r\n"), "a1 OK UNSUBSCRIBE completed\r\n");
    EXPECT_TRUE(Hidden(Path("Work")));
    EXPECT_FALSE(Hidden(Path("Box/Work")));

    Select("Box");
    EXPECT_EQ(Dispatch("a2 UNSUBSCRIBE Work\r\n"), "a2 OK UNSUBSCRIBE completed\r\n");
    EXPECT_TRUE(Hidden(Path("Box/Work")));
    EXPECT_EQ(Dispatch("a3 SUBSCRIBE \"//Work\"\r\n"), "a3 OK SUBSCRIBE completed\r\n");
    EXPECT_FALSE(Hidden(Path("Work")));
    EXPECT_TRUE(Hidden(Path("Box/Work")));
    EXPECT_EQ(Dispatch("a4 SUBSCRIBE Missing\r\n"), "a4 OK SUBSCRIBE completed\r\n");
    EXPECT_FALSE(Exists(Path("Box/Missing")));
}

// A tree three levels deep with a sibling; B is unsubscribed.
class ListTest : public MailDirSession {
protected:
    void SetUp() override {
        MailDirSession::SetUp();
        MakeMailbox("A/B/C");
        MakeMailbox("D");
        SetHiddenAttribute(Path("A/B").c_str(), true);
        Write(Path("A/0000000001-000000.MSG"), "not a mailbox");
    }
};

TEST_F(ListTest, StarWalksDepthFirstUnderEachDirectorysOwnName) {
    EXPECT_EQ(Dispatch("a1 LIST \"\" \"*\"\r\n"),
              "* LIST () \"/\" A\r\n"
              "* LIST (\\Noselect) \"/\" B\r\n"
              "* LIST () \"/\" C\r\n"
              "* LIST () \"/\" D\r\n"
              "* LIST () \"/\" inbox\r\n"
              "a1 OK LIST completed\r\n");
    EXPECT_EQ(Dispatch("a2 LIST / *\r\n"),
              "* LIST () \"/\" A\r\n* LIST (\\Noselect) \"/\" B\r\n* LIST () \"/\" C\r\n* LIST () \"/\" D\r\n"
              "* LIST () \"/\" inbox\r\na2 OK LIST completed\r\n");
    EXPECT_EQ(Dispatch("a3 LSUB \"\" \"*\"\r\n"),
              "* LSUB () \"/\" A\r\n* LSUB (\\Noselect) \"/\" B\r\n* LSUB () \"/\" C\r\n* LSUB () \"/\" D\r\n"
              "* LSUB () \"/\" inbox\r\na3 OK LSUB completed\r\n");
}

TEST_F(ListTest, PercentListsOneLevel) {
    EXPECT_EQ(Dispatch("a1 LIST \"\" %\r\n"),
              "* LIST () \"/\" A\r\n* LIST () \"/\" D\r\n* LIST () \"/\" inbox\r\na1 OK LIST completed\r\n");
    EXPECT_EQ(Dispatch("a2 LIST \"\" A/%\r\n"), "* LIST (\\Noselect) \"/\" B\r\na2 OK LIST completed\r\n");
    EXPECT_EQ(Dispatch("a3 LIST \"\" d%\r\n"), "* LIST () \"/\" D\r\na3 OK LIST completed\r\n");
}

TEST_F(ListTest, AReferenceIsTheDelimiterAndPrefixesDeeperNames) {
    EXPECT_EQ(Dispatch("a1 LIST A *\r\n"),
              "* LIST (\\Noselect) \"A\" B\r\n* LIST () \"A\" B/C\r\na1 OK LIST completed\r\n");
    // LSUB drops a reference unless the pattern starts at the top.
    EXPECT_EQ(Dispatch("a2 LSUB A *\r\n"),
              "* LSUB () \"/\" A\r\n* LSUB (\\Noselect) \"/\" B\r\n* LSUB () \"/\" C\r\n* LSUB () \"/\" D\r\n"
              "* LSUB () \"/\" inbox\r\na2 OK LSUB completed\r\n");
}

TEST_F(ListTest, ASelectedMailboxDoesNotMoveTheTop) {
    MakeMailbox("Ax");
    Select("A");
    EXPECT_EQ(Dispatch("a1 LIST \"\" %\r\n"),
              "* LIST () \"/\" A\r\n* LIST () \"/\" Ax\r\n* LIST () \"/\" D\r\n* LIST () \"/\" inbox\r\n"
              "a1 OK LIST completed\r\n");
    EXPECT_EQ(Dispatch("a2 LSUB / D\r\n"), "* LSUB () \"/\" D\r\na2 OK LSUB completed\r\n");
}

TEST_F(ListTest, AnEmptyPatternAsksForTheDelimiter) {
    EXPECT_EQ(Dispatch("a1 LIST \"\" \"\"\r\n"), "* LIST (\\Noselect) \"/\" \"\"\r\na1 OK LIST completed\r\n");
    EXPECT_EQ(Dispatch("a2 LIST A \"\"\r\n"), "* LIST (\\Noselect) \"/\" \"\"\r\na2 OK LIST completed\r\n");
    EXPECT_EQ(Dispatch("a3 LSUB \"\" \"\"\r\n"), "a3 OK LSUB completed\r\n");
}

TEST_F(ListTest, BadArgumentsAndMissingPaths) {
    EXPECT_EQ(Dispatch("a1 LIST *\r\n"), "a1 BAD LIST illegal argument\r\n");
    EXPECT_EQ(Dispatch("a2 LSUB \"\"\r\n"), "a2 BAD LSUB illegal argument\r\n");
    EXPECT_EQ(Dispatch("a3 LIST Missing *\r\n"), "a3 OK LIST completed\r\n");
    EXPECT_EQ(Dispatch("a4 LIST \"\" Nothing%\r\n"), "a4 OK LIST completed\r\n");
}

TEST_F(ListTest, NamesThatAreNoAtomsAreQuoted) {
    MakeMailbox("My Mail");
    MakeMailbox("back\\slash");
    EXPECT_EQ(Dispatch("a1 LIST \"\" %\r\n"),
              "* LIST () \"/\" A\r\n* LIST () \"/\" \"back\\\\slash\"\r\n* LIST () \"/\" D\r\n"
              "* LIST () \"/\" inbox\r\n* LIST () \"/\" \"My Mail\"\r\na1 OK LIST completed\r\n");
}

// Every name that would reach outside the user's mail directory is refused with the command's
// failure line, and nothing outside (nor inside) is touched.
TEST_F(FoldersTest, NamesLeavingTheMailDirectoryAreRefused) {
    MakeMailbox("Work");
    std::filesystem::create_directories(outside + "/victim");
    Write(outside + "/victim/0000000001-000000.MSG", "keep");
    struct Refusal {
        const char* line;
        const char* answer;
    };
    const Refusal cases[] = {
        {"a1 CREATE ../outside/new\r\n", "a1 NO CREATE fails\r\n"},
        {"a1 CREATE \"..\\\\outside\\\\new\"\r\n", "a1 NO CREATE fails\r\n"},
        {"a1 CREATE /tmp/new\r\n", "a1 NO CREATE fails\r\n"},
        {"a1 CREATE C:new\r\n", "a1 NO CREATE fails\r\n"},
        {"a1 CREATE CON\r\n", "a1 NO CREATE fails\r\n"},
        {"a1 CREATE ..\r\n", "a1 NO CREATE fails\r\n"},
        {"a1 CREATE \"\"\r\n", "a1 NO CREATE fails\r\n"},
        {"a1 DELETE ../outside/victim\r\n", "a1 NO DELETE failed\r\n"},
        {"a1 DELETE Work/../../outside\r\n", "a1 NO DELETE failed\r\n"},
        {"a1 RENAME ../outside/victim Stolen\r\n", "a1 NO RENAME fails\r\n"},
        {"a1 RENAME Work ../outside/Work\r\n", "a1 NO RENAME fails\r\n"},
        {"a1 SUBSCRIBE ../outside/victim\r\n", "a1 NO SUBSCRIBE fails\r\n"},
        {"a1 UNSUBSCRIBE /../outside/victim\r\n", "a1 NO UNSUBSCRIBE fails\r\n"},
        {"a1 UNSUBSCRIBE \"\"\r\n", "a1 NO UNSUBSCRIBE fails\r\n"},
        {"a1 LIST .. *\r\n", "a1 NO LIST fails\r\n"},
        {"a1 LIST \"\" ../*\r\n", "a1 NO LIST fails\r\n"},
        {"a1 LIST Work/.. %\r\n", "a1 NO LIST fails\r\n"},
        {"a1 LSUB / \"/..\\\\*\"\r\n", "a1 NO LSUB fails\r\n"},
    };
    for (const Refusal& c : cases) {
        EXPECT_EQ(Dispatch(c.line), c.answer) << c.line;
    }
    EXPECT_EQ(Names(root), (std::vector<std::string>{"mail", "outside"}));
    EXPECT_EQ(Names(outside), std::vector<std::string>{"victim"});
    EXPECT_EQ(Names(outside + "/victim"), std::vector<std::string>{"0000000001-000000.MSG"});
    EXPECT_FALSE(Hidden(outside + "/victim"));
    EXPECT_EQ(Names(mailDir), (std::vector<std::string>{"Work", "inbox"}));
    EXPECT_FALSE(Hidden(Path("Work")));
}

}  // namespace
