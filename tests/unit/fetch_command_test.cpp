// FETCH as a client sees it: state and argument checks, message sets, the simple items, the
// read mark, and scrambled messages answered from a decoded copy that never stays behind.
#include <gtest/gtest.h>

#include <string>

#include "fetch_support.h"
#include "imap/fetch/fetch.h"
#include "imap/fetch/items.h"

namespace {

const char kSmall[] = "Subject: hi\r\n\r\nbody\r\n";  // 21 bytes

TEST(FetchCommand, StateAndArgumentChecks) {
    FetchFixture f;
    f.AddMessage(1, "000000", kSmall);
    f.session->State = Imap4Authorization;
    EXPECT_EQ(f.Fetch("1 FLAGS"), "a1 NO FETCH invalid command\r\n");
    f.session->State = Veve4Delected;
    EXPECT_EQ(f.Fetch("1"), "a1 BAD FETCH illegal argument\r\n");
    EXPECT_EQ(f.Fetch("1 (FLAGS)"), "* 1 FETCH (FLAGS ())\r\na1 OK FETCH completed\r\n");
}

TEST(FetchCommand, ExcessivelyComplexListIsRefusedOnlyWithAddedUid) {
    FetchFixture f;
    f.AddMessage(5, "000000", kSmall);
    std::string words;
    for (int i = 0; i < 18; i++) {
        words += "FLAGS ";
    }
    // The 19th word is the rest of the text: "RFC822.SIZE UID" is no item word.
    words += "RFC822.SIZE UID";
    EXPECT_EQ(f.Fetch("1 (" + words + ")", true), "a1 NO Excessively complex FETCH attribute list\r\n");
    // Without the UID prefix the same list is taken; its 19th word answers nothing.
    std::string out = f.Fetch("1 (" + words + ")");
    EXPECT_EQ(out.substr(out.size() - 23), "a1 OK FETCH completed\r\n");
    EXPECT_EQ(out.find("RFC822.SIZE"), std::string::npos);
    // Eighteen words and an added UID are fine.
    EXPECT_EQ(f.Fetch("5 (FLAGS FLAGS FLAGS FLAGS FLAGS FLAGS FLAGS FLAGS FLAGS FLAGS FLAGS FLAGS FLAGS "
                      "FLAGS FLAGS FLAGS FLAGS RFC822.SIZE)",
                      true),
              "* 1 FETCH (FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () "
              "FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () FLAGS () RFC822.SIZE 21 UID 5)\r\n"
              "a1 OK FETCH completed\r\n");
}

TEST(FetchCommand, MessageSetForms) {
    FetchFixture f;
    f.AddMessage(3, "000000", kSmall);
    f.AddMessage(7, "000000", kSmall);
    f.AddMessage(9, "000000", kSmall);
    f.AddMessage(12, "000000", kSmall);
    struct SetCase {
        const char* set;
        bool bUid;
        const char* expected;  // the sequence numbers answered, in order
    };
    const SetCase cases[] = {
        {"*", false, "1234"},   {"0", false, "1234"},   {"4:2", false, ""},     {"2:*", false, "234"},
        {"1:3,2", false, "1232"}, {"2", false, "2"},    {"5", false, ""},       {"3:0", false, "34"},
        {"7", true, "2"},       {"8:11", true, "3"},    {"10:*", true, "4"},    {"*", true, "1234"},
        {"12:3", true, ""},     {"9,3", true, "31"},
    };
    for (const SetCase& c : cases) {
        std::string out = f.Fetch(std::string(c.set) + " (RFC822.SIZE)", c.bUid);
        std::string answered;
        for (size_t pos = 0; (pos = out.find("* ", pos)) != std::string::npos; pos += 2) {
            answered += out[pos + 2];
        }
        EXPECT_EQ(answered, c.expected) << c.set << " uid=" << c.bUid;
        EXPECT_EQ(out.substr(out.size() - 23), "a1 OK FETCH completed\r\n");
    }
}

TEST(FetchCommand, SimpleItemsAndSeparators) {
    FetchFixture f;
    f.AddMessage(7, "111111", kSmall);
    f.AddMessage(8, "010110", "a\r\nb\r\n.\r\nafter the end\r\n");
    f.AddMessage(9, "000000", "no line end");
    EXPECT_EQ(f.Fetch("7 (FLAGS)", true),
              "* 1 FETCH (FLAGS (\\Recent \\Answered \\Deleted \\Flagged \\Seen \\Draft) UID 7)\r\n"
              "a1 OK FETCH completed\r\n");
    // An unknown word leaves no gap, and nothing is written before the first item.
    EXPECT_EQ(f.Fetch("2 (XYZ FLAGS XYZ UID RFC822.HEADER.LINES XYZ)"),
              "* 2 FETCH (FLAGS (\\Answered \\Deleted \\Seen) UID 8)\r\na1 OK FETCH completed\r\n");
    // The size stops before a ".\r\n" line; a last line without its end still counts.
    EXPECT_EQ(f.Fetch("2:3 RFC822.SIZE"),
              "* 2 FETCH (RFC822.SIZE 6)\r\n* 3 FETCH (RFC822.SIZE 11)\r\na1 OK FETCH completed\r\n");
    EXPECT_EQ(f.Fetch("1 (flags uid)"),
              "* 1 FETCH (FLAGS (\\Recent \\Answered \\Deleted \\Flagged \\Seen \\Draft) UID 7)\r\n"
              "a1 OK FETCH completed\r\n");
    // Lower-case macro words are no macros.
    EXPECT_EQ(f.Fetch("1 fast"), "* 1 FETCH ()\r\na1 OK FETCH completed\r\n");
    // Text before a macro is dropped, UID included.
    std::string out = f.Fetch("1 (UID FAST)");
    EXPECT_EQ(out.rfind("* 1 FETCH (FLAGS (\\Recent \\Answered \\Deleted \\Flagged \\Seen \\Draft) INTERNALDATE \"", 0), 0u)
        << out;
    EXPECT_NE(out.find("\" RFC822.SIZE 21)\r\na1 OK FETCH completed\r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("UID"), std::string::npos);
}

TEST(FetchCommand, InternalDateIsTheWriteTimeInImapForm) {
    FetchFixture f;
    std::string name = f.AddMessage(1, "000000", kSmall);
    std::string path = f.dir.path + "/" + name;
    // 2026-12-05 20:49:07 UTC as the write time; the access time elsewhere must not matter.
    ASSERT_TRUE(SetFileTimes(path, 1000000000, 1796503747));
    const char* pszOldZone = getenv("TZ");
    std::string oldZone = pszOldZone != nullptr ? pszOldZone : "";
    setenv("TZ", "UTC", 1);
    EXPECT_EQ(f.Fetch("1 INTERNALDATE"),
              "* 1 FETCH (INTERNALDATE \"05-Dec-2026 20:49:07 +0000\")\r\na1 OK FETCH completed\r\n");
    setenv("TZ", "JST-9", 1);
    EXPECT_EQ(f.Fetch("1 INTERNALDATE"),
              "* 1 FETCH (INTERNALDATE \"06-Dec-2026 05:49:07 +0900\")\r\na1 OK FETCH completed\r\n");
    if (pszOldZone != nullptr) {
        setenv("TZ", oldZone.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    // A message file that is gone by the time the item is written.
    f.SelectMessage("0000000099-000000.MSG");
    EXPECT_EQ(f.Capture([&] { WriteInternalDate(f.session.get()); }), "INTERNALDATE NIL");
}

TEST(FetchCommand, ReadMarkClearsRecentOnlyForNonPeekBodyItems) {
    struct MarkCase {
        const char* items;
        bool bCleared;
    };
    const MarkCase cases[] = {
        {"BODY[]", true},           {"BODY.PEEK[]", false},      {"BODY.PEEK[]<0.100>", false},
        {"BODY[]<0.5>", true},      {"RFC822", true},            {"RFC822.PEEK", false},
        {"RFC822.HEADER", false},   {"RFC822.TEXT", true},       {"RFC822.TEXT.PEEK", false},
        {"BODY[TEXT]", true},       {"body.peek[text]", false},  {"BODY[HEADER]", true},
        {"BODY.PEEK[HEADER]", false}, {"BODY[HEADER.FIELDS (SUBJECT)]", true},
        {"BODY.PEEK[HEADER.FIELDS.NOT (SUBJECT)]", false}, {"BODY[1]", true}, {"BODY.PEEK[1]", false},
        {"BODY[X]", true},          {"ENVELOPE", false},         {"BODYSTRUCTURE", false},
        {"FLAGS", false},           {"ALL", false},
    };
    for (const MarkCase& c : cases) {
        FetchFixture f;
        f.AddMessage(4, "100010", kSmall);
        std::string out = f.Fetch(std::string("1 (FLAGS ") + c.items + ")");
        // FLAGS shows the flags from before the rename.
        EXPECT_EQ(out.rfind("* 1 FETCH (FLAGS (\\Recent \\Seen)", 0), 0u) << c.items;
        std::vector<std::string> expected = {c.bCleared ? "0000000004-000010.MSG" : "0000000004-100010.MSG"};
        EXPECT_EQ(f.Entries(), expected) << c.items;
    }
}

TEST(FetchCommand, RenamedMessageIsNotMetAgainInTheSameWalk) {
    FetchFixture f;
    f.AddMessage(1, "100000", kSmall);
    f.AddMessage(2, "100000", kSmall);
    EXPECT_EQ(f.Fetch("1:* (UID BODY[TEXT])"),
              "* 1 FETCH (UID 1 BODY[TEXT] {6}\r\nbody\r\n)\r\n"
              "* 2 FETCH (UID 2 BODY[TEXT] {6}\r\nbody\r\n)\r\n"
              "a1 OK FETCH completed\r\n");
    EXPECT_EQ(f.Entries(), (std::vector<std::string>{"0000000001-000000.MSG", "0000000002-000000.MSG"}));
}

const char kMultipart[] =
    "From: a@b\r\n"
    "Subject: scrambled\r\n"
    "Content-Type: multipart/mixed; boundary=\"xx\"\r\n"
    "\r\n"
    "--xx\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "first\r\n"
    "--xx--\r\n";

TEST(FetchCommand, ScrambledMessageIsAnsweredFromItsDecodedCopy) {
    FetchFixture plain;
    plain.AddMessage(3, "100000", kMultipart);
    FetchFixture scrambled;
    scrambled.AddScrambledMessage(3, "100000", kMultipart, 0x5A);
    const char* itemLists[] = {
        "RFC822.SIZE", "BODY.PEEK[]", "BODY.PEEK[]<3.7>", "RFC822.HEADER", "BODY.PEEK[TEXT]",
        "BODY.PEEK[HEADER.FIELDS (SUBJECT)]", "BODY.PEEK[1]", "BODY.PEEK[1.MIME]", "ENVELOPE", "BODY",
        "BODYSTRUCTURE", "UID FLAGS",
    };
    for (const char* items : itemLists) {
        std::string expected = plain.Fetch(std::string("1 (") + items + ")");
        EXPECT_EQ(scrambled.Fetch(std::string("1 (") + items + ")"), expected) << items;
        EXPECT_EQ(scrambled.Entries(), std::vector<std::string>{"0000000003-100000.MSG"}) << items;
    }
    // The read mark renames the scrambled file itself, never the copy.
    scrambled.Fetch("1 BODY[1]");
    EXPECT_EQ(scrambled.Entries(), std::vector<std::string>{"0000000003-000000.MSG"});
}

TEST(FetchCommand, DecodedCopyIsRemovedWhenTheSendFails) {
    FetchFixture f;
    f.AddScrambledMessage(1, "000000", kMultipart, 0x21);
    f.AddScrambledMessage(2, "000000", kMultipart, 0x21);
    EXPECT_EQ(f.FetchToClosedPeer("1:* (BODY.PEEK[])"), 1);
    EXPECT_EQ(f.Entries(), (std::vector<std::string>{"0000000001-000000.MSG", "0000000002-000000.MSG"}));
}

TEST(FetchCommand, LeftoverDecodedCopyIsNeverAMessage) {
    FetchFixture f;
    f.AddMessage(1, "000000", kSmall);
    WriteFile(f.dir.path + "/0000000001-000000_3.ENC", kSmall);
    EXPECT_EQ(f.Fetch("1:* UID"), "* 1 FETCH (UID 1)\r\na1 OK FETCH completed\r\n");
}

TEST(FetchCommand, DecodedCopiesOfTwoLoginsAreKeptApart) {
    FetchFixture f;
    f.AddScrambledMessage(1, "000000", kSmall, 0x33);
    // Another login's copy of the same message is there while this one answers.
    WriteFile(f.dir.path + "/0000000001-000000_8.ENC", "other session's copy");
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[TEXT]"), "* 1 FETCH (BODY[TEXT] {6}\r\nbody\r\n)\r\na1 OK FETCH completed\r\n");
    EXPECT_EQ(f.Entries(), (std::vector<std::string>{"0000000001-000000.MSG", "0000000001-000000_8.ENC"}));
}

}  // namespace
