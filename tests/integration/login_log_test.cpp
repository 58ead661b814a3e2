// The system-log lines of logins and TLS handshakes, as the server writes them, and the fail2ban
// filter shipped with the package run over them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "syslog_socket.h"
#include "test_server.h"

namespace {

// The message of a datagram: what follows "ident[pid]: ".
std::string Message(const std::string& strDatagram) {
    size_t at = strDatagram.find("]: ");
    return at == std::string::npos ? strDatagram : strDatagram.substr(at + 3);
}

// The line a syslog daemon writes for a datagram: the priority dropped, the host name added.
std::string FileLine(const std::string& strDatagram) {
    size_t nPriEnd = strDatagram.find('>');
    std::string strRest = strDatagram.substr(nPriEnd + 1);
    return strRest.substr(0, 15) + " mailhost" + strRest.substr(15) + "\n";
}

TEST(LoginLog, EveryOutcomeInOneEscapedLineThatTheFail2banFilterMatches) {
    TestServer server;
    SyslogSocket syslog(server.dir);
    ASSERT_TRUE(MakeCertificate(server.dir));
    server.AddUser("ann", "pw");
    int nTlsPort = FreePort();
    char szHex[16];
    snprintf(szHex, sizeof szHex, "%08x", nTlsPort);
    ASSERT_TRUE(server.Start(TestServer::UserFileRegistry(TestServer::ServiceKey(
                                 "\"TlsCertificateFile\"=\"@DIR@/cert.pem\"\n\"TlsKeyFile\"=\"@DIR@/key.pem\"\n"
                                 "\"TlsPortNo\"=dword:" + std::string(szHex) + "\n")),
                             {"-debug"}, {syslog.Env()}))
        << server.Output();

    {
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port));
        EXPECT_EQ(client.Command("a", "LOGIN ann pw").back(), "a OK LOGIN completed\r\n");
    }
    {
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port, "127.0.0.1", "127.0.0.2"));
        EXPECT_EQ(client.Command("a", "LOGIN ann wrong").back(), "a NO LOGIN fails\r\n");
        EXPECT_EQ(client.Command("b", "AUTHENTICATE PLAIN AGFubgB3cm9uZw==").back(), "b NO AUTHENTICATE fails\r\n");
    }
    {
        // A name that would end the line and pose as another client's address.
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port, "127.0.0.1", "127.0.0.3"));
        const std::string strUser = "x\r\nDec  7 10:00:00 h VLMVEVE4D-SVC[1]: login failed: > rip=10.9.9.9 <\x01";
        EXPECT_EQ(client.Command("a", "LOGIN {" + std::to_string(strUser.size()) + "+}\r\n" + strUser + " wrong").back(),
                  "a NO LOGIN fails\r\n");
    }
    {
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port, "127.0.0.1", "127.0.0.4"));
        client.Send("a STARTTLS\r\n");
        ASSERT_EQ(client.ReadLine(), "a OK Begin TLS negotiation now\r\n");
        ASSERT_TRUE(client.StartTls(server.dir + "/cert.pem"));
        EXPECT_EQ(client.Command("b", "LOGIN ann nope").back(), "b NO LOGIN fails\r\n");
        EXPECT_EQ(client.Command("c", "LOGIN ann pw").back(), "c OK LOGIN completed\r\n");
    }
    {
        ImapClient client;
        ASSERT_TRUE(client.Connect(nTlsPort, "127.0.0.1", "127.0.0.5"));
        client.Send("a LOGIN ann pw\r\n");
        EXPECT_TRUE(client.ClosedByPeer());
    }
    ASSERT_TRUE(syslog.WaitFor("TLS handshake failed")) << server.Output();
    ASSERT_TRUE(syslog.WaitFor("rip=127.0.0.4 lip=127.0.0.1 tls=yes user=<ann@test.local>")) << ::testing::PrintToString(syslog.received);

    std::vector<std::string> messages;
    std::string strFile;
    for (const std::string& strDatagram : syslog.received) {
        for (char c : strDatagram) ASSERT_GE(static_cast<unsigned char>(c), 0x20) << strDatagram;
        std::string strMessage = Message(strDatagram);
        if (strMessage.rfind("login ", 0) == 0 || strMessage.rfind("TLS handshake", 0) == 0) {
            messages.push_back(strMessage);
            // Facility mail; success informs, failure warns.
            EXPECT_EQ(strDatagram.substr(0, 4), strMessage.rfind("login ok", 0) == 0 ? "<22>" : "<20>") << strDatagram;
            EXPECT_NE(strDatagram.find(" VLMVEVE4D-SVC[" + std::to_string(server.pid) + "]: "), std::string::npos);
        }
        strFile += FileLine(strDatagram);
    }
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(messages[0], "login ok: method=LOGIN rip=127.0.0.1 lip=127.0.0.1 tls=no user=<ann@test.local>");
    EXPECT_EQ(messages[1],
              "login failed: method=LOGIN rip=127.0.0.2 lip=127.0.0.1 tls=no reason=<authentication failed> user=<ann@test.local>");
    EXPECT_EQ(messages[2],
              "login failed: method=PLAIN rip=127.0.0.2 lip=127.0.0.1 tls=no reason=<authentication failed> user=<ann@test.local>");
    EXPECT_EQ(messages[3], "login failed: method=LOGIN rip=127.0.0.3 lip=127.0.0.1 tls=no reason=<authentication failed> "
                           "user=<x\\x0d\\x0aDec  7 10:00:00 h VLMVEVE4D-SVC[1]: login failed: \\x3e rip=10.9.9.9 \\x3c\\x01>");
    EXPECT_EQ(messages[4],
              "login failed: method=LOGIN rip=127.0.0.4 lip=127.0.0.1 tls=yes reason=<authentication failed> user=<ann@test.local>");
    EXPECT_EQ(messages[5], "login ok: method=LOGIN rip=127.0.0.4 lip=127.0.0.1 tls=yes user=<ann@test.local>");
    EXPECT_EQ(messages[6].rfind("TLS handshake failed: rip=127.0.0.5 lip=127.0.0.1 reason=<TLS handshake: ", 0), 0u)
        << messages[6];

    // The filter as the package ships it, beside fail2ban's own common definitions.
    if (std::system("command -v fail2ban-regex >/dev/null 2>&1") != 0) {
        FAIL() << "fail2ban-regex is not installed (scripts/install-deps.sh installs it)";
    }
    std::filesystem::create_directories(server.dir + "/filter.d");
    WriteFile(server.dir + "/filter.d/veve4d.conf", ReadFile(std::string(VEVE4D_SOURCE_DIR) + "/packaging/fail2ban/veve4d.conf"));
    std::filesystem::create_symlink("/etc/fail2ban/filter.d/common.conf", server.dir + "/filter.d/common.conf");
    WriteFile(server.dir + "/mail.log", strFile);
    const std::string strArgs = " " + server.dir + "/mail.log " + server.dir + "/filter.d/veve4d.conf";
    // Each failed login, and only those, under its client's address; the name fools nobody.
    EXPECT_EQ(RunShell("fail2ban-regex -o ip" + strArgs), "127.0.0.2\n127.0.0.2\n127.0.0.3\n127.0.0.4\n") << strFile;
    std::string strSummary = RunShell("fail2ban-regex" + strArgs);
    EXPECT_NE(strSummary.find("lines, 0 ignored, 4 matched"), std::string::npos) << strSummary;
}

}  // namespace
