// AUTHENTICATE over a real connection: the password files in the users' mail directories, the
// client answering each "+" prompt.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <sys/stat.h>

#include "sasl.h"
#include "test_server.h"

namespace {

class AuthenticateServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir((server.dir + "/users").c_str(), 0755);
        mkdir((server.dir + "/users/ann").c_str(), 0755);
        WriteFile(server.dir + "/users/ann/apop.dat", "pop secret\n");
        WriteFile(server.dir + "/users/ann/d1.MSG", "From: a@example.org\r\nSubject: one\r\n\r\nbody\r\n");
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry("\"UserManager\"=dword:00000000\n"
                                                           "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n")))
            << server.Output();
        ASSERT_TRUE(client.Connect(server.port));
        ASSERT_EQ(client.ReadLine(), "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
    }

    TestServer server;
    ImapClient client;
};

TEST_F(AuthenticateServerTest, CramMd5LogsInAndImportsTheInbox) {
    client.Send("a1 AUTHENTICATE CRAM-MD5\r\n");
    std::string strPrompt = client.ReadLine(), strChallenge = Unb64(strPrompt.substr(2));
    ASSERT_EQ(strPrompt, "+ " + B64(strChallenge) + "\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(strChallenge, m, std::regex(R"(<(\d+)\.(\d+)@localhost>)"))) << strChallenge;
    EXPECT_EQ(std::stol(m[1]), static_cast<long>(server.pid));
    client.Send(B64(CramAnswer("ann", strChallenge, "pop secret")) + "\r\n");
    EXPECT_EQ(client.ReadLine(), "a1 OK AUTHENTICATE completed\r\n");
    auto lines = client.Command("a2", "SELECT INBOX");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "* 1 EXISTS\r\n");
    EXPECT_EQ(lines.back(), "a2 OK [READ-WRITE] SELECT completed\r\n");
}

TEST_F(AuthenticateServerTest, LoginMechanismLogsIn) {
    client.Send("a1 AUTHENTICATE LOGIN\r\n");
    EXPECT_EQ(client.ReadLine(), "+ TE9HSU4=\r\n");
    client.Send(B64("ann") + "\r\n");
    EXPECT_EQ(client.ReadLine(), "+ UEFTU1dPUkQ=\r\n");
    client.Send(B64("pop secret") + "\r\n");
    EXPECT_EQ(client.ReadLine(), "a1 OK AUTHENTICATE completed\r\n");
    auto lines = client.Command("a2", "NAMESPACE");
    EXPECT_EQ(lines.empty() ? "" : lines.back(), "a2 OK NAMESPACE completed\r\n");
}

}  // namespace
