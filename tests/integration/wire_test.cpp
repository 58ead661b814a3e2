// What a client sees of the connection itself: the capabilities it is told without asking, ID,
// UNSELECT, how long a command may be, and LITERAL-.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_server.h"

namespace {

using Registry = TestServer;
using Lines = std::vector<std::string>;

std::string Last(const Lines& lines) { return lines.empty() ? "(nothing)" : lines.back(); }

std::string Dword(const std::string& name, unsigned value) {
    char szValue[16];
    snprintf(szValue, sizeof(szValue), "%08x", value);
    return "\"" + name + "\"=dword:" + szValue + "\n";
}

const std::string kPreLogin =
    "IMAP4 IMAP4rev1 IMAP4rev2 NAMESPACE IDLE LITERAL+ CHILDREN SPECIAL-USE UIDPLUS MOVE ENABLE CONDSTORE QRESYNC SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 "
    "AUTH=LOGIN BINARY MULTIAPPEND CATENATE ID UNSELECT SORT SORT=DISPLAY THREAD=ORDEREDSUBJECT THREAD=REFERENCES";
const std::string kLoggedIn =
    "IMAP4 IMAP4rev1 IMAP4rev2 NAMESPACE IDLE LITERAL+ CHILDREN SPECIAL-USE UIDPLUS MOVE ENABLE CONDSTORE QRESYNC SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 "
    "AUTH=LOGIN APPENDLIMIT=67108864 ESEARCH SEARCHRES CONTEXT=SEARCH LIST-EXTENDED LIST-STATUS STATUS=SIZE "
    "BINARY MULTIAPPEND CATENATE ID UNSELECT COMPRESS=DEFLATE SORT SORT=DISPLAY ESORT CONTEXT=SORT THREAD=ORDEREDSUBJECT THREAD=REFERENCES";

// RFC 2971's largest ID: 30 pairs, fields of 30 bytes and values of 1024 (imaptest's `id` sends it
// before login, a line of 31 KB).
std::string LargestId() {
    std::string text = "ID (";
    for (int i = 0; i < 30; i++) {
        if (i > 0) text += " ";
        text += "\"" + std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i) + std::string(27, 'f') + "\"";
        text += " \"" + std::string(1024, 'v') + "\"";
    }
    return text + ")";
}

class Wire : public ::testing::Test {
protected:
    void Start(const std::string& values = "") {
        server.AddUser("ann", "pw");
        ASSERT_TRUE(server.Start(Registry::UserFileRegistry(values.empty() ? "" : Registry::ServiceKey(values))))
            << server.Output();
    }
    TestServer server;
};

TEST_F(Wire, CapabilitiesComeWithTheGreetingAndTheLogin) {
    Start();
    ImapClient client;
    client.keepCapabilityCodes = true;
    ASSERT_TRUE(client.Connect(server.port));
    EXPECT_EQ(client.ReadLine(), "* OK [CAPABILITY " + kPreLogin + "] Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
    EXPECT_EQ(client.Command("c", "CAPABILITY"), (Lines{"* CAPABILITY " + kPreLogin + "\r\n", "c OK CAPABILITY completed\r\n"}));
    EXPECT_EQ(client.Command("x", "LOGIN ann wrong"), Lines{"x NO LOGIN fails\r\n"});
    EXPECT_EQ(client.Command("l", "LOGIN ann pw"), Lines{"l OK [CAPABILITY " + kLoggedIn + "] LOGIN completed\r\n"});
    EXPECT_EQ(client.Command("d", "CAPABILITY")[0], "* CAPABILITY " + kLoggedIn + "\r\n");

    ImapClient other;
    other.keepCapabilityCodes = true;
    ASSERT_TRUE(other.Connect(server.port));
    other.ReadLine();
    // "\0ann\0pw" in base64.
    EXPECT_EQ(other.Command("a", "AUTHENTICATE PLAIN AGFubgBwdw=="),
              Lines{"a OK [CAPABILITY " + kLoggedIn + "] AUTHENTICATE completed\r\n"});
}

TEST_F(Wire, IdNamesTheServerInEveryState) {
    Start();
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    const Lines kAnswer{"* ID (\"name\" \"veve4d\" \"vendor\" \"Velmora\" \"version\" \"0.07\")\r\n", "i OK ID completed\r\n"};
    EXPECT_EQ(client.Command("i", "ID (\"name\" \"Thunderbird\" \"version\" \"115.0\")"), kAnswer);
    EXPECT_EQ(client.Command("i", "ID NIL"), kAnswer);
    EXPECT_EQ(client.Command("i", "ID ({4+}\r\nname NIL \"os\" \"linux\")"), kAnswer);
    // The largest list RFC 2971 allows, on one long line before login.
    EXPECT_EQ(client.Command("i", LargestId()), kAnswer);
    // What is not a list of pairs, or goes past RFC 2971's bounds, is refused; the session goes on.
    for (const char* bad : {"ID", "ID ()x", "ID (\"name\")", "ID (name \"x\")", "ID (\"name\" \"x\"", "ID NILS",
                            "ID (\"name\"  \"x\")"}) {
        EXPECT_EQ(Last(client.Command("b", bad)).substr(0, 6), "b BAD ") << bad;
    }
    EXPECT_EQ(Last(client.Command("b", "ID (\"" + std::string(31, 'f') + "\" NIL)")), "b BAD ID illegal argument\r\n");
    EXPECT_EQ(Last(client.Command("b", "ID (\"f\" \"" + std::string(1025, 'v') + "\")")), "b BAD ID illegal argument\r\n");
    std::string thirtyOne = "ID (";
    for (int i = 0; i < 31; i++) thirtyOne += std::string(i > 0 ? " " : "") + "\"f" + std::to_string(i) + "\" NIL";
    EXPECT_EQ(Last(client.Command("b", thirtyOne + ")")), "b BAD ID illegal argument\r\n");
    ASSERT_TRUE(Last(client.Command("l", "LOGIN ann pw")).starts_with("l OK"));
    EXPECT_EQ(client.Command("i", "ID NIL"), kAnswer);
}

TEST_F(Wire, IdCanKeepTheVersionQuiet) {
    Start(Dword("IdHideVersion", 1));
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    EXPECT_EQ(client.Command("i", "ID NIL"),
              (Lines{"* ID (\"name\" \"veve4d\" \"vendor\" \"Velmora\")\r\n", "i OK ID completed\r\n"}));
}

TEST_F(Wire, UnselectLeavesWithoutExpunging) {
    Start();
    ImapClient client;
    ASSERT_TRUE(client.LoggedIn(server.port, "ann", "pw"));
    EXPECT_EQ(Last(client.Command("u", "UNSELECT")), "u NO Command unrecognized: UNSELECT\r\n");
    for (const char* tag : {"a1", "a2"}) {
        ASSERT_TRUE(Last(client.Command(tag, "APPEND INBOX {6+}\r\nhello!")).starts_with(std::string(tag) + " OK"));
    }
    ASSERT_EQ(Last(client.Command("s", "SELECT INBOX")), "s OK [READ-WRITE] SELECT completed\r\n");
    ASSERT_TRUE(Last(client.Command("d", "STORE 1 +FLAGS.SILENT (\\Deleted)")).starts_with("d OK"));
    EXPECT_EQ(Last(client.Command("u", "UNSELECT now")), "u BAD UNSELECT illegal argument\r\n");
    EXPECT_EQ(client.Command("u", "UNSELECT"), Lines{"u OK UNSELECT completed\r\n"});
    // Out of the mailbox: commands that need one are refused, and nothing was removed.
    EXPECT_EQ(Last(client.Command("f", "FETCH 1 FLAGS")), "f NO FETCH invalid command\r\n");
    Lines status = client.Command("t", "STATUS INBOX (MESSAGES)");
    EXPECT_EQ(status.front(), "* STATUS INBOX (MESSAGES 2)\r\n");
    // CLOSE, by contrast, removes what is marked.
    ASSERT_TRUE(Last(client.Command("s", "SELECT INBOX")).starts_with("s OK"));
    ASSERT_TRUE(Last(client.Command("c", "CLOSE")).starts_with("c OK"));
    EXPECT_EQ(client.Command("t", "STATUS INBOX (MESSAGES)").front(), "* STATUS INBOX (MESSAGES 1)\r\n");
}

// IMAP4rev2's rules are the enabling connection's own: another one, at the same time on the same
// mailbox, keeps IMAP4rev1's answers.
TEST_F(Wire, Imap4Rev2IsTheEnablingConnectionsOwn) {
    Start();
    ImapClient rev2, rev1;
    ASSERT_TRUE(rev2.LoggedIn(server.port, "ann", "pw"));
    ASSERT_TRUE(rev1.LoggedIn(server.port, "ann", "pw"));
    ASSERT_TRUE(Last(rev1.Command("a", "APPEND INBOX {6+}\r\nhello!")).starts_with("a OK"));
    EXPECT_EQ(rev2.Command("e", "ENABLE IMAP4rev2"), (Lines{"* ENABLED IMAP4rev2\r\n", "e OK ENABLE completed\r\n"}));
    Lines selected = rev2.Command("s", "SELECT INBOX");
    for (const std::string& line : selected) EXPECT_FALSE(Has(line, "RECENT") || Has(line, "UNSEEN")) << line;
    EXPECT_EQ(selected.end()[-2], "* LIST (\\HasNoChildren) \"/\" INBOX\r\n");
    EXPECT_EQ(rev2.Command("f", "SEARCH ALL"), (Lines{"* ESEARCH (TAG \"f\") ALL 1\r\n", "f OK SEARCH completed\r\n"}));
    Lines other = rev1.Command("s", "SELECT INBOX");
    EXPECT_EQ(other[1], "* 0 RECENT\r\n");
    EXPECT_EQ(rev1.Command("f", "SEARCH ALL"), (Lines{"* SEARCH 1\r\n", "f OK SEARCH completed\r\n"}));
    // New mail reaches both, with RECENT only where it exists.
    ASSERT_TRUE(Last(rev1.Command("b", "APPEND INBOX {6+}\r\nhello!")).starts_with("b OK"));
    EXPECT_EQ(rev2.Command("n", "NOOP"), (Lines{"* 2 EXISTS\r\n", "n OK NOOP completed\r\n"}));
}

// A command longer than the limit is read to its end and refused; the next one is understood.
TEST_F(Wire, LineLengthIsARegistryValue) {
    Start(Dword("MaxLineLength", 2000));
    ImapClient client;
    ASSERT_TRUE(client.LoggedIn(server.port, "ann", "pw"));
    // "n NOOP " and the padding: the line without its CR LF at the limit, then one byte over it.
    EXPECT_EQ(client.Command("n", "NOOP " + std::string(2000 - 7, 'x')), Lines{"n OK NOOP completed\r\n"});
    EXPECT_EQ(client.Command("n", "NOOP " + std::string(2000 - 6, 'x')), Lines{"n BAD Command line too long\r\n"});
    // Literals read into the command count.
    EXPECT_EQ(client.Command("m", "NOOP {3000+}\r\n" + std::string(3000, 'y')), Lines{"m BAD Command line too long\r\n"});
    EXPECT_EQ(client.Command("o", "NOOP"), Lines{"o OK NOOP completed\r\n"});
}

TEST_F(Wire, LinesOf64KiBByDefault) {
    Start();
    ImapClient client;
    ASSERT_TRUE(client.LoggedIn(server.port, "ann", "pw"));
    EXPECT_EQ(client.Command("n", "NOOP " + std::string(65536 - 7, 'x')), Lines{"n OK NOOP completed\r\n"});
    EXPECT_EQ(client.Command("n", "NOOP " + std::string(65536 - 6, 'x')), Lines{"n BAD Command line too long\r\n"});
    // A UID set as long as clients send them.
    std::string set;
    for (int uid = 1; set.size() < 50000; uid += 2) set += (set.empty() ? "" : ",") + std::to_string(uid);
    ASSERT_TRUE(Last(client.Command("s", "SELECT INBOX")).starts_with("s OK"));
    EXPECT_EQ(client.Command("f", "UID FETCH " + set + " FLAGS"), Lines{"f OK FETCH completed\r\n"});
}

TEST_F(Wire, LiteralMinusMakesLargeLiteralsWait) {
    Start(Dword("LiteralMinus", 1));
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    std::string caps = client.Command("c", "CAPABILITY")[0];
    EXPECT_TRUE(Has(caps, " LITERAL- ") || caps.ends_with(" LITERAL-\r\n")) << caps;
    EXPECT_FALSE(Has(caps, "LITERAL+")) << caps;
    ASSERT_TRUE(Last(client.Command("l", "LOGIN ann pw")).starts_with("l OK"));
    // Up to 4096 bytes a literal may come at once.
    EXPECT_EQ(client.Command("a", "NOOP {4096+}\r\n" + std::string(4096, 'x')), Lines{"a OK NOOP completed\r\n"});
    // A larger one sent at once is skipped whole and refused; the session stays in step.
    EXPECT_EQ(client.Command("b", "NOOP {4097+}\r\n" + std::string(4097, 'x') + " {2+}\r\nab"),
              Lines{"b BAD [TOOBIG] Literal too long to send unasked\r\n"});
    EXPECT_EQ(client.Command("d", "APPEND INBOX {5000+}\r\n" + std::string(5000, 'm')),
              Lines{"d BAD [TOOBIG] Literal too long to send unasked\r\n"});
    EXPECT_EQ(client.Command("e", "NOOP"), Lines{"e OK NOOP completed\r\n"});
    // Asked for, it is taken.
    client.Send("f APPEND INBOX {5000}\r\n");
    EXPECT_EQ(client.ReadLine(), "+ Ready for literal data\r\n");
    client.Send(std::string(5000, 'm') + "\r\n");
    EXPECT_TRUE(Last(client.ReadUntilTagged("f")).starts_with("f OK")) << server.Output();
}

}  // namespace
