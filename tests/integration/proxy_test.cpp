// A load balancer in front, speaking the PROXY protocol: loopback addresses play the balancer,
// its headers name clients from documentation ranges. What the client's address decides (the
// logs, AddressLimit) must follow the header; a header from anyone else, or a broken one,
// closes the connection and changes nothing else.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "syslog_socket.h"
#include "test_server.h"

namespace {

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

std::string Raw(std::initializer_list<int> bytes) {
    std::string text;
    for (int b : bytes) text += static_cast<char>(b);
    return text;
}

// A v2 PROXY header for a TCP client of the family's, to 198.51.100.1:143 (or 2001:db8::1).
std::string V2Ipv4(int a, int b, int c, int d, unsigned char cFamily = 0x11) {
    return kSignature + Raw({0x21, cFamily, 0, 12, a, b, c, d, 198, 51, 100, 1, 0xc7, 0x38, 0, 143});
}
std::string V2Ipv6Doc(int nLast) {
    return kSignature + Raw({0x21, 0x21, 0, 36, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nLast,
                             0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xc7, 0x38, 0, 143});
}
const std::string kV2Local = kSignature + Raw({0x20, 0x00, 0, 0});

std::string Hex(int n) {
    char hex[16];
    snprintf(hex, sizeof(hex), "%08x", n);
    return hex;
}

// User ann, TLS on both ports, the access log on, both loopback addresses trusted balancers
// (IPv6 where the machine has it), and the system log caught.
struct BalancedServer {
    TestServer server;
    SyslogSocket syslog{server.dir};
    int tlsPort = 0;
    bool bIpv6 = Ipv6LoopbackAvailable();

    bool Start(const std::string& extraService = "", int nAddressFamily = -1,
               const std::string& trusted = "str(7):\"127.0.0.1\\0::1\\0\"") {
        if (!MakeCertificate(server.dir)) return false;
        server.AddUser("ann", "pw");
        tlsPort = FreePort();
        if (nAddressFamily < 0) nAddressFamily = bIpv6 ? 2 : 0;
        return server.Start(
            TestServer::UserFileRegistry(
                "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n\"AddressFamily\"=dword:" + Hex(nAddressFamily) + "\n" +
                "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
                "\"Imap4LogEnabled\"=dword:00000001\n" +
                TestServer::ServiceKey("\"TlsCertificateFile\"=\"@DIR@/cert.pem\"\n\"TlsKeyFile\"=\"@DIR@/key.pem\"\n"
                                       "\"TlsPortNo\"=dword:" + Hex(tlsPort) + "\n"
                                       "\"ProxyTrusted\"=" + trusted + "\n" + extraService)),
            {"-debug"}, {syslog.Env()});
    }
    std::string AccessLog() { return ReadFilesIn(server.dir + "/spool/imap4log"); }
    std::string Ca() { return server.dir + "/cert.pem"; }
};

// Connects as the balancer, sends the header and reads the greeting (through TLS on tlsPort).
bool GreetedThrough(ImapClient& client, int port, const std::string& header, const char* pszBalancer = "127.0.0.1",
                    const std::string& caFile = "") {
    if (!client.Connect(port, pszBalancer)) return false;
    client.Send(header);
    if (!caFile.empty() && !client.StartTls(caFile)) return false;
    return client.ReadLine() == kGreeting;
}

TEST(ProxyProtocol, TrustedHeadersNameTheClientOnBothPortsInEveryLog) {
    BalancedServer balanced;
    ASSERT_TRUE(balanced.Start()) << balanced.server.Output();
    const int port = balanced.server.port;
    struct Way {
        const char* pszName;
        int nPort;
        std::string header;
        const char* pszBalancer;
        bool bTls;
        const char* pszClient;
    };
    std::vector<Way> ways = {
        {"v1 clear", port, "PROXY TCP4 192.0.2.7 198.51.100.1 51000 143\r\n", "127.0.0.1", false, "192.0.2.7"},
        {"v2 clear", port, V2Ipv4(192, 0, 2, 8), "127.0.0.1", false, "192.0.2.8"},
        {"v2 TLS", balanced.tlsPort, V2Ipv4(192, 0, 2, 9), "127.0.0.1", true, "192.0.2.9"},
        {"v1 TLS", balanced.tlsPort, "PROXY TCP4 192.0.2.10 198.51.100.1 51000 993\r\n", "127.0.0.1", true,
         "192.0.2.10"},
    };
    if (balanced.bIpv6) {
        ways.push_back({"v2 IPv6 client from the IPv6 balancer", port, V2Ipv6Doc(7), "::1", false, "2001:db8::7"});
        ways.push_back({"v1 TLS from the IPv6 balancer", balanced.tlsPort,
                        "PROXY TCP6 2001:db8::8 2001:db8::1 51000 993\r\n", "::1", true, "2001:db8::8"});
    }
    for (const Way& way : ways) {
        SCOPED_TRACE(way.pszName);
        ImapClient client;
        ASSERT_TRUE(GreetedThrough(client, way.nPort, way.header, way.pszBalancer, way.bTls ? balanced.Ca() : ""))
            << balanced.server.Output();
        EXPECT_EQ(client.Command("l", "LOGIN ann pw").back(), "l OK LOGIN completed\r\n");
        EXPECT_EQ(client.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
        client.Command("q", "LOGOUT");
        // The domain follows the local address (test.local is 127.0.0.1's), not the client's.
        std::string line = std::string("login ok: method=LOGIN rip=") + way.pszClient + " lip=" +
                           (std::string(way.pszBalancer) == "::1" ? "::1 tls=" : "127.0.0.1 tls=") +
                           (way.bTls ? "yes" : "no") + " user=<ann@";
        EXPECT_TRUE(balanced.syslog.WaitFor(line)) << line << "\n" << ::testing::PrintToString(balanced.syslog.received);
        EXPECT_TRUE(balanced.server.WaitForOutput(std::string("from balancer ") + way.pszBalancer + ": client " +
                                                  way.pszClient + " port 51000"));
    }
    // The header's bytes are taken and none behind them: a command sent in the same segment
    // (or a TLS hello) is the client's.
    ImapClient eager;
    ASSERT_TRUE(eager.Connect(port));
    eager.Send("PROXY TCP4 192.0.2.11 198.51.100.1 51000 143\r\na1 NOOP\r\n");
    EXPECT_EQ(eager.ReadLine(), kGreeting);
    EXPECT_EQ(eager.ReadLine(), "a1 OK NOOP completed\r\n");
    // A health check speaks for the balancer itself.
    ImapClient check;
    ASSERT_TRUE(GreetedThrough(check, port, kV2Local));
    EXPECT_EQ(check.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
    check.Command("q", "LOGOUT");

    std::string access = balanced.AccessLog();
    for (const Way& way : ways) {
        EXPECT_TRUE(Has(access, std::string(" from ") + way.pszClient + " NOOP - \n")) << way.pszClient << "\n" << access;
    }
    EXPECT_TRUE(Has(access, "] - from 127.0.0.1 NOOP")) << access;
    EXPECT_FALSE(Has(access, "from 127.0.0.1 LOGIN")) << access;
    EXPECT_FALSE(Has(access, "from ::1")) << access;
}

TEST(ProxyProtocol, BadOrUnbelievedHeadersCloseWithALogLineAndNothingElseChanges) {
    BalancedServer balanced;
    ASSERT_TRUE(balanced.Start()) << balanced.server.Output();
    const int port = balanced.server.port;
    auto Refused = [&](const std::string& reason) {
        return balanced.syslog.WaitFor("PROXY header refused: rip=" + reason);
    };

    // Not a trusted balancer: greeted as the client it is, then closed for the header.
    {
        ImapClient client;
        ASSERT_TRUE(client.Greeted(port, "127.0.0.1", "127.0.0.2"));
        client.Send("PROXY TCP4 192.0.2.7 198.51.100.1 51000 143\r\n");
        EXPECT_TRUE(client.ClosedByPeer());
        EXPECT_TRUE(Refused("127.0.0.2 lip=127.0.0.1 reason=<PROXY header from an address not in ProxyTrusted> "
                            "received=<PROXY TCP4 192.0.2.7 198.51.100.1 51000 143\\x0d\\x0a>"))
            << ::testing::PrintToString(balanced.syslog.received);
    }
    {
        ImapClient client;
        ASSERT_TRUE(client.Connect(balanced.tlsPort, "127.0.0.1", "127.0.0.3"));
        client.Send(V2Ipv4(192, 0, 2, 7));
        EXPECT_TRUE(client.ClosedByPeer());
        EXPECT_TRUE(Refused("127.0.0.3 lip=127.0.0.1 reason=<PROXY header from an address not in ProxyTrusted> "
                            "received=<\\x0d\\x0a\\x0d\\x0a\\x00\\x0d\\x0aQUIT\\x0a!\\x11\\x00\\x0c>"))
            << ::testing::PrintToString(balanced.syslog.received);
    }
    // From the balancer: no greeting, only the close.
    struct Bad {
        const char* pszName;
        std::string bytes;
        int nPort;
        std::string reason;
    };
    std::string truncated = V2Ipv4(192, 0, 2, 7).substr(0, 20);
    const std::vector<Bad> bads = {
        {"malformed v1", "PROXY TCP4 192.0.2.7 198.51.100.1 99999 143\r\n", port,
         "v1 port is not a number from 0 to 65535"},
        {"malformed v1 on TLS", "PROXY TCP4 192.0.2.7\r\n", balanced.tlsPort, "v1 line has fewer than four address fields"},
        {"v2 UDP", V2Ipv4(192, 0, 2, 7, 0x12), balanced.tlsPort, "v2 family or transport is not TCP over IPv4 or IPv6"},
        {"wrong v2 version", kSignature + Raw({0x31, 0x11, 0, 0}), port, "v2 version is not 2"},
        {"a command instead of a header", "a1 LOGIN ann pw\r\n", port, "no PROXY header from a trusted balancer"},
        {"truncated", truncated, port, "PROXY header not finished in time"},
        {"nothing", "", port, "no PROXY header in time"},
    };
    for (const Bad& bad : bads) {
        SCOPED_TRACE(bad.pszName);
        ImapClient client;
        ASSERT_TRUE(client.Connect(bad.nPort));
        if (!bad.bytes.empty()) client.Send(bad.bytes);
        EXPECT_EQ(client.ReadLine(), "");
        EXPECT_TRUE(client.ClosedByPeer());
        EXPECT_TRUE(Refused("127.0.0.1 lip=127.0.0.1 reason=<" + bad.reason + ">"))
            << ::testing::PrintToString(balanced.syslog.received);
    }
    // A plain TCP health check (connect, close) is no warning.
    {
        ImapClient check;
        ASSERT_TRUE(check.Connect(port));
    }
    EXPECT_TRUE(balanced.server.WaitForOutput("balancer 127.0.0.1 closed without a word"));
    // Nothing of it stayed: the balancer's clients and direct clients are served as before.
    ImapClient after;
    ASSERT_TRUE(GreetedThrough(after, port, V2Ipv4(192, 0, 2, 20)));
    EXPECT_EQ(after.Command("l", "LOGIN ann pw").back(), "l OK LOGIN completed\r\n");
    ImapClient direct;
    ASSERT_TRUE(direct.Greeted(port, "127.0.0.1", "127.0.0.5"));
    EXPECT_EQ(direct.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
    EXPECT_FALSE(Has(balanced.AccessLog(), "192.0.2.7")) << balanced.AccessLog();
    balanced.syslog.WaitFor("(collects what came meanwhile)", 500);
    size_t nRefusals = 0;
    for (const std::string& line : balanced.syslog.received) nRefusals += Has(line, "PROXY header refused") ? 1 : 0;
    EXPECT_EQ(nRefusals, 2 + bads.size());
}

TEST(ProxyProtocol, AClientOfAFamilyTheServerDoesNotServeIsRefused) {
    BalancedServer balanced;
    ASSERT_TRUE(balanced.Start("", 0)) << balanced.server.Output();
    ImapClient client;
    ASSERT_TRUE(client.Connect(balanced.server.port));
    client.Send("PROXY TCP6 2001:db8::7 2001:db8::1 51000 143\r\n");
    EXPECT_EQ(client.ReadLine(), "");
    EXPECT_TRUE(balanced.syslog.WaitFor(
        "reason=<PROXY header names an IPv6 client; AddressFamily serves IPv4 only>"))
        << ::testing::PrintToString(balanced.syslog.received);
    ImapClient ipv4;
    EXPECT_TRUE(GreetedThrough(ipv4, balanced.server.port, V2Ipv4(192, 0, 2, 7)));
}

// The limit counts clients, not the balancer that all of them come through: one logged-in
// client behind it leaves room for another, not for a second session of its own.
TEST(ProxyProtocol, AddressLimitCountsTheClientTheHeaderNames) {
    BalancedServer balanced;
    // One text value may name several balancers.
    ASSERT_TRUE(balanced.Start("\"AddressLimit\"=dword:00000001\n", -1, "\"::1, 127.0.0.0/30\"")) << balanced.server.Output();
    const int port = balanced.server.port;
    ImapClient working, other, again;
    ASSERT_TRUE(GreetedThrough(working, port, V2Ipv4(192, 0, 2, 7)));
    EXPECT_EQ(working.Command("l", "LOGIN ann pw").back(), "l OK LOGIN completed\r\n");
    ASSERT_TRUE(GreetedThrough(other, port, "PROXY TCP4 192.0.2.8 198.51.100.1 51000 143\r\n"));
    EXPECT_EQ(other.Command("l", "LOGIN ann pw").back(), "l OK LOGIN completed\r\n");
    ASSERT_TRUE(again.Connect(port));
    again.Send(V2Ipv4(192, 0, 2, 7));
    EXPECT_EQ(again.ReadLine(), "* BYE Too many connections from your address\r\n");
    EXPECT_TRUE(again.ClosedByPeer());
    EXPECT_EQ(working.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
}

// Where the balancer may also connect for itself, its silence is such a connection: greeted
// once the header's time is over, under its own address. A header is still read.
TEST(ProxyProtocol, OptionalHeaderLetsTheBalancerConnectForItself) {
    BalancedServer balanced;
    ASSERT_TRUE(balanced.Start("\"ProxyRequired\"=dword:00000000\n")) << balanced.server.Output();
    ImapClient itself;
    ASSERT_TRUE(itself.Connect(balanced.server.port));
    EXPECT_EQ(itself.ReadLine(), kGreeting);
    EXPECT_EQ(itself.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
    ImapClient tls;
    ASSERT_TRUE(tls.Connect(balanced.tlsPort));
    ASSERT_TRUE(tls.StartTls(balanced.Ca()));
    EXPECT_EQ(tls.ReadLine(), kGreeting);
    ImapClient client;
    ASSERT_TRUE(GreetedThrough(client, balanced.server.port, V2Ipv4(192, 0, 2, 7)));
    EXPECT_EQ(client.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
    std::string access = balanced.AccessLog();
    EXPECT_TRUE(Has(access, "] - from 127.0.0.1 NOOP")) << access;
    EXPECT_TRUE(Has(access, "] - from 192.0.2.7 NOOP")) << access;
    // A broken header is still refused.
    ImapClient broken;
    ASSERT_TRUE(broken.Connect(balanced.server.port));
    broken.Send("PROXY TCP4 nonsense\r\n");
    EXPECT_EQ(broken.ReadLine(), "");
}

}  // namespace

namespace {

// config check knows a running server by its greeting; where the check's own address is a
// trusted balancer, it must say "PROXY LOCAL" first or it hears nothing.
TEST(ProxyProtocol, ConfigCheckKnowsTheRunningServerBehindItsBalancerList) {
    BalancedServer balanced;
    ASSERT_TRUE(balanced.Start()) << balanced.server.Output();
    std::string out = RunShell("VEVE4D_REGISTRY='" + balanced.server.registryPath + "' " VEVE4D_ADMIN_BINARY
                               " config check");
    EXPECT_TRUE(Has(out, "port " + std::to_string(balanced.server.port) + " is in use by a running IMAP server"))
        << out;
    EXPECT_FALSE(Has(out, "port " + std::to_string(balanced.server.port) + " is already in use")) << out;
    EXPECT_FALSE(Has(balanced.server.Output(), "PROXY header refused")) << balanced.server.Output();
}

}  // namespace

namespace {

// Balancer connections that never send their header each hold a thread for the header's time
// only, at most 256 of them at once, and never keep the accept loop from anyone else.
TEST(ProxyProtocol, SlowBalancerConnectionsHoldFewThreadsAndBlockNoOne) {
    BalancedServer balanced;
    ASSERT_TRUE(balanced.Start()) << balanced.server.Output();
    const int port = balanced.server.port;
    std::vector<std::unique_ptr<ImapClient>> slow;
    for (int i = 0; i < 256; i++) {
        slow.push_back(std::make_unique<ImapClient>());
        ASSERT_TRUE(slow.back()->Connect(port)) << i;
    }
    ImapClient direct;
    EXPECT_TRUE(direct.Greeted(port, "127.0.0.1", "127.0.0.2"));
    ImapClient oneTooMany;
    ASSERT_TRUE(oneTooMany.Connect(port));
    EXPECT_TRUE(oneTooMany.ClosedByPeer());
    EXPECT_TRUE(balanced.server.WaitForOutput("too many balancer connections waiting for their PROXY header (256)"));
    // Once their time is over, the places are free again. (Their refusals are read meanwhile: the
    // server's log socket, like syslog's, takes only so many unread lines.)
    balanced.syslog.WaitFor("(reads until the refusals stop)", 4000);
    EXPECT_TRUE(slow.front()->ClosedByPeer());
    ImapClient later;
    for (int attempt = 0; attempt < 20; attempt++) {
        if (GreetedThrough(later, port, V2Ipv4(192, 0, 2, 7))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_EQ(later.Command("n", "NOOP").back(), "n OK NOOP completed\r\n");
}

}  // namespace
