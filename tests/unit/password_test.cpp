// The password file, scrambled entries and scrambled message files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "auth/password.h"
#include "config/settings.h"

namespace {

namespace fs = std::filesystem;

std::string Descramble(const std::string& strEntry, size_t nSize = 260) {
    std::string strOut(nSize, 'X');
    DescrambleText(strEntry.c_str(), strOut.data(), nSize);
    return std::string(strOut.c_str());
}

// Scrambles text the way the POP3 server writes it: 0xFF, the key, then hex of byte ^ key.
std::string Scramble(const std::string& strPlain, unsigned char bKey, bool bUpper = true) {
    std::string str("\xff");
    str += static_cast<char>(bKey);
    char sz[3];
    for (unsigned char c : strPlain) {
        snprintf(sz, sizeof sz, bUpper ? "%02X" : "%02x", static_cast<unsigned>(c ^ bKey));
        str += sz;
    }
    return str;
}

TEST(DescrambleText, DecodesScrambledEntries) {
    const struct {
        std::string strEntry;
        std::string strExpected;
    } cases[] = {
        {"plain password", "plain password"},
        {"", ""},
        {"\xfe" "616263", "\xfe" "616263"},
        {"\xff", ""},
        {"\xff\x20", ""},
        {"\xff\x20" "414243", "abc"},
        {"\xff\x01" "60636062", "abac"},
        // Upper- and lower-case digits are the same byte.
        {"\xff\x20" "4A4a4A", "jjj"},
        // An odd final digit is the high half of a last byte whose low half is 0.
        {"\xff\x20" "414", "a`"},
        {"\xff\x01" "7", "q"},
        // A non-digit counts as 0 but still takes its place in the pair.
        {"\xff\x20" "4z4G41", "``a"},
        {"\xff\x61" "z1", "`"},
    };
    for (const auto& c : cases) EXPECT_EQ(Descramble(c.strEntry), c.strExpected) << c.strEntry;
}

TEST(DescrambleText, RoundTripsEveryKey) {
    std::string strPlain = "Pa55 w0rd!~";
    for (int nKey = 1; nKey < 256; ++nKey) {
        // Keys that turn a password byte into 0 would end the text early; skip those.
        if (strPlain.find(static_cast<char>(nKey)) != std::string::npos) continue;
        EXPECT_EQ(Descramble(Scramble(strPlain, static_cast<unsigned char>(nKey), nKey % 2 == 0)), strPlain) << nKey;
    }
}

TEST(DescrambleText, CutsToTheOutputSize) {
    EXPECT_EQ(Descramble(Scramble("abcdef", 0x55), 4), "abc");
    EXPECT_EQ(Descramble("abcdef", 4), "abc");
    EXPECT_EQ(Descramble(Scramble("abcdef", 0x55), 1), "");
}

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/veve4d-password-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        dir = szTemplate;
        saved = Settings;
        snprintf(Settings.PasswordFile, sizeof Settings.PasswordFile, "apop.dat");
    }
    void TearDown() override {
        Settings = saved;
        fs::remove_all(dir);
    }
    void Write(const std::string& strName, const std::string& strText) {
        std::ofstream out(dir / strName, std::ios::binary);
        out << strText;
    }
    std::string Read(const std::string& strName) {
        std::ifstream in(dir / strName, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string MailDir() const { return dir.string() + "/"; }

    fs::path dir;
    SettingsRecord saved;
};

using ReadPasswordFileTest = TempDirTest;

TEST_F(ReadPasswordFileTest, TakesTheFirstLineOnly) {
    Write("apop.dat", "secret\nsecond line\n");
    char szPassword[260];
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadPasswordFile(MailDir().c_str(), szPassword, sizeof szPassword), 1);
    std::string strTrace = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(szPassword, "secret");
    EXPECT_EQ(strTrace, "Authentication file name = " + MailDir() + "apop.dat\n" +
                            " -> found Authentication file name (mailbox)\n");
}

TEST_F(ReadPasswordFileTest, LineEndingsAndEmptyFirstLine) {
    const struct {
        std::string strFile;
        std::string strExpected;
    } cases[] = {
        {"no line feed", "no line feed"},
        {"with crlf\r\nnext", "with crlf"},
        {"\nsecond", "\n"},
        {"", ""},
        {"two words \tand a tab\n", "two words \tand a tab"},
        {Scramble("hidden", 0x3c) + "\nplain", "hidden"},
        {std::string(300, 'p') + "\n", std::string(259, 'p')},
    };
    for (const auto& c : cases) {
        Write("apop.dat", c.strFile);
        char szPassword[260];
        testing::internal::CaptureStdout();
        EXPECT_EQ(ReadPasswordFile(MailDir().c_str(), szPassword, sizeof szPassword), 1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::string(szPassword), c.strExpected) << c.strFile;
    }
}

TEST_F(ReadPasswordFileTest, UsesTheConfiguredFileName) {
    Write("apop.dat", "wrong\n");
    Write("imap.pwd", "right\n");
    snprintf(Settings.PasswordFile, sizeof Settings.PasswordFile, "imap.pwd");
    char szPassword[260];
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadPasswordFile(MailDir().c_str(), szPassword, sizeof szPassword), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(szPassword, "right");
}

TEST_F(ReadPasswordFileTest, MissingFileOrMailDirectory) {
    char szPassword[260] = "stale";
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadPasswordFile(MailDir().c_str(), szPassword, sizeof szPassword), 0);
    std::string strTrace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(strTrace, "Authentication file name = " + MailDir() + "apop.dat\n");
    EXPECT_STREQ(szPassword, "");

    // No mail directory must not mean the server's working directory.
    fs::path cwd = fs::current_path();
    fs::current_path(dir);
    Write("apop.dat", "cwd password\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadPasswordFile("", szPassword, sizeof szPassword), 0);
    testing::internal::GetCapturedStdout();
    fs::current_path(cwd);
    EXPECT_STREQ(szPassword, "");
}

using DecodeMessageFileTest = TempDirTest;

TEST_F(DecodeMessageFileTest, DecodesInBlocksOfHexText) {
    // 2049 digits: two whole blocks and a single digit, 1025 bytes.
    std::string strPlain;
    for (int i = 0; i < 1024; ++i) strPlain += static_cast<char>(i * 7 + 3);
    unsigned char bKey = 0xa5;
    std::string strFile = Scramble(strPlain, bKey, false) + "3";
    ASSERT_EQ(strFile.size(), 2u + 2049u);
    Write("msg", strFile);
    std::string strDest = (dir / "decoded").string();
    EXPECT_EQ(DecodeMessageFile((dir / "msg").c_str(), strDest.c_str()), 1);
    std::string strDecoded = Read("decoded");
    ASSERT_EQ(strDecoded.size(), 1025u);
    EXPECT_EQ(strDecoded.substr(0, 1024), strPlain);
    EXPECT_EQ(static_cast<unsigned char>(strDecoded[1024]), 0x30 ^ bKey);
}

TEST_F(DecodeMessageFileTest, KeyZeroGivesTheBytesAsSpelled) {
    Write("msg", std::string("\xff\x00", 2) + "00ff0D0a41");
    EXPECT_EQ(DecodeMessageFile((dir / "msg").c_str(), (dir / "out").c_str()), 1);
    EXPECT_EQ(Read("out"), std::string("\x00\xff\r\nA", 5));
}

TEST_F(DecodeMessageFileTest, OverwritesTheDestination) {
    Write("msg", Scramble("new", 0x11));
    Write("out", "an older and longer decoded copy");
    EXPECT_EQ(DecodeMessageFile((dir / "msg").c_str(), (dir / "out").c_str()), 1);
    EXPECT_EQ(Read("out"), "new");
}

TEST_F(DecodeMessageFileTest, ANulEndsOnlyItsOwnBlock) {
    std::string strHex(1024, '4');
    strHex[10] = '\0';
    Write("msg", std::string("\xff\x00", 2) + strHex + "4142");
    EXPECT_EQ(DecodeMessageFile((dir / "msg").c_str(), (dir / "out").c_str()), 1);
    EXPECT_EQ(Read("out"), std::string(5, 'D') + "AB");
}

TEST_F(DecodeMessageFileTest, PlainOrMissingSourceWritesNothing) {
    Write("plain", "From: someone\r\n\r\nbody\r\n");
    Write("empty", "");
    for (const char* pszSource : {"plain", "empty", "missing"}) {
        EXPECT_EQ(DecodeMessageFile((dir / pszSource).c_str(), (dir / "out").c_str()), 0) << pszSource;
        EXPECT_FALSE(fs::exists(dir / "out")) << pszSource;
    }
}

TEST_F(DecodeMessageFileTest, DestinationThatCannotBeCreated) {
    Write("msg", Scramble("text", 0x11));
    EXPECT_EQ(DecodeMessageFile((dir / "msg").c_str(), (dir / "no-such-dir" / "out").c_str()), 0);
    EXPECT_FALSE(fs::exists(dir / "no-such-dir"));
}

// A decoded copy cut short by a full disk must not be served as the message.
TEST_F(DecodeMessageFileTest, WriteFailureLeavesNoDestination) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    Write("msg", Scramble(std::string(5000, 'm'), 0x11));
    fs::create_symlink("/dev/full", dir / "out");
    EXPECT_EQ(DecodeMessageFile((dir / "msg").c_str(), (dir / "out").c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out")));
    EXPECT_TRUE(fs::exists("/dev/full"));
}

}  // namespace
