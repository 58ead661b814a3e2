// The inbox import and the directory lock, on a mail directory under /tmp.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "auth/userdir.h"
#include "config/settings.h"
#include "platform/registry.h"
#include "store/store.h"

namespace fs = std::filesystem;

namespace {

constexpr FILETIME UNIX_EPOCH = 116444736000000000ULL;

fs::file_time_type ToFileTime(FILETIME ft) {
    auto since1970 = std::chrono::nanoseconds((static_cast<int64_t>(ft) - static_cast<int64_t>(UNIX_EPOCH)) * 100);
    return std::chrono::file_clock::from_sys(std::chrono::sys_time<std::chrono::nanoseconds>(since1970));
}

class ImportTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = Settings;
        std::memset(&Settings, 0, sizeof(Settings));
        Settings.Timeout = 300;
        std::snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "MSG");
        char szTemplate[] = "/tmp/veve4d-import-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        root = szTemplate;
        mailDir = root + "/";
        inbox = root + "/inbox";
        fs::create_directory(inbox);
        session = std::make_unique<Session>();
        std::snprintf(session->szMailDir, sizeof(session->szMailDir), "%s", mailDir.c_str());
        std::snprintf(session->szMailbox, sizeof(session->szMailbox), "%s", inbox.c_str());
    }
    void TearDown() override {
        fs::remove_all(root);
        Settings = saved;
    }

    void Write(const std::string& path, const std::string& text) const { std::ofstream(path) << text; }
    std::string Read(const std::string& path) const {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> Inbox() const {
        std::vector<std::string> names;
        for (auto& entry : fs::directory_iterator(inbox)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    FILETIME Created(const std::string& path) const {
        FindData data{};
        EXPECT_TRUE(FindEntry(path.c_str(), &data));
        return data.ftCreationTime;
    }
    // Waits until a new file would get a later creation time than anything made so far, so
    // that "before the import" and "after it" are distinct instants on the file system's clock.
    void LetClockTick() const {
        std::string probe = root + "/probe";
        Write(probe, "");
        FILETIME ftStart = Created(probe);
        for (int i = 0; i < 1000000 && Created(probe) == ftStart; ++i) {
            fs::remove(probe);
            Write(probe, "");
        }
        fs::remove(probe);
    }
    void Import() {
        session->ulUidNext = ReadUidNext(session->szMailbox);
        ImportInbox(session.get());
    }

    SettingsRecord saved;
    std::string root, mailDir, inbox;
    std::unique_ptr<Session> session;
};

TEST_F(ImportTest, FirstImportCopiesEachFileOnceWithConsecutiveUids) {
    Write(inbox + "/uid", "5");
    Write(mailDir + "b.MSG", "second");
    Write(mailDir + "a.MSG", "first");
    Write(mailDir + "C.msg", "third");
    Write(mailDir + "notes.txt", "not mail");
    Write(mailDir + ".hidden.MSG", "hidden");
    fs::create_directory(mailDir + "dir.MSG");
    LetClockTick();

    Import();
    using V = std::vector<std::string>;
    EXPECT_EQ(Inbox(), (V{"0000000005-100000.MSG", "0000000006-100000.MSG", "0000000007-100000.MSG", "uid"}));
    EXPECT_EQ(Read(inbox + "/0000000005-100000.MSG"), "first");
    EXPECT_EQ(Read(inbox + "/0000000006-100000.MSG"), "second");
    EXPECT_EQ(Read(inbox + "/0000000007-100000.MSG"), "third");
    EXPECT_EQ(session->ulUidNext, 8u);
    EXPECT_EQ(Read(inbox + "/uid"), "8");
    // Copy mode leaves the delivered files for the POP3 side; the lock is gone again.
    EXPECT_TRUE(fs::exists(mailDir + "a.MSG"));
    EXPECT_TRUE(fs::exists(mailDir + "imap.idx"));
    EXPECT_EQ(fs::file_size(mailDir + "imap.idx"), 0u);
    EXPECT_FALSE(fs::exists(mailDir + "$LockFile"));

    // Nothing new delivered: nothing copied.
    LetClockTick();
    Import();
    EXPECT_EQ(Inbox().size(), 4u);
    EXPECT_EQ(session->ulUidNext, 8u);

    // A new delivery is taken, and only that one.
    Write(mailDir + "d.MSG", "fourth");
    LetClockTick();
    Import();
    EXPECT_EQ(Inbox().size(), 5u);
    EXPECT_EQ(Read(inbox + "/0000000008-100000.MSG"), "fourth");
    EXPECT_EQ(Read(inbox + "/uid"), "9");
}

TEST_F(ImportTest, WithoutPop3FilesAreMovedAndOldOnesDeleted) {
    Write(mailDir + "old.MSG", "old");
    LetClockTick();
    Import();
    ASSERT_EQ(Inbox().size(), 2u);
    EXPECT_TRUE(fs::exists(mailDir + "old.MSG"));

    Write(mailDir + "$offpop3", "");
    Write(mailDir + "new.MSG", "new");
    LetClockTick();
    Import();
    EXPECT_FALSE(fs::exists(mailDir + "old.MSG"));
    EXPECT_FALSE(fs::exists(mailDir + "new.MSG"));
    EXPECT_EQ(Read(inbox + "/0000000002-100000.MSG"), "new");
    EXPECT_EQ(Inbox().size(), 3u);
}

TEST_F(ImportTest, Pop3IsNotUsedSettingMovesForEveryUser) {
    Settings.POP3IsNotUsed = 1;
    Write(mailDir + "m.MSG", "moved");
    LetClockTick();
    Import();
    EXPECT_FALSE(fs::exists(mailDir + "m.MSG"));
    EXPECT_EQ(Read(inbox + "/0000000001-100000.MSG"), "moved");
}

TEST_F(ImportTest, AFileDeliveredAtExactlyThePreviousImportTimeIsImported) {
    Write(mailDir + "earlier.MSG", "just before");
    LetClockTick();
    Write(mailDir + "same.MSG", "same instant");
    FILETIME ftSame = Created(mailDir + "same.MSG");
    ASSERT_LT(Created(mailDir + "earlier.MSG"), ftSame);
    // The previous import began exactly when same.MSG was created.
    Write(mailDir + "imap.idx", "");
    fs::last_write_time(mailDir + "imap.idx", ToFileTime(ftSame));
    Import();
    EXPECT_EQ(Inbox(), (std::vector<std::string>{"0000000001-100000.MSG", "uid"}));
    EXPECT_EQ(Read(inbox + "/0000000001-100000.MSG"), "same instant");

    // 100 ns later, it counts as imported before.
    fs::remove(inbox + "/0000000001-100000.MSG");
    fs::remove(inbox + "/uid");
    fs::last_write_time(mailDir + "imap.idx", ToFileTime(ftSame + 1));
    Import();
    EXPECT_EQ(Inbox(), std::vector<std::string>{"uid"});
}

TEST_F(ImportTest, ALiveLockSkipsTheImportAndAStaleOneIsBroken) {
    Write(mailDir + "m.MSG", "mail");
    Write(mailDir + "$LockFile", "");
    fs::last_write_time(mailDir + "$LockFile", fs::file_time_type::clock::now() - std::chrono::seconds(100));
    session->ulUidNext = 7;
    ImportInbox(session.get());
    EXPECT_TRUE(Inbox().empty());
    EXPECT_EQ(session->ulUidNext, 7u);
    EXPECT_TRUE(fs::exists(mailDir + "$LockFile"));
    EXPECT_FALSE(fs::exists(mailDir + "imap.idx"));

    // The same lock is stale once Timeout is shorter than its age.
    Settings.Timeout = 30;
    Import();
    EXPECT_EQ(Inbox(), (std::vector<std::string>{"0000000001-100000.MSG", "uid"}));
    EXPECT_FALSE(fs::exists(mailDir + "$LockFile"));
}

TEST_F(ImportTest, TheLockIsTakenByExactlyOneTaker) {
    EXPECT_NE(LockMailDirectoryAt(mailDir.c_str()), 0);
    EXPECT_EQ(LockMailDirectoryAt(mailDir.c_str()), 0);
    UnLockMailDirectoryAt(mailDir.c_str());
    EXPECT_FALSE(fs::exists(mailDir + "$LockFile"));
    EXPECT_NE(LockMailDirectoryAt(mailDir.c_str()), 0);
    UnLockMailDirectoryAt(mailDir.c_str());
    EXPECT_EQ(LockMailDirectoryAt((root + "/missing/").c_str()), 0);
}

TEST_F(ImportTest, TheImportTakesUidsAppendedSinceTheCallerReadThem) {
    Write(mailDir + "m.MSG", "mail");
    session->ulUidNext = ReadUidNext(session->szMailbox);  // 1
    // Another session appends UID 1 meanwhile.
    Write(inbox + "/0000000001-100000.MSG", "appended");
    WriteUidNext(inbox.c_str(), 2);
    ImportInbox(session.get());
    EXPECT_EQ(Read(inbox + "/0000000001-100000.MSG"), "appended");
    EXPECT_EQ(Read(inbox + "/0000000002-100000.MSG"), "mail");
    EXPECT_EQ(session->ulUidNext, 3u);
}

TEST_F(ImportTest, UserNamedCallsFindTheMailDirectory) {
    LoadRegistryText("", 0, "empty");
    std::snprintf(Settings.MailInBoxDir, sizeof(Settings.MailInBoxDir), "%s/%%USERNAME%%", root.c_str());
    fs::create_directory(root + "/ann");
    EXPECT_EQ(ImapAccessOff("ann@dom", "127.0.0.1"), 0);
    Write(root + "/ann/$offimap4", "");
    EXPECT_EQ(ImapAccessOff("ann@dom", "127.0.0.1"), 1);
    EXPECT_EQ(ImapAccessOff("bob@dom", "127.0.0.1"), 0);

    EXPECT_NE(LockMailDirectory("ann@dom", "127.0.0.1"), 0);
    EXPECT_TRUE(fs::exists(root + "/ann/$LockFile"));
    EXPECT_EQ(LockMailDirectory("ann@dom", "127.0.0.1"), 0);
    UnLockMailDirectory("ann@dom", "127.0.0.1");
    EXPECT_FALSE(fs::exists(root + "/ann/$LockFile"));
}

// APPEND's literal, fed through a socket pair as the client would send it.
class AppendTest : public ImportTest {
protected:
    void SetUp() override {
        ImportTest::SetUp();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session->sockClient = fds[0];
        peer = fds[1];
    }
    void TearDown() override {
        close(session->sockClient);
        if (peer >= 0) close(peer);
        ImportTest::TearDown();
    }
    void Send(const std::string& text) const { ASSERT_EQ(write(peer, text.data(), text.size()), (ssize_t)text.size()); }
    int peer = -1;
};

TEST_F(AppendTest, TheLiteralAndItsCrlfAreStoredAndTheNextRequestStaysPending) {
    const std::string literal = "Subject: hi\r\n\r\nbody line\r\n";
    std::strcpy(session->szQueue, "Subject: hi\r\n");  // the part that came with the APPEND line
    Send(literal.substr(13) + "\r\na2 NOOP\r\n");
    ASSERT_EQ(WriteMessageFile(session.get(), inbox.c_str(), 12, literal.size(), "(\\Seen \\Flagged)"), 1);
    EXPECT_EQ(Read(inbox + "/0000000012-101010.MSG"), literal + "\r\n");
    EXPECT_STREQ(session->szQueue, "a2 NOOP\r\n");
}

TEST_F(AppendTest, PendingInputLongerThanTheLiteralIsCutToIt) {
    std::strcpy(session->szQueue, "abc\r\na3 NOOP\r\n");
    ASSERT_EQ(WriteMessageFile(session.get(), inbox.c_str(), 1, 3, "(\\seen)"), 1);
    EXPECT_EQ(Read(inbox + "/0000000001-100000.MSG"), "abc\r\n");
    EXPECT_STREQ(session->szQueue, "a3 NOOP\r\n");
}

TEST_F(AppendTest, ALostConnectionLeavesNoMessage) {
    Send("only part of it\r\n");
    close(peer);
    peer = -1;
    EXPECT_EQ(WriteMessageFile(session.get(), inbox.c_str(), 3, 100, ""), 0);
    EXPECT_TRUE(Inbox().empty());
}

TEST_F(AppendTest, AMailboxThatCannotHoldTheFileReadsNothing) {
    Send("abc\r\n");
    EXPECT_EQ(WriteMessageFile(session.get(), (root + "/missing").c_str(), 3, 3, ""), 0);
    char buffer[8] = {};
    // The literal is still waiting on the socket for the caller to deal with.
    EXPECT_EQ(recv(session->sockClient, buffer, sizeof(buffer), MSG_DONTWAIT), 5);
}

}  // namespace
