// The file-system stand-in: NTFS listing order and case, hidden marks, and copy and move that
// never replace.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "platform/fs.h"
#include "test_server.h"

namespace fs = std::filesystem;

class FsTest : public ::testing::Test {
protected:
    std::string P(const std::string& rel) const { return dir.path + "/" + rel; }
    // The names listed for a pattern, in listing order and space-separated.
    std::string List(const std::string& pattern) const {
        std::vector<FindData> entries;
        FindFiles(P(pattern).c_str(), 0, entries);
        std::string names;
        for (const FindData& e : entries) names += (names.empty() ? "" : " ") + std::string(e.cFileName);
        return names;
    }
    bool Copy(const char* from, const char* to) const { return CopyFileNoReplace(P(from).c_str(), P(to).c_str()); }
    bool Move(const char* from, const char* to) const { return MoveFileNoReplace(P(from).c_str(), P(to).c_str()); }
    TempDir dir;
};

TEST_F(FsTest, ListingIsInWindowsOrderAndNamesMatchInAnyCase) {
    for (const char* name : {"c.MSG", "_x", "aa", "A.msg", "a_b", "0009", "0000000001-100000.MSG", "0000000002-010000.msg",
                             "0000000003-10000.MSG"}) {
        WriteFile(P(name), "x");
    }
    // Upper-cased comparison: "_" (0x5F) sorts after the letters, "." before them.
    const std::string all = ". .. 0000000001-100000.MSG 0000000002-010000.msg 0000000003-10000.MSG 0009 A.msg aa a_b c.MSG _x";
    EXPECT_EQ(List("*"), all);
    EXPECT_EQ(List("*.*"), all);  // Windows reads "*.*" as every name
    EXPECT_EQ(List("*-??????.MSG"), "0000000001-100000.MSG 0000000002-010000.msg");
    EXPECT_EQ(List("0000000002-*.MSG"), "0000000002-010000.msg");
    EXPECT_EQ(List("*.msg"), "0000000001-100000.MSG 0000000002-010000.msg 0000000003-10000.MSG A.msg c.MSG");
    EXPECT_EQ(List("*.eml") + List("missing/*"), "");
    // Without a wild card the name yields itself, every component matched in any case.
    fs::create_directory(P("Work"));
    WriteFile(P("Work/Mail.MSG"), "x");
    EXPECT_EQ(List("WORK") + "|" + List("work/mail.msg") + "|" + List("WORK/*.msg") + "|" + List("Other"),
              "Work|Mail.MSG|Mail.MSG|");
    EXPECT_TRUE(WildcardMatch("a*b*c", "aXbYbZc") && WildcardMatch("**a", "bba"));
    EXPECT_FALSE(WildcardMatch("?", "") || WildcardMatch("*.MSG", "x.msg.bak"));
}

TEST_F(FsTest, AttributesComeFromTheNameTheHiddenMarkAndTheEntryType) {
    for (const char* name : {".hidden.MSG", "plain.MSG"}) WriteFile(P(name), "x");
    for (const char* name : {"box", "shown"}) fs::create_directory(P(name));
    fs::create_symlink(P("plain.MSG"), P("0000000001-000000.MSG"));
    fs::create_directory_symlink(dir.path, P("loop"));
    ASSERT_TRUE(SetHiddenAttribute(P("box").c_str(), true));
    EXPECT_TRUE(SetHiddenAttribute(P("BOX").c_str(), true));  // twice, and in any case
    for (bool bHidden : {true, false, false}) EXPECT_TRUE(SetHiddenAttribute(P("shown").c_str(), bHidden));
    // A file's attribute comes from its name alone.
    EXPECT_FALSE(SetHiddenAttribute(P("plain.MSG").c_str(), true) || SetHiddenAttribute(P("missing").c_str(), true));
    // Links read as system, so that nothing above this layer follows them; the listing, which
    // stats no entry, sees what FindEntry sees.
    const std::map<std::string, uint32_t> expected = {
        {".hidden.MSG", FILE_ATTRIBUTE_HIDDEN}, {"plain.MSG", FILE_ATTRIBUTE_NORMAL},
        {"box", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN}, {"shown", FILE_ATTRIBUTE_DIRECTORY},
        {"0000000001-000000.MSG", FILE_ATTRIBUTE_SYSTEM}, {"loop", FILE_ATTRIBUTE_SYSTEM}};
    std::map<std::string, uint32_t> listed, found;
    FindFiles(P("*").c_str(), 0, [&](const FindData& e) {
        FindData data{};
        EXPECT_TRUE(FindEntry(P(e.cFileName).c_str(), &data)) << e.cFileName;
        found[e.cFileName] = data.dwFileAttributes;
        return listed.emplace(e.cFileName, e.dwFileAttributes).second;
    });
    for (auto* pMap : {&listed, &found}) pMap->erase("."), pMap->erase("..");
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(found, expected);
}

TEST_F(FsTest, CopyAndMoveNeverReplace) {
    WriteFile(P("src.MSG"), "body");
    WriteFile(P("other.MSG"), "keep me");
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
    fs::last_write_time(P("src.MSG"), old);
    ASSERT_TRUE(Copy("src.MSG", "copy.MSG"));
    EXPECT_EQ(fs::last_write_time(P("copy.MSG")), old);
    EXPECT_FALSE(Copy("src.MSG", "other.MSG") || Move("src.MSG", "other.MSG") || Copy("missing", "new"));
    ASSERT_TRUE(Move("src.MSG", "moved.MSG"));
    EXPECT_EQ(ReadFile(P("copy.MSG")) + "|" + ReadFile(P("other.MSG")) + "|" + ReadFile(P("moved.MSG")),
              "body|keep me|body");
    // Directories may not take a case variant of another's name, but may respell their own.
    ASSERT_TRUE(CreateDirectoryEntry(P("Old").c_str()) && CreateDirectoryEntry(P("taken").c_str()));
    EXPECT_FALSE(CreateDirectoryEntry(P("TAKEN").c_str()) || Move("Old", "TAKEN"));
    ASSERT_TRUE(Move("Old", "OLD") && Move("old", "New"));
    EXPECT_EQ(List("*"), ". .. copy.MSG moved.MSG New other.MSG taken");
}

// A message being received is made, locked and written through one open: the name is never
// taken from another writer, the lock outlives the stream, and the mode is exact.
TEST_F(FsTest, ANewFileIsMadeLockedAndWrittenInOneGo) {
    WriteFile(P("taken.tmp"), "keep me");
    LockHandle hLock = 123;
    EXPECT_EQ(CreateNewFileLocked(P("taken.tmp").c_str(), 0640, &hLock), nullptr);
    EXPECT_EQ(LastFileFailure(), FILE_FAILURE_EXISTS);
    EXPECT_EQ(hLock, INVALID_LOCK_HANDLE);
    EXPECT_EQ(ReadFile(P("taken.tmp")), "keep me");
    EXPECT_EQ(CreateNewFileLocked(P("missing/new.tmp").c_str(), 0640, &hLock), nullptr);

    // The directory's watchers hear the file written once, when its writer closes it, and not
    // again when the lock is given up under the name it takes meanwhile.
    int fdNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fdNotify, 0);
    ASSERT_GE(inotify_add_watch(fdNotify, dir.path.c_str(), IN_CLOSE_WRITE), 0);
    const mode_t oldMask = ::umask(0077);
    FILE* pFile = CreateNewFileLocked(P("new.tmp").c_str(), 0640, &hLock);
    ::umask(oldMask);
    ASSERT_NE(pFile, nullptr);
    ASSERT_NE(hLock, INVALID_LOCK_HANDLE);
    EXPECT_EQ(fs::status(P("new.tmp")).permissions(), fs::perms(0640));
    // Another thread's lock waits for this one, also once the content is written and closed.
    EXPECT_EQ(TryLockPathExclusive(P("new.tmp").c_str()), INVALID_LOCK_HANDLE);
    ASSERT_EQ(fwrite("message\r\n", 1, 9, pFile), 9u);
    ASSERT_EQ(fclose(pFile), 0);
    EXPECT_EQ(ReadFile(P("new.tmp")), "message\r\n");
    EXPECT_EQ(TryLockPathExclusive(P("new.tmp").c_str()), INVALID_LOCK_HANDLE);
    EXPECT_TRUE(SyncLockedFile(hLock));
    ASSERT_TRUE(Move("new.tmp", "named.MSG"));
    UnlockPath(hLock);
    std::string written;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = read(fdNotify, events, sizeof(events))) > 0;) {
        for (char* p = events; p < events + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len) {
            written += std::string(reinterpret_cast<inotify_event*>(p)->name) + " ";
        }
    }
    close(fdNotify);
    EXPECT_EQ(written, "new.tmp ");
    LockHandle hAfter = TryLockPathExclusive(P("named.MSG").c_str());
    EXPECT_NE(hAfter, INVALID_LOCK_HANDLE);
    UnlockPath(hAfter);
    EXPECT_FALSE(SyncLockedFile(INVALID_LOCK_HANDLE));
}
