// From the user name at login and the local address to the mail directory, and the server's
// own user files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "auth/base64.h"
#include "auth/userdir.h"
#include "config/settings.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

const std::string kRegistry =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n"
    "\"toolong\"=\"" + std::string(300, '1') + "\"\n"
    "\"dom1\"=\"10.0.0.1\"\n"
    "\"dom2\"=\"10.0.0.2\"\n"
    "\"dup-first\"=\"10.0.0.3\"\n"
    "\"dup-second\"=\"10.0.0.3\"\n"
    "\"v6dom\"=\"fe80::a\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Folder]\n"
    "@=\"dflt\"\n"
    "\"dom1\"=\"ex\"\n"
    "\"dup-first\"=\"first\"\n"
    "\"dup-second\"=\"second\"\n"
    "\"deep\"=\"a\\\\b\"\n";

// One user-file line: the record's fields joined by tabs, in Base64.
std::string UserLine(const std::vector<std::string>& fields) {
    std::string strRecord;
    for (size_t i = 0; i < fields.size(); ++i) strRecord += (i ? "\t" : "") + fields[i];
    std::string strCoded(strRecord.size() * 2 + 8, '\0');
    int n = Base64Encode(strRecord.data(), strRecord.size(), strCoded.data(), strCoded.size());
    strCoded.resize(n > 0 ? n : 0);
    return strCoded;
}

class UserDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/veve4d-userdir-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        dir = szTemplate;
        fs::create_directory(dir / "accounts");
        saved = Settings;
        memset(&Settings, 0, sizeof Settings);
        Settings.UserManager = 0;
        snprintf(Settings.Membership, sizeof Settings.Membership, "%s/accounts/", dir.c_str());
        SetTemplate("/srv/mail/%USERNAME%");
        SetLocalDomains({"dom1", "dom2"});
        LoadRegistryText(kRegistry.data(), kRegistry.size(), "userdir-test.reg");
    }
    void TearDown() override {
        LoadRegistryText("", 0, "empty");
        Settings = saved;
        fs::remove_all(dir);
    }
    static void SetTemplate(const std::string& str) {
        snprintf(Settings.MailInBoxDir, sizeof Settings.MailInBoxDir, "%s", str.c_str());
    }
    static void SetLocalDomains(const std::vector<std::string>& domains) {
        memset(Settings.DomainNamesAreLocal, 0, sizeof Settings.DomainNamesAreLocal);
        size_t nAt = 0;
        for (const std::string& str : domains) {
            memcpy(Settings.DomainNamesAreLocal + nAt, str.c_str(), str.size() + 1);
            nAt += str.size() + 1;
        }
    }
    void WriteUserFile(const std::string& strDomain, const std::string& strText) {
        std::ofstream out(dir / "accounts" / (strDomain + ".idx"), std::ios::binary);
        out << strText;
    }
    static std::string Resolve(const char* pszUser, const char* pszAddr = "10.9.9.9") {
        char szDir[260];
        memset(szDir, 'X', sizeof szDir);
        ResolveMailDirectory(pszUser, pszAddr, szDir, sizeof szDir);
        return szDir;
    }
    static std::string Domain(const char* pszAddr) {
        char szDomain[256] = "stale";
        FindDomainByAddress(pszAddr, szDomain, sizeof szDomain);
        return szDomain;
    }

    fs::path dir;
    SettingsRecord saved;
};

TEST_F(UserDirTest, DomainByLocalAddress) {
    EXPECT_EQ(Domain("10.0.0.1"), "dom1");
    EXPECT_EQ(Domain("10.0.0.2"), "dom2");
    // Two domains on one address: the first listed wins.
    EXPECT_EQ(Domain("10.0.0.3"), "dup-first");
    EXPECT_EQ(Domain("fe80::a"), "v6dom");
    // Byte for byte: neither case nor a prefix matches.
    EXPECT_EQ(Domain("FE80::A"), "");
    EXPECT_EQ(Domain("10.0.0."), "");
    EXPECT_EQ(Domain("10.0.0.10"), "");
    EXPECT_EQ(Domain(""), "");
    LoadRegistryText("", 0, "empty");
    EXPECT_EQ(Domain("10.0.0.1"), "");
}

TEST_F(UserDirTest, UserNameAndDomainSplit) {
    const struct {
        const char* pszUser;
        const char* pszAddr;
        const char* pszExpected;
    } cases[] = {
        // The address gives the domain, and the domain the folder.
        {"bob", "10.0.0.1", "/srv/mail/ex/bob/"},
        {"bob", "10.0.0.3", "/srv/mail/first/bob/"},
        // A domain named by the user wins over the address.
        {"bob@dom1", "10.0.0.3", "/srv/mail/ex/bob/"},
        {"bob@dup-second", "10.0.0.1", "/srv/mail/second/bob/"},
        {"ann%dom1", "10.9.9.9", "/srv/mail/ex/ann/"},
        {"ann%x@dom1", "10.9.9.9", "/srv/mail/ex/ann%x/"},
        // No domain anywhere: the Folder key's default value.
        {"bob", "10.9.9.9", "/srv/mail/dflt/bob/"},
        {"bob@", "10.0.0.1", "/srv/mail/dflt/bob/"},
        // A domain without a Folder value puts the user straight under the template.
        {"bob@dom2", "10.9.9.9", "/srv/mail/bob/"},
        {"bob", "10.0.0.2", "/srv/mail/bob/"},
        // A folder written with Windows separators.
        {"bob@deep", "10.9.9.9", "/srv/mail/a/b/bob/"},
    };
    for (const auto& c : cases) EXPECT_EQ(Resolve(c.pszUser, c.pszAddr), c.pszExpected) << c.pszUser;
}

TEST_F(UserDirTest, TemplatePlaceholders) {
    const struct {
        const char* pszTemplate;
        const char* pszExpected;
    } cases[] = {
        {"D:\\Mail\\%USERNAME%", "D:/Mail/ex/bob/"},
        {"/m/%username%/box", "/m/ex/bob/box/"},
        {"/m/%USERNAME%/", "/m/ex/bob/"},
        {"%USERNAME%", "ex/bob/"},
        // Only the first placeholder, and the upper-case form before the lower-case one.
        {"/m/%USERNAME%/%USERNAME%", "/m/ex/bob/%USERNAME%/"},
        {"/m/%username%/%USERNAME%", "/m/%username%/ex/bob/"},
        // Mixed case is not a placeholder.
        {"/m/%UserName%", "/m/%UserName%/"},
        {"D:\\Shared\\%X%", "D:/Shared/%X%/"},
        // %home% counts only at the start.
        {"/m/%HOME%/%USERNAME%", "/m/%HOME%/ex/bob/"},
    };
    for (const auto& c : cases) {
        SetTemplate(c.pszTemplate);
        EXPECT_EQ(Resolve("bob@dom1"), c.pszExpected) << c.pszTemplate;
    }
}

TEST_F(UserDirTest, HomeDirectoryFromTheUserFile) {
    WriteUserFile("dom1", UserLine({"ann", "pw", "", "", "/home/ann"}) + "\n" +
                              UserLine({"bob", "pw", "", "", "C:\\Users\\bob"}) + "\n");
    WriteUserFile("dom2", UserLine({"carl", "pw", "", "", "/home/carl2"}) + "\n");
    const struct {
        const char* pszTemplate;
        const char* pszUser;
        const char* pszExpected;
    } cases[] = {
        {"%HOME%\\INETMAIL\\INBOX", "ann@dom1", "/home/ann/INETMAIL/INBOX/"},
        {"%home%/INETMAIL/INBOX", "ann@dom1", "/home/ann/INETMAIL/INBOX/"},
        {"%HoMe%", "ann@dom1", "/home/ann/"},
        {"%HOME%\\%USERNAME%", "ann@dom1", "/home/ann/ex/ann/"},
        {"%HOME%\\INETMAIL\\INBOX", "bob@dom1", "C:/Users/bob/INETMAIL/INBOX/"},
        // No domain on the address: every local domain's file is searched.
        {"%HOME%/Mail", "carl", "/home/carl2/Mail/"},
    };
    for (const auto& c : cases) {
        SetTemplate(c.pszTemplate);
        EXPECT_EQ(Resolve(c.pszUser), c.pszExpected) << c.pszTemplate << " " << c.pszUser;
    }
}

// A user without a home would otherwise land in a directory at the root shared by every
// such user.
TEST_F(UserDirTest, NoHomeDirectoryMeansNoMailDirectory) {
    WriteUserFile("dom1", UserLine({"ann", "pw"}) + "\n");
    SetTemplate("%HOME%\\INETMAIL\\INBOX");
    EXPECT_EQ(Resolve("ann@dom1"), "");
    EXPECT_EQ(Resolve("nobody@dom1"), "");
    SetTemplate("/m/%USERNAME%");
    EXPECT_EQ(Resolve("nobody@dom1"), "/m/ex/nobody/");
}

TEST_F(UserDirTest, HomeDirectoryOfSystemAccounts) {
    Settings.UserManager = 1;
    SetTemplate("%HOME%\\INETMAIL\\INBOX");
    char szHome[256];
    ASSERT_EQ(GetHomeDirectory("root", "ignored", szHome, sizeof szHome), 0u);
    ASSERT_NE(szHome[0], '\0');
    EXPECT_EQ(Resolve("root@dom1"), std::string(szHome) + (szHome[strlen(szHome) - 1] == '/' ? "" : "/") +
                                        "INETMAIL/INBOX/");
    EXPECT_EQ(GetHomeDirectory("no-such-user-veve4d", "", szHome, sizeof szHome), 2221u);
    EXPECT_STREQ(szHome, "");
    EXPECT_EQ(Resolve("no-such-user-veve4d"), "");
}

TEST_F(UserDirTest, ResultThatDoesNotFitIsEmpty) {
    std::string strLong = "/" + std::string(240, 'd') + "/%USERNAME%";
    SetTemplate(strLong);
    char szDir[260];
    ResolveMailDirectory("bob@dom2", "", szDir, sizeof szDir);
    EXPECT_EQ(std::string(szDir), "/" + std::string(240, 'd') + "/bob/");
    ResolveMailDirectory("bobby-with-a-long-name@dom2", "", szDir, sizeof szDir);
    EXPECT_STREQ(szDir, "");
    // Exactly 259 characters with the final separator still fits.
    std::string strName(259 - 243, 'n');
    ResolveMailDirectory((strName + "@dom2").c_str(), "", szDir, sizeof szDir);
    EXPECT_EQ(strlen(szDir), 259u);
    ResolveMailDirectory((strName + "n@dom2").c_str(), "", szDir, sizeof szDir);
    EXPECT_STREQ(szDir, "");
}

TEST_F(UserDirTest, UserFileRecords) {
    WriteUserFile("dom1", UserLine({"Ann", "Secret", "three", "four", "/home/ann"}) + " trailing words\n" +
                              UserLine({"short", "pw"}) + "\n" +
                              UserLine({"gaps", "", "", "", "/home/gaps"}) + "\n" +
                              "QUJD\n" +
                              UserLine({"long", std::string(300, 'p'), "x"}) + "\n" +
                              "\n" +
                              UserLine({"last", "pw"}));
    UserRecord record;
    ASSERT_EQ(FindUserRecord("dom1", "ann", &record), 0u);
    EXPECT_STREQ(record.name, "Ann");
    EXPECT_STREQ(record.password, "Secret");
    EXPECT_STREQ(record.field3, "three");
    EXPECT_STREQ(record.field4, "four");
    EXPECT_STREQ(record.home, "/home/ann");

    ASSERT_EQ(FindUserRecord("dom1", "SHORT", &record), 0u);
    EXPECT_STREQ(record.password, "pw");
    EXPECT_STREQ(record.field3, "");
    EXPECT_STREQ(record.home, "");

    ASSERT_EQ(FindUserRecord("dom1", "gaps", &record), 0u);
    EXPECT_STREQ(record.password, "");
    EXPECT_STREQ(record.field4, "");
    EXPECT_STREQ(record.home, "/home/gaps");

    ASSERT_EQ(FindUserRecord("dom1", "abc", &record), 0u);
    EXPECT_STREQ(record.name, "ABC");
    EXPECT_STREQ(record.password, "");

    ASSERT_EQ(FindUserRecord("dom1", "long", &record), 0u);
    EXPECT_EQ(std::string(record.password), std::string(255, 'p'));
    EXPECT_STREQ(record.field3, "x");

    // The last line has no line feed yet.
    EXPECT_EQ(FindUserRecord("dom1", "last", &record), 2221u);
    EXPECT_STREQ(record.name, "");
    // Names match whole, not by prefix.
    EXPECT_EQ(FindUserRecord("dom1", "an", &record), 2221u);
    EXPECT_EQ(FindUserRecord("dom1", "ann2", &record), 2221u);
    EXPECT_EQ(FindUserRecord("dom1", "", &record), 2221u);
}

TEST_F(UserDirTest, FinalLineWithoutLineFeedIsNotRead) {
    WriteUserFile("dom1", "QUJD");
    UserRecord record;
    EXPECT_EQ(FindUserRecord("dom1", "ABC", &record), 2221u);
    WriteUserFile("dom1", "QUJD\n");
    EXPECT_EQ(FindUserRecord("dom1", "ABC", &record), 0u);
}

// The tail of a line longer than the reader takes must not count as a record of its own.
TEST_F(UserDirTest, OverlongLineTailIsNotARecord) {
    std::string strInjected = UserLine({"mallory", "pw"});
    WriteUserFile("dom1", UserLine({"filler", "x"}) + " " + std::string(1100 - strInjected.size(), '.') +
                              strInjected + "\n" + UserLine({"after", "ok"}) + "\n");
    UserRecord record;
    EXPECT_EQ(FindUserRecord("dom1", "mallory", &record), 2221u);
    EXPECT_EQ(FindUserRecord("dom1", "after", &record), 0u);
    EXPECT_EQ(FindUserRecord("dom1", "filler", &record), 0u);
}

TEST_F(UserDirTest, LocalDomainsAreSearchedInOrder) {
    WriteUserFile("dom1", UserLine({"both", "in-dom1"}) + "\n");
    WriteUserFile("dom2", UserLine({"both", "in-dom2"}) + "\n" + UserLine({"only2", "pw2"}) + "\n");
    UserRecord record;
    ASSERT_EQ(FindUserRecord("", "both", &record), 0u);
    EXPECT_STREQ(record.password, "in-dom1");
    ASSERT_EQ(FindUserRecord(nullptr, "only2", &record), 0u);
    EXPECT_STREQ(record.password, "pw2");
    // A named domain is searched alone.
    ASSERT_EQ(FindUserRecord("dom2", "both", &record), 0u);
    EXPECT_STREQ(record.password, "in-dom2");
    EXPECT_EQ(FindUserRecord("dom1", "only2", &record), 2221u);
    EXPECT_EQ(FindUserRecord("dom3", "both", &record), 2221u);

    SetLocalDomains({"missing", "dom2", "dom1"});
    ASSERT_EQ(FindUserRecord("", "both", &record), 0u);
    EXPECT_STREQ(record.password, "in-dom2");
    SetLocalDomains({});
    EXPECT_EQ(FindUserRecord("", "both", &record), 2221u);
}

TEST_F(UserDirTest, AccountFolderFallsBackToProgramPath) {
    fs::create_directory(dir / "program");
    std::ofstream(dir / "program" / "dom1.idx") << UserLine({"prog", "pw"}) << "\n";
    snprintf(Settings.ProgramPath, sizeof Settings.ProgramPath, "%s/program/", dir.c_str());
    UserRecord record;
    EXPECT_EQ(FindUserRecord("dom1", "prog", &record), 2221u);
    Settings.Membership[0] = '\0';
    EXPECT_EQ(FindUserRecord("dom1", "prog", &record), 0u);
}

TEST(IsSafeUserName, RefusesNamesThatLeaveTheMailDirectory) {
    const struct {
        const char* pszUser;
        bool bSafe;
    } cases[] = {
        {"bob", true},
        {"bob@dom1", true},
        {"bob@mail.example.com", true},
        {"ann%dom1", true},
        {"first.last", true},
        {"bob@", true},
        {"console", true},
        {"com10", true},
        {"a$b", true},
        {"", false},
        {"@dom1", false},
        {"%dom1", false},
        {".", false},
        {"..", false},
        {"...", false},
        {"a..b", false},
        {"../etc", false},
        {"bob/../ann", false},
        {"/etc/passwd", false},
        {"bob\\..\\ann", false},
        {"\\\\server\\share", false},
        {"C:", false},
        {"C:\\Users\\bob", false},
        {"bob:stream", false},
        {"CON", false},
        {"con", false},
        {"nul.txt", false},
        {"Lpt1", false},
        {"COM9", false},
        {"bob@..", false},
        {"bob@../../tmp/x", false},
        {"bob@dom/..", false},
        {"bob@.", false},
        {"bob@CON", false},
        {"bob%..", false},
        {"tab\tname", false},
        {"line\nfeed", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsSafeUserName(c.pszUser), c.bSafe) << c.pszUser;
    EXPECT_FALSE(IsSafeUserName(nullptr));
    EXPECT_FALSE(IsSafeUserName("bob\0../x", 8));
    EXPECT_TRUE(IsSafeUserName("bob\0../x", 3));
}

TEST_F(UserDirTest, UnsafeNamesBuildNoPath) {
    SetTemplate("/m/%USERNAME%");
    for (const char* pszUser : {"..", "../ann", "ann/..", "/etc", "C:", "CON", "bob@..", "bob@../x", "", "@dom1"}) {
        EXPECT_EQ(Resolve(pszUser, "10.0.0.1"), "") << pszUser;
    }
    // The user file of a domain outside the account folder is never opened.
    fs::create_directory(dir / "accounts" / "sub");
    std::ofstream(dir / "accounts" / "outside.idx") << UserLine({"bob", "pw"}) << "\n";
    snprintf(Settings.Membership, sizeof Settings.Membership, "%s/accounts/sub/", dir.c_str());
    UserRecord record;
    EXPECT_EQ(FindUserRecord("../outside", "bob", &record), 2221u);
    EXPECT_EQ(FindUserRecord("..\\outside", "bob", &record), 2221u);
    SetLocalDomains({"../outside"});
    EXPECT_EQ(FindUserRecord("", "bob", &record), 2221u);
    Settings.Membership[0] = '\0';
    snprintf(Settings.ProgramPath, sizeof Settings.ProgramPath, "%s/accounts/", dir.c_str());
    EXPECT_EQ(FindUserRecord("outside", "bob", &record), 0u);
}

}  // namespace
