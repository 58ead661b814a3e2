// What an administrator sees of the server's own life: a start that cannot work fails with one
// line naming the value and the file and a non-zero exit, systemd never hears READY; starts,
// stops, reloads and logins reach the system log in their fixed forms.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "notify_socket.h"
#include "syslog_socket.h"
#include "test_server.h"

namespace {


std::string Hex(int n) {
    char sz[16];
    snprintf(sz, sizeof sz, "%08x", n);
    return sz;
}

// A listening socket on the wildcard address holding a port, as another server would.
struct PortHolder {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    PortHolder() {
        for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
            int candidate = FreePort();
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<uint16_t>(candidate));
            if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 1) == 0) port = candidate;
        }
    }
    ~PortHolder() { close(fd); }
};

std::string TlsFiles(const std::string& cert, const std::string& key, const std::string& extra = "") {
    return TestServer::ServiceKey("\"TlsCertificateFile\"=\"" + cert + "\"\n\"TlsKeyFile\"=\"" + key + "\"\n" + extra);
}

TEST(StartFailure, EveryUnusableSettingStopsTheStartWithItsNameAndFile) {
    PortHolder taken;
    ASSERT_NE(taken.port, 0);
    const std::string strTaken = std::to_string(taken.port);
    struct Case {
        std::string strRegistry;  // added to the basic registry
        std::string strLine;      // after "server start failed: "; @REG@ is the registry file
    };
    const std::vector<Case> cases = {
        {TestServer::ServiceKey("\"ListenMode\"=dword:00000001\n\"ListenIP\"=str(7):\"127.0.0.1 " + strTaken + "\\0\"\n"),
         "cannot listen on 127.0.0.1:" + strTaken + " (ListenIP in @REG@): Address already in use"},
        {TestServer::ServiceKey("\"ListenMode\"=dword:00000001\n\"ListenIP\"=str(7):\"192.0.2.1 @PORT@\\0\"\n"),
         "cannot listen on 192.0.2.1:@PORT@ (ListenIP in @REG@): Cannot assign requested address"},
        {TestServer::ServiceKey("\"ListenMode\"=dword:00000001\n\"ListenIP\"=str(7):\"999.1.1.1 143\\0\"\n"),
         "ListenIP \"999.1.1.1 143\" in @REG@: not an IP address, optionally followed by one blank and a port"},
        {TestServer::ServiceKey("\"ListenMode\"=dword:00000001\n\"ListenIP\"=str(7):\"127.0.0.1 70000\\0\"\n"),
         "ListenIP \"127.0.0.1 70000\" in @REG@: not an IP address, optionally followed by one blank and a port"},
        {"\"AddressFamily\"=dword:00000009\n", "AddressFamily 9 in @REG@: not 0 (IPv4), 1 (IPv6) or 2 (both)"},
        {TestServer::ServiceKey("\"ProxyTrusted\"=\"10.0.0.1, balancer.example.org\"\n"),
         "ProxyTrusted \"balancer.example.org\" in @REG@: not an IP address or an address/prefix range"},
        {TlsFiles("@DIR@/cert.pem", "@DIR@/key.pem", "\"TlsPortNo\"=dword:@PORTHEX@\n"),
         "TlsPortNo @PORT@ in @REG@: the same port as PortNo"},
        {TlsFiles("@DIR@/cert.pem", "@DIR@/key.pem", "\"TlsPortNo\"=dword:" + Hex(taken.port) + "\n"),
         "cannot listen on 0.0.0.0:" + strTaken + " (TlsPortNo in @REG@): Address already in use"},
        {TestServer::ServiceKey("\"TlsCertificateFile\"=\"@DIR@/cert.pem\"\n"),
         "TlsKeyFile in @REG@ names no file: TLS needs both TlsCertificateFile and TlsKeyFile"},
        {TlsFiles("@DIR@/missing.pem", "@DIR@/key.pem"),
         "TLS (@REG@): certificate chain @DIR@/missing.pem: No such file or directory"},
        {TlsFiles("@DIR@/garbage.pem", "@DIR@/key.pem"), "TLS (@REG@): certificate chain @DIR@/garbage.pem: "},
        {TlsFiles("@DIR@/key.pem", "@DIR@/key.pem"), "TLS (@REG@): certificate chain @DIR@/key.pem: "},
        {TlsFiles("@DIR@/cert.pem", "@DIR@/nokey.pem"),
         "TLS (@REG@): certificate key @DIR@/nokey.pem: No such file or directory"},
        {TlsFiles("@DIR@/cert.pem", "@DIR@/key2.pem"),
         "TLS (@REG@): certificate key @DIR@/key2.pem does not match certificate @DIR@/cert.pem"},
        {TlsFiles("@DIR@/cert.pem", "@DIR@/key.pem", "\"TlsMinVersion\"=\"1.1\"\n"),
         "TLS (@REG@): TlsMinVersion \"1.1\": not 1.2 or 1.3"},
        {TlsFiles("@DIR@/cert.pem", "@DIR@/key.pem", "\"TlsCipherList\"=\"NO-SUCH-CIPHER\"\n"),
         "TLS (@REG@): TlsCipherList \"NO-SUCH-CIPHER\": no cipher OpenSSL knows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strLine);
        NotifySocket notify;
        TestServer server;
        SyslogSocket syslog(server.dir);
        ASSERT_TRUE(MakeCertificate(server.dir) && MakeCertificate(server.dir, "2"));
        WriteFile(server.dir + "/garbage.pem", "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry(c.strRegistry), {}, {"NOTIFY_SOCKET=" + notify.name, syslog.Env()}));
        const pid_t pid = server.pid;
        // systemd shows the unit failed: non-zero exit, never READY, the stop carries an error.
        EXPECT_EQ(server.WaitExit(), 1) << server.Output();
        std::string strNotes;
        for (std::string note = notify.Next(2000); !note.empty(); note = notify.Next(500)) strNotes += note;
        EXPECT_FALSE(Has(strNotes, "READY=1")) << strNotes;
        EXPECT_TRUE(Has(strNotes, "STATUS=Stopped (error ")) << strNotes;

        std::string strExpected = c.strLine;
        for (auto [from, to] : {std::pair<std::string, std::string>{"@REG@", server.registryPath}, {"@DIR@", server.dir},
                                {"@PORT@", std::to_string(server.port)}}) {
            for (size_t at = strExpected.find(from); at != std::string::npos; at = strExpected.find(from, at + to.size()))
                strExpected.replace(at, from.size(), to);
        }
        std::string out = server.Output();
        EXPECT_TRUE(Has(out, "\nserver start failed: " + strExpected)) << out;
        ASSERT_TRUE(syslog.WaitFor("server start failed: ")) << out;
        // Facility mail, level error, one line.
        std::vector<std::string> lines = syslog.With("start failed");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("<19>", 0), 0u) << lines[0];
        EXPECT_TRUE(Has(lines[0], " VLMVEVE4D-SVC[" + std::to_string(pid) + "]: server start failed: " + strExpected))
            << lines[0];
        EXPECT_FALSE(Has(lines[0], "\n"));
        EXPECT_FALSE(Has(out, "wait select()")) << out;
    }
}

TEST(StartFailure, DebugModeExitsWithAFailureToo) {
    TestServer server;
    WriteFile(server.registryPath, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
                                   "\"MailSpoolDir\"=\"" + server.dir + "/spool\"\n\"AddressFamily\"=dword:00000003\n");
    ASSERT_TRUE(server.Launch({"-debug"}, {}, false));
    EXPECT_EQ(server.WaitExit(), 1) << server.Output();
    EXPECT_TRUE(Has(server.Output(), "server start failed: AddressFamily 3 in " + server.registryPath)) << server.Output();
}

TEST(ServiceLog, StartAndStopAreLoggedAndACleanStopPrintsNoError) {
    NotifySocket notify;
    TestServer server;
    SyslogSocket syslog(server.dir);
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry(), {}, {"NOTIFY_SOCKET=" + notify.name, syslog.Env()}));
    ASSERT_TRUE(syslog.WaitFor("server started: ")) << server.Output();
    EXPECT_EQ(syslog.With("server started: ").at(0).substr(0, 4), "<22>");  // mail.info
    EXPECT_TRUE(Has(syslog.With("server started: ").at(0),
                    "]: server started: version (0.07), listening on 0.0.0.0:" + std::to_string(server.port)))
        << syslog.With("server started: ").at(0);
    ASSERT_TRUE(server.WaitForOutput("wait select()")) << server.Output();
    ASSERT_EQ(server.Signal(SIGTERM), 0);
    EXPECT_EQ(server.WaitExit(), 0);
    EXPECT_TRUE(syslog.WaitFor("]: server stopped")) << server.Output();
    EXPECT_FALSE(Has(server.Output(), "(error) accept clients.")) << server.Output();
}

TEST(ServiceLog, ASecondInstanceFailsAndSaysWhy) {
    TestServer first;
    ASSERT_TRUE(first.Start(TestServer::BasicRegistry()));
    NotifySocket notify;
    TestServer second;
    SyslogSocket syslog(second.dir);
    second.pipeName = first.pipeName;
    ASSERT_TRUE(second.Start(TestServer::BasicRegistry(), {}, {"NOTIFY_SOCKET=" + notify.name, syslog.Env()}));
    EXPECT_EQ(second.WaitExit(), 1) << second.Output();
    EXPECT_TRUE(Has(second.Output(), "server start failed: the named pipe could not be made (\"" + first.pipeName +
                                         "\": Address already in use); is another instance running?"))
        << second.Output();
    EXPECT_TRUE(syslog.WaitFor("is another instance running?"));
    // The first one serves on.
    ImapClient client;
    EXPECT_TRUE(client.Greeted(first.port));
}

}  // namespace
