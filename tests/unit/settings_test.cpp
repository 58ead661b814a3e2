// Settings from the registry: defaults, precedence, normalisation, capacities, spool directories.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "config/settings.h"
#include "env_guard.h"
#include "platform/registry.h"
#include "test_server.h"

namespace {

const std::string kServices = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const std::string kService = kServices + "VLMVEVE4D-SVC]\n", kEmwac = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n";
const std::string kServiceParams = kServices + "VLMVEVE4D-SVC\\Parameters]\n";
const std::string kVeve4dParams = kServices + "VEVE4D\\Parameters]\n", kCompanion = kServices + "MXGATE\\Parameters]\n";
const char* const kDefaultSpool = "/var/lib/veve4d/SYSTEM32/VLM/MAIL/";

// A string value with regedit's escapes.
std::string Str(const char* name, const std::string& value) {
    std::string out = "\"" + std::string(name) + "\"=\"";
    for (char c : value) out += (c == '\\' || c == '"') ? std::string{'\\', c} : std::string{c};
    return out + "\"\n";
}

std::string Dword(const char* name, uint32_t value) {
    char sz[64];
    return std::string(sz, static_cast<size_t>(snprintf(sz, sizeof sz, "\"%s\"=dword:%08x\n", name, value)));
}

struct SettingsTest : ::testing::Test {
    void TearDown() override { LoadRegistryText("", 0, "empty"); }

    static void ReadFrom(const std::string& body) {
        std::string text = "Windows Registry Editor Version 5.00\n" + body;
        LoadRegistryText(text.data(), text.size(), "settings.reg");
        ReadSettings();
    }

    EnvGuard systemRoot_{"SystemRoot", nullptr};
};

// A missing value gives its default. The values no other test configures are read here from their keys.
TEST_F(SettingsTest, DefaultsAndValuesNothingElseConfigures) {
    auto state = [] {
        return std::to_string(Settings.Priority) + " " + std::to_string(Settings.Timeout) + " " +
               std::to_string(Settings.AcceptLimit) + " " + std::to_string(Settings.AcceptlogEnabled) + " " +
               std::to_string(Settings.ListenMode) + " " + std::to_string(Settings.SendDataTimeout) + " " +
               std::to_string(Settings.PortNo) + " " + std::to_string(Settings.UserManager) + " " +
               std::to_string(Settings.AddressFamily) + " " + std::to_string(Settings.POP3IsNotUsed) + " " +
               Settings.PasswordFile + " " + Settings.MailExtension + " " + Settings.HostName + " " +
               Settings.Membership + " " + Settings.MailGroup + " " + Settings.MailSpoolDir + " " +
               Settings.MailInBoxDir + " " + Settings.ProgramPath + " " + Settings.MailQueueDir;
    };
    ReadFrom("");
    EXPECT_EQ(state(), std::string("0 300 0 0 0 60 143 1 0 0 apop.dat MSG   IMSUsers ") + kDefaultSpool +
                           " %HOME%/INETMAIL/INBOX  incoming/");
    EXPECT_EQ(std::string(Settings.ListenIP, 2) + std::string(Settings.DomainNamesAreLocal, 2), std::string(4, '\0'));
    EnvGuard root("SystemRoot", "/srv/nt");
    ReadFrom("");
    EXPECT_STREQ(Settings.MailSpoolDir, "/srv/nt/SYSTEM32/VLM/MAIL/");

    ReadFrom(kService + Dword("Priority", 3) + Str("MailExtension", "EML") + kEmwac + Dword("POP3IsNotUsed", 1) +
             Str("HostName", "mail.example") + Str("MailGroup", "Staff"));
    EXPECT_EQ(std::to_string(Settings.Priority) + " " + Settings.MailExtension + " " + std::to_string(Settings.POP3IsNotUsed) +
              " " + Settings.HostName + " " + Settings.MailGroup, "3 EML 1 mail.example Staff");
}

TEST_F(SettingsTest, PortAndAccessLogFallBackToTheServiceParameters) {
    // -1: the value is missing.
    const struct { int veve4dPort, veve4dLog, servicePort, serviceLog, port, log; } cases[] = {
        {-1, -1, -1, -1, 143, 0},   {-1, -1, 1143, 1, 1143, 1}, {143, 0, 1143, 1, 1143, 1},
        {1110, 2, 1143, 0, 1110, 2}, {1110, -1, -1, -1, 1110, 0},
    };
    auto dw = [](const char* name, int v) { return v < 0 ? std::string() : Dword(name, static_cast<uint32_t>(v)); };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.veve4dPort << " " << c.veve4dLog << " / " << c.servicePort);
        ReadFrom(kVeve4dParams + dw("PortNo", c.veve4dPort) + dw("Imap4LogEnabled", c.veve4dLog) + kServiceParams +
                 dw("PortNo", c.servicePort) + dw("Imap4LogEnabled", c.serviceLog));
        EXPECT_EQ(std::vector<int>({Settings.PortNo, ReadPortNo(), Settings.Imap4LogEnabled}),
                  std::vector<int>({c.port, c.port, c.log}));
    }
}

TEST_F(SettingsTest, QueueDirectoryComesFromTheCompanionUnlessItIsIncoming) {
    // nullptr: the value is missing.
    const struct { const char *companion, *service, *queue; } cases[] = {
        {"INCOMING", "svcqueue", "svcqueue/"}, {"incoming", nullptr, "incoming/"}, {nullptr, "svcqueue\\", "svcqueue/"},
        {"mxq", "svcqueue", "mxq/"},           {"mx\\q", nullptr, "mx/q/"},         {"", "svcqueue", ""},
    };
    for (const auto& c : cases) {
        ReadFrom(kCompanion + (c.companion ? Str("MailQueueDir", c.companion) : "") + kServiceParams +
                 (c.service ? Str("MailQueueDir", c.service) : ""));
        EXPECT_STREQ(Settings.MailQueueDir, c.queue) << (c.companion ? c.companion : "(missing)");
    }
}

TEST_F(SettingsTest, DirectoriesAreNormalisedAndTooLongValuesGiveTheDefault) {
    EnvGuard a("VEVE4D_TEST_A", "/x"), b("VEVE4D_TEST_B", "/y"), unset("VEVE4D_TEST_UNSET", nullptr),
        longVar("VEVE4D_TEST_LONG", std::string(200, 'l').c_str());
    const std::string m248 = "/" + std::string(248, 'm');
    const std::string kInBox = "MailInBoxDir", kImage = "ImagePath", kSpool = "MailSpoolDir", kPwFile = "PasswordFile",
                      kMembership = "Membership";
    const struct { std::string value, field, result; } cases[] = {
        {"", kInBox, "%HOME%/INETMAIL/INBOX"}, {"E:\\Users\\", kInBox, "E:/Users/%USERNAME%"},
        {"/home/mail/", kInBox, "/home/mail/%USERNAME%"}, {"E:\\%USERNAME%\\Mail", kInBox, "E:/%USERNAME%/Mail"},
        // A template with no room left for the user's name would put every user in one directory.
        {m248, kInBox, m248 + "%USERNAME%"}, {m248 + "m", kInBox, "%HOME%/INETMAIL/INBOX"},
        {"D:\\Accounts\\", kMembership, "D:/Accounts/"}, {"C:\\Mail\\imap4.exe", kImage, "C:/Mail/"}, {"/usr/sbin/veve4d", kImage, "/usr/sbin/"},
        {"/veve4d", kImage, "/veve4d"}, {"veve4d", kImage, "veve4d"},
        {"", kSpool, kDefaultSpool}, {"D:\\Spool", kSpool, "D:/Spool/"}, {"/srv/spool/", kSpool, "/srv/spool/"},
        {"\\\\server\\share\\spool", kSpool, "//server/share/spool/"},
        {"%VEVE4D_TEST_A%%VEVE4D_TEST_B%\\MAIL", kSpool, "/x/y/MAIL/"},
        {"%VEVE4D_TEST_A%\\%VEVE4D_TEST_B%", kSpool, "/x/%VEVE4D_TEST_B%/"},
        {"%VEVE4D_TEST_UNSET%/spool", kSpool, "/spool/"}, {"%SystemRoot%\\S", kSpool, "/var/lib/veve4d/S/"},
        {"%SYSTEMROOT%/S", kSpool, "/var/lib/veve4d/S/"},
        {"%VEVE4D_TEST_A", kSpool, "%VEVE4D_TEST_A/"}, {"%VEVE4D_TEST_UNSET%", kSpool, kDefaultSpool},
        {"%VEVE4D_TEST_LONG%/x", kSpool, kDefaultSpool},
        // 127 bytes fit the field but leave no room for the "/".
        {"/" + std::string(125, 's'), kSpool, "/" + std::string(125, 's') + "/"},
        {"/" + std::string(126, 's'), kSpool, kDefaultSpool},
        {std::string(127, 'p'), kPwFile, std::string(127, 'p')},
        {std::string(128, 'p'), kPwFile, "apop.dat"},  // needs 129 with its NUL
    };
    for (const auto& [value, field, result] : cases) {
        ReadFrom((field == kImage || field == kPwFile ? kService : kEmwac) + Str(field.c_str(), value));
        const char* got = field == kInBox ? Settings.MailInBoxDir : field == kImage ? Settings.ProgramPath
                          : field == kPwFile ? Settings.PasswordFile : field == kMembership ? Settings.Membership
                          : Settings.MailSpoolDir;
        EXPECT_EQ(got, result) << field << " " << value;
    }
}

TEST_F(SettingsTest, RegistryReadersKeepTheirBuffersBounded) {
    ReadFrom("[HKEY_LOCAL_MACHINE\\K]\n" + Str("S", "abc") + Str("Long", std::string(200, 'x')) + Str("Text", "1143") +
             "\"Two\"=hex:34,12\n\"Blob\"=hex:41,42,43,44\n\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\n");
    // The field's size is the capacity given.
    using Reader = uint32_t (*)(const char*, const char*, const char*, char*, uint32_t);
    const struct { Reader reader; const char *key, *name; uint32_t returned; std::string field; } cases[] = {
        {RegReadString, "K", "S", 4, {"abc\0\0\0\0\0", 8}},
        {RegReadString, "K", "Long", 201, {"def\0\0\0\0\0", 8}},  // the size it needs
        // Four binary bytes in a four-byte field would leave it unterminated.
        {RegReadString, "K", "Blob", 4, {"def\0", 4}},
        {RegReadStringList, "K", "List", 5, {"a\0b\0\0\0\0\0", 8}},
        {RegReadStringList, "K", "List", 5, {"a\0b\0\0", 5}},
        {RegReadStringList, "K", "List", 5, {"\0\0\0\0", 4}},  // too small: an empty list
        {RegReadStringList, "K", "Missing", 8, {"\0\0\0\0\0\0\0\0", 8}},  // the key exists: empty, not the default
        {RegReadStringList, "NoKey", "List", 8, {"def\0\0\0\0\0", 8}},
        // A plain string filling the field would end the list nowhere.
        {RegReadStringList, "K", "Text", 5, {"\0\0\0\0\0", 5}},
        {RegReadStringList, "K", "Text", 5, {"1143\0\0", 6}},
    };
    for (const auto& c : cases) {
        std::string buf(c.field.size(), 'Z');
        SCOPED_TRACE(testing::Message() << c.name << " in " << buf.size());
        EXPECT_EQ(c.reader(c.key, c.name, "def", buf.data(), static_cast<uint32_t>(buf.size())), c.returned);
        EXPECT_EQ(buf, c.field);
    }
    EXPECT_EQ(RegReadNumber("K", "Two", 7), 0x1234u);
    EXPECT_EQ(RegReadNumber("K", "Text", 7), 7u);  // five bytes do not fit a number
    EXPECT_EQ(RegReadNumber("NoKey", "D", 7), 7u);
}

TEST_F(SettingsTest, SpoolLevelsAndWorkDirectoriesAreCreated) {
    TempDir tmp;
    ReadFrom(kEmwac + Str("MailSpoolDir", tmp.path + "\\a\\b") + kVeve4dParams + Dword("Imap4LogEnabled", 1) +
             kCompanion + Str("MailQueueDir", "queue"));
    CreateSpoolDirectories();
    CreateSpoolDirectories();  // a second start finds them there and carries on
    for (const char* dir : {"/a", "/a/b", "/a/b/queue", "/a/b/imap4log", "/a/b/temp"})
        EXPECT_TRUE(std::filesystem::is_directory(tmp.path + dir)) << dir;
}

// The README's demo runs on this file: it has to read cleanly and give the loopback port.
TEST_F(SettingsTest, DemoRegistryReadsCleanly) {
    testing::internal::CaptureStdout();
    LoadRegistryFile(VEVE4D_SOURCE_DIR "/etc/demo-registry.reg");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ReadSettings();
    EXPECT_EQ(std::string(Settings.ListenIP, 16), std::string("127.0.0.1 1143\0\0", 16));
}

}  // namespace

namespace {

// The deadlines before login cannot be switched off: 0 would let a trickling client stay for ever.
TEST_F(SettingsTest, DeadlinesBeforeLoginHaveDefaultsAndNoOff) {
    ReadFrom("");
    EXPECT_EQ(std::vector<int>({Settings.LoginTimeLimit, Settings.TlsHandshakeTimeLimit}), std::vector<int>({60, 20}));
    ReadFrom(kService + Dword("LoginTimeLimit", 45) + Dword("TlsHandshakeTimeLimit", 7));
    EXPECT_EQ(std::vector<int>({Settings.LoginTimeLimit, Settings.TlsHandshakeTimeLimit}), std::vector<int>({45, 7}));
    ReadFrom(kService + Dword("LoginTimeLimit", 0) + Dword("TlsHandshakeTimeLimit", 0xffffffff));
    EXPECT_EQ(std::vector<int>({Settings.LoginTimeLimit, Settings.TlsHandshakeTimeLimit}), std::vector<int>({60, 20}));
}

}  // namespace
