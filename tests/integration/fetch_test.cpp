// FETCH over a real connection: the refusal before SELECT, a literal and UID FETCH as a client
// receives them, and Recent cleared by a non-PEEK read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <numeric>

#include "auth/base64.h"
#include "test_server.h"

TEST(FetchOverConnection, LiteralsUidFetchAndTheReadMark) {
    TestServer server;
    const std::string user = "ann\tpw\t\t\t" + server.dir + "/users/ann", message = "Subject: s\r\n\r\nbody\r\n";
    char szUserLine[2048];
    Base64Encode(user.data(), user.size(), szUserLine, sizeof(szUserLine));
    for (const char* sub : {"/accounts", "/users", "/users/ann"}) mkdir((server.dir + sub).c_str(), 0755);
    WriteFile(server.dir + "/accounts/test.local.idx", std::string(szUserLine) + "\n");
    for (const char* name : {"/d1.MSG", "/d2.MSG"}) WriteFile(server.dir + "/users/ann" + name, message);
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry(
        "\"UserManager\"=dword:00000000\n\"Membership\"=\"@DIR@/accounts/\"\n"
        "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n"
        "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n\"test.local\"=\"127.0.0.1\"\n")))
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
    // A plain read clears Recent, and shows the flags from before; a PEEK read keeps it.
    EXPECT_EQ(run("f3", "FETCH 2 (FLAGS BODY[TEXT])"),
              "* 2 FETCH (FLAGS (\\Recent) BODY[TEXT] {6}\r\nbody\r\n)\r\nf3 OK FETCH completed\r\n");
    EXPECT_EQ(run("f4", "FETCH 1:* FLAGS"),
              "* 1 FETCH (FLAGS (\\Recent))\r\n* 2 FETCH (FLAGS ())\r\nf4 OK FETCH completed\r\n");
}
