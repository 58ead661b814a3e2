// AUTHENTICATE over a real connection with each mechanism: the password file in the user's mail
// directory, the client answering each "+" prompt.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "sasl.h"
#include "test_server.h"

namespace {

TEST(AuthenticateServer, CramMd5AndLoginMechanismLogIn) {
    TestServer server;
    std::filesystem::create_directories(server.dir + "/users/ann");
    WriteFile(server.dir + "/users/ann/apop.dat", "pop secret\n");
    WriteFile(server.dir + "/users/ann/d1.MSG", "From: a@example.org\r\nSubject: one\r\n\r\nbody\r\n");
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry("\"UserManager\"=dword:00000000\n"
                                                       "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n")))
        << server.Output();
    for (const std::string strMechanism : {"CRAM-MD5", "LOGIN"}) {
        SCOPED_TRACE(strMechanism);
        ImapClient client;
        ASSERT_TRUE(client.Connect(server.port));
        ASSERT_EQ(client.ReadLine(), "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
        client.Send("a1 AUTHENTICATE " + strMechanism + "\r\n");
        std::string strPrompt = client.ReadLine(), strChallenge = Unb64(strPrompt.substr(2));
        ASSERT_EQ(strPrompt, "+ " + B64(strChallenge) + "\r\n");
        if (strMechanism == "LOGIN") {
            EXPECT_EQ(strPrompt, "+ TE9HSU4=\r\n");
            client.Send(B64("ann") + "\r\n");
            EXPECT_EQ(client.ReadLine(), "+ UEFTU1dPUkQ=\r\n");
            client.Send(B64("pop secret") + "\r\n");
        } else {
            std::regex form("<" + std::to_string(server.pid) + R"(\.\d+@localhost>)");
            EXPECT_TRUE(std::regex_match(strChallenge, form)) << strChallenge;
            client.Send(B64(CramAnswer("ann", strChallenge, "pop secret")) + "\r\n");
        }
        EXPECT_EQ(client.ReadLine(), "a1 OK AUTHENTICATE completed\r\n");
        auto lines = client.Command("a2", "SELECT INBOX");
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0] + lines.back(), "* 1 EXISTS\r\na2 OK [READ-WRITE] SELECT completed\r\n");
    }
}

// PLAIN checks the user-file account as LOGIN does, not the POP3 password file.
TEST(AuthenticateServer, PlainWithAndWithoutInitialResponse) {
    TestServer server;
    server.AddUser("ann", "pw");
    ASSERT_TRUE(server.Start(TestServer::UserFileRegistry())) << server.Output();
    struct Case {
        std::string strArgs;    // after "AUTHENTICATE "
        std::string strAnswer;  // sent after the "+ " prompt; empty: no prompt expected
        std::string strResult;
    };
    const std::string strGood = B64(std::string("\0ann\0pw", 7));
    const std::vector<Case> cases = {
        {"PLAIN " + strGood, "", "OK AUTHENTICATE completed"},
        {"plain", strGood, "OK AUTHENTICATE completed"},
        {"PLAIN " + B64(std::string("ann\0ann\0pw", 10)), "", "OK AUTHENTICATE completed"},
        {"PLAIN " + B64(std::string("bob\0ann\0pw", 10)), "", "NO AUTHENTICATE fails"},
        {"PLAIN " + B64(std::string("\0ann\0pW", 7)), "", "NO AUTHENTICATE fails"},
        {"PLAIN " + B64(std::string("\0ann\0pw\0", 8)), "", "NO AUTHENTICATE fails"},
        {"PLAIN " + B64("annpw"), "", "BAD AUTHENTICATE illegal argument"},
        {"PLAIN =", "", "BAD AUTHENTICATE illegal argument"},
        {"PLAIN", "*", "BAD AUTHENTICATE cancelled"},
        {"PLAINTEXT " + strGood, "", "NO AUTHENTICATE PLAINTEXT " + strGood + " isn't supported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strArgs);
        ImapClient client;
        ASSERT_TRUE(client.Connect(server.port));
        ASSERT_EQ(client.ReadLine(), "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
        client.Send("a1 AUTHENTICATE " + c.strArgs + "\r\n");
        if (!c.strAnswer.empty()) {
            ASSERT_EQ(client.ReadLine(), "+ \r\n");
            client.Send(c.strAnswer + "\r\n");
        }
        EXPECT_EQ(client.ReadLine(), "a1 " + c.strResult + "\r\n");
        bool bIn = c.strResult.rfind("OK", 0) == 0;
        EXPECT_EQ(client.Command("a2", "SELECT INBOX").back(),
                  bIn ? "a2 OK [READ-WRITE] SELECT completed\r\n" : "a2 NO Command unrecognized: SELECT\r\n");
    }
}

}  // namespace
