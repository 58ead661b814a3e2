// AUTHENTICATE over a real connection with each mechanism: the password file in the user's mail
// directory, the client answering each "+" prompt.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sasl.h"
#include "test_server.h"

namespace {

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
