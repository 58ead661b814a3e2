// The registry file reader: every value form regedit and Wine write, both encodings, a damaged file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "test_server.h"

namespace {

const char* const kKey = "SOFTWARE\\EMWAC\\IMS";
const std::string kHead = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n";

// Every test loads its own registry; the process shares one, so leave it empty behind.
struct RegistryTest : ::testing::Test {
    void TearDown() override { LoadRegistryText("", 0, "empty"); }
    static void Load(const std::string& text) { LoadRegistryText(text.data(), text.size(), "test.reg"); }

    // The raw bytes of a value, or "<missing>".
    static std::string Raw(const char* key, const char* name, uint32_t* pType = nullptr) {
        uint32_t cb = 0;
        if (RegQueryValue(key, name, pType, nullptr, &cb) != ERROR_SUCCESS) return "<missing>";
        std::string data(cb, '\xcc');
        return RegQueryValue(key, name, pType, data.data(), &cb) == ERROR_SUCCESS ? data.substr(0, cb) : "<unreadable>";
    }

    // "name=bytes" of each value of a key, in enumeration order.
    static std::vector<std::string> Values(const char* key) {
        std::vector<std::string> values;
        char name[256], data[256];
        uint32_t cb = sizeof data;
        for (uint32_t i = 0; RegEnumValue(key, i++, name, sizeof name, nullptr, data, &cb) == ERROR_SUCCESS;
             cb = sizeof data)
            values.push_back(std::string(name) + "=" + std::string(data, cb));
        return values;
    }
};

TEST_F(RegistryTest, ValueFormsAreStoredAsTheServerReadsThemInBothEncodings) {
    const struct { const char *line, *name; uint32_t type; std::string bytes; } cases[] = {
        {"\"Plain\"=\"apop.dat\"", "Plain", REG_SZ, {"apop.dat\0", 9}}, {"\"Empty\"=\"\"", "Empty", REG_SZ, {"\0", 1}},
        {"\"Escaped\"=\"C:\\\\Mail\\\\\\\"x\\\"\"", "Escaped", REG_SZ, {"C:\\Mail\\\"x\"\0", 12}},
        {"\"Number\"=dword:0000008f", "Number", REG_DWORD, {"\x8f\0\0\0", 4}},
        {"\"Short\"=dword:1", "Short", REG_DWORD, {"\x01\0\0\0", 4}}, {"@=\"unnamed\"", "", REG_SZ, {"unnamed\0", 8}},
        {"\"Binary\"=hex:01,ff,00", "Binary", REG_BINARY, {"\x01\xff\0", 3}},
        {"\"Expand\"=hex(2):25,00,41,00,25,00,00,00", "Expand", REG_EXPAND_SZ, {"%A%\0", 4}},
        {"\"Wine\"=str(7):\"first\\0second\\0\"", "Wine", REG_MULTI_SZ, {"first\0second\0\0", 14}},
        {"\"WineExpand\"=str(2):\"%HOME%\"", "WineExpand", REG_EXPAND_SZ, {"%HOME%\0", 7}},
        // UTF-16 text becomes UTF-8: two CJK characters, a surrogate pair, a lone surrogate.
        {"\"Name\"=hex(2):e5,65,2c,67,00,00", "Name", REG_EXPAND_SZ, {"\xe6\x97\xa5\xe6\x9c\xac\0", 7}},
        {"\"Pair\"=hex(2):3d,d8,00,de,00,00", "Pair", REG_EXPAND_SZ, {"\xf0\x9f\x98\x80\0", 5}},
        {"\"Lone\"=hex(2):00,d8,00,00", "Lone", REG_EXPAND_SZ, {"\xef\xbf\xbd\0", 4}},
    };
    std::string text = kHead;
    for (const auto& c : cases) text += std::string(c.line) + "\n";
    Load(text);
    for (const auto& c : cases) {
        uint32_t type = 0;
        EXPECT_EQ(Raw(kKey, c.name, &type), c.bytes) << c.line;
        EXPECT_EQ(type, c.type) << c.line;
    }

    // Multi-string hex follows the header: regedit 5.00 writes UTF-16LE, long data cut by "\" continuations.
    Load(kHead + "\"Domains\"=hex(7):64,00,65,00,6d,00,6f,00,2e,00,6c,00,6f,00,63,\\\n"
         "  00,61,00,6c,00,00,00,78,00,2e,00,6a,00,70,00,00,00,00,00\n\"After\"=dword:00000001\n");
    uint32_t type = 0;
    EXPECT_EQ(Raw(kKey, "Domains", &type) + Raw(kKey, "After"), std::string("demo.local\0x.jp\0\0\x01\0\0\0", 21));
    EXPECT_EQ(type, REG_MULTI_SZ);
    // REGEDIT4 writes one byte per character.
    Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n\"Domains\"=hex(7):61,62,00,\\\n  63,00,00\n");
    EXPECT_EQ(Raw(kKey, "Domains"), std::string("ab\0c\0\0", 6));
}

TEST_F(RegistryTest, KeysAndNamesMatchWithoutCaseAndDeletedKeysTakeTheirSubkeys) {
    Load("Windows Registry Editor Version 5.00\n"
         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n\"PortNo\"=dword:00000477\n"
         "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"v\"=dword:00000001\n[HKEY_LOCAL_MACHINE\\A\\BB]\n\"v\"=dword:00000001\n"
         "[-HKEY_LOCAL_MACHINE\\A\\B]\n\"ignored\"=dword:00000001\n");
    EXPECT_EQ(Raw("SYSTEM\\CURRENTCONTROLSET\\SERVICES\\veve4d\\parameters", "portno"), std::string("\x77\x04\0\0", 4));
    // The parents of a key exist as on Windows, holding nothing; a sibling does not.
    EXPECT_EQ(Raw("SYSTEM\\CurrentControlSet\\Services\\VEVE4D", "PortNo"), "<missing>");
    EXPECT_EQ((std::vector<bool>{RegKeyExists("SYSTEM\\CurrentControlSet\\Services\\VEVE4D"),
                                 RegKeyExists("SYSTEM\\CurrentControlSet\\Services\\VEVE4"), RegKeyExists("A\\B"),
                                 RegKeyExists("A\\B\\C"), RegKeyExists("A\\BB")}),
              (std::vector<bool>{true, false, false, false, true}));
}

TEST_F(RegistryTest, RegeditUnicodeFileWithCrLfReads) {
    const std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\r\n"
                            "\"MailSpoolDir\"=\"D:\\\\Spool\"\r\n\"Multi\"=hex(7):61,00,00,00,00,00\r\n";
    std::string file("\xff\xfe", 2);
    for (char c : reg) file += std::string{c, '\0'};
    TempDir dir;
    WriteFile(dir.path + "/registry.reg", file);
    LoadRegistryFile((dir.path + "/registry.reg").c_str());
    EXPECT_EQ(Raw(kKey, "MailSpoolDir") + Raw(kKey, "Multi"), std::string("D:\\Spool\0a\0\0", 12));
    // A file that is gone is an empty registry, not an error.
    LoadRegistryFile((dir.path + "/gone.reg").c_str());
    EXPECT_FALSE(RegKeyExists(kKey));
}

TEST_F(RegistryTest, MalformedLinesAreSkippedWithOneConsoleLineEach) {
    const std::string text =
        "Windows Registry Editor Version 5.00\n\"Orphan\"=dword:00000001\n"     // 2: before any key
        "; a comment\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n\"Good\"=dword:00000002\n"
        "\"Unterminated=\"x\"\n\"BadDword\"=dword:xyz\n"                        // 6, 7
        "\"TooLong\"=dword:123456789\n\"BadHex\"=hex:0g,01\n"                   // 8, 9
        "\"OddUnicode\"=hex(7):61,00,62\n\"Trailing\"=\"x\" junk\n"             // 10, 11
        "just words\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS\n"               // 12, and 13 with no closing bracket
        "\"AfterBadKey\"=dword:00000003\n[HKEY_CURRENT_USER\\Software\\Other]\n\"OtherHive\"=dword:00000004\n"
        "[hkey_local_machine\\software\\emwac\\ims]\n\"Last\"=\"ok\"\n"
        // 19, 20: a name with a NUL could be listed but never asked for by name
        "\"Nul\\0Name\"=dword:00000005\n" + std::string("\"Nul\0Byte\"=dword:00000006\n", 26) +
        "\"Cut\"=\"no end";                                                     // 21, and no final newline
    std::string expected;
    for (int n : {2, 6, 7, 8, 9, 10, 11, 12, 13, 19, 20, 21})
        expected += "(error) registry test.reg line " + std::to_string(n) + " skipped.\n";
    testing::internal::CaptureStdout();
    Load(text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(Values(kKey), (std::vector<std::string>{{"Good=\x02\0\0\0", 9}, {"Last=ok\0", 8}}));
    EXPECT_FALSE(RegKeyExists("Software\\Other"));
}

TEST_F(RegistryTest, EnumerationKeepsFileOrderAndReportsSizes) {
    Load("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n"
         "\"zeta.example\"=\"10.0.0.2\"\n\"alpha.example\"=\"10.0.0.1\"\n"
         "\"Zeta.Example\"=\"10.0.0.3\"\n"  // the same name again: replaces, keeps its place
         "\"gone\"=\"x\"\n\"gone\"=-\n\"mid\"=dword:00000005\n");
    const char* key = "SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP";
    EXPECT_EQ(Values(key), (std::vector<std::string>{{"zeta.example=10.0.0.3\0", 22},
                                                     {"alpha.example=10.0.0.1\0", 23}, {"mid=\x05\0\0\0", 8}}));
    char name[256], data[256];
    uint32_t cb = 4;
    EXPECT_EQ(RegEnumValue(key, 0, name, sizeof name, nullptr, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 9u);
    cb = sizeof data;
    EXPECT_EQ(RegEnumValue(key, 0, name, 12, nullptr, data, &cb), ERROR_MORE_DATA);  // name needs 13
    EXPECT_EQ(RegEnumValue(key, 3, name, sizeof name, nullptr, data, &cb), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValue("SOFTWARE\\Nothing", 0, name, sizeof name, nullptr, data, &cb), ERROR_FILE_NOT_FOUND);
}

}  // namespace
