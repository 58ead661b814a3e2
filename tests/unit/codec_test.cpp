// Base64, MD5 and HMAC-MD5 against the published vectors and at their boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "auth/base64.h"
#include "auth/md5.h"

namespace {

// "result:output" of one call; the buffer starts filled so that a missing terminator shows.
std::string Code(bool bEncode, const std::string& strIn, size_t nCapacity = 512, size_t nLength = std::string::npos) {
    char szOut[512];
    memset(szOut, 'X', sizeof szOut);
    size_t n = std::min(nLength, strIn.size());
    int r = bEncode ? Base64Encode(strIn.data(), n, szOut, nCapacity) : Base64Decode(strIn.data(), n, szOut, nCapacity);
    if (r >= 0 && szOut[r] != '\0') return "unterminated";
    return std::to_string(r) + ":" + (r >= 0 ? std::string(szOut, r) : std::string(szOut));
}

std::string Hex(const unsigned char* p) {
    char sz[33];
    for (int i = 0; i < 16; ++i) snprintf(sz + 2 * i, 3, "%02x", p[i]);
    return sz;
}

TEST(Base64, EncodesAndDecodes) {
    const char* const vectors[][2] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                                      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"}};
    for (const auto& c : vectors) {
        EXPECT_EQ(Code(true, c[0]), std::to_string(strlen(c[1])) + ":" + c[1]);
        EXPECT_EQ(Code(false, c[1]), std::to_string(strlen(c[0])) + ":" + c[0]);
    }
    std::string strAll;
    for (int i = 0; i < 256; ++i) strAll += static_cast<char>(i);
    EXPECT_EQ(Code(true, strAll).substr(0, 4), "344:");  // one line, no breaks
    EXPECT_EQ(Code(false, Code(true, strAll).substr(4)), "256:" + strAll);
    // Decoding skips stray characters, drops an incomplete group and stops at padding. Output that does not fit is
    // refused and stays terminated.
    const struct {
        std::string strIn, strExpected;
        size_t nCapacity = 512;
        bool bEncode = false;
    } cases[] = {
        {"YW Jj", "3:abc"}, {"YWJj\r\nZGVm", "6:abcdef"}, {"Y*W!J.j", "3:abc"}, {std::string("Zm\0" "9v", 5), "3:foo"},
        {"YWJ", "0:"}, {"YWJjZG", "3:abc"}, {"   ", "0:"}, {"YQ==YWJj", "1:a"}, {"YWI=YWJj", "2:ab"}, {"YW=j", "1:a"},
        {"abcdef", "-1:YWJj", 8, true}, {"abc", "4:YWJj", 5, true}, {"abc", "-1:", 4, true}, {"YWJj", "3:abc", 4},
        {"YWJjZA==", "-1:abc", 4}, {"YWJj", "-1:ab", 3}, {"YWJj", "-1:", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Code(c.bEncode, c.strIn, c.nCapacity), c.strExpected) << c.strIn << " " << c.nCapacity;
    }
    EXPECT_EQ(Code(false, "YWJjZGVm", 16, 4), "3:abc");
}

TEST(Md5, MatchesTheReferenceSuiteWholeAndPiecewise) {
    // From the reference suite, then lengths around the 56- and 64-byte padding boundaries; pieces of 7 bytes.
    auto A = [](size_t n) { return std::string(n, 'a'); };
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"}, {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {A(55), "ef1772b6dff9a122358552954ad0df65"}, {A(56), "3b0c8ac703f828b04c6c197006d17218"},
        {A(57), "652b906d60af96844ebd21b674f35e93"}, {A(63), "b06521f39153d618550606be297466d5"},
        {A(64), "014842d480b571495a4a0363793f7367"}, {A(65), "c743a45e0d2e6a95cb859adae0248435"},
        {A(119), "8a7bd0732ed6a28ce75f6dabc90e1613"}, {A(120), "5f61c0ccad4cac44c75ff505e1f1e537"},
    };
    for (const auto& [str, pszHex] : cases) {
        unsigned char bWhole[16], bPieces[16];
        Md5Context context;
        Md5Init(&context);
        for (size_t i = 0; i < str.size(); i += 7) Md5Update(&context, &str[i], std::min<size_t>(7, str.size() - i));
        Md5Final(&context, bPieces);
        Md5(str.data(), str.size(), bWhole);
        EXPECT_EQ(Hex(bWhole) + " " + Hex(bPieces), std::string(pszHex) + " " + pszHex) << str;
    }
}

TEST(HmacMd5, MatchesThePublishedVectors) {
    // Key, text, digest: the CRAM-MD5 example, RFC 2202's short key, its 8-bit key and text, its
    // key longer than a block with text longer than a block. Only a key longer than one block is
    // replaced by its digest.
    const std::string cases[][3] = {
        {"tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>", "b913a602c7eda7a495b4e6e7334d3890"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
        {std::string(64, 'k'), "text", "db24ea67182006970b94c91f1de303c5"},
        {std::string(65, 'k'), "text", "6f76317da2a4bc5061037a5ebb3f0ba0"},
    };
    for (const auto& c : cases) {
        char szHex[40];
        memset(szHex, 'X', sizeof szHex);
        HmacMd5Hex(c[1].c_str(), c[0].c_str(), szHex);
        EXPECT_STREQ(szHex, c[2].c_str()) << c[1];
    }
}

}  // namespace
