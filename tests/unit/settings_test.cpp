// Settings from the registry: defaults, the precedence between the companion keys, directory
// normalisation, the field capacities, the spool directories and the console dump.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/settings.h"
#include "platform/registry.h"

namespace {

const std::string kHead = "Windows Registry Editor Version 5.00\n";
const std::string kService = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n";
const std::string kServiceParams =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC\\Parameters]\n";
const std::string kVeve4dParams = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n";
const std::string kCompanion = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\MXGATE\\Parameters]\n";
const std::string kEmwac = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n";

// Sets or clears one environment variable for a scope.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) saved_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvGuard() {
        if (had_) {
            setenv(name_.c_str(), saved_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::string saved_;
    bool had_ = false;
};

// A quoted registry string with regedit's escapes.
std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

std::string Str(const char* name, const std::string& value) {
    return Quoted(name) + "=" + Quoted(value) + "\n";
}

std::string Dword(const char* name, uint32_t value) {
    char sz[64];
    snprintf(sz, sizeof sz, "\"%s\"=dword:%08x\n", name, value);
    return sz;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { memset(&Settings, 0, sizeof Settings); }
    void TearDown() override { LoadRegistryText("", 0, "empty"); }

    static void ReadFrom(const std::string& body) {
        std::string text = kHead + body;
        LoadRegistryText(text.data(), text.size(), "settings.reg");
        ReadSettings();
    }

    static std::string Dump() {
        testing::internal::CaptureStdout();
        PrintSettings();
        return testing::internal::GetCapturedStdout();
    }

    EnvGuard systemRoot_{"SystemRoot", nullptr};
};

TEST_F(SettingsTest, EmptyRegistryGivesEveryDefault) {
    ReadFrom("");
    EXPECT_EQ(Settings.PortNo, 143);
    EXPECT_EQ(Settings.Timeout, 300);
    EXPECT_EQ(Settings.SendDataTimeout, 60);
    EXPECT_EQ(Settings.AcceptLimit, 0);
    EXPECT_EQ(Settings.Priority, 0);
    EXPECT_EQ(Settings.ListenMode, 0);
    EXPECT_EQ(Settings.ListenIP[0], '\0');
    EXPECT_EQ(Settings.AddressFamily, 0);
    EXPECT_EQ(Settings.UserManager, 1);
    EXPECT_EQ(Settings.Imap4LogEnabled, 0);
    EXPECT_EQ(Settings.AcceptlogEnabled, 0);
    EXPECT_EQ(Settings.POP3IsNotUsed, 0);
    EXPECT_STREQ(Settings.PasswordFile, "apop.dat");
    EXPECT_STREQ(Settings.MailExtension, "MSG");
    EXPECT_STREQ(Settings.Membership, "");
    EXPECT_STREQ(Settings.HostName, "");
    EXPECT_EQ(Settings.DomainNamesAreLocal[0], '\0');
    EXPECT_STREQ(Settings.MailGroup, "IMSUsers");
    EXPECT_STREQ(Settings.ProgramPath, "");
    EXPECT_STREQ(Settings.MailInBoxDir, "%HOME%/INETMAIL/INBOX");
    EXPECT_STREQ(Settings.MailSpoolDir, "/var/lib/veve4d/SYSTEM32/VLM/MAIL/");
    EXPECT_STREQ(Settings.MailQueueDir, "incoming/");

    EnvGuard root("SystemRoot", "/srv/nt");
    ReadFrom("");
    EXPECT_STREQ(Settings.MailSpoolDir, "/srv/nt/SYSTEM32/VLM/MAIL/");
}

TEST_F(SettingsTest, ValuesAreTakenFromTheirKeys) {
    ReadFrom(kService + Dword("Priority", 2) + Dword("Timeout", 0) + Dword("AcceptLimit", 20) +
             Str("PasswordFile", "pw.dat") + Dword("AcceptlogEnabled", 1) + Str("MailExtension", "EML") +
             Dword("ListenMode", 1) + "\"ListenIP\"=str(7):\"127.0.0.1 1143\\0::1 1143\\0\"\n" +
             Dword("SendDataTimeout", 0) + Str("ImagePath", "C:\\Mail\\imap4.exe") + kEmwac +
             Dword("UserManager", 0) + Dword("POP3IsNotUsed", 1) + Dword("AddressFamily", 2) +
             Str("Membership", "D:\\Accounts\\") + Str("HostName", "mail.example") +
             "\"DomainNamesAreLocal\"=hex(7):61,00,2e,00,6a,00,70,00,00,00,00,00\n" + Str("MailGroup", "Staff"));
    EXPECT_EQ(Settings.Priority, 2);
    EXPECT_EQ(Settings.Timeout, 0);
    EXPECT_EQ(Settings.AcceptLimit, 20);
    EXPECT_STREQ(Settings.PasswordFile, "pw.dat");
    EXPECT_EQ(Settings.AcceptlogEnabled, 1);
    EXPECT_STREQ(Settings.MailExtension, "EML");
    EXPECT_EQ(Settings.ListenMode, 1);
    EXPECT_EQ(std::string(Settings.ListenIP, 25), std::string("127.0.0.1 1143\0::1 1143\0\0", 25));
    EXPECT_EQ(Settings.SendDataTimeout, 0);
    EXPECT_STREQ(Settings.ProgramPath, "C:/Mail/");
    EXPECT_EQ(Settings.UserManager, 0);
    EXPECT_EQ(Settings.POP3IsNotUsed, 1);
    EXPECT_EQ(Settings.AddressFamily, 2);
    EXPECT_STREQ(Settings.Membership, "D:/Accounts/");
    EXPECT_STREQ(Settings.HostName, "mail.example");
    EXPECT_EQ(std::string(Settings.DomainNamesAreLocal, 6), std::string("a.jp\0\0", 6));
    EXPECT_STREQ(Settings.MailGroup, "Staff");
}

TEST_F(SettingsTest, PortAndAccessLogFallBackToTheServiceParameters) {
    struct Case {
        const char* veve4d;  // values in the VEVE4D parameters key
        const char* service; // values in the service parameters key
        int32_t port;
        int32_t log;
    } cases[] = {
        {"", "", 143, 0},
        {"", "PortNo=1143 Imap4LogEnabled=1", 1143, 1},
        {"PortNo=143 Imap4LogEnabled=0", "PortNo=1143 Imap4LogEnabled=1", 1143, 1},
        {"PortNo=1110 Imap4LogEnabled=2", "PortNo=1143 Imap4LogEnabled=0", 1110, 2},
        {"PortNo=1110", "", 1110, 0},
    };
    for (const Case& c : cases) {
        auto values = [](const char* pszValues) {
            std::string out;
            unsigned port = 0;
            unsigned log = 0;
            if (sscanf(pszValues, "PortNo=%u Imap4LogEnabled=%u", &port, &log) >= 1) out += Dword("PortNo", port);
            if (strstr(pszValues, "Imap4LogEnabled") != nullptr) out += Dword("Imap4LogEnabled", log);
            return out;
        };
        ReadFrom(kVeve4dParams + values(c.veve4d) + kServiceParams + values(c.service));
        EXPECT_EQ(Settings.PortNo, c.port) << c.veve4d << " / " << c.service;
        EXPECT_EQ(ReadPortNo(), c.port) << c.veve4d << " / " << c.service;
        EXPECT_EQ(Settings.Imap4LogEnabled, c.log) << c.veve4d << " / " << c.service;
    }
}

TEST_F(SettingsTest, QueueDirectoryComesFromTheCompanionUnlessItIsIncoming) {
    struct Case {
        const char* companion;  // nullptr: value missing
        const char* service;
        const char* queue;
    } cases[] = {
        {"INCOMING", "svcqueue", "svcqueue/"},
        {"incoming", nullptr, "incoming/"},
        {nullptr, "svcqueue\\", "svcqueue/"},
        {"mxq", "svcqueue", "mxq/"},
        {"mx\\q", nullptr, "mx/q/"},
        {"", "svcqueue", ""},
    };
    for (const Case& c : cases) {
        std::string body = kCompanion;
        if (c.companion != nullptr) body += Str("MailQueueDir", c.companion);
        body += kServiceParams;
        if (c.service != nullptr) body += Str("MailQueueDir", c.service);
        ReadFrom(body);
        EXPECT_STREQ(Settings.MailQueueDir, c.queue) << (c.companion ? c.companion : "(missing)");
    }
}

TEST_F(SettingsTest, DirectoriesAreNormalised) {
    EnvGuard a("VEVE4D_TEST_A", "/x");
    EnvGuard b("VEVE4D_TEST_B", "/y");
    EnvGuard unset("VEVE4D_TEST_UNSET", nullptr);
    struct Case {
        const char* value;
        const char* field;
        const char* result;
    } cases[] = {
        {"", "MailInBoxDir", "%HOME%/INETMAIL/INBOX"},
        {"E:\\Users\\", "MailInBoxDir", "E:/Users/%USERNAME%"},
        {"/home/mail/", "MailInBoxDir", "/home/mail/%USERNAME%"},
        {"E:\\%USERNAME%\\Mail", "MailInBoxDir", "E:/%USERNAME%/Mail"},
        {"C:\\Mail\\imap4.exe", "ImagePath", "C:/Mail/"},
        {"/usr/sbin/veve4d", "ImagePath", "/usr/sbin/"},
        {"/veve4d", "ImagePath", "/veve4d"},
        {"veve4d", "ImagePath", "veve4d"},
        {"", "MailSpoolDir", "/var/lib/veve4d/SYSTEM32/VLM/MAIL/"},
        {"D:\\Spool", "MailSpoolDir", "D:/Spool/"},
        {"/srv/spool/", "MailSpoolDir", "/srv/spool/"},
        {"\\\\server\\share\\spool", "MailSpoolDir", "//server/share/spool/"},
        {"%VEVE4D_TEST_A%%VEVE4D_TEST_B%\\MAIL", "MailSpoolDir", "/x/y/MAIL/"},
        {"%VEVE4D_TEST_A%\\%VEVE4D_TEST_B%", "MailSpoolDir", "/x/%VEVE4D_TEST_B%/"},
        {"%VEVE4D_TEST_UNSET%/spool", "MailSpoolDir", "/spool/"},
        {"%SystemRoot%\\S", "MailSpoolDir", "/var/lib/veve4d/S/"},
        {"%VEVE4D_TEST_A", "MailSpoolDir", "%VEVE4D_TEST_A/"},
        // Nothing left after expansion: the spool still has to be a directory.
        {"%VEVE4D_TEST_UNSET%", "MailSpoolDir", "/var/lib/veve4d/SYSTEM32/VLM/MAIL/"},
    };
    for (const Case& c : cases) {
        const std::string key = strcmp(c.field, "ImagePath") == 0 ? kService : kEmwac;
        ReadFrom(key + Str(c.field, c.value));
        const char* got = strcmp(c.field, "MailInBoxDir") == 0 ? Settings.MailInBoxDir
                          : strcmp(c.field, "ImagePath") == 0  ? Settings.ProgramPath
                                                               : Settings.MailSpoolDir;
        EXPECT_STREQ(got, c.result) << c.field << " " << c.value;
    }
}

TEST_F(SettingsTest, ValuesTooLongForTheirFieldGiveTheDefault) {
    ReadFrom(kService + Str("PasswordFile", std::string(200, 'p')));
    EXPECT_STREQ(Settings.PasswordFile, "apop.dat");
    ReadFrom(kService + Str("PasswordFile", std::string(128, 'p')));  // needs 129 with its NUL
    EXPECT_STREQ(Settings.PasswordFile, "apop.dat");
    ReadFrom(kService + Str("PasswordFile", std::string(127, 'p')));
    EXPECT_EQ(std::string(Settings.PasswordFile), std::string(127, 'p'));

    // A template with no room left for the user's name would put every user in one directory.
    ReadFrom(kEmwac + Str("MailInBoxDir", "/" + std::string(250, 'm')));
    EXPECT_STREQ(Settings.MailInBoxDir, "%HOME%/INETMAIL/INBOX");
    ReadFrom(kEmwac + Str("MailInBoxDir", "/" + std::string(248, 'm')));
    EXPECT_EQ(std::string(Settings.MailInBoxDir), "/" + std::string(248, 'm') + "%USERNAME%");

    // 127 bytes fit the spool field but leave no room for the "/".
    ReadFrom(kEmwac + Str("MailSpoolDir", "/" + std::string(126, 's')));
    EXPECT_STREQ(Settings.MailSpoolDir, "/var/lib/veve4d/SYSTEM32/VLM/MAIL/");
    EnvGuard longVar("VEVE4D_TEST_LONG", std::string(200, 'l').c_str());
    ReadFrom(kEmwac + Str("MailSpoolDir", "%VEVE4D_TEST_LONG%/x"));
    EXPECT_STREQ(Settings.MailSpoolDir, "/var/lib/veve4d/SYSTEM32/VLM/MAIL/");
}

TEST_F(SettingsTest, RegistryReadersReportSizesAndKeepTheirBuffersBounded) {
    std::string text = kHead + "[HKEY_LOCAL_MACHINE\\K]\n" + Str("S", "abc") + Str("Long", std::string(200, 'x')) +
                       Dword("D", 1143) + "\"Two\"=hex:34,12\n" + Str("Text", "1143") +
                       "\"Blob\"=hex:41,42,43,44\n" + "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\n";
    LoadRegistryText(text.data(), text.size(), "readers.reg");
    char buf[8];

    EXPECT_EQ(RegReadString("K", "S", "def", buf, sizeof buf), 4u);
    EXPECT_EQ(std::string(buf, 8), std::string("abc\0\0\0\0\0", 8));
    EXPECT_EQ(RegReadString("K", "Long", "def", buf, sizeof buf), 201u);
    EXPECT_EQ(std::string(buf, 8), std::string("def\0\0\0\0\0", 8));
    EXPECT_EQ(RegReadString("K", "Missing", "def", buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "def");
    EXPECT_EQ(RegReadString("NoKey", "S", "def", buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "def");
    // Four binary bytes in a four-byte field would leave it unterminated.
    char four[4];
    RegReadString("K", "Blob", "d", four, sizeof four);
    EXPECT_STREQ(four, "d");

    EXPECT_EQ(RegReadNumber("K", "D", 7), 1143u);
    EXPECT_EQ(RegReadNumber("K", "Two", 7), 0x1234u);
    EXPECT_EQ(RegReadNumber("K", "Text", 7), 7u);  // five bytes do not fit a number
    EXPECT_EQ(RegReadNumber("K", "Missing", 7), 7u);
    EXPECT_EQ(RegReadNumber("NoKey", "D", 7), 7u);

    char list[8];
    RegReadStringList("K", "List", "def", list, sizeof list);
    EXPECT_EQ(std::string(list, 8), std::string("a\0b\0\0\0\0\0", 8));
    RegReadStringList("K", "Missing", "def", list, sizeof list);
    EXPECT_EQ(list[0], '\0');  // the key exists: an empty list, not the default
    RegReadStringList("NoKey", "List", "def", list, sizeof list);
    EXPECT_STREQ(list, "def");
    char exact[5];  // "a\0b\0\0" fills five bytes exactly
    RegReadStringList("K", "List", "def", exact, sizeof exact);
    EXPECT_EQ(std::string(exact, 5), std::string("a\0b\0\0", 5));
    char small[4];  // too small: the list comes back empty
    RegReadStringList("K", "List", "def", small, sizeof small);
    EXPECT_EQ(small[0], '\0');
    // A plain string filling the field would end the list nowhere.
    char plain[5];
    EXPECT_EQ(RegReadStringList("K", "Text", "def", plain, sizeof plain), 5u);
    EXPECT_EQ(plain[0], '\0');
    char roomy[6];
    RegReadStringList("K", "Text", "def", roomy, sizeof roomy);
    EXPECT_EQ(std::string(roomy, 6), std::string("1143\0\0", 6));
}

TEST_F(SettingsTest, DumpOfTheDefaults) {
    ReadFrom("");
    EXPECT_EQ(Dump(),
              "---- regestry ----\n"
              "Priority            0\n"
              "User Manager        NT use\n"
              "Membership          workgroup\n"
              "Host IP version     IPv4\n"
              "Host Name(IPv6)     \n"
              "Accept limit        0(Unlimited)\n"
              "Timer               300(sec)\n"
              "Send Data Timer     on 60(s)\n"
              "Imap4 IP            permit all\n"
              "Imap4 Port          143\n"
              "MailGroup           \"IMSUsers\"\n"
              "MailSpoolDir        /var/lib/veve4d/SYSTEM32/VLM/MAIL/\n"
              "MailBoxDir          %HOME%/INETMAIL/INBOX\n"
              "MailDataExtension   *.MSG\n"
              "Program Path        \n"
              "Imap Password File  apop.dat\n"
              "Pop3 isn't using    off\n"
              "AcceptImap4 Log     off\n"
              "Imap4Log            off\n"
              "-------------------\n");
}

TEST_F(SettingsTest, DumpOfAConfiguredServer) {
    ReadFrom(kService + Dword("Priority", 3) + Dword("AcceptLimit", 20) + Dword("SendDataTimeout", 0) +
             Dword("ListenMode", 1) + "\"ListenIP\"=str(7):\"127.0.0.1 1143\\0::1 1143\\0\"\n" +
             Dword("AcceptlogEnabled", 1) + Str("ImagePath", "/opt/veve4d/bin/veve4d") + kVeve4dParams +
             Dword("PortNo", 1143) + Dword("Imap4LogEnabled", 1) + kEmwac + Dword("UserManager", 0) +
             Dword("AddressFamily", 2) + Dword("POP3IsNotUsed", 1) + Str("HostName", "mail.example") +
             Str("MailSpoolDir", "/srv/spool") + Str("MailInBoxDir", "/srv/users/"));
    EXPECT_EQ(Dump(),
              "---- regestry ----\n"
              "Priority            3\n"
              "User Manager        VLM use\n"
              "Account folder      current\n"
              "Host IP version     IPv4/6\n"
              "Host Name(IPv6)     mail.example\n"
              "Accept limit        20\n"
              "Timer               300(sec)\n"
              "Send Data Timer     off 0(s)\n"
              "Imap4 IP            permit \"127.0.0.1 1143\" \"::1 1143\"\n"
              "Imap4 Port          1143\n"
              "MailGroup           \"IMSUsers\"\n"
              "MailSpoolDir        /srv/spool/\n"
              "MailBoxDir          /srv/users/%USERNAME%\n"
              "MailDataExtension   *.MSG\n"
              "Program Path        /opt/veve4d/bin/\n"
              "Imap Password File  apop.dat\n"
              "Pop3 isn't using    on\n"
              "AcceptImap4 Log     on\n"
              "Imap4Log            on\n"
              "-------------------\n");

    // Other spellings of the same choices.
    ReadFrom(kEmwac + Dword("AddressFamily", 1) + Str("Membership", "CORP") + kService + Dword("ListenMode", 1));
    std::string dump = Dump();
    EXPECT_NE(dump.find("Host IP version     IPv6\n"), std::string::npos);
    EXPECT_NE(dump.find("Membership          CORP\n"), std::string::npos);
    EXPECT_NE(dump.find("Imap4 IP            permit\nImap4 Port"), std::string::npos);
    ReadFrom(kEmwac + Dword("UserManager", 0) + Str("Membership", "/srv/accounts/"));
    EXPECT_NE(Dump().find("Account folder      /srv/accounts/\n"), std::string::npos);
}

class SpoolTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        char tmpl[] = "/tmp/veve4d-spool-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override {
        std::filesystem::remove_all(root_);
        SettingsTest::TearDown();
    }
    bool IsDir(const std::string& relative) const { return std::filesystem::is_directory(root_ + relative); }

    std::string root_;
};

TEST_F(SpoolTest, EveryLevelAndTheWorkDirectoriesAreCreated) {
    ReadFrom(kEmwac + Str("MailSpoolDir", root_ + "\\a\\b") + kVeve4dParams + Dword("Imap4LogEnabled", 1) +
             kCompanion + Str("MailQueueDir", "queue"));
    CreateSpoolDirectories();
    EXPECT_TRUE(IsDir("/a"));
    EXPECT_TRUE(IsDir("/a/b"));
    EXPECT_TRUE(IsDir("/a/b/queue"));
    EXPECT_TRUE(IsDir("/a/b/imap4log"));
    EXPECT_TRUE(IsDir("/a/b/temp"));
    // A second start finds them all there and carries on.
    CreateSpoolDirectories();
    EXPECT_TRUE(IsDir("/a/b/temp"));
}

TEST_F(SpoolTest, AccessLogDirectoryOnlyWhenTheLogIsOn) {
    ReadFrom(kEmwac + Str("MailSpoolDir", root_ + "/s"));
    CreateSpoolDirectories();
    EXPECT_TRUE(IsDir("/s/incoming"));
    EXPECT_TRUE(IsDir("/s/temp"));
    EXPECT_FALSE(IsDir("/s/imap4log"));
}

TEST_F(SpoolTest, NetworkPathGetsNoLevelCreated) {
    ReadFrom(kEmwac + Str("MailSpoolDir", "/" + root_ + "/net"));
    EXPECT_EQ(std::string(Settings.MailSpoolDir), "/" + root_ + "/net/");
    CreateSpoolDirectories();
    EXPECT_FALSE(IsDir("/net"));
}

}  // namespace

namespace {

// The README's demo runs on this file: it has to read cleanly and give the loopback setup.
TEST_F(SettingsTest, DemoRegistryGivesTheLoopbackDemo) {
    std::string path = std::string(VEVE4D_SOURCE_DIR) + "/etc/demo-registry.reg";
    FILE* fp = fopen(path.c_str(), "rb");
    ASSERT_NE(fp, nullptr) << path;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, fp)) > 0) text.append(chunk, n);
    fclose(fp);

    testing::internal::CaptureStdout();
    LoadRegistryText(text.data(), text.size(), "demo-registry.reg");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ReadSettings();
    EXPECT_EQ(Settings.PortNo, 1143);
    EXPECT_EQ(Settings.AddressFamily, 0);
    EXPECT_EQ(Settings.ListenMode, 1);
    EXPECT_EQ(std::string(Settings.ListenIP, 16), std::string("127.0.0.1 1143\0\0", 16));
    EXPECT_EQ(Settings.UserManager, 0);
    EXPECT_EQ(Settings.Imap4LogEnabled, 1);
    EXPECT_EQ(Settings.AcceptlogEnabled, 1);
    EXPECT_EQ(Settings.Timeout, 300);
    EXPECT_EQ(Settings.AcceptLimit, 20);
    EXPECT_STREQ(Settings.MailSpoolDir, "/tmp/veve4d-demo/spool/");
    EXPECT_STREQ(Settings.MailInBoxDir, "/tmp/veve4d-demo/users/%USERNAME%");
    EXPECT_STREQ(Settings.Membership, "/tmp/veve4d-demo/accounts/");
    EXPECT_EQ(std::string(Settings.DomainNamesAreLocal, 12), std::string("demo.local\0\0", 12));

    char name[64];
    char data[64];
    uint32_t cb = sizeof data;
    ASSERT_EQ(RegEnumValue("SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP", 0, name, sizeof name, nullptr, data, &cb),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "demo.local");
    EXPECT_STREQ(data, "127.0.0.1");
}

}  // namespace
