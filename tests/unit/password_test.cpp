// The password file, scrambled entries and scrambled message files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "auth/password.h"
#include "config/settings.h"
#include "test_server.h"

namespace {

std::string Descramble(const std::string& strEntry, size_t nSize = 260) {
    std::string strOut(nSize, 'X');
    DescrambleText(strEntry.c_str(), strOut.data(), nSize);
    return strOut.c_str();
}

// As the POP3 server writes it: 0xFF, the key, then the hex of each byte ^ key.
std::string Scramble(const std::string& strPlain, unsigned char bKey, bool bUpper = true) {
    std::string str = {'\xff', static_cast<char>(bKey)};
    char sz[3];
    for (unsigned char c : strPlain) str += (snprintf(sz, sizeof sz, bUpper ? "%02X" : "%02x", c ^ bKey), sz);
    return str;
}

TEST(DescrambleText, DecodesScrambledEntries) {
    const char* const cases[][2] = {
        {"plain password", "plain password"}, {"", ""}, {"\xfe" "616263", "\xfe" "616263"}, {"\xff", ""},
        {"\xff\x20", ""}, {"\xff\x20" "414243", "abc"}, {"\xff\x01" "60636062", "abac"}, {"\xff\x20" "4A4a4A", "jjj"},
        {"\xff\x20" "414", "a`"}, {"\xff\x01" "7", "q"},       // an odd last digit pairs with 0
        {"\xff\x20" "4z4G41", "``a"}, {"\xff\x61" "z1", "`"},  // a non-digit counts as 0
    };
    for (const auto& c : cases) EXPECT_EQ(Descramble(c[0]), c[1]) << c[0];
    for (int n = 1; n < 256; ++n) EXPECT_EQ(Descramble(Scramble("Pa55 w0rd!", n, n % 2)), "Pa55 w0rd!") << n;
    EXPECT_EQ(Descramble(Scramble("abcdef", 0x55), 4) + "|" + Descramble("abcdef", 4) + "|" +
                  Descramble(Scramble("abcdef", 0x55), 1), "abc|abc|");
}

// "result:password", a line feed, then the trace it printed.
std::string ReadPassword(const std::string& strMailDir) {
    char szPassword[260] = "stale";
    testing::internal::CaptureStdout();
    int r = ReadPasswordFile(strMailDir.c_str(), szPassword, sizeof szPassword);
    return std::to_string(r) + ":" + szPassword + "\n" + testing::internal::GetCapturedStdout();
}

TEST(ReadPasswordFile, ReadsTheFirstLineOfTheConfiguredFile) {
    TempDir dir;
    SettingsRecord saved = Settings;
    snprintf(Settings.PasswordFile, sizeof Settings.PasswordFile, "apop.dat");
    const std::string strMailDir = dir.path + "/", strTrace = "Authentication file name = " + strMailDir + "apop.dat\n";
    const std::string strFound = strTrace + " -> found Authentication file name (mailbox)\n";
    EXPECT_EQ(ReadPassword(strMailDir), "0:\n" + strTrace);
    const std::string cases[][2] = {
        {"secret\nsecond line\n", "secret"}, {"no line feed", "no line feed"}, {"with crlf\r\nnext", "with crlf"},
        {"\nsecond", "\n"}, {"", ""}, {"two words \tand a tab\n", "two words \tand a tab"},
        {Scramble("hidden", 0x3c) + "\nplain", "hidden"}, {std::string(300, 'p') + "\n", std::string(259, 'p')},
        {Scramble("zero key", 0) + "\n", "zero key"}, {"\r\n", "\r"},
    };
    for (const auto& c : cases) {
        WriteFile(strMailDir + "apop.dat", c[0]);
        EXPECT_EQ(ReadPassword(strMailDir), "1:" + c[1] + "\n" + strFound) << c[0];
    }
    WriteFile(strMailDir + "imap.pwd", "right\n");
    snprintf(Settings.PasswordFile, sizeof Settings.PasswordFile, "imap.pwd");
    EXPECT_EQ(ReadPassword(strMailDir).substr(0, 8), "1:right\n");
    // No mail directory must not mean the server's working directory.
    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    EXPECT_EQ(ReadPassword("").substr(0, 3), "0:\n");
    std::filesystem::current_path(cwd);
    Settings = saved;
}

TEST(DecodeMessageFile, DecodesScrambledFilesWholeOrNotAtAll) {
    TempDir dir;
    std::string strMsg = dir.path + "/msg", strOut = dir.path + "/out";
    // 2049 digits: two whole blocks and a single digit, 1025 bytes.
    std::string strPlain;
    for (int i = 0; i < 1024; ++i) strPlain += static_cast<char>(i * 7 + 3);
    std::string strNulBlock = std::string("\xff\x00" "4444444444\0", 13) + std::string(1013, '4') + "4142";
    const std::string cases[][2] = {
        {Scramble(strPlain, 0xa5, false) + "3", strPlain + static_cast<char>(0x30 ^ 0xa5)},
        {std::string("\xff\x00", 2) + "00ff0D0a41", std::string("\x00\xff\r\nA", 5)},
        {strNulBlock, "DDDDDAB"},  // a NUL ends only its own block
    };
    for (const auto& c : cases) {
        WriteFile(strMsg, c[0]);
        WriteFile(strOut, std::string(3000, 'o'));  // an older, longer copy is replaced
        EXPECT_EQ(DecodeMessageFile(strMsg.c_str(), strOut.c_str()), 1);
        EXPECT_EQ(ReadFile(strOut), c[1]);
    }
    remove(strOut.c_str());
    WriteFile(dir.path + "/plain", "From: someone\r\n\r\nbody\r\n");
    WriteFile(dir.path + "/empty", "");
    for (const char* pszSource : {"/plain", "/empty", "/missing"}) {
        EXPECT_EQ(DecodeMessageFile((dir.path + pszSource).c_str(), strOut.c_str()), 0) << pszSource;
        EXPECT_FALSE(FileExists(strOut)) << pszSource;
    }
    EXPECT_EQ(DecodeMessageFile(strMsg.c_str(), (dir.path + "/no-such-dir/out").c_str()), 0);
    // A decoded copy cut short by a full disk must not be served as the message.
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    std::filesystem::create_symlink("/dev/full", strOut);
    EXPECT_EQ(DecodeMessageFile(strMsg.c_str(), strOut.c_str()), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(strOut));
}

}  // namespace
