// The registry file reader: every value form regedit and Wine write, both encodings, and
// what a damaged file does.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

// Every test loads its own registry; the process shares one, so leave it empty behind.
class RegistryTest : public ::testing::Test {
protected:
    void TearDown() override { LoadRegistryText("", 0, "empty"); }

    static void Load(const std::string& text) { LoadRegistryText(text.data(), text.size(), "test.reg"); }

    // The raw bytes of a value, or "<missing>" when it cannot be read.
    static std::string Raw(const char* key, const char* name, uint32_t* pType = nullptr) {
        uint32_t cb = 0;
        uint32_t type = 0;
        if (RegQueryValue(key, name, &type, nullptr, &cb) != ERROR_SUCCESS) return "<missing>";
        std::string data(cb, '\xcc');
        if (RegQueryValue(key, name, &type, data.data(), &cb) != ERROR_SUCCESS) return "<unreadable>";
        data.resize(cb);
        if (pType != nullptr) *pType = type;
        return data;
    }
};

// UTF-16LE with a byte-order mark, as regedit saves.
std::string Utf16File(const std::string& ascii) {
    std::string out("\xff\xfe", 2);
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

const char* const kKey = "SOFTWARE\\EMWAC\\IMS";

TEST_F(RegistryTest, ValueFormsAreStoredAsTheServerReadsThem) {
    Load("Windows Registry Editor Version 5.00\n"
         "\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
         "\"Plain\"=\"apop.dat\"\n"
         "\"Escaped\"=\"C:\\\\Mail\\\\\\\"x\\\"\"\n"
         "\"Empty\"=\"\"\n"
         "\"Number\"=dword:0000008f\n"
         "\"Short\"=dword:1\n"
         "\"Binary\"=hex:01,ff,00\n"
         "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\n"
         "\"Wine\"=str(7):\"first\\0second\\0\"\n"
         "\"WineExpand\"=str(2):\"%HOME%\"\n"
         "@=\"unnamed\"\n");
    struct Case {
        const char* name;
        uint32_t type;
        std::string bytes;
    } cases[] = {
        {"Plain", REG_SZ, std::string("apop.dat\0", 9)},
        {"Escaped", REG_SZ, std::string("C:\\Mail\\\"x\"\0", 12)},
        {"Empty", REG_SZ, std::string("\0", 1)},
        {"Number", REG_DWORD, std::string("\x8f\0\0\0", 4)},
        {"Short", REG_DWORD, std::string("\x01\0\0\0", 4)},
        {"Binary", REG_BINARY, std::string("\x01\xff\0", 3)},
        {"Expand", REG_EXPAND_SZ, std::string("%A%\0", 4)},
        {"Wine", REG_MULTI_SZ, std::string("first\0second\0\0", 14)},
        {"WineExpand", REG_EXPAND_SZ, std::string("%HOME%\0", 7)},
        {"", REG_SZ, std::string("unnamed\0", 8)},
    };
    for (const Case& c : cases) {
        uint32_t type = 0;
        EXPECT_EQ(Raw(kKey, c.name, &type), c.bytes) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
}

TEST_F(RegistryTest, MultiStringHexFollowsTheHeaderEncoding) {
    // regedit 5.00 writes UTF-16LE and breaks long hex data with "\" continuations.
    Load("Windows Registry Editor Version 5.00\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
         "\"DomainNamesAreLocal\"=hex(7):64,00,65,00,6d,00,6f,00,2e,00,6c,00,6f,00,63,\\\n"
         "  00,61,00,6c,00,00,00,78,00,2e,00,6a,00,70,00,00,00,00,00\n"
         "\"After\"=dword:00000001\n");
    uint32_t type = 0;
    EXPECT_EQ(Raw(kKey, "DomainNamesAreLocal", &type), std::string("demo.local\0x.jp\0\0", 17));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(Raw(kKey, "After"), std::string("\x01\0\0\0", 4));

    // REGEDIT4 writes one byte per character.
    Load("REGEDIT4\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
         "\"DomainNamesAreLocal\"=hex(7):61,62,00,\\\n"
         "  63,00,00\n");
    EXPECT_EQ(Raw(kKey, "DomainNamesAreLocal"), std::string("ab\0c\0\0", 6));
}

TEST_F(RegistryTest, NonAsciiTextBecomesUtf8) {
    Load("Windows Registry Editor Version 5.00\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
         "\"Name\"=hex(2):e5,65,2c,67,00,00\n"       // U+65E5 U+672C
         "\"Pair\"=hex(2):3d,d8,00,de,00,00\n"       // U+1F600 as a surrogate pair
         "\"Lone\"=hex(2):00,d8,00,00\n");           // unpaired high surrogate
    EXPECT_EQ(Raw(kKey, "Name"), std::string("\xe6\x97\xa5\xe6\x9c\xac\0", 7));
    EXPECT_EQ(Raw(kKey, "Pair"), std::string("\xf0\x9f\x98\x80\0", 5));
    EXPECT_EQ(Raw(kKey, "Lone"), std::string("\xef\xbf\xbd\0", 4));
}

TEST_F(RegistryTest, KeysAndNamesMatchWithoutCase) {
    Load("Windows Registry Editor Version 5.00\n"
         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
         "\"PortNo\"=dword:00000477\n");
    EXPECT_EQ(Raw("SYSTEM\\CURRENTCONTROLSET\\SERVICES\\veve4d\\parameters", "portno"),
              std::string("\x77\x04\0\0", 4));
    EXPECT_TRUE(RegKeyExists("system\\currentcontrolset\\services\\VEVE4D\\PARAMETERS"));
    // The parents of a key exist as on Windows; a sibling does not.
    EXPECT_TRUE(RegKeyExists("SYSTEM\\CurrentControlSet\\Services\\VEVE4D"));
    EXPECT_FALSE(RegKeyExists("SYSTEM\\CurrentControlSet\\Services\\VEVE4"));
    EXPECT_EQ(Raw("SYSTEM\\CurrentControlSet\\Services\\VEVE4D", "PortNo"), "<missing>");
}

TEST_F(RegistryTest, RegeditUnicodeFileWithCrLfReads) {
    std::string file = Utf16File("Windows Registry Editor Version 5.00\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\r\n"
                                 "\"MailSpoolDir\"=\"D:\\\\Spool\"\r\n"
                                 "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
                                 "\"UserManager\"=dword:00000000\r\n");
    char dir[] = "/tmp/veve4d-regtest-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/registry.reg";
    FILE* fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fwrite(file.data(), 1, file.size(), fp);
    fclose(fp);

    LoadRegistryFile(path.c_str());
    EXPECT_EQ(Raw(kKey, "MailSpoolDir"), std::string("D:\\Spool\0", 9));
    EXPECT_EQ(Raw(kKey, "Multi"), std::string("a\0\0", 3));
    EXPECT_EQ(Raw(kKey, "UserManager"), std::string("\0\0\0\0", 4));

    // A file that is gone is an empty registry, not an error.
    std::filesystem::remove_all(dir);
    LoadRegistryFile(path.c_str());
    EXPECT_FALSE(RegKeyExists(kKey));
}

TEST_F(RegistryTest, RegistryFilePathFollowsTheEnvironment) {
    const char* saved = getenv("VEVE4D_REGISTRY");
    std::string keep = saved != nullptr ? saved : "";
    setenv("VEVE4D_REGISTRY", "/tmp/elsewhere.reg", 1);
    EXPECT_STREQ(RegistryFilePath(), "/tmp/elsewhere.reg");
    unsetenv("VEVE4D_REGISTRY");
    EXPECT_STREQ(RegistryFilePath(), "/etc/veve4d/registry.reg");
    if (saved != nullptr) setenv("VEVE4D_REGISTRY", keep.c_str(), 1);
}

TEST_F(RegistryTest, MalformedLinesAreSkippedWithOneConsoleLineEach) {
    const std::string text =
        "Windows Registry Editor Version 5.00\n"
        "\"Orphan\"=dword:00000001\n"                      // 2: before any key
        "; a comment\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
        "\"Good\"=dword:00000002\n"
        "\"Unterminated=\"x\"\n"                           // 6
        "\"BadDword\"=dword:xyz\n"                         // 7
        "\"TooLong\"=dword:123456789\n"                    // 8
        "\"BadHex\"=hex:0g,01\n"                           // 9
        "\"OddUnicode\"=hex(7):61,00,62\n"                 // 10
        "\"Trailing\"=\"x\" junk\n"                        // 11
        "just words\n"                                     // 12
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS\n"      // 13: no closing bracket
        "\"AfterBadKey\"=dword:00000003\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\n"
        "\"OtherHive\"=dword:00000004\n"
        "[hkey_local_machine\\software\\emwac\\ims]\n"
        "\"Last\"=\"ok\"\n"
        "\"Cut\"=\"no end";                                // 19, and no final newline
    testing::internal::CaptureStdout();
    Load(text);
    std::string out = testing::internal::GetCapturedStdout();

    std::string expected;
    for (int line : {2, 6, 7, 8, 9, 10, 11, 12, 13, 19}) {
        expected += "(error) registry test.reg line " + std::to_string(line) + " skipped.\n";
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(Raw(kKey, "Good"), std::string("\x02\0\0\0", 4));
    EXPECT_EQ(Raw(kKey, "Last"), std::string("ok\0", 3));
    for (const char* name : {"Orphan", "BadDword", "TooLong", "BadHex", "OddUnicode", "Trailing", "AfterBadKey",
                             "OtherHive", "Cut"}) {
        EXPECT_EQ(Raw(kKey, name), "<missing>") << name;
    }
    EXPECT_FALSE(RegKeyExists("Software\\Other"));
}

TEST_F(RegistryTest, BinaryGarbageNeverStopsTheReader) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    junk += "\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex:\\\n";  // continuation at end of file
    testing::internal::CaptureStdout();
    Load(junk);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(RegKeyExists("X"));
}

TEST_F(RegistryTest, EnumerationKeepsFileOrderAndReportsSizes) {
    Load("Windows Registry Editor Version 5.00\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n"
         "\"zeta.example\"=\"10.0.0.2\"\n"
         "\"alpha.example\"=\"10.0.0.1\"\n"
         "\"Zeta.Example\"=\"10.0.0.3\"\n"   // the same name again: replaces, keeps its place
         "\"gone\"=\"x\"\n"
         "\"gone\"=-\n"
         "\"mid\"=dword:00000005\n");
    const char* key = "SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP";
    std::vector<std::string> names;
    std::vector<std::string> datas;
    char name[256];
    char data[256];
    uint32_t index = 0;
    for (;; ++index) {
        uint32_t cb = sizeof data;
        uint32_t type = 0;
        long rc = RegEnumValue(key, index, name, sizeof name, &type, data, &cb);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        names.push_back(name);
        datas.push_back(std::string(data, cb));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"zeta.example", "alpha.example", "mid"}));
    EXPECT_EQ(datas[0], std::string("10.0.0.3\0", 9));
    EXPECT_EQ(datas[1], std::string("10.0.0.1\0", 9));

    uint32_t cb = 4;
    EXPECT_EQ(RegEnumValue(key, 0, name, sizeof name, nullptr, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 9u);
    cb = sizeof data;
    EXPECT_EQ(RegEnumValue(key, 0, name, 12, nullptr, data, &cb), ERROR_MORE_DATA);  // name needs 13
    EXPECT_EQ(RegEnumValue("SOFTWARE\\Nothing", 0, name, sizeof name, nullptr, data, &cb), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, QueryReportsTheSizeNeeded) {
    Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"S\"=\"12345\"\n");
    char buf[8];
    uint32_t cb = 5;
    EXPECT_EQ(RegQueryValue("K", "S", nullptr, buf, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 6u);
    cb = 6;
    EXPECT_EQ(RegQueryValue("K", "S", nullptr, buf, &cb), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "12345");
    EXPECT_EQ(RegQueryValue("K", "T", nullptr, buf, &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValue("L", "S", nullptr, buf, &cb), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DeletedKeysTakeTheirSubkeysAlong) {
    Load("Windows Registry Editor Version 5.00\n"
         "[HKEY_LOCAL_MACHINE\\A\\B]\n\"v\"=dword:00000001\n"
         "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"v\"=dword:00000001\n"
         "[HKEY_LOCAL_MACHINE\\A\\BB]\n\"v\"=dword:00000001\n"
         "[-HKEY_LOCAL_MACHINE\\A\\B]\n"
         "\"ignored\"=dword:00000001\n");
    EXPECT_FALSE(RegKeyExists("A\\B"));
    EXPECT_FALSE(RegKeyExists("A\\B\\C"));
    EXPECT_TRUE(RegKeyExists("A\\BB"));
    EXPECT_TRUE(RegKeyExists("A"));
}

}  // namespace
