// The inbox import and its directory lock, on a mail directory under /tmp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>

#include "config/settings.h"
#include "dir_listing.h"
#include "store/store.h"
#include "test_server.h"

namespace fs = std::filesystem;

class ImportTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&Settings, 0, sizeof(Settings));
        Settings.Timeout = 300;
        std::snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "MSG");
        fs::create_directory(inbox);
    }
    void TearDown() override { Settings = saved; }

    // "name=content" for each file of the inbox, in name order.
    std::string Inbox() const {
        std::string state;
        for (const std::string& name : SortedNames(inbox)) state += " " + name + "=" + ReadFile(inbox + "/" + name);
        return state.substr(1);
    }
    FILETIME Created(const std::string& path) const {
        FindData data{};
        EXPECT_TRUE(FindEntry(path.c_str(), &data));
        return data.ftCreationTime;
    }
    // Imports once the file system's clock has ticked past every file made so far, so that
    // "delivered before the import" and "after it" are distinct instants.
    void ImportLater() {
        const std::string probe = dir.path + "/probe";
        WriteFile(probe, "");
        const FILETIME ftStart = Created(probe);
        for (int i = 0; i < 1000000 && Created(probe) == ftStart; ++i) fs::remove(probe), WriteFile(probe, "");
        ImportInbox(mailDir.c_str(), inbox.c_str(), &ulUidNext);
    }

    SettingsRecord saved = Settings;
    TempDir dir;
    std::string mailDir = dir.path + "/";
    std::string inbox = dir.path + "/inbox";
    uint32_t ulUidNext = 0;
};

TEST_F(ImportTest, AStaleLockIsBrokenAndTheFirstImportCopiesEachFileOnce) {
    // The caller's next UID is stale (another session appended): the import reads it again.
    ulUidNext = 1;
    WriteFile(inbox + "/uid", "5");
    for (const char* name : {"b.MSG", "a.MSG", "C.msg", "notes.txt", ".hidden.MSG", "$LockFile"}) {
        WriteFile(mailDir + name, name);
    }
    fs::create_directory(mailDir + "dir.MSG");
    fs::last_write_time(mailDir + "$LockFile", fs::file_time_type::clock::now() - std::chrono::seconds(100));
    ImportLater();  // the lock is younger than Timeout: no import
    EXPECT_EQ(Inbox(), "uid=5");
    EXPECT_EQ(ulUidNext, 1u);
    EXPECT_TRUE(FileExists(mailDir + "$LockFile") && !FileExists(mailDir + "imap.idx"));

    Settings.Timeout = 30;
    ImportInbox(mailDir.c_str(), inbox.c_str(), &ulUidNext);
    const std::string imported = "0000000005-100000.MSG=a.MSG 0000000006-100000.MSG=b.MSG 0000000007-100000.MSG=C.msg uid=8";
    EXPECT_EQ(Inbox(), imported);
    EXPECT_EQ(ulUidNext, 8u);
    // Copy mode leaves the delivered files for the POP3 side; the lock is gone again.
    EXPECT_TRUE(FileExists(mailDir + "a.MSG") && !FileExists(mailDir + "$LockFile"));
    ImportLater();
    EXPECT_EQ(Inbox(), imported);
}

TEST_F(ImportTest, WithoutPop3FilesAreMovedAndOldOnesDeleted) {
    WriteFile(mailDir + "old.MSG", "old");
    ImportLater();
    ASSERT_TRUE(FileExists(mailDir + "old.MSG"));
    Settings.POP3IsNotUsed = 1;  // for every user
    WriteFile(mailDir + "new.MSG", "new");
    ImportLater();
    EXPECT_FALSE(FileExists(mailDir + "old.MSG") || FileExists(mailDir + "new.MSG"));
    EXPECT_EQ(Inbox(), "0000000001-100000.MSG=old 0000000002-100000.MSG=new uid=3");

    Settings.POP3IsNotUsed = 0;
    WriteFile(mailDir + "$offpop3", "");  // for this user alone
    WriteFile(mailDir + "last.MSG", "last");
    ImportLater();
    EXPECT_FALSE(FileExists(mailDir + "last.MSG"));
    EXPECT_EQ(Inbox(), "0000000001-100000.MSG=old 0000000002-100000.MSG=new 0000000003-100000.MSG=last uid=4");

    // Mail delivered with another extension still becomes a message file the listing shows.
    std::snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "EML");
    WriteFile(mailDir + "other.EML", "other");
    ImportLater();
    std::vector<ListedMessage> listed;
    ASSERT_EQ(ListMessages(inbox.c_str(), &listed), LIST_OK);
    EXPECT_EQ(listed.size(), 4u);
    EXPECT_TRUE(FileExists(inbox + "/0000000004-100000.MSG"));
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
    ImportInbox(mailDir.c_str(), inbox.c_str(), &ulUidNext);
    EXPECT_EQ(Inbox(), "0000000001-100000.MSG=same instant uid=2");

    // 100 ns later, it counts as imported before.
    fs::remove(inbox + "/0000000001-100000.MSG");
    fs::last_write_time(mailDir + "imap.idx", atImport(ftSame + 1));
    ImportInbox(mailDir.c_str(), inbox.c_str(), &ulUidNext);
    EXPECT_EQ(Inbox(), "uid=2");
}
