// FETCH over a real connection: the refusal before SELECT, a literal and UID FETCH as a client
// receives them, and \Seen set by a non-PEEK read.
#include <gtest/gtest.h>

#include <numeric>

#include "test_server.h"

TEST(FetchOverConnection, LiteralsUidFetchAndTheReadMark) {
    TestServer server;
    const std::string message = "Subject: s\r\n\r\nbody\r\n", mailDir = server.AddUser("ann", "pw");
    for (const char* name : {"d1.MSG", "d2.MSG"}) WriteFile(mailDir + name, message);
    ASSERT_TRUE(server.Start(TestServer::UserFileRegistry()))
        << server.Output();
    ImapClient client;
    ASSERT_TRUE(client.Connect(server.port) && !client.ReadLine().empty());
    const auto run = [&client](const char* tag, const char* command) {
        std::vector<std::string> lines = client.Command(tag, command);
        return std::accumulate(lines.begin(), lines.end(), std::string());
    };
    ASSERT_EQ(run("a1", "LOGIN ann pw"), "a1 OK LOGIN completed\r\n");
    EXPECT_EQ(run("f1", "FETCH 1 FLAGS"), "f1 NO FETCH invalid command\r\n");
    ASSERT_TRUE(run("a2", "SELECT INBOX").ends_with("a2 OK [READ-WRITE] SELECT completed\r\n"));
    EXPECT_EQ(run("f2", "UID FETCH 2 (RFC822.SIZE BODY.PEEK[])"),
              "* 2 FETCH (RFC822.SIZE 20 BODY[] {20}\r\n" + message + " UID 2)\r\nf2 OK FETCH completed\r\n");
    // A plain read sets \Seen and shows it in the same response; a PEEK read does not.
    EXPECT_EQ(run("f3", "FETCH 2 (FLAGS BODY[TEXT])"),
              "* 2 FETCH (FLAGS (\\Recent \\Seen) BODY[TEXT] {6}\r\nbody\r\n)\r\nf3 OK FETCH completed\r\n");
    // \Recent stays with the session that selected the mailbox first, read or not.
    EXPECT_EQ(run("f4", "FETCH 1:* FLAGS"),
              "* 1 FETCH (FLAGS (\\Recent))\r\n* 2 FETCH (FLAGS (\\Recent \\Seen))\r\nf4 OK FETCH completed\r\n");
}
