// The file-system stand-in: NTFS listing order and case, hidden marks, and copy and move that
// never replace.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

class FsTest : public ::testing::Test {
protected:
    std::string P(const std::string& rel) const { return dir.path + "/" + rel; }
    Names List(const std::string& pattern) const {
        std::vector<FindData> entries;
        FindFiles(P(pattern).c_str(), 0, entries);
        Names names;
        for (const FindData& e : entries) names.push_back(e.cFileName);
        return names;
    }
    uint32_t Attributes(const std::string& rel) const {
        FindData data{};
        EXPECT_TRUE(FindEntry(P(rel).c_str(), &data)) << rel;
        return data.dwFileAttributes;
    }
    TempDir dir;
};

TEST_F(FsTest, ListingIsInWindowsOrderAndNamesMatchInAnyCase) {
    for (const char* psz : {"c.MSG", "_x", "aa", "A.msg", "a_b", "0009", "0000000001-100000.MSG",
                            "0000000002-010000.msg", "0000000003-10000.MSG"}) {
        WriteFile(P(psz), "x");
    }
    // Upper-cased comparison: "_" (0x5F) sorts after the letters, "." before them.
    const Names all = {".", "..", "0000000001-100000.MSG", "0000000002-010000.msg", "0000000003-10000.MSG",
                       "0009", "A.msg", "aa", "a_b", "c.MSG", "_x"};
    EXPECT_EQ(List("*"), all);
    EXPECT_EQ(List("*.*"), all);  // Windows reads "*.*" as every name
    EXPECT_EQ(List("*-??????.MSG"), (Names{"0000000001-100000.MSG", "0000000002-010000.msg"}));
    EXPECT_EQ(List("0000000002-*.MSG"), Names{"0000000002-010000.msg"});
    EXPECT_EQ(List("*.msg").size(), 5u);
    EXPECT_TRUE(List("*.eml").empty());
    EXPECT_TRUE(List("missing/*").empty());
    // Without a wild card the name yields itself, every component matched in any case.
    fs::create_directory(P("Work"));
    WriteFile(P("Work/Mail.MSG"), "x");
    EXPECT_EQ(List("WORK"), Names{"Work"});
    EXPECT_EQ(List("work/mail.msg"), Names{"Mail.MSG"});
    EXPECT_EQ(List("WORK/*.msg"), Names{"Mail.MSG"});
    EXPECT_TRUE(List("Other").empty());

    EXPECT_TRUE(WildcardMatch("a*b*c", "aXbYbZc"));
    EXPECT_TRUE(WildcardMatch("**a", "bba"));
    EXPECT_FALSE(WildcardMatch("?", ""));
    EXPECT_FALSE(WildcardMatch("*.MSG", "x.msg.bak"));
}

TEST_F(FsTest, AttributesComeFromTheNameTheHiddenMarkAndTheEntryType) {
    WriteFile(P(".hidden.MSG"), "x");
    WriteFile(P("plain.MSG"), "x");
    fs::create_directory(P("box"));
    fs::create_directory(P("shown"));
    fs::create_symlink(P("plain.MSG"), P("0000000001-000000.MSG"));
    fs::create_directory_symlink(dir.path, P("loop"));
    ASSERT_TRUE(SetHiddenAttribute(P("box").c_str(), true));
    EXPECT_TRUE(SetHiddenAttribute(P("BOX").c_str(), true));  // twice, and in any case
    for (bool bHidden : {true, false, false}) EXPECT_TRUE(SetHiddenAttribute(P("shown").c_str(), bHidden));
    // A file's attribute comes from its name alone.
    EXPECT_FALSE(SetHiddenAttribute(P("plain.MSG").c_str(), true));
    EXPECT_FALSE(SetHiddenAttribute(P("missing").c_str(), true));

    // Links read as system, so that nothing above this layer follows them; the listing, which
    // stats no entry, sees what FindEntry sees.
    const std::map<std::string, uint32_t> expected = {
        {".hidden.MSG", FILE_ATTRIBUTE_HIDDEN}, {"plain.MSG", FILE_ATTRIBUTE_NORMAL},
        {"box", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN}, {"shown", FILE_ATTRIBUTE_DIRECTORY},
        {"0000000001-000000.MSG", FILE_ATTRIBUTE_SYSTEM}, {"loop", FILE_ATTRIBUTE_SYSTEM}};
    std::map<std::string, uint32_t> listed, found;
    FindFiles(P("*").c_str(), 0,
              [&listed](const FindData& e) { return listed.emplace(e.cFileName, e.dwFileAttributes).second; });
    listed.erase(".");
    listed.erase("..");
    for (const auto& entry : expected) found[entry.first] = Attributes(entry.first);
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(found, expected);
}

TEST_F(FsTest, CopyAndMoveNeverReplace) {
    WriteFile(P("src.MSG"), "body");
    WriteFile(P("other.MSG"), "keep me");
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
    fs::last_write_time(P("src.MSG"), old);
    ASSERT_TRUE(CopyFileNoReplace(P("src.MSG").c_str(), P("copy.MSG").c_str()));
    EXPECT_EQ(ReadFile(P("copy.MSG")), "body");
    EXPECT_EQ(fs::last_write_time(P("copy.MSG")), old);
    EXPECT_FALSE(CopyFileNoReplace(P("src.MSG").c_str(), P("other.MSG").c_str()));
    EXPECT_FALSE(MoveFileNoReplace(P("src.MSG").c_str(), P("other.MSG").c_str()));
    EXPECT_EQ(ReadFile(P("other.MSG")), "keep me");
    EXPECT_FALSE(CopyFileNoReplace(P("missing").c_str(), P("new").c_str()));
    EXPECT_FALSE(FileExists(P("new")));
    ASSERT_TRUE(MoveFileNoReplace(P("src.MSG").c_str(), P("moved.MSG").c_str()));
    EXPECT_FALSE(FileExists(P("src.MSG")));
    EXPECT_EQ(ReadFile(P("moved.MSG")), "body");

    // Directories may not take a case variant of another's name, but may respell their own.
    ASSERT_TRUE(CreateDirectoryEntry(P("Old").c_str()));
    ASSERT_TRUE(CreateDirectoryEntry(P("taken").c_str()));
    EXPECT_FALSE(CreateDirectoryEntry(P("TAKEN").c_str()));
    EXPECT_FALSE(MoveFileNoReplace(P("Old").c_str(), P("TAKEN").c_str()));
    ASSERT_TRUE(MoveFileNoReplace(P("Old").c_str(), P("OLD").c_str()));
    ASSERT_TRUE(MoveFileNoReplace(P("old").c_str(), P("New").c_str()));
    EXPECT_EQ(List("*"), (Names{".", "..", "copy.MSG", "moved.MSG", "New", "other.MSG", "taken"}));
}

}  // namespace
