// PROXY protocol headers as balancers send them, and as they must not: every prefix of a good
// header asks for more and never for less, the bytes behind a header are the client's, and
// the trusted-balancer list matches addresses and ranges of both families.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/proxy_trust.h"
#include "net/proxy_header.h"
#include "platform/socket.h"

namespace {

using Bytes = std::string;

const Bytes kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: command byte, family byte, then the block (its length is filled in).
Bytes V2(unsigned char cCommand, unsigned char cFamily, const Bytes& block) {
    Bytes header = kSignature;
    header += static_cast<char>(cCommand);
    header += static_cast<char>(cFamily);
    header += static_cast<char>(block.size() >> 8);
    header += static_cast<char>(block.size() & 0xff);
    return header + block;
}

Bytes Raw(std::initializer_list<int> bytes) {
    Bytes text;
    for (int b : bytes) text += static_cast<char>(b);
    return text;
}

// 192.0.2.7:51000 -> 198.51.100.1:143
const Bytes kIpv4Block = Raw({192, 0, 2, 7, 198, 51, 100, 1, 0xc7, 0x38, 0x00, 0x8f});
// 2001:db8::7:51000 -> 2001:db8::1:993
const Bytes kIpv6Block = Raw({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7,
                              0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                              0xc7, 0x38, 0x03, 0xe1});

ProxyParse Parse(const Bytes& bytes, ProxyHeader* pHeader) {
    return ParseProxyHeader(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), pHeader);
}

struct GoodCase {
    const char* pszName;
    Bytes header;
    int nVersion;
    bool bLocal;
    int nFamily;
    const char* pszSource;
    unsigned int nSourcePort;
    const char* pszDestination;
};

std::vector<GoodCase> GoodHeaders() {
    return {
        {"v1 TCP4", "PROXY TCP4 192.0.2.7 198.51.100.1 51000 143\r\n", 1, false, FAMILY_IPV4, "192.0.2.7", 51000,
         "198.51.100.1"},
        // Written as the sender likes; logged and counted in one canonical form.
        {"v1 TCP6", "PROXY TCP6 2001:DB8:0:0::7 2001:db8::1 0 65535\r\n", 1, false, FAMILY_IPV6, "2001:db8::7", 0,
         "2001:db8::1"},
        {"v1 TCP6 mapped IPv4", "PROXY TCP6 ::ffff:192.0.2.9 ::1 1 2\r\n", 1, false, FAMILY_IPV4, "192.0.2.9", 1,
         "::1"},
        {"v1 longest", "PROXY TCP6 ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
                       "65535 65535\r\n",
         1, false, FAMILY_IPV6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", 65535,
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", 1, true, 0, "", 0, ""},
        {"v1 UNKNOWN with addresses", "PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
                                      "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n",
         1, true, 0, "", 0, ""},
        {"v2 IPv4", V2(0x21, 0x11, kIpv4Block), 2, false, FAMILY_IPV4, "192.0.2.7", 51000, "198.51.100.1"},
        {"v2 IPv6", V2(0x21, 0x21, kIpv6Block), 2, false, FAMILY_IPV6, "2001:db8::7", 51000, "2001:db8::1"},
        // Extensions (ALPN "imap", a NOOP with nothing, an authority) are stepped over.
        {"v2 IPv4 with extensions", V2(0x21, 0x11, kIpv4Block + Raw({0x01, 0, 4}) + "imap" + Raw({0x04, 0, 0}) +
                                                       Raw({0x02, 0, 11}) + "example.org"),
         2, false, FAMILY_IPV4, "192.0.2.7", 51000, "198.51.100.1"},
        // A health check: whatever family and block it brings, the connection is the balancer's.
        {"v2 LOCAL", V2(0x20, 0x00, ""), 2, true, 0, "", 0, ""},
        {"v2 LOCAL with a block", V2(0x20, 0x11, kIpv4Block), 2, true, 0, "", 0, ""},
        {"v2 LOCAL unix family", V2(0x20, 0x31, Bytes(216, 'x')), 2, true, 0, "", 0, ""},
        {"v2 PROXY UNSPEC", V2(0x21, 0x00, Raw({1, 2, 3})), 2, true, 0, "", 0, ""},
    };
}

TEST(ProxyHeader, GoodHeadersNameTheClientAndEndWhereTheyEnd) {
    for (const GoodCase& good : GoodHeaders()) {
        SCOPED_TRACE(good.pszName);
        ProxyHeader header{};
        // The client's first bytes behind the header are not the header's.
        ASSERT_EQ(Parse(good.header + "a1 CAPABILITY\r\n", &header), PROXY_COMPLETE) << header.pszError;
        EXPECT_EQ(header.nLength, good.header.size());
        EXPECT_EQ(header.nVersion, good.nVersion);
        EXPECT_EQ(header.bLocal, good.bLocal);
        EXPECT_EQ(header.nFamily, good.nFamily);
        EXPECT_STREQ(header.szSource, good.pszSource);
        EXPECT_STREQ(header.szDestination, good.pszDestination);
        EXPECT_EQ(header.usSourcePort, good.nSourcePort);
        // Cut anywhere, it is a header still coming: the reader may take every byte so far.
        for (size_t n = 0; n < good.header.size(); n++) {
            ProxyHeader cut{};
            ASSERT_EQ(Parse(good.header.substr(0, n), &cut), PROXY_INCOMPLETE) << "cut at " << n << ": " << cut.pszError;
        }
    }
}

struct BadCase {
    const char* pszName;
    Bytes bytes;
    const char* pszError;
};

std::vector<BadCase> BadHeaders() {
    Bytes wrongSignature = V2(0x21, 0x11, kIpv4Block);
    wrongSignature[7] = 'q';
    Bytes longV1 = "PROXY UNKNOWN " + std::string(PROXY_V1_MAX_LENGTH - 14 - 1, 'x') + "\r\n";
    return {
        {"an IMAP command", "a1 LOGIN ann pw\r\n", "not a PROXY header"},
        {"a TLS hello", Raw({0x16, 0x03, 0x01, 0x02, 0x00}), "not a PROXY header"},
        {"lower-case v1", "proxy TCP4 192.0.2.7 198.51.100.1 1 2\r\n", "not a PROXY header"},
        {"wrong v2 signature", wrongSignature, "not a PROXY header"},
        {"v1 bare LF", "PROXY TCP4 192.0.2.7 198.51.100.1 1 2\n", "v1 line not ended by CR LF"},
        {"v1 NUL inside", Bytes("PROXY TCP4 192.0.2.7\0 198.51.100.1 1 2\r\n", 40), "v1 line holds a control byte"},
        {"v1 CR inside", "PROXY TCP4 192.0.2.7\r 198.51.100.1 1 2\r\n", "v1 line holds a control byte"},
        {"v1 one byte too long", longV1, "v1 line longer than 107 bytes"},
        {"v1 107 bytes without LF", "PROXY UNKNOWN " + std::string(PROXY_V1_MAX_LENGTH - 14, 'x'),
         "v1 line longer than 107 bytes"},
        {"v1 never ends", "PROXY UNKNOWN " + std::string(200, 'x'), "v1 line longer than 107 bytes"},
        {"v1 protocol", "PROXY UDP4 192.0.2.7 198.51.100.1 1 2\r\n", "v1 protocol is not TCP4, TCP6 or UNKNOWN"},
        {"v1 UNKNOWN run together", "PROXY UNKNOWNX\r\n", "v1 protocol is not TCP4, TCP6 or UNKNOWN"},
        {"v1 IPv6 under TCP4", "PROXY TCP4 ::1 ::1 1 2\r\n", "v1 address is not one of the protocol's family"},
        {"v1 IPv4 under TCP6", "PROXY TCP6 192.0.2.7 198.51.100.1 1 2\r\n",
         "v1 address is not one of the protocol's family"},
        {"v1 name, not address", "PROXY TCP4 localhost 198.51.100.1 1 2\r\n",
         "v1 address is not one of the protocol's family"},
        {"v1 two blanks", "PROXY TCP4 192.0.2.7  198.51.100.1 1 2\r\n", "v1 line has more than four address fields"},
        {"v1 three fields", "PROXY TCP4 192.0.2.7 198.51.100.1 1\r\n", "v1 line has fewer than four address fields"},
        {"v1 five fields", "PROXY TCP4 192.0.2.7 198.51.100.1 1 2 3\r\n", "v1 line has more than four address fields"},
        {"v1 port too big", "PROXY TCP4 192.0.2.7 198.51.100.1 65536 2\r\n", "v1 port is not a number from 0 to 65535"},
        {"v1 port leading zero", "PROXY TCP4 192.0.2.7 198.51.100.1 01 2\r\n", "v1 port is not a number from 0 to 65535"},
        {"v1 port sign", "PROXY TCP4 192.0.2.7 198.51.100.1 -1 2\r\n", "v1 port is not a number from 0 to 65535"},
        {"v2 version 1", V2(0x11, 0x11, kIpv4Block), "v2 version is not 2"},
        {"v2 command 2", V2(0x22, 0x11, kIpv4Block), "v2 command is neither LOCAL nor PROXY"},
        {"v2 UDP", V2(0x21, 0x12, kIpv4Block), "v2 family or transport is not TCP over IPv4 or IPv6"},
        {"v2 unix", V2(0x21, 0x31, Bytes(216, 'x')), "v2 family or transport is not TCP over IPv4 or IPv6"},
        {"v2 IPv4 block short", V2(0x21, 0x11, kIpv4Block.substr(0, 11)), "v2 block too short for its addresses"},
        {"v2 IPv6 block short", V2(0x21, 0x21, kIpv4Block), "v2 block too short for its addresses"},
        {"v2 extension cut", V2(0x21, 0x11, kIpv4Block + Raw({0x01, 0})), "v2 extension cut short"},
        // An extension that claims more than its block holds: its length must not carry the
        // reader past the header into the client's bytes.
        {"v2 extension overflows", V2(0x21, 0x11, kIpv4Block + Raw({0x01, 0xff, 0xff}) + "imap"),
         "v2 extension runs past the block"},
    };
}

TEST(ProxyHeader, MalformedHeadersAreRefusedWithTheirReason) {
    for (const BadCase& bad : BadHeaders()) {
        SCOPED_TRACE(bad.pszName);
        ProxyHeader header{};
        EXPECT_EQ(Parse(bad.bytes, &header), PROXY_INVALID);
        EXPECT_STREQ(header.pszError, bad.pszError);
        EXPECT_EQ(header.nVersion == 0, std::string(bad.pszError) == "not a PROXY header");
    }
}

// The reader takes what a partial header shows and waits for the rest: a v2 length that runs
// past what came must keep it waiting (to its deadline), never make it read a shorter header.
TEST(ProxyHeader, LengthBeyondWhatCameIsWaitedFor) {
    Bytes header = V2(0x21, 0x11, kIpv4Block);
    header[14] = static_cast<char>(0xff);
    header[15] = static_cast<char>(0xff);
    ProxyHeader parsed{};
    EXPECT_EQ(Parse(header + "a1 NOOP\r\n", &parsed), PROXY_INCOMPLETE);
    // The largest block: the addresses and one extension of 65520 bytes.
    Bytes whole = header.substr(0, PROXY_V2_FIXED_LENGTH + kIpv4Block.size()) + Raw({0x04, 0xff, 0xf0}) +
                  Bytes(0xfff0, 'x');
    ASSERT_EQ(whole.size(), PROXY_HEADER_MAX_LENGTH);
    EXPECT_EQ(Parse(whole + "a1", &parsed), PROXY_COMPLETE) << parsed.pszError;
    EXPECT_EQ(parsed.nLength, PROXY_HEADER_MAX_LENGTH);
}

TEST(ProxyHeader, ClientBytesAreToldFromAHeaderSentWhereNoneIsBelieved) {
    auto Looks = [](const Bytes& bytes) {
        return LooksLikeProxyHeader(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    };
    EXPECT_TRUE(Looks("PROXY TCP4 192.0.2.7 198.51.100.1 1 2\r\n"));
    EXPECT_TRUE(Looks("PROXY "));
    EXPECT_TRUE(Looks(kSignature));
    EXPECT_FALSE(Looks("PROXY"));
    EXPECT_FALSE(Looks(kSignature.substr(0, 11)));
    // An empty line, or a command that only begins alike, is a client's.
    EXPECT_FALSE(Looks("\r\n"));
    EXPECT_FALSE(Looks("PROXYX\r\n"));
    EXPECT_FALSE(Looks("a1 PROXY TCP4\r\n"));
}

TEST(ProxyHeader, LoggedBytesAreEscapedAndCutAtAWholeByte) {
    Bytes bytes = kSignature + "<a\\b>";
    char szOut[128];
    EscapeHeaderBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), szOut, sizeof(szOut));
    EXPECT_STREQ(szOut, "\\x0d\\x0a\\x0d\\x0a\\x00\\x0d\\x0aQUIT\\x0a\\x3ca\\x5cb\\x3e");
    char szShort[10];
    EscapeHeaderBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), szShort, sizeof(szShort));
    EXPECT_STREQ(szShort, "\\x0d\\x0a");
}

TEST(ProxyTrusted, AddressesAndRangesOfBothFamilies) {
    const char kList[] = "127.0.0.1\0" "10.20.0.0/15, 192.0.2.128/25\0" "2001:db8:1::/48 ::1\0" "::ffff:203.0.113.0/120\0";
    struct Case {
        const char* pszAddress;
        bool bTrusted;
    } cases[] = {
        {"127.0.0.1", true},       {"127.0.0.2", false},      {"10.20.0.1", true},        {"10.21.255.255", true},
        {"10.22.0.0", false},      {"10.19.255.255", false},  {"192.0.2.128", true},      {"192.0.2.127", false},
        {"::1", true},             {"::2", false},            {"2001:db8:1:ffff::9", true}, {"2001:db8:2::", false},
        // An IPv4 peer named as a mapped address is that IPv4 peer, both ways round.
        {"::ffff:127.0.0.1", true}, {"203.0.113.77", true},   {"203.0.114.1", false},
        {"not an address", false}, {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsProxyTrusted(kList, sizeof(kList), c.pszAddress), c.bTrusted) << c.pszAddress;
    }
    const char kEverything[] = "0.0.0.0/0\0::/0\0";
    EXPECT_TRUE(IsProxyTrusted(kEverything, sizeof(kEverything), "198.51.100.3"));
    EXPECT_TRUE(IsProxyTrusted(kEverything, sizeof(kEverything), "2001:db8::3"));
    const char kEmpty[] = "\0";
    EXPECT_FALSE(IsProxyTrusted(kEmpty, sizeof(kEmpty), "127.0.0.1"));
}

TEST(ProxyTrusted, TheFirstBadEntryIsNamed) {
    char szBad[64];
    const char kGood[] = "127.0.0.1 ::1\0" "10.0.0.0/8,2001:db8::/32\0";
    EXPECT_TRUE(CheckProxyTrusted(kGood, sizeof(kGood), szBad, sizeof(szBad)));
    for (const char* pszBad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/08", "10.0.0.0/8/8", "10.0.0.256",
                               "balancer.example.org", "10.0.0.0/-1", "::1/1x"}) {
        std::string list = std::string("127.0.0.1\0", 10) + pszBad + std::string("\0\0", 2);
        EXPECT_FALSE(CheckProxyTrusted(list.data(), list.size(), szBad, sizeof(szBad))) << pszBad;
        EXPECT_STREQ(szBad, pszBad);
        // A bad entry trusts nobody, not even what it seems to name.
        EXPECT_FALSE(IsProxyTrusted(list.data(), list.size(), "10.0.0.1")) << pszBad;
    }
}

}  // namespace
