// From the user name at login and the local address to the mail directory, and the server's own user files.
#include <gtest/gtest.h>

#include <pwd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "auth/userdir.h"
#include "config/settings.h"
#include "platform/registry.h"
#include "sasl.h"
#include "test_server.h"

namespace {

using namespace std::string_literals;

const std::string kRegistry = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n\"toolong\"=\"" +
    std::string(300, '1') + "\"\n\"dom1\"=\"10.0.0.1\"\n\"dom2\"=\"10.0.0.2\"\n\"dup-first\"=\"10.0.0.3\"\n"
    "\"dup-second\"=\"10.0.0.3\"\n\"v6dom\"=\"fe80::a\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Folder]\n"
    "@=\"dflt\"\n\"dom1\"=\"ex\"\n\"dup-first\"=\"first\"\n\"dup-second\"=\"second\"\n\"deep\"=\"a\\\\b\"\n";

// One user-file line: the record's fields joined by tabs, in Base64.
std::string Line(const std::string& strRecord, const std::string& strEnd = "\n") { return B64(strRecord) + strEnd; }

class UserDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&Settings, 0, sizeof Settings);
        snprintf(Settings.Membership, sizeof Settings.Membership, "%s/", dir.path.c_str());
        SetLocalDomains("dom1\0dom2"s);
        LoadRegistryText(kRegistry.data(), kRegistry.size(), "userdir-test.reg");
        std::string strMallory = Line("mallory\tpw", "");
        WriteFile(dir.path + "/dom1.idx",
                  Line("Ann\tSecret\tthree\tfour\t/home/ann", " trailing words\n") + Line("short\tpw") +
                      Line("gaps\t\t\t\t/home/gaps") + Line("bob\tpw\t\t\tC:\\Users\\bob") + "QUJD\n" +
                      Line("long\t" + std::string(300, 'p') + "\tx") + Line("both\tin-dom1") +
                      // The tail of a line longer than the reader takes is not a record of its own.
                      Line("filler\tx", " " + std::string(1100 - strMallory.size(), '.') + strMallory + "\n") +
                      Line("after\tok") + "\n" + Line("last\tpw", " still being written"));
        WriteFile(dir.path + "/dom2.idx", Line("both\tin-dom2") + Line("only2\tpw2\t\t\t/home/only2") +
                                              Line("roomy\tpw\t\t\t/" + std::string(300, 'h')));
        WriteFile(dir.path + "/dom3.idx", "QUJD");
        WriteFile(dir.path + "/dom4.idx", "QUJD\n");
    }
    void TearDown() override {
        LoadRegistryText("", 0, "empty");
        Settings = saved;
    }
    static void SetLocalDomains(const std::string& strList) {
        memset(Settings.DomainNamesAreLocal, 0, sizeof Settings.DomainNamesAreLocal);
        memcpy(Settings.DomainNamesAreLocal, strList.data(), strList.size());
    }
    static std::string Resolve(const std::string& strTemplate, const std::string& strUser, const char* pszAddr = "") {
        snprintf(Settings.MailInBoxDir, sizeof Settings.MailInBoxDir, "%s", strTemplate.c_str());
        std::string strDir(260, 'X');
        ResolveMailDirectory(strUser.c_str(), pszAddr, strDir.data(), strDir.size());
        return strDir.c_str();
    }
    // The record's fields joined by "|", or the status with whatever name was left.
    static std::string Find(const char* pszDomain, const char* pszUser) {
        UserRecord r;
        memset(&r, 'X', sizeof r);
        unsigned long ul = FindUserRecord(pszDomain, pszUser, &r);
        if (ul != 0) return std::to_string(ul) + r.name;
        return std::string(r.name) + "|" + r.password + "|" + r.field3 + "|" + r.field4 + "|" + r.home;
    }

    TempDir dir;
    SettingsRecord saved = Settings;
};

TEST_F(UserDirTest, DomainByLocalAddress) {
    // Two domains on one address: the first listed wins. Addresses match byte for byte, whole.
    std::string strDomains;
    for (const char* pszAddr : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "fe80::a", "FE80::A", "10.0.0.", "10.0.0.10", ""}) {
        char szDomain[256] = "stale";
        FindDomainByAddress(pszAddr, szDomain, sizeof szDomain);
        strDomains += szDomain + ","s;
    }
    EXPECT_EQ(strDomains, "dom1,dom2,dup-first,v6dom,,,,,");
}

TEST_F(UserDirTest, MailDirectoryFromTemplateUserAndAddress) {
    const struct {
        const char *pszUser, *pszAddr, *pszExpected, *pszTemplate = "/m/%USERNAME%";
    } cases[] = {
        // The address gives the domain, and the domain the folder; a domain the user names wins.
        {"bob", "10.0.0.1", "/m/ex/bob/"}, {"bob", "10.0.0.3", "/m/first/bob/"}, {"bob@dom1", "10.0.0.3", "/m/ex/bob/"},
        {"ann%dom1", "", "/m/ex/ann/"}, {"ann%x@dom1", "", "/m/ex/ann%x/"},
        // No domain anywhere: the Folder key's default value. A domain without one: no folder.
        {"bob", "10.9.9.9", "/m/dflt/bob/"}, {"bob@", "10.0.0.1", "/m/dflt/bob/"}, {"bob@dom2", "", "/m/bob/"},
        {"bob@deep", "", "/m/a/b/bob/"}, {"bob@dom1", "", "D:/Mail/ex/bob/", "D:\\Mail\\%USERNAME%"},
        {"bob@dom1", "", "/m/ex/bob/", "/m/%USERNAME%/"}, {"bob@dom1", "", "/m/ex/bob/box/", "/m/%username%/box"},
        // Only the first placeholder, the upper-case form before the lower-case one.
        {"bob@dom1", "", "/m/ex/bob/%USERNAME%/", "/m/%USERNAME%/%USERNAME%"},
        {"bob@dom1", "", "/m/%username%/ex/bob/", "/m/%username%/%USERNAME%"},
        {"bob@dom1", "", "/m/%UserName%/", "/m/%UserName%"}, {"bob@dom1", "", "D:/Shared/%X%/", "D:\\Shared\\%X%"},
        {"bob@dom1", "", "/m/%HOME%/ex/bob/", "/m/%HOME%/%USERNAME%"},
        // %home% in any case, at the start only, from the user file.
        {"ann@dom1", "", "/home/ann/INETMAIL/INBOX/", "%HOME%\\INETMAIL\\INBOX"},
        {"ann@dom1", "", "/home/ann/INETMAIL/INBOX/", "%home%/INETMAIL/INBOX"},
        {"ann@dom1", "", "/home/ann/ex/ann/", "%HOME%\\%USERNAME%"},
        {"bob@dom1", "", "C:/Users/bob/INETMAIL/INBOX/", "%HOME%\\INETMAIL\\INBOX"},
        {"only2", "10.9.9.9", "/home/only2/Mail/", "%HOME%/Mail"},  // every local domain's file
        // Without a home the user would share a directory at the root with every such user.
        {"short@dom1", "", "", "%HOME%/Mail"}, {"nobody@dom1", "", "", "%HOME%/Mail"},
        // Nor with a home too long to hold: cut, it would name another directory.
        {"roomy@dom2", "", "", "%HOME%"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Resolve(c.pszTemplate, c.pszUser, c.pszAddr), c.pszExpected) << c.pszTemplate << " " << c.pszUser;
    }
    // Exactly 259 characters with the final separator still fit; one more is no directory at all.
    std::string strLong = "/" + std::string(240, 'd') + "/%USERNAME%";
    EXPECT_EQ(Resolve(strLong, std::string(16, 'n') + "@dom2").size(), 259u);
    EXPECT_EQ(Resolve(strLong, std::string(17, 'n') + "@dom2"), "");
    // With the system's accounts the home comes from the password database.
    Settings.UserManager = 1;
    std::string strHome = getpwnam("root")->pw_dir;
    EXPECT_EQ(Resolve("%HOME%\\Mail", "root@dom1"), strHome + (strHome.back() == '/' ? "" : "/") + "Mail/");
    EXPECT_EQ(Resolve("%HOME%\\Mail", "no-such-user-veve4d"), "");
}

TEST_F(UserDirTest, UserFileRecords) {
    const std::string cases[][3] = {
        {"dom1", "ann", "Ann|Secret|three|four|/home/ann"}, {"dom1", "SHORT", "short|pw|||"},
        {"dom1", "gaps", "gaps||||/home/gaps"}, {"dom1", "abc", "ABC||||"}, {"dom1", "after", "after|ok|||"},
        {"dom1", "long", "long|" + std::string(255, 'p') + "|x||"}, {"dom1", "filler", "filler|x|||"},
        {"dom1", "mallory", "2221"}, {"dom1", "last", "2221"},  // its line feed is still to come
        {"dom1", "an", "2221"}, {"dom1", "ann2", "2221"}, {"dom1", "", "2221"},
        // Without a domain every local domain's file is searched in order; a named one alone.
        {"", "both", "both|in-dom1|||"}, {"", "only2", "only2|pw2|||/home/only2"},
        {"dom2", "both", "both|in-dom2|||"}, {"dom1", "only2", "2221"}, {"dom5", "both", "2221"},
        {"dom3", "ABC", "2221"}, {"dom4", "ABC", "ABC||||"},
    };
    for (const auto& c : cases) EXPECT_EQ(Find(c[0].c_str(), c[1].c_str()), c[2]) << c[0] << " " << c[1];
    EXPECT_EQ(Find(nullptr, "only2"), "only2|pw2|||/home/only2");
    SetLocalDomains("missing\0dom2\0dom1"s);
    EXPECT_EQ(Find("", "both"), "both|in-dom2|||");
    SetLocalDomains("");
    EXPECT_EQ(Find("", "both"), "2221");
    // The program folder holds the user files only when no account folder is set.
    snprintf(Settings.ProgramPath, sizeof Settings.ProgramPath, "%s/", dir.path.c_str());
    snprintf(Settings.Membership, sizeof Settings.Membership, "%s/none/", dir.path.c_str());
    EXPECT_EQ(Find("dom4", "ABC"), "2221");
    Settings.Membership[0] = '\0';
    EXPECT_EQ(Find("dom4", "ABC"), "ABC||||");
}

// The user file is kept between logins: every change to it must show at the next lookup, whether
// it is rewritten in place at the same size, replaced, cut, grown or removed.
TEST_F(UserDirTest, UserFileChangesShowAtTheNextLookup) {
    const std::string strPath = dir.path + "/dom5.idx";
    auto settle = [] {
        // Past the clock tick that stamped the change, so that the file is read once and kept.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    auto overwrite = [&](const std::string& strText) {
        // In place: the same inode, and here the same size.
        FILE* pFile = fopen(strPath.c_str(), "r+");
        ASSERT_NE(pFile, nullptr);
        ASSERT_EQ(fwrite(strText.data(), 1, strText.size(), pFile), strText.size());
        fclose(pFile);
    };
    const std::string strFirst = Line("ann\tone") + Line("bob\tpw") + Line("ann\tsecond");
    WriteFile(strPath, strFirst);
    settle();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Find("dom5", "ANN"), "ann|one|||");
    overwrite(Line("ann\ttwo") + Line("bob\tpw") + Line("ann\tsecond"));
    EXPECT_EQ(Find("dom5", "ann"), "ann|two|||");
    settle();
    EXPECT_EQ(Find("dom5", "ann"), "ann|two|||");
    // The same bytes again, at once: still read as they are.
    overwrite(strFirst);
    EXPECT_EQ(Find("dom5", "ann"), "ann|one|||");
    EXPECT_EQ(Find("dom5", "bob"), "bob|pw|||");

    // A user removed by a new file put in place.
    settle();
    WriteFile(dir.path + "/dom5.new", Line("bob\tpw") + "%%%not base64\n" + Line("carol\tc", ""));
    std::filesystem::rename(dir.path + "/dom5.new", strPath);
    EXPECT_EQ(Find("dom5", "ann"), "2221");
    EXPECT_EQ(Find("dom5", "bob"), "bob|pw|||");
    // A last line still without its line feed is no record until the line feed comes.
    EXPECT_EQ(Find("dom5", "carol"), "2221");
    settle();
    EXPECT_EQ(Find("dom5", "carol"), "2221");
    FILE* pFile = fopen(strPath.c_str(), "a");
    ASSERT_NE(pFile, nullptr);
    fputs("\n", pFile);
    fclose(pFile);
    EXPECT_EQ(Find("dom5", "carol"), "carol|c|||");
    // The whole file gone, then back.
    settle();
    std::filesystem::remove(strPath);
    EXPECT_EQ(Find("dom5", "bob"), "2221");
    WriteFile(strPath, Line("bob\tnew"));
    EXPECT_EQ(Find("dom5", "bob"), "bob|new|||");
    // The password check and its rewritten name follow the file too.
    settle();
    char szUser[260] = "Bob@dom5";
    EXPECT_EQ(CheckUserFilePassword(szUser, sizeof szUser, "new", ""), 0);
    EXPECT_STREQ(szUser, "Bob@dom5");
    overwrite(Line("bob\tNEW"));
    EXPECT_EQ(CheckUserFilePassword(szUser, sizeof szUser, "new", ""), -1);
    EXPECT_EQ(CheckUserFilePassword(szUser, sizeof szUser, "NEW", ""), 0);
}

// Sessions log in together while the file changes under them: each finds a whole record of one
// version or the other, never a mix, and never misses a user both versions hold.
TEST_F(UserDirTest, LookupsDuringChangesFindWholeRecords) {
    const std::string strPath = dir.path + "/dom6.idx";
    std::string strA, strB;
    for (int i = 0; i < 200; ++i) {
        strA += Line("user" + std::to_string(i) + "\taaaa");
        strB += Line("user" + std::to_string(i) + "\tbbbb");
    }
    WriteFile(strPath, strA);
    std::atomic<bool> bStop{false};
    std::atomic<int> nBad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            for (int i = t; !bStop; i = (i + 7) % 200) {
                std::string strFound = Find("dom6", ("user" + std::to_string(i)).c_str());
                std::string strName = "user" + std::to_string(i);
                if (strFound != strName + "|aaaa|||" && strFound != strName + "|bbbb|||") nBad++;
            }
        });
    }
    for (int i = 0; i < 100; ++i) {
        WriteFile(dir.path + "/dom6.new", i % 2 == 0 ? strB : strA);
        std::filesystem::rename(dir.path + "/dom6.new", strPath);
    }
    bStop = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(nBad.load(), 0);
    EXPECT_EQ(Find("dom6", "user5"), "user5|aaaa|||");
}

TEST_F(UserDirTest, UnsafeNamesBuildNoPath) {
    for (const char* pszUser : {"bob", "bob@dom1", "bob@mail.example.com", "ann%dom1", "first.last", "bob@",
                                "console", "com10", "a$b"}) {
        EXPECT_TRUE(IsSafeUserName(pszUser)) << pszUser;
    }
    for (const char* pszUser : {"", "@dom1", "%dom1", ".", "..", "...", "a..b", "../etc", "bob/../ann", "/etc/passwd",
                                "bob\\..\\ann", "\\\\server\\share", "C:", "C:\\Users\\bob", "bob:stream", "CON",
                                "con", "nul.txt", "Lpt1", "COM9", "bob@..", "bob@../../tmp/x", "bob@dom/..", "bob@.",
                                "bob@CON", "bob%..", "tab\tname", "line\nfeed", "ann/.."}) {
        EXPECT_FALSE(IsSafeUserName(pszUser)) << pszUser;
        EXPECT_EQ(Resolve("/m/%USERNAME%", pszUser, "10.0.0.1"), "") << pszUser;
    }
    EXPECT_FALSE(IsSafeUserName(nullptr));
    EXPECT_FALSE(IsSafeUserName("bob\0../x", 8));
    EXPECT_TRUE(IsSafeUserName("bob\0../x", 3));
    // The user file of a domain outside the account folder is never opened.
    WriteFile(dir.path + "/outside.idx", Line("bob\tpw"));
    snprintf(Settings.Membership, sizeof Settings.Membership, "%s/sub/", dir.path.c_str());
    std::filesystem::create_directory(dir.path + "/sub");
    EXPECT_EQ(Find("../outside", "bob"), "2221");
    SetLocalDomains("../outside");
    EXPECT_EQ(Find("", "bob"), "2221");
    snprintf(Settings.Membership, sizeof Settings.Membership, "%s/", dir.path.c_str());
    EXPECT_EQ(Find("outside", "bob"), "bob|pw|||");
}

}  // namespace
