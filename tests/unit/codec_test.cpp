#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "auth/base64.h"
#include "auth/md5.h"

namespace {

std::string Encode(const std::string& strIn) {
    char szOut[512];
    int n = Base64Encode(strIn.data(), strIn.size(), szOut, sizeof szOut);
    EXPECT_EQ(n, static_cast<int>(strlen(szOut)));
    return szOut;
}

std::string Decode(const std::string& strIn, int* pnResult = nullptr) {
    char szOut[512];
    memset(szOut, 'X', sizeof szOut);
    int n = Base64Decode(strIn.data(), strIn.size(), szOut, sizeof szOut);
    if (pnResult) *pnResult = n;
    if (n < 0) return "<overflow>";
    EXPECT_EQ(szOut[n], '\0');
    return std::string(szOut, n);
}

std::string Hex(const unsigned char* p, size_t n) {
    std::string str;
    char sz[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(sz, sizeof sz, "%02x", p[i]);
        str += sz;
    }
    return str;
}

std::string Md5Hex(const std::string& str) {
    unsigned char bDigest[16];
    Md5(str.data(), str.size(), bDigest);
    return Hex(bDigest, 16);
}

std::string HmacHex(const std::string& strKey, const std::string& strText) {
    unsigned char bDigest[16];
    HmacMd5(strText.data(), strText.size(), strKey.data(), strKey.size(), bDigest);
    return Hex(bDigest, 16);
}

// RFC 4648 section 10 and the shorter groups.
TEST(Base64, EncodesTheStandardVectors) {
    const struct {
        const char* pszPlain;
        const char* pszCoded;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Encode(c.pszPlain), c.pszCoded) << c.pszPlain;
        EXPECT_EQ(Decode(c.pszCoded), c.pszPlain) << c.pszCoded;
    }
}

TEST(Base64, EncodesEveryByteValueAndTheWholeAlphabet) {
    std::string strAll;
    for (int i = 0; i < 256; ++i) strAll += static_cast<char>(i);
    std::string strCoded = Encode(strAll);
    EXPECT_EQ(strCoded.size(), 344u);
    EXPECT_EQ(strCoded.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Decode(strCoded), strAll);
    // 0xfb 0xff 0xbf exercises "+" and "/".
    EXPECT_EQ(Encode("\xfb\xff\xbf"), "+/+/");
    EXPECT_EQ(Decode("+/+/"), "\xfb\xff\xbf");
}

TEST(Base64, EncodeRefusesAnOutputThatDoesNotFit) {
    char szOut[8];
    // "abcdef" needs eight characters plus the terminator.
    EXPECT_EQ(Base64Encode("abcdef", 6, szOut, sizeof szOut), -1);
    EXPECT_STREQ(szOut, "YWJj");
    EXPECT_EQ(Base64Encode("abc", 3, szOut, 5), 4);
    EXPECT_STREQ(szOut, "YWJj");
    EXPECT_EQ(Base64Encode("abc", 3, szOut, 4), -1);
    EXPECT_STREQ(szOut, "");
}

TEST(Base64, DecodeSkipsCharactersOutsideTheAlphabet) {
    EXPECT_EQ(Decode("YW Jj"), "abc");
    EXPECT_EQ(Decode("YWJj\r\nZGVm"), "abcdef");
    EXPECT_EQ(Decode("Y*W!J.j"), "abc");
    EXPECT_EQ(Decode("\tZm9v\n"), "foo");
    EXPECT_EQ(Decode(std::string("Zm\0" "9v", 5)), "foo");
}

TEST(Base64, DecodeIgnoresAnIncompleteGroup) {
    EXPECT_EQ(Decode("YWJ"), "");
    EXPECT_EQ(Decode("YWJjZG"), "abc");
    EXPECT_EQ(Decode("   "), "");
}

TEST(Base64, DecodeStopsAtPadding) {
    EXPECT_EQ(Decode("YQ==YWJj"), "a");
    EXPECT_EQ(Decode("YWI=YWJj"), "ab");
    // Padding in the third place ends the group even when the fourth is a letter.
    EXPECT_EQ(Decode("YW=j"), "a");
}

TEST(Base64, DecodeKeepsOneByteForTheTerminator) {
    char szOut[4];
    memset(szOut, 'X', sizeof szOut);
    EXPECT_EQ(Base64Decode("YWJj", 4, szOut, 4), 3);
    EXPECT_STREQ(szOut, "abc");
    memset(szOut, 'X', sizeof szOut);
    EXPECT_EQ(Base64Decode("YWJjZA==", 8, szOut, 4), -1);
    EXPECT_STREQ(szOut, "abc");
    memset(szOut, 'X', sizeof szOut);
    EXPECT_EQ(Base64Decode("YWJj", 4, szOut, 3), -1);
    EXPECT_STREQ(szOut, "ab");
    EXPECT_EQ(Base64Decode("YWJj", 4, szOut, 1), -1);
    EXPECT_STREQ(szOut, "");
}

TEST(Base64, DecodeLengthLimitsTheInput) {
    char szOut[16];
    EXPECT_EQ(Base64Decode("YWJjZGVm", 4, szOut, sizeof szOut), 3);
    EXPECT_STREQ(szOut, "abc");
}

// RFC 1321 appendix A.5.
TEST(Md5, MatchesTheReferenceSuite) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the 56- and 64-byte padding boundaries, fed whole and in odd pieces.
TEST(Md5, PiecewiseUpdatesMatchOneShot) {
    for (size_t nLength : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
        std::string str(nLength, 'q');
        for (size_t i = 0; i < nLength; ++i) str[i] = static_cast<char>('a' + i % 26);
        unsigned char bWhole[16], bPieces[16];
        Md5(str.data(), str.size(), bWhole);
        Md5Context context;
        Md5Init(&context);
        for (size_t i = 0; i < nLength; i += 7) Md5Update(&context, str.data() + i, nLength - i < 7 ? nLength - i : 7);
        Md5Final(&context, bPieces);
        EXPECT_EQ(Hex(bWhole, 16), Hex(bPieces, 16)) << nLength;
    }
    EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

// RFC 2104 appendix and RFC 2202 section 2.
TEST(HmacMd5, MatchesThePublishedVectors) {
    EXPECT_EQ(HmacHex(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(HmacHex("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(HmacHex(std::string(16, '\xaa'), std::string(50, '\xdd')), "56be34521d144c88dbb8c733f0e8b3f6");
    std::string strKey4;
    for (int i = 1; i <= 25; ++i) strKey4 += static_cast<char>(i);
    EXPECT_EQ(HmacHex(strKey4, std::string(50, '\xcd')), "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(HmacHex(std::string(16, '\x0c'), "Test With Truncation"), "56461ef2342edc00f9bab995690efd4c");
    EXPECT_EQ(HmacHex(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(HmacHex(std::string(80, '\xaa'),
                      "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(HmacMd5, KeysOfExactlyOneBlockAreUsedAsTheyAre) {
    std::string strKey(64, 'k');
    unsigned char bKeyDigest[16];
    Md5(strKey.data(), strKey.size(), bKeyDigest);
    // A 64-byte key is not hashed first, so it differs from using its digest as the key.
    EXPECT_NE(HmacHex(strKey, "text"), HmacHex(std::string(reinterpret_cast<char*>(bKeyDigest), 16), "text"));
    std::string strLong(65, 'k');
    Md5(strLong.data(), strLong.size(), bKeyDigest);
    EXPECT_EQ(HmacHex(strLong, "text"), HmacHex(std::string(reinterpret_cast<char*>(bKeyDigest), 16), "text"));
}

// RFC 2195 section 2.
TEST(HmacMd5, HexFormMatchesTheCramMd5Example) {
    char szHex[40];
    memset(szHex, 'X', sizeof szHex);
    HmacMd5Hex("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf", szHex);
    EXPECT_STREQ(szHex, "b913a602c7eda7a495b4e6e7334d3890");
    HmacMd5Hex("what do ya want for nothing?", "Jefe", szHex);
    EXPECT_STREQ(szHex, "750c783e6ab0b503eaa86e310a5db738");
}

}  // namespace
