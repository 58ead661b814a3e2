// The inbox import, the directory lock and APPEND's message file, on a mail directory under /tmp.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "store/store.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

class ImportTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&Settings, 0, sizeof(Settings));
        Settings.Timeout = 300;
        std::snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "MSG");
        fs::create_directory(inbox);
        std::snprintf(session->szMailDir, sizeof(session->szMailDir), "%s", mailDir.c_str());
        std::snprintf(session->szMailbox, sizeof(session->szMailbox), "%s", inbox.c_str());
    }
    void TearDown() override { Settings = saved; }

    Strings Inbox() const {
        Strings names;
        for (auto& entry : fs::directory_iterator(inbox)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    FILETIME Created(const std::string& path) const {
        FindData data{};
        EXPECT_TRUE(FindEntry(path.c_str(), &data));
        return data.ftCreationTime;
    }
    // Waits until a new file gets a later creation time than anything made so far, so that
    // "before the import" and "after it" are distinct instants on the file system's clock.
    void LetClockTick() const {
        const std::string probe = dir.path + "/probe";
        WriteFile(probe, "");
        const FILETIME ftStart = Created(probe);
        for (int i = 0; i < 1000000 && Created(probe) == ftStart; ++i) {
            fs::remove(probe);
            WriteFile(probe, "");
        }
    }

    SettingsRecord saved = Settings;
    TempDir dir;
    std::string mailDir = dir.path + "/";
    std::string inbox = dir.path + "/inbox";
    std::unique_ptr<Session> session = std::make_unique<Session>();
};

TEST_F(ImportTest, AStaleLockIsBrokenAndTheFirstImportCopiesEachFileOnce) {
    // The caller's next UID is stale (another session appended): the import reads it again.
    session->ulUidNext = 1;
    WriteFile(inbox + "/uid", "5");
    for (const char* psz : {"b.MSG", "a.MSG", "C.msg", "notes.txt", ".hidden.MSG"}) WriteFile(mailDir + psz, psz);
    fs::create_directory(mailDir + "dir.MSG");
    WriteFile(mailDir + "$LockFile", "");
    fs::last_write_time(mailDir + "$LockFile", fs::file_time_type::clock::now() - std::chrono::seconds(100));
    LetClockTick();
    ImportInbox(session.get());  // the lock is younger than Timeout: no import
    EXPECT_EQ(Inbox(), Strings{"uid"});
    EXPECT_EQ(session->ulUidNext, 1u);
    EXPECT_TRUE(FileExists(mailDir + "$LockFile"));
    EXPECT_FALSE(FileExists(mailDir + "imap.idx"));

    Settings.Timeout = 30;
    ImportInbox(session.get());
    EXPECT_EQ(Inbox(), (Strings{"0000000005-100000.MSG", "0000000006-100000.MSG", "0000000007-100000.MSG", "uid"}));
    EXPECT_EQ(ReadFile(inbox + "/0000000005-100000.MSG"), "a.MSG");
    EXPECT_EQ(ReadFile(inbox + "/0000000007-100000.MSG"), "C.msg");
    EXPECT_EQ(session->ulUidNext, 8u);
    EXPECT_EQ(ReadFile(inbox + "/uid"), "8");
    // Copy mode leaves the delivered files for the POP3 side; the lock is gone again.
    EXPECT_TRUE(FileExists(mailDir + "a.MSG"));
    EXPECT_FALSE(FileExists(mailDir + "$LockFile"));

    LetClockTick();
    ImportInbox(session.get());
    EXPECT_EQ(Inbox().size(), 4u);
    EXPECT_EQ(ReadFile(inbox + "/uid"), "8");
}

TEST_F(ImportTest, WithoutPop3FilesAreMovedAndOldOnesDeleted) {
    WriteFile(mailDir + "old.MSG", "old");
    LetClockTick();
    ImportInbox(session.get());
    ASSERT_TRUE(FileExists(mailDir + "old.MSG"));
    Settings.POP3IsNotUsed = 1;  // for every user
    WriteFile(mailDir + "new.MSG", "new");
    LetClockTick();
    ImportInbox(session.get());
    EXPECT_FALSE(FileExists(mailDir + "old.MSG"));
    EXPECT_FALSE(FileExists(mailDir + "new.MSG"));
    EXPECT_EQ(Inbox(), (Strings{"0000000001-100000.MSG", "0000000002-100000.MSG", "uid"}));
    EXPECT_EQ(ReadFile(inbox + "/0000000002-100000.MSG"), "new");

    Settings.POP3IsNotUsed = 0;
    WriteFile(mailDir + "$offpop3", "");  // for this user alone
    WriteFile(mailDir + "last.MSG", "last");
    LetClockTick();
    ImportInbox(session.get());
    EXPECT_FALSE(FileExists(mailDir + "last.MSG"));
    EXPECT_EQ(ReadFile(inbox + "/0000000003-100000.MSG"), "last");
}

TEST_F(ImportTest, AFileDeliveredAtExactlyThePreviousImportTimeIsImported) {
    WriteFile(mailDir + "same.MSG", "same instant");
    const FILETIME ftSame = Created(mailDir + "same.MSG");
    // imap.idx's write time is when the previous import began; FILETIME counts 100 ns from 1601.
    const auto atImport = [](FILETIME ft) {
        auto since1970 = std::chrono::nanoseconds((static_cast<int64_t>(ft) - 116444736000000000LL) * 100);
        return std::chrono::file_clock::from_sys(std::chrono::sys_time<std::chrono::nanoseconds>(since1970));
    };
    WriteFile(mailDir + "imap.idx", "");
    fs::last_write_time(mailDir + "imap.idx", atImport(ftSame));
    ImportInbox(session.get());
    EXPECT_EQ(Inbox(), (Strings{"0000000001-100000.MSG", "uid"}));
    EXPECT_EQ(ReadFile(inbox + "/0000000001-100000.MSG"), "same instant");

    // 100 ns later, it counts as imported before.
    fs::remove(inbox + "/0000000001-100000.MSG");
    fs::remove(inbox + "/uid");
    fs::last_write_time(mailDir + "imap.idx", atImport(ftSame + 1));
    ImportInbox(session.get());
    EXPECT_EQ(Inbox(), Strings{"uid"});
}

TEST_F(ImportTest, WriteMessageFileStoresTheLiteralAndLeavesTheNextRequestPending) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    session->sockClient = fds[0];
    // The literal's first line came with the APPEND line; the rest and the next request follow.
    std::snprintf(session->szQueue, sizeof(session->szQueue), "Subject: hi\r\n");
    const std::string rest = "\r\nbody\r\n\r\na2 NOOP\r\n";
    ASSERT_EQ(write(fds[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    EXPECT_EQ(WriteMessageFile(session.get(), inbox.c_str(), 12, 21, "(\\Seen \\Flagged)"), 1);
    EXPECT_EQ(ReadFile(inbox + "/0000000012-101010.MSG"), "Subject: hi\r\n\r\nbody\r\n\r\n");
    EXPECT_STREQ(session->szQueue, "a2 NOOP\r\n");

    // A connection lost part way leaves no file behind.
    ASSERT_EQ(write(fds[1], "part\r\n", 6), 6);
    close(fds[1]);
    EXPECT_EQ(WriteMessageFile(session.get(), inbox.c_str(), 14, 100, ""), 0);
    EXPECT_EQ(Inbox(), Strings{"0000000012-101010.MSG"});
    close(fds[0]);
}

}  // namespace
