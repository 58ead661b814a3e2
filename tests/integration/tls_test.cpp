// TLS on both ports against the real binary: implicit TLS, STARTTLS and what it must throw away,
// the plaintext-login setting, and a certificate that does not load.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <openssl/ssl.h>

#include "syslog_socket.h"
#include "test_server.h"

namespace {

const std::string kMessage = "From: a@example.org\r\nSubject: tls\r\n\r\nsecret body\r\n";

// User ann (password pw) with one message; TLS on the IMAP port and on tlsPort.
struct TlsServer {
    TestServer server;
    int tlsPort = 0;
    std::string caFile;

    bool Start(const std::string& extra = "", const std::string& certificate = "@DIR@/cert.pem",
               std::vector<std::string> env = {}, bool bRsa = false) {
        // A static-RSA suite needs an RSA key to be offered at all.
        bool bMade = bRsa ? std::system(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 -keyout '" +
                                         server.dir + "/key.pem' -out '" + server.dir + "/cert.pem' >/dev/null 2>&1")
                                            .c_str()) == 0
                          : MakeCertificate(server.dir);
        if (!bMade) {
            return false;
        }
        caFile = server.dir + "/cert.pem";
        WriteFile(server.AddUser("ann", "pw") + "m1.MSG", kMessage);
        tlsPort = FreePort();
        char hex[16];
        snprintf(hex, sizeof(hex), "%08x", tlsPort);
        return server.Start(TestServer::UserFileRegistry(TestServer::ServiceKey(
            "\"TlsCertificateFile\"=\"" + certificate + "\"\n\"TlsKeyFile\"=\"@DIR@/key.pem\"\n"
            "\"TlsPortNo\"=dword:" + std::string(hex) + "\n" + extra)), {"-debug"}, env);
    }
};

// The capabilities offered inside TLS, and in clear text where STARTTLS is possible.
const std::string kCaps = "* CAPABILITY IMAP4 IMAP4rev1 IMAP4rev2 NAMESPACE IDLE LITERAL+ CHILDREN SPECIAL-USE UIDPLUS MOVE ENABLE CONDSTORE QRESYNC SASL-IR "
                          "AUTH=PLAIN AUTH=CRAM-MD5 AUTH=LOGIN BINARY MULTIAPPEND CATENATE ID UNSELECT SORT SORT=DISPLAY THREAD=ORDEREDSUBJECT THREAD=REFERENCES\r\n";
const std::string kCapsStartTls = std::string(kCaps).replace(kCaps.find("SASL-IR"), 0, "STARTTLS ");

std::string CapabilityLine(ImapClient& client) {
    std::vector<std::string> lines = client.Command("cap", "CAPABILITY");
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
    ASSERT_TRUE(client.StartTls(tls.caFile));
    EXPECT_TRUE(client.TlsVersion() == "TLSv1.3" || client.TlsVersion() == "TLSv1.2") << client.TlsVersion();
    // The greeting offers what CAPABILITY lists inside TLS: no STARTTLS.
    client.keepCapabilityCodes = true;
    EXPECT_EQ(client.ReadLine(), "* OK [" + kCaps.substr(2, kCaps.size() - 4) + "] Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
    client.keepCapabilityCodes = false;
    EXPECT_EQ(CapabilityLine(client), kCaps);
    EXPECT_EQ(client.Command("b", "STARTTLS"), std::vector<std::string>{"b BAD STARTTLS not available\r\n"});
    EXPECT_EQ(client.Command("c", "LOGIN ann pw"), std::vector<std::string>{"c OK LOGIN completed\r\n"});
    ASSERT_EQ(client.Command("d", "SELECT INBOX").back(), "d OK [READ-WRITE] SELECT completed\r\n");
    std::vector<std::string> fetch = client.Command("e", "FETCH 1 BODY.PEEK[]");
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
    ASSERT_TRUE(client.Greeted(tls.server.port));
    EXPECT_EQ(CapabilityLine(client), kCapsStartTls);

    // An injected command in the same segment as STARTTLS must never run inside the TLS session.
    client.Send("b STARTTLS\r\nx LOGIN ann pw\r\n");
    ASSERT_EQ(client.ReadLine(), "b OK Begin TLS negotiation now\r\n");
    ASSERT_EQ(client.pending, "");
    ASSERT_TRUE(client.StartTls(tls.caFile));
    EXPECT_EQ(client.Command("c", "NOOP"), std::vector<std::string>{"c OK NOOP completed\r\n"});
    EXPECT_EQ(client.Command("d", "SELECT INBOX"),
              std::vector<std::string>{"d NO Command unrecognized: SELECT\r\n"});
    EXPECT_EQ(CapabilityLine(client), kCaps);
    EXPECT_EQ(client.Command("f", "STARTTLS"), std::vector<std::string>{"f BAD STARTTLS not available\r\n"});
    EXPECT_EQ(client.Command("g", "LOGIN ann pw"), std::vector<std::string>{"g OK LOGIN completed\r\n"});
    EXPECT_EQ(client.Command("h", "STARTTLS"), std::vector<std::string>{"h BAD STARTTLS not available\r\n"});
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
        ASSERT_TRUE(client.Greeted(tls.server.port));
        if (!c.bDisabledOnLoopback) {
            EXPECT_EQ(CapabilityLine(client), kCapsStartTls);
            EXPECT_EQ(client.Command("b", "LOGIN ann pw"), std::vector<std::string>{"b OK LOGIN completed\r\n"});
            continue;
        }
        EXPECT_EQ(CapabilityLine(client),
                  "* CAPABILITY IMAP4 IMAP4rev1 IMAP4rev2 NAMESPACE IDLE LITERAL+ CHILDREN SPECIAL-USE UIDPLUS MOVE ENABLE CONDSTORE QRESYNC STARTTLS LOGINDISABLED SASL-IR AUTH=CRAM-MD5 BINARY MULTIAPPEND CATENATE ID UNSELECT SORT SORT=DISPLAY THREAD=ORDEREDSUBJECT THREAD=REFERENCES\r\n");
        EXPECT_EQ(client.Command("b", "LOGIN ann pw"),
                  std::vector<std::string>{"b NO [PRIVACYREQUIRED] LOGIN needs TLS first (STARTTLS)\r\n"});
        for (const char* pszMechanism : {"PLAIN AGFubgBwdw==", "PLAIN", "LOGIN"}) {
            EXPECT_EQ(client.Command("c", std::string("AUTHENTICATE ") + pszMechanism),
                      std::vector<std::string>{
                          "c NO [PRIVACYREQUIRED] AUTHENTICATE needs TLS first (STARTTLS)\r\n"});
        }
        client.Send("d STARTTLS\r\n");
        ASSERT_EQ(client.ReadLine(), "d OK Begin TLS negotiation now\r\n");
        ASSERT_TRUE(client.StartTls(tls.caFile));
        EXPECT_EQ(CapabilityLine(client), kCaps);
        EXPECT_EQ(client.Command("f", "AUTHENTICATE PLAIN AGFubgBwdw=="),
                  std::vector<std::string>{"f OK AUTHENTICATE completed\r\n"});
    }
}

// A handshake on the implicit-TLS port by a client limited to TLS 1.2 at most (bTls12) and to the
// cipher list; the suite agreed on, "" when the server refused.
std::string Handshake(int nPort, bool bTls12, const char* pszCiphers = nullptr) {
    signal(SIGPIPE, SIG_IGN);
    ImapClient client;
    if (!client.Connect(nPort)) return "no connection";
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    if (bTls12) SSL_CTX_set_max_proto_version(pCtx, TLS1_2_VERSION);
    if (pszCiphers != nullptr) SSL_CTX_set_cipher_list(pCtx, pszCiphers);
    SSL* pSsl = SSL_new(pCtx);
    SSL_set_fd(pSsl, client.fd);
    std::string strSuite = SSL_connect(pSsl) == 1 ? std::string(SSL_get_version(pSsl)) + " " + SSL_get_cipher_name(pSsl) : "";
    SSL_free(pSsl);
    SSL_CTX_free(pCtx);
    return strSuite;
}

TEST(Tls, ForwardSecretSuitesOnlyInTheServersOrderUnlessTheRegistrySaysOtherwise) {
    {
        TlsServer tls;
        SyslogSocket syslog(tls.server.dir);
        ASSERT_TRUE(tls.Start("", "@DIR@/cert.pem", {syslog.Env()}, true)) << tls.server.Output();
        // Static RSA (no forward secrecy) and CBC suites are refused, and the refusal is logged.
        EXPECT_EQ(Handshake(tls.tlsPort, true, "AES128-GCM-SHA256"), "");
        EXPECT_EQ(Handshake(tls.tlsPort, true, "ECDHE-RSA-AES128-SHA"), "");
        EXPECT_TRUE(syslog.WaitFor("]: TLS handshake failed: rip=127.0.0.1 lip=127.0.0.1 reason=<TLS handshake: "));
        // The client's order does not count: the server's first choice wins.
        EXPECT_EQ(Handshake(tls.tlsPort, true, "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256"),
                  "TLSv1.2 ECDHE-RSA-AES128-GCM-SHA256");
        EXPECT_EQ(Handshake(tls.tlsPort, false).substr(0, 8), "TLSv1.3 ");
    }
    {
        TlsServer tls;
        ASSERT_TRUE(tls.Start("\"TlsCipherList\"=\"AES128-GCM-SHA256\"\n", "@DIR@/cert.pem", {}, true))
            << tls.server.Output();
        EXPECT_EQ(Handshake(tls.tlsPort, true, "AES128-GCM-SHA256"), "TLSv1.2 AES128-GCM-SHA256");
    }
    {
        TlsServer tls;
        ASSERT_TRUE(tls.Start("\"TlsMinVersion\"=\"1.3\"\n")) << tls.server.Output();
        EXPECT_EQ(Handshake(tls.tlsPort, true), "");
        EXPECT_EQ(Handshake(tls.tlsPort, false).substr(0, 8), "TLSv1.3 ");
    }
}

// A renewed certificate is taken on SIGHUP; one that does not load leaves the old one serving.
TEST(Tls, SighupReloadsTheCertificate) {
    TlsServer tls;
    SyslogSocket syslog(tls.server.dir);
    ASSERT_TRUE(tls.Start("", "@DIR@/cert.pem", {syslog.Env()})) << tls.server.Output();
    const std::string strDir = tls.server.dir;
    ASSERT_TRUE(MakeCertificate(strDir, "new"));
    const std::string strOldCa = strDir + "/old-ca.pem", strNewCa = strDir + "/certnew.pem";
    WriteFile(strOldCa, ReadFile(strDir + "/cert.pem"));
    auto Trusted = [&](const std::string& strCa) {
        ImapClient client;
        return client.Connect(tls.tlsPort) && client.StartTls(strCa) && client.ReadLine() == kGreeting;
    };
    EXPECT_TRUE(Trusted(strOldCa));
    EXPECT_FALSE(Trusted(strNewCa));

    WriteFile(strDir + "/cert.pem", ReadFile(strNewCa));
    WriteFile(strDir + "/key.pem", ReadFile(strDir + "/keynew.pem"));
    ASSERT_EQ(tls.server.Signal(SIGHUP), 0);
    ASSERT_TRUE(syslog.WaitFor("]: reload: TLS certificate " + strDir + "/cert.pem and key " + strDir + "/key.pem loaded"))
        << tls.server.Output();
    EXPECT_TRUE(Trusted(strNewCa));
    EXPECT_FALSE(Trusted(strOldCa));

    WriteFile(strDir + "/cert.pem", "half a renewal\n");
    ASSERT_EQ(tls.server.Signal(SIGHUP), 0);
    ASSERT_TRUE(syslog.WaitFor("]: reload failed, the certificate in use is kept: certificate chain " + strDir + "/cert.pem"))
        << tls.server.Output();
    EXPECT_TRUE(Trusted(strNewCa));
    EXPECT_TRUE(tls.server.Running());
}

bool Installed(const std::string& strProgram) {
    return std::system(("command -v " + strProgram + " >/dev/null 2>&1").c_str()) == 0;
}

// Real clients with their default TLS settings, trusting only the test certificate, each fetch
// the message over IMAPS and over STARTTLS.
TEST(Tls, CurlAndFetchmailLogInOverBothPorts) {
    TlsServer tls;
    ASSERT_TRUE(tls.Start()) << tls.server.Output();
    // curl and fetchmail prefer CRAM-MD5, which reads the POP3 password file.
    WriteFile(tls.server.dir + "/users/ann/apop.dat", "pw\n");
    const std::string strImap = std::to_string(tls.server.port), strImaps = std::to_string(tls.tlsPort);
    const std::string strCa = tls.caFile, strDir = tls.server.dir;
    struct Case {
        const char* pszClient;
        std::string strCommand;
    };
    std::vector<Case> cases = {
        {"curl", "curl -sS --max-time 20 --cacert " + strCa + " 'imaps://localhost:" + strImaps + "/INBOX;UID=1' -u ann:pw"},
        {"curl", "curl -sS --max-time 20 --ssl-reqd --cacert " + strCa + " 'imap://localhost:" + strImap +
                     "/INBOX;UID=1' -u ann:pw"},
    };
    for (const char* pszSsl : {"", " ssl"}) {
        std::string strRc = strDir + "/fetchmailrc" + (pszSsl[0] ? "-ssl" : "");
        WriteFile(strRc, std::string("poll localhost port ") + (pszSsl[0] ? strImaps : strImap) +
                             " proto imap user ann password pw keep" + pszSsl + " sslcertfile " + strCa +
                             " mda \"cat >> " + strRc + ".mbox\"\n");
        chmod(strRc.c_str(), 0600);
        cases.push_back({"fetchmail", "HOME=" + strDir + " timeout 60 fetchmail -f " + strRc + " -a && cat " + strRc + ".mbox"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strCommand);
        if (!Installed(c.pszClient)) {
            ADD_FAILURE() << c.pszClient << " is not installed (scripts/install-deps.sh installs it)";
            continue;
        }
        std::string strOut = RunShell(c.strCommand), strBody = "secret body";
        size_t nCopies = 0;
        for (size_t at = strOut.find(strBody); at != std::string::npos; at = strOut.find(strBody, at + 1)) {
            nCopies++;
        }
        EXPECT_EQ(nCopies, 1u) << strOut;
    }
}

}  // namespace
