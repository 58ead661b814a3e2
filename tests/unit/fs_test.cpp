// The file-system stand-in: NTFS listing order, case, wild cards, hidden marks, creation times
// and the never-replacing copy and move.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace fs = std::filesystem;

namespace {

class FsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/veve4d-fs-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        root = szTemplate;
    }
    void TearDown() override { fs::remove_all(root); }

    std::string P(const std::string& rel) const { return root + "/" + rel; }
    void Write(const std::string& rel, const std::string& text = "x") const { std::ofstream(P(rel)) << text; }
    std::string Read(const std::string& rel) const {
        std::ifstream in(P(rel));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> Names(const std::string& pattern, uint32_t fOptions = 0) const {
        std::vector<FindData> entries;
        FindFiles(P(pattern).c_str(), fOptions, entries);
        std::vector<std::string> names;
        for (const FindData& e : entries) names.push_back(e.cFileName);
        return names;
    }
    FindData Entry(const std::string& rel) const {
        FindData data{};
        EXPECT_TRUE(FindEntry(P(rel).c_str(), &data)) << rel;
        return data;
    }

    std::string root;
};

TEST_F(FsTest, ListingIsSortedAsWindowsSortsNames) {
    for (const char* psz : {"c.MSG", "_x", "b.MSG", "aa", "A.msg", "a_b", "0009", "0010"}) Write(psz);
    // Upper-cased comparison: "_" (0x5F) sorts after the letters, "." before them.
    std::vector<std::string> expected = {".", "..", "0009", "0010", "A.msg", "aa", "a_b", "b.MSG", "c.MSG", "_x"};
    EXPECT_EQ(Names("*"), expected);
    // Windows reads "*.*" as every name.
    EXPECT_EQ(Names("*.*"), expected);
}

TEST_F(FsTest, WildcardsMatchWithoutRegardToCase) {
    for (const char* psz : {"0000000001-100000.MSG", "0000000002-010000.msg", "0000000003-10000.MSG",
                            "0000000004-1000000.MSG", "note.txt", "a.MSGX"}) {
        Write(psz);
    }
    EXPECT_EQ(Names("*-??????.MSG"), (std::vector<std::string>{"0000000001-100000.MSG", "0000000002-010000.msg"}));
    EXPECT_EQ(Names("*.msg").size(), 4u);
    EXPECT_EQ(Names("0000000002-*.MSG"), std::vector<std::string>{"0000000002-010000.msg"});
    EXPECT_EQ(Names("NOTE.???"), std::vector<std::string>{"note.txt"});
    EXPECT_TRUE(Names("*.eml").empty());
    EXPECT_TRUE(Names("missing/*").empty());
}

TEST_F(FsTest, TableOfWildcardMatches) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*", "", true},          {"*", "abc", true},         {"?", "", false},         {"?", "a", true},
        {"a*c", "abbbc", true},   {"a*c", "abbbd", false},    {"*b*", "abc", true},     {"A?C", "abc", true},
        {"*.MSG", "x.msg", true}, {"*.MSG", "x.msg.bak", false}, {"**a", "bba", true}, {"a*b*c", "aXbYbZc", true},
    };
    for (const Case& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST_F(FsTest, PathWithoutWildcardYieldsItselfInAnyCase) {
    fs::create_directory(P("Work"));
    EXPECT_EQ(Names("Work"), std::vector<std::string>{"Work"});
    EXPECT_EQ(Names("WORK"), std::vector<std::string>{"Work"});
    Write("Work/Mail.MSG");
    // Every directory component is matched without regard to case as well.
    EXPECT_EQ(Names("work/mail.msg"), std::vector<std::string>{"Mail.MSG"});
    EXPECT_EQ(Names("WORK/*.msg"), std::vector<std::string>{"Mail.MSG"});
    EXPECT_TRUE(Names("Other").empty());
    FindData data = Entry("Work");
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FsTest, HiddenComesFromDotNamesAndTheDirectoryMark) {
    Write(".hidden.MSG");
    Write("plain.MSG");
    fs::create_directory(P("box"));
    EXPECT_EQ(Entry(".hidden.MSG").dwFileAttributes, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(Entry("plain.MSG").dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(Entry("box").dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);

    ASSERT_TRUE(SetHiddenAttribute(P("box").c_str(), true));
    EXPECT_EQ(Entry("box").dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    std::vector<FindData> entries;
    FindFiles(P("b*").c_str(), 0, entries);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
    // Setting it twice, and clearing it twice, are both fine.
    EXPECT_TRUE(SetHiddenAttribute(P("BOX").c_str(), true));
    EXPECT_TRUE(SetHiddenAttribute(P("box").c_str(), false));
    EXPECT_TRUE(SetHiddenAttribute(P("box").c_str(), false));
    EXPECT_EQ(Entry("box").dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);

    // Files other than dot-files are never hidden.
    EXPECT_FALSE(SetHiddenAttribute(P("plain.MSG").c_str(), true));
    EXPECT_EQ(Entry("plain.MSG").dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(SetHiddenAttribute(P("missing").c_str(), true));
}

TEST_F(FsTest, LinksAndSpecialFilesReadAsSystem) {
    Write("real.MSG", "secret");
    fs::create_symlink(P("real.MSG"), P("0000000001-000000.MSG"));
    fs::create_directory_symlink(root, P("loop"));
    EXPECT_EQ(Entry("0000000001-000000.MSG").dwFileAttributes, FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(Entry("loop").dwFileAttributes, FILE_ATTRIBUTE_SYSTEM);
    std::vector<FindData> entries;
    FindFiles(P("*-??????.MSG").c_str(), 0, entries);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].dwFileAttributes, FILE_ATTRIBUTE_SYSTEM);
}

TEST_F(FsTest, TimesOnlyOnRequestAndTheWalkCanStop) {
    Write("a1", "12345");
    Write("b1");
    Write("c1");
    std::vector<FindData> entries;
    FindFiles(P("?1").c_str(), 0, entries);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].ftLastWriteTime, 0u);
    entries.clear();
    FindFiles(P("?1").c_str(), FIND_TIMES, entries);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_NE(entries[0].ftCreationTime, 0u);
    EXPECT_GE(entries[0].ftLastWriteTime, entries[0].ftCreationTime);
    EXPECT_EQ(entries[0].nFileSize, 5u);

    int nSeen = 0;
    size_t nYielded = FindFiles(P("?1").c_str(), 0, [&nSeen](const FindData&) { return ++nSeen < 2; });
    EXPECT_EQ(nSeen, 2);
    EXPECT_EQ(nYielded, 2u);
}

TEST_F(FsTest, DirectoryCreationTimeStaysAndChangesWithRecreation) {
    ASSERT_TRUE(CreateDirectoryEntry(P("box").c_str()));
    FILETIME ftFirst = Entry("box").ftCreationTime;
    ASSERT_NE(ftFirst, 0u);
    Write("box/0000000001-100000.MSG");
    fs::rename(P("box/0000000001-100000.MSG"), P("box/0000000001-000010.MSG"));
    EXPECT_EQ(Entry("box").ftCreationTime, ftFirst);

    // Re-created: a new creation time, once the file system's clock has moved on.
    FILETIME ftSecond = ftFirst;
    for (int i = 0; i < 100000 && ftSecond == ftFirst; ++i) {
        fs::remove_all(P("box"));
        ASSERT_TRUE(CreateDirectoryEntry(P("box").c_str()));
        ftSecond = Entry("box").ftCreationTime;
    }
    EXPECT_NE(ftSecond, ftFirst);
}

TEST_F(FsTest, CreateDirectoryKeepsSpellingAndRefusesCaseVariants) {
    ASSERT_TRUE(CreateDirectoryEntry(P("Work").c_str()));
    EXPECT_TRUE(fs::is_directory(P("Work")));
    EXPECT_FALSE(CreateDirectoryEntry(P("work").c_str()));
    EXPECT_FALSE(CreateDirectoryEntry(P("Work").c_str()));
    EXPECT_FALSE(fs::exists(P("work")));
    // The parent is found in any case; a missing parent is not made.
    EXPECT_TRUE(CreateDirectoryEntry(P("WORK/Child").c_str()));
    EXPECT_TRUE(fs::is_directory(P("Work/Child")));
    EXPECT_FALSE(CreateDirectoryEntry(P("none/Child").c_str()));
    EXPECT_TRUE(RemoveDirectoryEntry(P("work/child").c_str()));
    EXPECT_FALSE(fs::exists(P("Work/Child")));
    Write("Work/f");
    EXPECT_FALSE(RemoveDirectoryEntry(P("Work").c_str()));
}

TEST_F(FsTest, CopyNeverReplacesAndKeepsLastWriteTime) {
    Write("src.MSG", "message body");
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
    fs::last_write_time(P("src.MSG"), old);
    ASSERT_TRUE(CopyFileNoReplace(P("src.MSG").c_str(), P("dst.MSG").c_str()));
    EXPECT_EQ(Read("dst.MSG"), "message body");
    EXPECT_EQ(fs::last_write_time(P("dst.MSG")), old);
    EXPECT_EQ(Entry("dst.MSG").ftLastWriteTime, Entry("src.MSG").ftLastWriteTime);

    Write("other.MSG", "keep me");
    EXPECT_FALSE(CopyFileNoReplace(P("src.MSG").c_str(), P("other.MSG").c_str()));
    EXPECT_EQ(Read("other.MSG"), "keep me");
    EXPECT_FALSE(CopyFileNoReplace(P("missing").c_str(), P("new").c_str()));
    EXPECT_FALSE(fs::exists(P("new")));
    fs::create_directory(P("dir"));
    EXPECT_FALSE(CopyFileNoReplace(P("dir").c_str(), P("dir2").c_str()));
}

TEST_F(FsTest, MoveNeverReplaces) {
    Write("a.MSG", "A");
    Write("b.MSG", "B");
    EXPECT_FALSE(MoveFileNoReplace(P("a.MSG").c_str(), P("b.MSG").c_str()));
    EXPECT_EQ(Read("a.MSG"), "A");
    EXPECT_EQ(Read("b.MSG"), "B");
    ASSERT_TRUE(MoveFileNoReplace(P("a.MSG").c_str(), P("c.MSG").c_str()));
    EXPECT_FALSE(fs::exists(P("a.MSG")));
    EXPECT_EQ(Read("c.MSG"), "A");
    EXPECT_FALSE(MoveFileNoReplace(P("a.MSG").c_str(), P("d.MSG").c_str()));

    // Directories: no replacing a case variant, but a change of spelling of itself is fine.
    fs::create_directory(P("Old"));
    fs::create_directory(P("taken"));
    EXPECT_FALSE(MoveFileNoReplace(P("Old").c_str(), P("TAKEN").c_str()));
    EXPECT_TRUE(fs::is_directory(P("Old")));
    ASSERT_TRUE(MoveFileNoReplace(P("Old").c_str(), P("OLD").c_str()));
    EXPECT_TRUE(fs::is_directory(P("OLD")));
    ASSERT_TRUE(MoveFileNoReplace(P("old").c_str(), P("New").c_str()));
    EXPECT_TRUE(fs::is_directory(P("New")));
}

TEST_F(FsTest, ExclusiveCreateAndDelete) {
    EXPECT_TRUE(CreateNewFile(P("$LockFile").c_str()));
    EXPECT_FALSE(CreateNewFile(P("$LockFile").c_str()));
    EXPECT_TRUE(DeleteFileEntry(P("$lockfile").c_str()));
    EXPECT_FALSE(fs::exists(P("$LockFile")));
    EXPECT_FALSE(DeleteFileEntry(P("$LockFile").c_str()));
    fs::create_directory(P("dir"));
    EXPECT_FALSE(DeleteFileEntry(P("dir").c_str()));
}

TEST_F(FsTest, PathCaseIsMatchedBelowTheBase) {
    fs::create_directories(P("inbox/Sub"));
    char szOut[MAX_PATH];
    ASSERT_TRUE(MatchPathCase((root + "/").c_str(), "INBOX/sub", szOut, sizeof(szOut)));
    EXPECT_EQ(std::string(szOut), P("inbox/Sub"));
    // From the first missing component on, the given spelling stays.
    ASSERT_TRUE(MatchPathCase(root.c_str(), "Inbox/New/Deeper", szOut, sizeof(szOut)));
    EXPECT_EQ(std::string(szOut), P("inbox/New/Deeper"));
    EXPECT_FALSE(MatchPathCase(root.c_str(), "inbox/../x", szOut, sizeof(szOut)));
    EXPECT_FALSE(MatchPathCase(root.c_str(), "inbox//x", szOut, sizeof(szOut)));
    EXPECT_FALSE(MatchPathCase(root.c_str(), "inbox", szOut, root.size() + 3));
    fs::create_directory_symlink("/etc", P("etc"));
    EXPECT_FALSE(MatchPathCase(root.c_str(), "ETC", szOut, sizeof(szOut)));
    EXPECT_FALSE(MatchPathCase(root.c_str(), "etc/x", szOut, sizeof(szOut)));
}

}  // namespace
