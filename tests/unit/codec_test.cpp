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

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
    const char* const cases[][2] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                                    {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Code(true, c[0]), std::to_string(strlen(c[1])) + ":" + c[1]);
        EXPECT_EQ(Code(false, c[1]), std::to_string(strlen(c[0])) + ":" + c[0]);
    }
    std::string strAll;
    for (int i = 0; i < 256; ++i) strAll += static_cast<char>(i);
    std::string strCoded = Code(true, strAll);
    EXPECT_EQ(strCoded.substr(0, 4), "344:");  // one line, no breaks
    EXPECT_EQ(Code(false, strCoded.substr(4)), "256:" + strAll);
}

TEST(Base64, DecodeSkipsStrayCharactersAndStopsAtPadding) {
    const std::string cases[][2] = {
        {"YW Jj", "abc"}, {"YWJj\r\nZGVm", "abcdef"}, {"Y*W!J.j", "abc"}, {std::string("Zm\0" "9v", 5), "foo"},
        {"YWJ", ""}, {"YWJjZG", "abc"}, {"   ", ""},            // an incomplete group is dropped
        {"YQ==YWJj", "a"}, {"YWI=YWJj", "ab"}, {"YW=j", "a"},  // padding ends the text
    };
    for (const auto& c : cases) EXPECT_EQ(Code(false, c[0]), std::to_string(c[1].size()) + ":" + c[1]) << c[0];
}

TEST(Base64, OutputThatDoesNotFitIsRefusedAndStaysTerminated) {
    EXPECT_EQ(Code(true, "abcdef", 8), "-1:YWJj");
    EXPECT_EQ(Code(true, "abc", 5), "4:YWJj");
    EXPECT_EQ(Code(true, "abc", 4), "-1:");
    EXPECT_EQ(Code(false, "YWJj", 4), "3:abc");  // one byte kept for the terminator
    EXPECT_EQ(Code(false, "YWJjZA==", 4), "-1:abc");
    EXPECT_EQ(Code(false, "YWJj", 3), "-1:ab");
    EXPECT_EQ(Code(false, "YWJj", 1), "-1:");
    EXPECT_EQ(Code(false, "YWJjZGVm", 16, 4), "3:abc");
}

TEST(Md5, MatchesTheReferenceSuiteWholeAndPiecewise) {
    const char* const cases[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"}, {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"}, {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    unsigned char bWhole[16], bPieces[16];
    for (const auto& c : cases) {
        Md5(c[0], strlen(c[0]), bWhole);
        EXPECT_EQ(Hex(bWhole), c[1]) << c[0];
    }
    // Lengths around the 56- and 64-byte padding boundaries, whole and in 7-byte pieces.
    const std::pair<size_t, const char*> boundaries[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"}, {56, "3b0c8ac703f828b04c6c197006d17218"},
        {57, "652b906d60af96844ebd21b674f35e93"}, {63, "b06521f39153d618550606be297466d5"},
        {64, "014842d480b571495a4a0363793f7367"}, {65, "c743a45e0d2e6a95cb859adae0248435"},
        {119, "8a7bd0732ed6a28ce75f6dabc90e1613"}, {120, "5f61c0ccad4cac44c75ff505e1f1e537"}};
    for (const auto& [nLength, pszHex] : boundaries) {
        std::string str(nLength, 'a');
        Md5Context context;
        Md5Init(&context);
        for (size_t i = 0; i < nLength; i += 7) Md5Update(&context, str.data() + i, std::min<size_t>(7, nLength - i));
        Md5Final(&context, bPieces);
        Md5(str.data(), nLength, bWhole);
        EXPECT_EQ(Hex(bWhole) + " " + Hex(bPieces), std::string(pszHex) + " " + pszHex) << nLength;
    }
}

TEST(HmacMd5, MatchesThePublishedVectors) {
    std::string strKey25;
    for (char c = 1; c <= 25; ++c) strKey25 += c;
    // Key, text, digest; the first is the CRAM-MD5 example.
    const std::string cases[][3] = {
        {"tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>", "b913a602c7eda7a495b4e6e7334d3890"},
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {strKey25, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (const auto& c : cases) {
        char szHex[40];
        memset(szHex, 'X', sizeof szHex);
        HmacMd5Hex(c[1].c_str(), c[0].c_str(), szHex);
        EXPECT_STREQ(szHex, c[2].c_str()) << c[1];
    }
    // Only a key longer than one block is replaced by its digest.
    for (size_t nKey : {64u, 65u}) {
        std::string strKey(nKey, 'k');
        unsigned char bKeyDigest[16], bLong[16], bShort[16];
        Md5(strKey.data(), nKey, bKeyDigest);
        HmacMd5("text", 4, strKey.data(), nKey, bLong);
        HmacMd5("text", 4, bKeyDigest, 16, bShort);
        EXPECT_EQ(Hex(bLong) == Hex(bShort), nKey == 65) << nKey;
    }
}

}  // namespace
