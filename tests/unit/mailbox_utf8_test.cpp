// Mailbox names in UTF-8 for a client that enabled IMAP4rev2, kept on disk in modified UTF-7:
// the conversions both ways, and every command that takes or answers a name.
#include "imap/mailbox_name.h"
#include "imap/mailbox_utf8.h"
#include "mail_session.h"

namespace {

TEST(MailboxUtf8, NamesRoundTripBetweenUtf8AndTheStoredSpelling) {
    const Pair both[] = {
        {"Work", "Work"}, {"", ""}, {"AT&T", "AT&-T"}, {"&", "&-"}, {"&-", "&--"}, {"Entwürfe", "Entw&APw-rfe"},
        {"台北", "&U,BTFw-"}, {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"}, {"Ä Ö", "&AMQ- &ANY-"},
        {"ÄÖ", "&AMQA1g-"}, {"été", "&AOk-t&AOk-"}, {"😀", "&2D3eAA-"}, {"Проекты", "&BB8EQAQ+BDUEOgRCBEs-"},
        {"\xef\xbf\xbd", "&,,0-"}, {"\xf4\x8f\xbf\xbf", "&2,,f,w-"}, {"a+b,c-d", "a+b,c-d"},
    };
    for (const auto& [utf8, stored] : both) {
        EXPECT_EQ(CheckUtf8MailboxName(utf8), UTF8_NAME_OK) << utf8;
        EXPECT_EQ(EncodeModifiedUtf7(utf8), stored) << utf8;
        std::string decoded = "(none)";
        EXPECT_TRUE(DecodeModifiedUtf7(stored, &decoded)) << stored;
        EXPECT_EQ(decoded, utf8) << stored;
    }
    // Stored spellings no encoder writes: "&" left bare or unended, bytes outside printable
    // ASCII, an ASCII letter in base64, two runs side by side, padding bits set or a whole spare
    // character, half a UTF-16 unit, surrogates without their partner, a character outside base64.
    for (const char* stored : {"A&B", "&AMQ", "&", "Ä", "a\tb", "&AGE-", "&AMQ-&ANY-", "&AMR-", "&AMQA-", "&AMQAA-",
                               "&2D0-", "&3gA-", "&3gDYPQ-", "&AM/-", "&A-", "a\x7f"}) {
        std::string decoded = "(kept)";
        EXPECT_FALSE(DecodeModifiedUtf7(stored, &decoded)) << stored << " read as " << decoded;
        EXPECT_EQ(decoded, "(kept)") << stored;
    }
}

TEST(MailboxUtf8, ClientTextIsCheckedAsUtf8AndForNamesNoMailboxMayHold) {
    for (const char* text : {"\xc3", "\xc3(", "\x80", "\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xe0\x9f\xbf", "\xed\xa0\x80",
                             "\xed\xbf\xbf", "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf8\x88\x80\x80\x80",
                             "\xff", "ok\xe2\x82", "Caf\xe9"}) {
        EXPECT_EQ(CheckUtf8MailboxName(text), UTF8_NAME_MALFORMED) << text;
    }
    for (const char* text : {"a\x01", "tab\there", "line\r\nbreak", "\x7f", "\xc2\x80", "\xc2\x85", "\xc2\x9f", "a\xe2\x80\xa8",
                             "\xe2\x80\xa9"}) {
        EXPECT_EQ(CheckUtf8MailboxName(text), UTF8_NAME_FORBIDDEN) << text;
    }
    for (const char* text : {"\xc2\xa0", "\xed\x9f\xbf", "\xee\x80\x80", "\xe2\x80\xa7", "\xf0\x90\x80\x80"}) {
        EXPECT_EQ(CheckUtf8MailboxName(text), UTF8_NAME_OK) << text;
    }
}

TEST(MailboxUtf8, StoredNamesAreShownLevelByLevel) {
    const std::pair<const char*, const char*> shown[] = {
        {"Entw&APw-rfe/AT&T/&U,BTFw-", "Entwürfe/AT&T/台北"},
        // A directory named in UTF-8 by hand, or with a control character that was encoded.
        {"Проекты/&AMQ-", "Проекты/Ä"}, {"&AAE-", "&AAE-"}, {"a&-b", "a&b"}, {"INBOX/&AOk-t&AOk-", "INBOX/été"},
        // Another character set's bytes cannot be shown in UTF-8 at any level.
        {"Caf\xe9", nullptr}, {"a/\xff/b", nullptr}, {"tab\there", nullptr},
    };
    for (const auto& [stored, utf8] : shown) {
        std::string out;
        EXPECT_EQ(StoredNameToUtf8(stored, &out), utf8 != nullptr) << stored;
        if (utf8 != nullptr) {
            EXPECT_EQ(out, utf8) << stored;
        }
    }
}

struct Utf8Names : MailSession {
    void SetUp() override {
        MailSession::SetUp();
        EXPECT_EQ(Run("e1 ENABLE IMAP4rev2"), "* ENABLED IMAP4rev2\r\ne1 OK ENABLE completed\r\n");
    }
};

TEST_F(Utf8Names, FolderCommandsTakeUtf8AndKeepTheStoredSpelling) {
    Talk({{"a1 CREATE \"Entwürfe/Woche\"", "a1 OK CREATE completed\r\n"},
          {"a2 CREATE {9+}\r\n日本語", "a2 OK CREATE completed\r\n"},
          {"a3 SUBSCRIBE Entwürfe", "a3 OK SUBSCRIBE completed\r\n"},
          {"a4 RENAME \"日本語\" \"台北\"", "* LIST () \"/\" \"台北\" (\"OLDNAME\" (\"日本語\"))\r\na4 OK RENAME successful\r\n"},
          {"a5 CREATE \"AT&T\"", "a5 OK CREATE completed\r\n"},
          {"a6 DELETE \"AT&T\"", "a6 OK DELETE successful\r\n"}});
    EXPECT_EQ(Tree(), "&U,BTFw-* Entw&APw-rfe Entw&APw-rfe/Woche* inbox");
    // A client of the stored spelling sees and uses the same mailboxes under it.
    OtherSession rev1(mailDir);
    rev1.Talk({{"b1 LIST \"\" *", "* LIST (\\HasNoChildren) \"/\" &U,BTFw-\r\n* LIST (\\HasChildren) \"/\" Entw&APw-rfe\r\n"
                                  "* LIST (\\HasNoChildren) \"/\" Entw&APw-rfe/Woche\r\n* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
                                  "b1 OK LIST completed\r\n"},
               {"b2 RENAME Entw&APw-rfe/Woche Entw&APw-rfe/Tag", "b2 OK RENAME successful\r\n"}});
    Talk({{"a7 LIST \"\" *", "* LIST (\\HasNoChildren) \"/\" \"台北\"\r\n* LIST (\\HasChildren) \"/\" \"Entwürfe\"\r\n"
                             "* LIST (\\HasNoChildren) \"/\" \"Entwürfe/Tag\"\r\n* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
                             "a7 OK LIST completed\r\n"},
          // Patterns are UTF-8 too, and match what the client is shown.
          {"a8 LSUB \"\" \"Entw*\"", "* LSUB () \"/\" \"Entwürfe\"\r\na8 OK LSUB completed\r\n"},
          {"a9 LIST \"Entwürfe/\" %", "* LIST (\\HasNoChildren) \"/\" \"Entwürfe/Tag\"\r\na9 OK LIST completed\r\n"},
          {"b1 UNSUBSCRIBE \"Entwürfe\"", "b1 OK UNSUBSCRIBE completed\r\n"},
          {"b2 DELETE \"Entwürfe/Tag\"", "b2 OK DELETE successful\r\n"}});
    EXPECT_EQ(Tree(), "&U,BTFw-* Entw&APw-rfe* inbox");
}

TEST_F(Utf8Names, NamesThatAreNoUtf8OrHoldControlsAreRefusedAndNothingIsMade) {
    const char* bad = " BAD %s illegal argument\r\n";
    const char* cannot = " NO [CANNOT] %s fails\r\n";
    const std::pair<std::string, const char*> refused[] = {
        {"CREATE {4+}\r\nCaf\xe9", bad}, {"CREATE \"\xc3(\"", bad}, {"CREATE \"\xed\xa0\x80\"", bad},
        {"CREATE {4+}\r\na\r\nb", cannot}, {"CREATE \"next\xc2\x85line\"", cannot}, {"CREATE \"a\xe2\x80\xa8\"", cannot},
        {"RENAME inbox {4+}\r\nCaf\xe9", bad}, {"RENAME \"\xff\" Other", bad}, {"SUBSCRIBE \"\xc3\xa9\xc3\"", bad},
        {"SELECT \"\xff\"", bad}, {"EXAMINE \"a\xc2\x85\"", cannot}, {"STATUS \"\xff\" (MESSAGES)", bad},
        {"DELETE \"x\xc2\x9f\"", cannot}, {"LIST \"\" \"\xff*\"", bad}, {"LIST \"\xc0\" *", bad},
        {"LIST (SUBSCRIBED) \"\" (\"a\" \"\xe0\x80\x80\")", bad}, {"LSUB \"\" \"\xc3\"", bad},
        {"APPEND \"\xff\" {1+}\r\nx", bad}, {"APPEND \"\xc2\x9b\" {1+}\r\nx", cannot},
    };
    for (const auto& [request, answer] : refused) {
        std::string word = request.substr(0, request.find(' '));
        char expected[128];
        snprintf(expected, sizeof(expected), answer, word.c_str());
        EXPECT_EQ(Run("a1 " + request), "a1" + std::string(expected)) << request;
    }
    EXPECT_EQ(Tree(), "inbox");
    // Without IMAP4rev2 such bytes are a name like any other, as they always were.
    OtherSession rev1(mailDir);
    rev1.Talk({{"b1 CREATE {4+}\r\nCaf\xe9", "b1 OK CREATE completed\r\n"}});
    EXPECT_EQ(Tree(), "Caf\xe9* inbox");
}

TEST_F(Utf8Names, MailboxesNamedOtherwiseOnDiskAreShownAndFoundAsTheyAre) {
    // Made by hand or by a client that never encoded: UTF-8 bytes, a bare "&", Latin-1 bytes.
    for (const char* name : {"Проекты", "AT&T", "Caf\xe9", "Caf\xe9/Sub", "Ä"}) MakeMailbox(name);
    // Latin-1 cannot be shown in UTF-8: left out, with what lies below it.
    Talk({{"a1 LIST \"\" *", "* LIST (\\HasNoChildren) \"/\" AT&T\r\n* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
                             "* LIST (\\HasNoChildren) \"/\" \"Ä\"\r\n* LIST (\\HasNoChildren) \"/\" \"Проекты\"\r\n"
                             "a1 OK LIST completed\r\n"},
          {"a2 STATUS \"Ä\" (MESSAGES)", "* STATUS \"Ä\" (MESSAGES 0)\r\na2 OK STATUS completed\r\n"},
          {"a3 CREATE \"Проекты/2026\"", "a3 OK CREATE completed\r\n"},
          {"a4 CREATE \"AT&T/Sub\"", "a4 OK CREATE completed\r\n"},
          // The text "&AMQ-" is no spelling of "Ä" here: it is a name of its own.
          {"a5 CREATE \"&AMQ-\"", "a5 OK CREATE completed\r\n"}});
    // Once a mailbox of the encoded spelling exists, it is the one a name finds.
    OtherSession rev1(mailDir);
    rev1.Talk({{"b1 CREATE &AMQ-", "b1 OK CREATE completed\r\n"}});
    EXPECT_EQ(Run("a6 CREATE \"Ä/Sub\""), "a6 OK CREATE completed\r\n");
    EXPECT_EQ(Tree(), "&-AMQ-* &AMQ-* &AMQ-/Sub* AT&T AT&T/Sub* Caf\xe9 Caf\xe9/Sub inbox Ä Проекты Проекты/2026*");
    // LSUB names no unsubscribed level on the way to a subscribed mailbox the client cannot see.
    MakeMailbox("Old", true);
    MakeMailbox("Old/Caf\xe9");
    MakeMailbox("Older/Neu", true);
    MakeMailbox("Older/Neu/\xc3\xa4");
    EXPECT_EQ(Run("a8 LSUB \"\" Old%"), "* LSUB () \"/\" Older\r\na8 OK LSUB completed\r\n");
    EXPECT_EQ(Run("a9 LSUB \"\" Older/%"), "* LSUB (\\Noselect) \"/\" Older/Neu\r\na9 OK LSUB completed\r\n");
    EXPECT_EQ(Run("a7 LIST \"\" \"*&*\""), "* LIST (\\HasNoChildren) \"/\" &AMQ-\r\n* LIST (\\HasChildren) \"/\" AT&T\r\n"
                                          "* LIST (\\HasNoChildren) \"/\" AT&T/Sub\r\na7 OK LIST completed\r\n");
}

TEST_F(Utf8Names, MessageCommandsFindTheirMailboxesByUtf8Names) {
    MakeMailbox("&U,BTFw-");
    MakeMailbox("Entw&APw-rfe");
    Write({{"Entw&APw-rfe/0000000007-000010.MSG", "Subject: draft\r\n\r\nbody\r\n"}, {"Entw&APw-rfe/uid", "8"}});
    std::string selected = Run("a1 SELECT \"Entwürfe\"");
    EXPECT_TRUE(selected.ends_with("a1 OK [READ-WRITE] SELECT completed\r\n")) << selected;
    EXPECT_NE(selected.find("* 1 EXISTS\r\n"), std::string::npos) << selected;
    const std::string copied = Run("a2 UID COPY 7 \"台北\"");
    EXPECT_TRUE(copied.ends_with(" COPY completed\r\n") && copied.starts_with("a2 OK")) << copied;
    const std::string appended = Run("a3 APPEND \"台北\" {8+}\r\nSubject:");
    EXPECT_TRUE(appended.starts_with("a3 OK") && appended.ends_with(" APPEND completed\r\n")) << appended;
    // CATENATE's URLs name the mailbox in %-escaped UTF-8.
    const std::string catenated = Run("a4 APPEND \"台北\" CATENATE (URL \"/Entw%C3%BCrfe/;UID=7\" TEXT {4+}\r\nmore)");
    EXPECT_TRUE(catenated.starts_with("a4 OK") && catenated.ends_with(" APPEND completed\r\n")) << catenated;
    EXPECT_EQ(Run("a5 STATUS \"台北\" (MESSAGES)"), "* STATUS \"台北\" (MESSAGES 3)\r\na5 OK STATUS completed\r\n");
    EXPECT_EQ(Run("a6 LIST \"\" \"台*\" RETURN (STATUS (MESSAGES))"),
              "* LIST (\\HasNoChildren) \"/\" \"台北\"\r\n* STATUS \"台北\" (MESSAGES 3)\r\na6 OK LIST completed\r\n");
    const std::string moved = Run("a7 UID MOVE 7 \"台北\"");
    EXPECT_NE(moved.find(" MOVE completed\r\n"), std::string::npos) << moved;
    EXPECT_NE(Run("a8 EXAMINE \"台北\"").find("* 4 EXISTS\r\n"), std::string::npos);
    // The stored spelling names nothing for a UTF-8 client; the mailbox it had open is closed all the same.
    EXPECT_EQ(Run("a9 SELECT \"Entw&APw-rfe\""), "* OK [CLOSED] Previous mailbox closed\r\na9 NO No such mailbox\r\n");
}

TEST_F(Utf8Names, SubscriptionsWithoutAMailboxKeepTheStoredSpelling) {
    const std::string inbox = "* LIST (\\HasNoChildren \\Subscribed) \"/\" INBOX\r\n";
    EXPECT_EQ(Run("a1 SUBSCRIBE \"Ünknown\""), "a1 OK SUBSCRIBE completed\r\n");
    EXPECT_EQ(Run("a2 LIST (SUBSCRIBED) \"\" *"),
              inbox + "* LIST (\\Subscribed \\NonExistent) \"/\" \"Ünknown\"\r\na2 OK LIST completed\r\n");
    OtherSession rev1(mailDir);
    rev1.Talk({{"b1 LIST (SUBSCRIBED) \"\" *",
                inbox + "* LIST (\\Subscribed \\NonExistent) \"/\" &ANw-nknown\r\nb1 OK LIST completed\r\n"},
               {"b2 CREATE &ANw-nknown", "b2 OK CREATE completed\r\n"}});
    // Made under the stored spelling, it is the mailbox the subscription waited for.
    EXPECT_EQ(Run("a3 LIST (SUBSCRIBED) \"\" *"),
              "* LIST (\\HasNoChildren \\Subscribed) \"/\" \"Ünknown\"\r\n" + inbox + "a3 OK LIST completed\r\n");
}

}  // namespace
