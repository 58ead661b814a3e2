// TLS on both ports against the real binary: implicit TLS, STARTTLS and what it must throw away,
// the plaintext-login setting, and a certificate that does not load.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tls_client.h"
#include "test_server.h"

namespace {

const char* const kGreeting = "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n";
const std::string kMessage = "From: a@example.org\r\nSubject: tls\r\n\r\nsecret body\r\n";

// User ann (password pw) with one message; TLS on the IMAP port and on tlsPort.
struct TlsServer {
    TestServer server;
    int tlsPort = 0;
    std::string caFile;

    bool Start(const std::string& extra = "", const std::string& certificate = "@DIR@/cert.pem") {
        if (!MakeCertificate(server.dir)) {
            return false;
        }
        caFile = server.dir + "/cert.pem";
        WriteFile(server.AddUser("ann", "pw") + "m1.MSG", kMessage);
        tlsPort = FreePort();
        char hex[16];
        snprintf(hex, sizeof(hex), "%08x", tlsPort);
        return server.Start(TestServer::UserFileRegistry(
            "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n"
            "\"TlsCertificateFile\"=\"" + certificate + "\"\n\"TlsKeyFile\"=\"@DIR@/key.pem\"\n"
            "\"TlsPortNo\"=dword:" + std::string(hex) + "\n" + extra));
    }
};

std::string CapabilityLine(const std::vector<std::string>& lines) {
    return lines.size() == 2 ? lines[0] : "(no capability answer)";
}

TEST(Tls, ImplicitPortServesAWholeSession) {
    TlsServer tls;
    ASSERT_TRUE(tls.Start()) << tls.server.Output();
    EXPECT_TRUE(tls.server.WaitForOutput("TLS on: STARTTLS on port " + std::to_string(tls.server.port)));

    // Clear text on the TLS port fails the handshake and ends that connection only.
    ImapClient confused;
    ASSERT_TRUE(confused.Connect(tls.tlsPort));
    confused.Send("a CAPABILITY\r\n");
    EXPECT_TRUE(confused.ClosedByPeer());

    ImapClient client;
    ASSERT_TRUE(client.Connect(tls.tlsPort));
    TlsClient tlsClient;
    ASSERT_TRUE(tlsClient.Start(client, tls.caFile));
    EXPECT_TRUE(tlsClient.Version() == "TLSv1.3" || tlsClient.Version() == "TLSv1.2") << tlsClient.Version();
    EXPECT_EQ(tlsClient.ReadLine(), kGreeting);
    EXPECT_EQ(CapabilityLine(tlsClient.Command("a", "CAPABILITY")),
              "* CAPABILITY IMAP4 IMAP4rev1 NAMESPACE SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 AUTH=LOGIN\r\n");
    EXPECT_EQ(tlsClient.Command("b", "STARTTLS"), std::vector<std::string>{"b BAD STARTTLS not available\r\n"});
    EXPECT_EQ(tlsClient.Command("c", "LOGIN ann pw"), std::vector<std::string>{"c OK LOGIN completed\r\n"});
    ASSERT_EQ(tlsClient.Command("d", "SELECT INBOX").back(), "d OK [READ-WRITE] SELECT completed\r\n");
    std::vector<std::string> fetch = tlsClient.Command("e", "FETCH 1 BODY.PEEK[]");
    std::string joined;
    for (const std::string& line : fetch) {
        joined += line;
    }
    EXPECT_EQ(joined, "* 1 FETCH (BODY[] {" + std::to_string(kMessage.size()) + "}\r\n" + kMessage +
                          ")\r\ne OK FETCH completed\r\n");
}

TEST(Tls, StartTlsDropsPipelinedClearTextAndChangesCapabilities) {
    TlsServer tls;
    ASSERT_TRUE(tls.Start()) << tls.server.Output();
    ImapClient client;
    ASSERT_TRUE(client.Connect(tls.server.port));
    ASSERT_EQ(client.ReadLine(), kGreeting);
    EXPECT_EQ(CapabilityLine(client.Command("a", "CAPABILITY")),
              "* CAPABILITY IMAP4 IMAP4rev1 NAMESPACE STARTTLS SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 AUTH=LOGIN\r\n");

    // An injected command in the same segment as STARTTLS must never run inside the TLS session.
    client.Send("b STARTTLS\r\nx LOGIN ann pw\r\n");
    ASSERT_EQ(client.ReadLine(), "b OK Begin TLS negotiation now\r\n");
    ASSERT_EQ(client.pending, "");
    TlsClient tlsClient;
    ASSERT_TRUE(tlsClient.Start(client, tls.caFile));
    EXPECT_EQ(tlsClient.Command("c", "NOOP"), std::vector<std::string>{"c OK NOOP completed\r\n"});
    EXPECT_EQ(tlsClient.Command("d", "SELECT INBOX"),
              std::vector<std::string>{"d NO Command unrecognized: SELECT\r\n"});
    EXPECT_EQ(CapabilityLine(tlsClient.Command("e", "CAPABILITY")),
              "* CAPABILITY IMAP4 IMAP4rev1 NAMESPACE SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 AUTH=LOGIN\r\n");
    EXPECT_EQ(tlsClient.Command("f", "STARTTLS"), std::vector<std::string>{"f BAD STARTTLS not available\r\n"});
    EXPECT_EQ(tlsClient.Command("g", "LOGIN ann pw"), std::vector<std::string>{"g OK LOGIN completed\r\n"});
    EXPECT_EQ(tlsClient.Command("h", "STARTTLS"), std::vector<std::string>{"h BAD STARTTLS not available\r\n"});
}

TEST(Tls, PlaintextLoginSettingHidesPasswordsUntilTls) {
    struct Case {
        const char* pszSetting;
        bool bDisabledOnLoopback;
    };
    for (const Case& c : {Case{"00000001", false}, Case{"00000002", true}}) {
        SCOPED_TRACE(c.pszSetting);
        TlsServer tls;
        ASSERT_TRUE(tls.Start(std::string("\"PlaintextLoginNeedsTls\"=dword:") + c.pszSetting + "\n"))
            << tls.server.Output();
        ImapClient client;
        ASSERT_TRUE(client.Connect(tls.server.port));
        ASSERT_EQ(client.ReadLine(), kGreeting);
        if (!c.bDisabledOnLoopback) {
            EXPECT_EQ(CapabilityLine(client.Command("a", "CAPABILITY")),
                      "* CAPABILITY IMAP4 IMAP4rev1 NAMESPACE STARTTLS SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 "
                      "AUTH=LOGIN\r\n");
            EXPECT_EQ(client.Command("b", "LOGIN ann pw"), std::vector<std::string>{"b OK LOGIN completed\r\n"});
            continue;
        }
        EXPECT_EQ(CapabilityLine(client.Command("a", "CAPABILITY")),
                  "* CAPABILITY IMAP4 IMAP4rev1 NAMESPACE STARTTLS LOGINDISABLED SASL-IR AUTH=CRAM-MD5\r\n");
        EXPECT_EQ(client.Command("b", "LOGIN ann pw"),
                  std::vector<std::string>{"b NO [PRIVACYREQUIRED] LOGIN needs TLS first (STARTTLS)\r\n"});
        for (const char* pszMechanism : {"PLAIN AGFubgBwdw==", "PLAIN", "LOGIN"}) {
            EXPECT_EQ(client.Command("c", std::string("AUTHENTICATE ") + pszMechanism),
                      std::vector<std::string>{
                          "c NO [PRIVACYREQUIRED] AUTHENTICATE needs TLS first (STARTTLS)\r\n"});
        }
        client.Send("d STARTTLS\r\n");
        ASSERT_EQ(client.ReadLine(), "d OK Begin TLS negotiation now\r\n");
        TlsClient tlsClient;
        ASSERT_TRUE(tlsClient.Start(client, tls.caFile));
        EXPECT_EQ(CapabilityLine(tlsClient.Command("e", "CAPABILITY")),
                  "* CAPABILITY IMAP4 IMAP4rev1 NAMESPACE SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 AUTH=LOGIN\r\n");
        EXPECT_EQ(tlsClient.Command("f", "AUTHENTICATE PLAIN AGFubgBwdw=="),
                  std::vector<std::string>{"f OK AUTHENTICATE completed\r\n"});
    }
}

TEST(Tls, UnusableCertificateKeepsTlsPortsClosed) {
    struct Case {
        const char* pszCertificate;
        const char* pszReason;
    };
    for (const Case& c : {Case{"@DIR@/missing.pem", "missing.pem: No such file or directory"},
                          Case{"@DIR@/key.pem", "certificate chain"}}) {
        SCOPED_TRACE(c.pszCertificate);
        TlsServer tls;
        ASSERT_TRUE(tls.Start("", c.pszCertificate)) << tls.server.Output();
        EXPECT_TRUE(tls.server.WaitForOutput("TLS off, TLS ports closed: ")) << tls.server.Output();
        EXPECT_TRUE(tls.server.WaitForOutput(c.pszReason)) << tls.server.Output();
        ImapClient tlsPort;
        EXPECT_FALSE(tlsPort.Connect(tls.tlsPort));
        ImapClient client;
        ASSERT_TRUE(client.Connect(tls.server.port));
        ASSERT_EQ(client.ReadLine(), kGreeting);
        EXPECT_EQ(CapabilityLine(client.Command("a", "CAPABILITY")),
                  "* CAPABILITY IMAP4 IMAP4rev1 NAMESPACE SASL-IR AUTH=PLAIN AUTH=CRAM-MD5 AUTH=LOGIN\r\n");
        EXPECT_EQ(client.Command("b", "STARTTLS"), std::vector<std::string>{"b BAD STARTTLS not available\r\n"});
    }
}

}  // namespace
