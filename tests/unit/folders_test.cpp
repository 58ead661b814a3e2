// CREATE, DELETE, RENAME, (UN)SUBSCRIBE, LIST and LSUB on a mail directory, and their name helpers.
#include <sys/xattr.h>

#include "config/settings.h"
#include "imap/args.h"
#include "imap/mailbox_name.h"
#include "mail_session.h"

namespace {

TEST(MailboxName, FormattedAsAtomQuotedStringOrLiteralAndUnquoted) {
    const Pair formatted[] = {
        {"Work", "Work"}, {"a.b-c_d+e", "a.b-c_d+e"}, {"My Folder", "\"My Folder\""}, {"(paren)", "\"(paren)\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""}, {"back\\slash", "\"back\\\\slash\""}, {"brace{", "\"brace{\""},
        {"star*", "\"star*\""}, {"per%cent", "\"per%cent\""}, {"code]", "\"code]\""}, {"tab\there", "\"tab\there\""},
        {"", "\"\""}, {"K\xc3\xb6ln", "{5}\r\nK\xc3\xb6ln"},
    };
    char out[64];
    auto format = [&out](const char* name, size_t n) { return FormatMailboxName(name, out, n) ? out : "(too long)"; };
    for (const auto& [name, sent] : formatted) EXPECT_STREQ(format(name, sizeof(out)), sent) << name;
    EXPECT_STREQ(format("a b c d", 6), "(too long)");
    EXPECT_STREQ(format("abcdef", 6), "(too long)");
    // What a client sends and the name read from it; "!" marks text that holds no astring there.
    const Pair read[] = {{"Work", "Work"}, {"\"Work\"", "Work"}, {"\"\"", ""}, {"\"Sent Items\" x", "Sent Items"},
                         {"\"a\\\"b\\\\\"", "a\"b\\"}, {"{5}\r\nA b c", "A b c"}, {"{3+}\nabc", "abc"},
                         {"[x]", "[x]"}, {"\"open", "!"}, {"\"a\\b\"", "!"}, {"{9}\r\nshort", "!"}, {"{3}abc", "!"},
                         {"(x)", "!"}, {"a%", "a"}, {"", "!"}, {"\"\xc3\xb6\"", "\xc3\xb6"}};
    for (const auto& [text, name] : read) {
        const char* p = text;
        EXPECT_STREQ(TakeAstring(&p, out, sizeof(out)) ? out : "!", name) << text;
    }
    const char* p = "\"0123456789\"";
    EXPECT_FALSE(TakeAstring(&p, out, 10)) << "a name that does not fit is not cut";
}

using Folders = MailSession;

TEST_F(Folders, EveryCommandChecksTheSessionState) {
    // The mailbox commands before login, the message commands before a SELECT; no literal is asked for.
    std::istringstream in("CREATE DELETE RENAME SUBSCRIBE UNSUBSCRIBE LIST LSUB APPEND | Store EXPUNGE CLOSE SEARCH COPY");
    session->State = Imap4NonAuthenticated;
    for (std::string w; in >> w;) {
        if (w == "|") session->State = Imap4Authorization;
        else EXPECT_EQ(Run("a1 " + w + " 1 Work {3}"), "a1 NO Command unrecognized: " + w + "\r\n");
    }
    EXPECT_EQ(Tree(), "inbox");
}

TEST_F(Folders, CreateMakesUnsubscribedLevelsAndSubscriptionsTakeFullNames) {
    EXPECT_EQ(Run("a1 CREATE \"Work\""), "a1 OK CREATE completed\r\n");
    EXPECT_EQ(Tree(), "Work* inbox");
    EXPECT_EQ(Run("a3 SUBSCRIBE Work"), "a3 OK SUBSCRIBE completed\r\n");
    // What exists answers OK and keeps its subscription; missing parents are made, unsubscribed.
    for (const char* name : {"WORK", "a/b", "Work/Sub/", "\"work\\\\Deeper\""}) {
        EXPECT_EQ(Run(std::string("a4 CREATE ") + name), "a4 OK CREATE completed\r\n") << name;
    }
    EXPECT_EQ(Tree(), "Work Work/Deeper* Work/Sub* a* a/b* inbox");
    // A file in the way: nothing is made, and the client is told so.
    Write({{"File", "x"}});
    EXPECT_EQ(Run("a4 CREATE File/Sub"), "a4 NO CREATE fails\r\n");
    Select("Work");  // the selected mailbox does not move the top
    Talk({{"a5 SUBSCRIBE Work/Sub", "a5 OK SUBSCRIBE completed\r\n"}, {"a6 SUBSCRIBE Missing", "a6 OK SUBSCRIBE completed\r\n"},
          {"a7 UNSUBSCRIBE \"/Work\"", "a7 OK UNSUBSCRIBE completed\r\n"}});
    EXPECT_EQ(Tree(), ".subscriptions* File Work* Work/Deeper* Work/Sub a* a/b* inbox");
}

TEST_F(Folders, DeleteRemovesAMailboxWithItsMessagesButNeitherTheInboxNorAParent) {
    Write({{"Empty/uid", "4"}, {"Full/0000000003-000010.MSG", "x"}, {"Full/uid", "9"}, {"Full/.0000000010.incoming", "x"}});
    MakeMailbox("Parent/Child");
    // What a delete left behind when the server stopped half-way: hidden from every listing, and
    // swept by the next delete beside it.
    Write({{".deleted:3:99/0000000001-000000.MSG", "old"}, {".deleted:3:99/Sub/uid", "2"}});
    std::string listed = Run("a0 LIST \"\" *");
    EXPECT_EQ(listed.find("deleted"), std::string::npos) << listed;
    EXPECT_NE(listed.find(" Full\r\n"), std::string::npos) << listed;
    const char *failed = "a1 NO DELETE failed\r\n", *deleted = "a1 OK DELETE successful\r\n";
    Talk({{"a1 DELETE INBOX", failed}, {"a1 DELETE \"inbox\"", failed}, {"a1 DELETE empty", deleted},
          {"a1 DELETE Empty", failed}, {"a1 DELETE Parent", failed}, {"a1 DELETE Full", deleted},
          {"a1 DELETE Parent/Child", deleted}, {"a1 DELETE Parent", deleted}, {"a1 DELETE Missing", failed}});
    EXPECT_EQ(Tree(), ".subscriptions* inbox");
    Write({{"File", "not a mailbox"}});
    EXPECT_EQ(Run("a1 DELETE File"), failed);
    EXPECT_EQ(Tree(), ".subscriptions* File inbox");
}

TEST_F(Folders, DeleteCanKeepRefusingAMailboxThatHoldsMessages) {
    Settings.DeleteFullMailbox = DELETE_FULL_REFUSE;
    Write({{"Empty/uid", "4"}, {"Full/0000000003-000010.MSG", "x"}, {"Full/uid", "9"}});
    MakeMailbox("Parent/Child");
    const char *failed = "a1 NO DELETE failed\r\n", *deleted = "a1 OK DELETE successful\r\n";
    Talk({{"a1 DELETE INBOX", failed}, {"a1 DELETE empty", deleted}, {"a1 DELETE Full", failed},
          {"a1 DELETE Parent", failed}, {"a1 DELETE Parent/Child", deleted}});
    EXPECT_EQ(Tree(), ".subscriptions* Full Full/3-000010 Full/uid Parent inbox");
    // A refused DELETE keeps the next UID: 4 to 8 must not be handed out again.
    EXPECT_EQ(ReadFile(Path("Full/uid")), "9");
    Settings.DeleteFullMailbox = DELETE_FULL_REMOVE;
}

TEST_F(Folders, RenameMovesWholeTreesAndTheInboxsMessages) {
    MakeMailbox("Sent");
    Write({{"Work/Sub/0000000001-000000.MSG", "m"}, {"inbox/0000000001-100000.MSG", "1"}, {"inbox/uid", "2"}});
    const char *fails = "a1 NO RENAME fails\r\n", *renamed = "a1 OK RENAME successful\r\n";
    Talk({{"a1 RENAME Work", "a1 BAD RENAME illegal argument\r\n"}, {"a1 RENAME Missing Other", fails},
          {"a1 RENAME Work SENT", fails}, {"a1 RENAME \"work\" \"Done\"", renamed}, {"a1 RENAME INBOX Old", renamed},
          {"a1 RENAME \"Sent\" {10+}\r\nSent Items", renamed}, {"a1 RENAME Sent Items Other", "a1 BAD RENAME illegal argument\r\n"}});
    EXPECT_EQ(Tree(), "Done* Done/Sub Done/Sub/1-000000 Old* Old/1-100000 Old/uid Sent Items* inbox");
    // A renamed mailbox is unsubscribed; the inbox left behind is not.
    EXPECT_EQ(Run("a2 LSUB \"\" %"), "* LSUB (\\Noselect) \"/\" Done\r\n* LSUB () \"/\" INBOX\r\na2 OK LSUB completed\r\n");
}

TEST_F(Folders, ARenamedMailboxThatCannotBeMarkedUnsubscribedGoesBack) {
    // Extended attributes that fill their room leave none for the mark.
    MakeMailbox("Full");
    const std::string full = Path("Full");
    int nAttribute = 0;
    for (size_t nSize : {4000, 1024, 256, 64, 16, 4, 1}) {
        const std::string value(nSize, 'x');
        while (setxattr(full.c_str(), ("user." + std::to_string(nAttribute)).c_str(), value.data(), nSize, XATTR_CREATE) == 0) {
            nAttribute++;
        }
    }
    if (SetHiddenAttribute(full.c_str(), true)) GTEST_SKIP() << "no bound on extended attributes here";
    EXPECT_EQ(Run("a1 RENAME Full Other"), "a1 NO RENAME fails\r\n");
    EXPECT_EQ(Tree(), "Full inbox");
}

TEST_F(Folders, ListAndLsubShapes) {
    // A tree three levels deep with a sibling; B is unsubscribed, A holds a message, "My Mail" is the trash.
    for (const char* name : {"A/B/C", "D", "My Mail", "back\\slash", "inbox/Kid"}) MakeMailbox(name);
    MakeMailbox("A/B", true);
    Write({{"A/0000000001-000000.MSG", "not a mailbox"}});
    SettingsRecord saved = Settings;
    snprintf(Settings.TrashFolder, sizeof(Settings.TrashFolder), "my mail");
    const std::string a = "(\\HasChildren) \"/\" A", b = "(\\HasChildren) \"/\" A/B", c = "(\\HasNoChildren) \"/\" A/B/C",
                      kid = "(\\HasNoChildren) \"/\" INBOX/Kid", trash = "|(\\HasNoChildren \\Trash) \"/\" \"My Mail\"",
                      top = "|(\\HasNoChildren) \"/\" \"back\\\\slash\"|(\\HasNoChildren) \"/\" D|(\\HasChildren) \"/\" INBOX";
    const std::string all = a + "|" + b + "|" + c + top + "|" + kid + trash;
    const std::pair<const char*, std::string> cases[] = {
        {"LIST \"\" \"*\"", all}, {"LIST / *", all}, {"LIST \"\" %", a + top + trash}, {"LIST \"\" A/%", b},
        {"LIST \"\" a/%/c", c}, {"LIST A/ %", b}, {"LIST A %", a}, {"LIST \"\" %/%", b + "|" + kid}, {"LIST \"\" *C", c},
        {"LIST \"\" inbox", "(\\HasChildren) \"/\" INBOX"}, {"LIST \"\" Inbox/*", kid},
        {"LIST \"\" \"m%\"", "(\\HasNoChildren \\Trash) \"/\" \"My Mail\""},
        // LSUB leaves B out, but names it where a "%" stops above the subscribed C.
        {"LSUB \"\" *", "() \"/\" A|() \"/\" A/B/C|() \"/\" \"back\\\\slash\"|() \"/\" D|() \"/\" INBOX|() \"/\" INBOX/Kid|"
                          "() \"/\" \"My Mail\""},
        {"LSUB \"\" A/%", "(\\Noselect) \"/\" A/B"}, {"LSUB \"\" A/*", "() \"/\" A/B/C"},
        // An empty pattern asks for the delimiter.
        {"LIST \"\" \"\"", "(\\Noselect) \"/\" \"\""}, {"LIST A \"\"", "(\\Noselect) \"/\" \"\""}, {"LSUB \"\" \"\"", ""},
        {"LIST Missing *", ""}, {"LIST \"\" Nothing%", ""}, {"LIST \"\" ../*", ""}, {"LIST .. *", ""},
    };
    for (int selected = 0; selected < 2; selected++) {
        if (selected) Select("A");  // a selected mailbox does not move the top
        for (const auto& [request, lines] : cases) {
            std::string word = std::string(request).substr(0, 4), each = "* " + word + " ";
            std::string expected = lines.empty() ? "" : each + std::regex_replace(lines, std::regex("\\|"), "\r\n" + each) + "\r\n";
            EXPECT_EQ(Run(std::string("a1 ") + request), expected + "a1 OK " + word + " completed\r\n") << request;
        }
    }
    Settings = saved;
    EXPECT_EQ(Run("a1 LIST *"), "a1 BAD LIST illegal argument\r\n");
    EXPECT_EQ(Run("a2 LSUB \"\""), "a2 BAD LSUB illegal argument\r\n");
}

// A name reaching outside the mail directory gets the command's failure line and touches nothing
// (LIST only ever walks the mail directory: such patterns match nothing there).
TEST_F(Folders, NamesLeavingTheMailDirectoryAreRefused) {
    MakeMailbox("Work");
    Write({{"../outside/victim/0000000001-000000.MSG", "keep"}});
    for (std::string request :
         {"CREATE ../outside/new", "CREATE \"..\\\\outside\\\\new\"", "CREATE /tmp/new", "CREATE C:new", "CREATE CON",
          "CREATE ..", "CREATE \"\"", "DELETE ../outside/victim", "DELETE Work/../../outside", "RENAME ../outside/victim Stolen",
          "RENAME Work ../outside/Work", "SUBSCRIBE ../outside/victim", "UNSUBSCRIBE /../outside/victim", "UNSUBSCRIBE \"\""}) {
        std::string word = request.substr(0, request.find(' '));
        EXPECT_EQ(Run("a1 " + request), "a1 NO " + word + (word == "DELETE" ? " failed\r\n" : " fails\r\n")) << request;
    }
    EXPECT_EQ(Tree(tmp.path), "mail mail/Work mail/inbox outside outside/victim outside/victim/1-000000");
}

}  // namespace
