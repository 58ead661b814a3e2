// LOGIN in both account modes, the inbox import it starts, SELECT, EXAMINE and STATUS.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <regex>

#include "test_server.h"

namespace {

std::string UserFileRegistry() {
    return TestServer::UserFileRegistry(
        "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
        "\"Imap4LogEnabled\"=dword:00000001\n");
}

std::string Message(int n) {
    return "From: a@example.org\r\nSubject: message " + std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) +
           "\r\n";
}

class LoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.AddUser("ann", "Secret Word");
        server.AddUser("bob", "pw");
        for (int n = 1; n <= 3; n++) {
            WriteFile(server.dir + "/users/ann/d" + std::to_string(n) + ".MSG", Message(n));
        }
        ASSERT_TRUE(server.Start(UserFileRegistry())) << server.Output();
        Connect(client);
    }
    void Connect(ImapClient& c) {
        ASSERT_TRUE(c.Greeted(server.port));
    }
    std::string Last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }
    std::string AccessLog() { return ReadFilesIn(server.dir + "/spool/imap4log"); }
    TestServer server;
    ImapClient client;
};

TEST_F(LoginTest, ArgumentFormsAndRefusals) {
    EXPECT_EQ(Last(client.Command("a1", "LOGIN ann")), "a1 BAD LOGIN illegal argument\r\n");
    EXPECT_EQ(Last(client.Command("a2", "LOGIN ann \"secret word\"")), "a2 NO LOGIN fails\r\n");
    EXPECT_EQ(Last(client.Command("a3", "LOGIN \"ann x\" Secret")), "a3 NO LOGIN fails\r\n");
    EXPECT_EQ(Last(client.Command("a4", "LOGIN ../ann \"Secret Word\"")), "a4 NO LOGIN fails\r\n");
    EXPECT_EQ(Last(client.Command("a5", "SELECT inbox")), "a5 NO Command unrecognized: SELECT\r\n");
    EXPECT_EQ(Last(client.Command("a6", "login \"ann\" \"Secret Word\"")), "a6 OK login completed\r\n");
    EXPECT_EQ(Last(client.Command("a7", "LOGIN ann \"Secret Word\"")), "a7 NO already logged in\r\n");
    std::string log = AccessLog();
    EXPECT_NE(log.find(" - from 127.0.0.1 LOGIN ann **** failed\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ann@test.local from 127.0.0.1 login \"ann\" **** Success\n"), std::string::npos) << log;
    // A quoted password with blanks leaves no part of itself in the log.
    EXPECT_EQ(log.find("Secret"), std::string::npos);
    EXPECT_EQ(log.find("secret"), std::string::npos);
}

TEST_F(LoginTest, FirstLoginImportsDeliveredMailOnce) {
    EXPECT_EQ(Last(client.Command("a1", "LOGIN ann \"Secret Word\"")), "a1 OK LOGIN completed\r\n");
    auto lines = client.Command("a2", "SELECT INBOX");
    ASSERT_EQ(lines.size(), 9u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0] + lines[1] + lines[2], "* 3 EXISTS\r\n* 3 RECENT\r\n* OK [UNSEEN 1] Message 1 is first unseen\r\n");
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(\* OK \[UIDVALIDITY \d+\] UIDs valid\r\n)"))) << lines[3];
    EXPECT_EQ(lines[4], "* OK [UIDNEXT 4] Predicted next UID\r\n");
    // Keywords are kept, and a client may define new ones ("\\*").
    EXPECT_EQ(lines[6], "* OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\*)] Flags kept\r\n");
    EXPECT_TRUE(std::regex_match(lines[7], std::regex(R"(\* OK \[HIGHESTMODSEQ [1-9]\d*\] Highest\r\n)"))) << lines[7];
    EXPECT_EQ(lines[8], "a2 OK [READ-WRITE] SELECT completed\r\n");
    // The session that saw them first holds their \Recent; the files no longer offer it.
    EXPECT_TRUE(FileExists(server.dir + "/users/ann/inbox/0000000001-000000.MSG"));
    EXPECT_TRUE(FileExists(server.dir + "/users/ann/inbox/0000000003-000000.MSG"));

    // A second session finds nothing new, though its user name is typed in another case; the
    // UIDVALIDITY it sees is the same.
    ImapClient second;
    ASSERT_TRUE(second.Greeted(server.port));
    EXPECT_EQ(Last(second.Command("b1", "LOGIN ANN \"Secret Word\"")), "b1 OK LOGIN completed\r\n");
    auto again = second.Command("b2", "select inbox");
    ASSERT_EQ(again.size(), 9u);
    EXPECT_EQ(again[0] + again[1] + again[3] + again[4], "* 3 EXISTS\r\n* 0 RECENT\r\n" + lines[3] + lines[4]);
}

TEST_F(LoginTest, SelectExamineAndStatusOfOtherMailboxes) {
    ASSERT_EQ(Last(client.Command("a1", "LOGIN ann \"Secret Word\"")), "a1 OK LOGIN completed\r\n");
    std::string work = server.dir + "/users/ann/Work";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    // Five messages, the third and fifth unseen, the first recent.
    const char* names[] = {"0000000001-100010.MSG", "0000000002-000010.MSG", "0000000003-000000.MSG",
                           "0000000004-000010.MSG", "0000000005-000000.MSG"};
    for (const char* name : names) {
        WriteFile(work + "/" + name, Message(1));
    }
    auto lines = client.Command("a2", "SELECT \"work\"");
    ASSERT_EQ(lines.size(), 9u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0] + lines[1] + lines[2] + lines[4], "* 5 EXISTS\r\n* 1 RECENT\r\n* OK [UNSEEN 3] Message 3 is first "
                                                          "unseen\r\n* OK [UIDNEXT 6] Predicted next UID\r\n");

    // STATUS answers untagged, every item in the order asked (its other items are imaptest's select
    // test's); a missing mailbox is NO for all three commands.
    using Lines = std::vector<std::string>;
    EXPECT_EQ(client.Command("a3", "STATUS Work (UNSEEN MESSAGES)"),
              (Lines{"* STATUS Work (UNSEEN 2 MESSAGES 5)\r\n", "a3 OK STATUS completed\r\n"}));
    for (const char* request : {"STATUS \"My Work\" (MESSAGES)", "SELECT nothere", "EXAMINE \"nothere\"",
                                "SELECT ../bob/inbox", "STATUS ../../accounts (MESSAGES)"}) {
        EXPECT_EQ(client.Command("a5", request), Lines{"a5 NO No such mailbox\r\n"}) << request;
    }
    for (const char* request : {"STATUS Work ()", "STATUS Work (MESSAGES BOGUS)", "STATUS Work MESSAGES", "STATUS My Work (MESSAGES)"}) {
        EXPECT_EQ(client.Command("a6", request), Lines{"a6 BAD STATUS illegal argument\r\n"}) << request;
    }
    // The failed SELECT left no mailbox selected.
    EXPECT_EQ(client.Command("a7", "CHECK"), Lines{"a7 NO Command unrecognized: CHECK\r\n"});

    // Quotes never stay in a name: EXAMINE "INBOX" opens the inbox.
    auto examined = client.Command("b1", "EXAMINE \"INBOX\"");
    ASSERT_EQ(examined.size(), 9u) << ::testing::PrintToString(examined);
    EXPECT_EQ(examined[0] + examined[8], "* 3 EXISTS\r\nb1 OK [READ-ONLY] EXAMINE completed\r\n");
    EXPECT_EQ(client.Command("b2", "CHECK"), Lines{"b2 OK CHECK completed\r\n"});
}

// Names with blanks, quoted or as literals, through the real command reader (what each command
// does with a name is the unit tests' part).
TEST_F(LoginTest, QuotedAndLiteralMailboxNames) {
    using Lines = std::vector<std::string>;
    ASSERT_EQ(Last(client.Command("a1", "LOGIN ann \"Secret Word\"")), "a1 OK LOGIN completed\r\n");
    const std::string mail = server.dir + "/users/ann/";
    EXPECT_EQ(Last(client.Command("b", "CREATE \"Sent Items\"")), "b OK CREATE completed\r\n");
    EXPECT_EQ(Last(client.Command("b", "CREATE {7+}\r\nMy Work")), "b OK CREATE completed\r\n");
    // The mailbox as a synchronising literal, the message as a non-synchronising one.
    const std::string message = Message(7);
    client.Send("c APPEND {10}\r\n");
    EXPECT_EQ(client.ReadLine(), "+ Ready for literal data\r\n");
    client.Send("Sent Items (\\Seen) {" + std::to_string(message.size()) + "+}\r\n" + message + "\r\n");
    EXPECT_TRUE(Last(client.ReadUntilTagged("c")).ends_with(" 1] APPEND completed\r\n"));
    EXPECT_EQ(ReadFile(mail + "Sent Items/0000000001-100010.MSG"), message);
    EXPECT_TRUE(Last(client.Command("d", "APPEND \"Sent Items\" {" + std::to_string(message.size()) + "+}\r\n" + message))
                    .ends_with(" 2] APPEND completed\r\n"));
    EXPECT_EQ(client.Command("e", "STATUS \"Sent Items\" (MESSAGES UNSEEN)"),
              (Lines{"* STATUS \"Sent Items\" (MESSAGES 2 UNSEEN 1)\r\n", "e OK STATUS completed\r\n"}));
    EXPECT_EQ(Last(client.Command("f", "SELECT \"Sent Items\"")), "f OK [READ-WRITE] SELECT completed\r\n");
    // A 9,000-byte UID set, far more elements than a set is split into elsewhere, is read whole.
    std::string set = "1";
    for (int uid = 2; set.size() < 9000; uid++) set += "," + std::to_string(uid);
    EXPECT_EQ(client.Command("g", "UID FETCH " + set + " (FLAGS)"),
              (Lines{"* 1 FETCH (FLAGS (\\Recent \\Seen) UID 1)\r\n", "* 2 FETCH (FLAGS (\\Recent) UID 2)\r\n",
                     "g OK FETCH completed\r\n"}));
    EXPECT_EQ(Last(client.Command("h", "RENAME \"My Work\" {8}\r\nOld Work")), "h OK RENAME successful\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(mail + "Old Work"));
}

TEST_F(LoginTest, MarkerFileRefusesTheLogin) {
    WriteFile(server.dir + "/users/ann/$offimap4", "");
    EXPECT_EQ(Last(client.Command("a1", "LOGIN ann \"Secret Word\"")), "a1 NO LOGIN fails\r\n");
    EXPECT_FALSE(FileExists(server.dir + "/users/ann/inbox"));
}

}  // namespace
