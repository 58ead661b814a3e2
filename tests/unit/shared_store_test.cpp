// A mail store that several machines share: which file systems count as shared, lock files left
// by dead servers of this or another machine, calls a cluster file system fails for a moment, and
// a polled mailbox that follows changes the kernel's events do not tell of.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <thread>

#include "config/settings.h"
#include "imap/view.h"
#include "mail_session.h"
#include "platform/dir_watch.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "store/mailbox_index.h"
#include "store/store.h"
#include "test_server.h"

namespace {

TEST(SharedFileSystem, NetworkAndClusterFileSystemsAreKnownByTheirStatfsType) {
    const struct {
        uint64_t ullType;
        const char* pszName;  // null: a file system of this machine alone
    } cases[] = {
        {0x65735546, "fuse"},  // GlusterFS, CephFS-fuse, sshfs
        {0x6969, "nfs"},        {0xFF534D42, "cifs"},   {0xFE534D42, "smb2"},   {0x517B, "smb"},
        {0x00C36400, "ceph"},   {0x01161970, "gfs2"},   {0x7461636F, "ocfs2"},  {0x0BD00BD0, "lustre"},
        {0x01021997, "9p"},
        {0xEF53, nullptr},       // ext2/3/4
        {0x58465342, nullptr},   // xfs
        {0x9123683E, nullptr},   // btrfs
        {0x01021994, nullptr},   // tmpfs
        {0x794C7630, nullptr},   // overlayfs
        {0, nullptr},
    };
    for (const auto& c : cases) {
        const char* pszName = SharedFileSystemName(c.ullType);
        if (c.pszName == nullptr) {
            EXPECT_EQ(pszName, nullptr) << std::hex << c.ullType;
        } else {
            EXPECT_STREQ(pszName, c.pszName) << std::hex << c.ullType;
        }
    }
    // The tests' own directories are local; nothing there asks for polling by itself.
    TempDir dir;
    EXPECT_FALSE(OnSharedFileSystem(dir.path.c_str()));
    EXPECT_FALSE(OnSharedFileSystem((dir.path + "/missing").c_str()));
}

class SharedStore : public InboxSession {
protected:
    void TearDown() override {
        SetFileFaultHook(nullptr);
        Settings.MailboxWatch = MAILBOX_WATCH_EVENTS;
        Settings.Timeout = 0;
        InboxSession::TearDown();
    }
    // Writes "$LockFile" with the content, last written ullAge seconds ago.
    void StaleLock(const std::string& content, int nAge) {
        WriteFile(mailDir + "$LockFile", content);
        std::filesystem::last_write_time(mailDir + "$LockFile",
                                         std::filesystem::file_time_type::clock::now() - std::chrono::seconds(nAge));
    }
    bool Taken() {
        LockHandle hLock = LockMailDirectoryAt(mailDir.c_str());
        if (hLock == INVALID_LOCK_HANDLE) return false;
        UnLockMailDirectoryAt(mailDir.c_str(), hLock);
        return true;
    }
};

// A pid that surely names no process: one of a child that has been reaped.
unsigned long DeadPid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return static_cast<unsigned long>(pid);
}

TEST_F(SharedStore, ALockFileIsJudgedByItsOwnerOnThisMachineAndByItsAgeFromAnother) {
    Settings.Timeout = 300;
    const std::string host = LockHostName();
    const std::string dead = std::to_string(DeadPid());
    // What a lock file says of its writer.
    LockOwner owner = ReadLockOwner(("veve4d " + host + " 4242\n").c_str());
    EXPECT_EQ(owner.kind, LOCK_OWNER_THIS_HOST);
    EXPECT_EQ(owner.ulPid, 4242u);
    EXPECT_EQ(ReadLockOwner("veve4d othernode 4242\n").kind, LOCK_OWNER_OTHER_HOST);
    EXPECT_EQ(ReadLockOwner(("veve4d " + host + "x 4242\n").c_str()).kind, LOCK_OWNER_OTHER_HOST);
    EXPECT_EQ(ReadLockOwner("veve4d 4242\n").kind, LOCK_OWNER_THIS_HOST);  // written before machines shared a store
    for (const char* pszForeign : {"", "\n", "veve4d \n", "veve4d node\n", "veve4d node 12x\n", "pop3 4242\n"}) {
        EXPECT_EQ(ReadLockOwner(pszForeign).kind, LOCK_OWNER_FOREIGN) << pszForeign;
    }

    // A fresh lock of a dead process of this machine is broken at once; so is one written by a
    // version that named no machine.
    for (const std::string& content : {"veve4d " + host + " " + dead + "\n", "veve4d " + dead + "\n"}) {
        StaleLock(content, 5);
        EXPECT_TRUE(Taken()) << content;
        EXPECT_FALSE(FileExists(mailDir + "$LockFile"));
    }
    // A live process of this machine (init), another machine's server, and the companion's empty
    // file keep their lock until it is older than Timeout.
    for (const std::string& content : {"veve4d " + host + " 1\n", "veve4d othernode " + dead + "\n", std::string()}) {
        StaleLock(content, 5);
        EXPECT_FALSE(Taken()) << content;
        EXPECT_EQ(ReadFile(mailDir + "$LockFile"), content);
        StaleLock(content, 301);
        EXPECT_TRUE(Taken()) << content;
    }
    // Our own lock names this machine and this process.
    LockHandle hLock = LockMailDirectoryAt(mailDir.c_str());
    ASSERT_NE(hLock, INVALID_LOCK_HANDLE);
    EXPECT_EQ(ReadFile(mailDir + "$LockFile"), "veve4d " + host + " " + std::to_string(getpid()) + "\n");
    EXPECT_FALSE(Taken());  // held
    UnLockMailDirectoryAt(mailDir.c_str(), hLock);
}

TEST_F(SharedStore, CallsAFileServerFailsForAMomentAreTriedAgainAndAFailureSaysWhy) {
    Put("1-000000");
    // A stale handle twice, then the rename goes through.
    int nStale = 2;
    SetFileFaultHook([&](const char* pszCall, const char*) {
        return std::string(pszCall) == "rename" && nStale-- > 0 ? ESTALE : 0;
    });
    std::string from = box + "/0000000001-000000.MSG", to = box + "/0000000001-000010.MSG";
    EXPECT_TRUE(MoveFileNoReplace(from.c_str(), to.c_str()));
    EXPECT_TRUE(FileExists(to));
    // One that stays stale fails, and says so.
    SetFileFaultHook([](const char* pszCall, const char*) { return std::string(pszCall) == "rename" ? ESTALE : 0; });
    ClearFileFailure();
    EXPECT_FALSE(MoveFileNoReplace(to.c_str(), from.c_str()));
    EXPECT_EQ(LastFileFailure(), FILE_FAILURE_TRANSIENT);
    EXPECT_STREQ(LastFileFailureText(), strerror(ESTALE));
    EXPECT_TRUE(FileExists(to));

    // A name another writer took meanwhile: the message takes the next free UID.
    SetFileFaultHook(nullptr);
    uint32_t ulFirst = AssignUids(box.c_str(), 1);
    ASSERT_EQ(ulFirst, 2u);
    std::string incoming = box + "/.0000000002.incoming";
    WriteFile(incoming, "Subject: x\r\n\r\nx\r\n");
    Put("2-100000");  // the other writer, under the very name
    std::vector<IncomingMessage> messages(1);
    messages[0].incoming = incoming;
    std::memcpy(messages[0].szFlagCode, "100000", 7);
    EXPECT_EQ(PublishMessages(box.c_str(), &ulFirst, messages), 1u);
    EXPECT_EQ(ulFirst, 3u);
    EXPECT_TRUE(FileExists(box + "/0000000003-100000.MSG"));

    // A UID lock that cannot be taken: no UID, and the reason for the client.
    SetFileFaultHook([](const char* pszCall, const char*) { return std::string(pszCall) == "open" ? EACCES : 0; });
    EXPECT_EQ(AssignUids(box.c_str(), 1), 0u);
    EXPECT_EQ(std::string(LastStoreFailure()), std::string("the mailbox's UID lock cannot be taken: ") + strerror(EACCES));
    SetFileFaultHook(nullptr);
    EXPECT_EQ(AssignUids(box.c_str(), 1), 4u);
}

// A file system that cannot rename without replacing (GlusterFS) moves a message by link and
// unlink. Through a stale cache of the old name the link still succeeds after another machine
// renamed the file, so the old name's unlink is what tells that it had gone.
TEST_F(SharedStore, AFlagChangeMetByAnotherMachinesRenameKeepsOneNameWithBothChanges) {
    Put("1-000000 2-000000");
    Run("s SELECT INBOX");
    const std::string old = box + "/0000000001-000000.MSG", theirs = box + "/0000000001-000010.MSG";
    bool bTheirLink = false, bTheirUnlink = false;
    SetFileFaultHook([&](const char* pszCall, const char* pszPath) {
        const std::string call = pszCall, path = pszPath;
        if (call == "rename") return EINVAL;
        // The other machine flags message 1 \Seen: its link before ours, its unlink after.
        if (call == "link" && path.find("/0000000001-") != std::string::npos && !bTheirLink) {
            bTheirLink = true;
            std::filesystem::create_hard_link(old, theirs);
        }
        if (call == "unlink" && path == old && !bTheirUnlink) {
            bTheirUnlink = true;
            std::filesystem::remove(old);
        }
        return 0;
    });
    EXPECT_EQ(Run("1 STORE 1 +FLAGS (\\Flagged)"), "* 1 FETCH (FLAGS (\\Flagged \\Seen))\r\n1 OK STORE completed\r\n");
    EXPECT_TRUE(bTheirUnlink);
    // Message 2's old name vanishes between the link and the unlink: the move fails as missing
    // and takes its new name back.
    SetFileFaultHook([](const char* pszCall, const char* pszPath) {
        if (std::string(pszCall) == "rename") return EINVAL;
        if (std::string(pszCall) == "unlink") std::filesystem::remove(pszPath);
        return 0;
    });
    ClearFileFailure();
    EXPECT_FALSE(MoveFileNoReplace((box + "/0000000002-000000.MSG").c_str(), (box + "/0000000002-001000.MSG").c_str()));
    EXPECT_EQ(LastFileFailure(), FILE_FAILURE_MISSING);
    SetFileFaultHook(nullptr);
    EXPECT_EQ(Tree(box), "1-001010 uid");
}

// After a rename or removal found a name gone, a directory that still shows it (a cluster file
// system's cache, or a copy caught half-way) does not hide the message's real name.
TEST_F(SharedStore, ANameFoundGoneIsNotBelievedAgainWhileTheDirectoryStillShowsIt) {
    Put("3-000000 3-000010 4-000000 5-000010");
    uint8_t fFlags = 0xff;
    ListedMessage seen;
    ASSERT_TRUE(ReadMessageName("0000000003-000010.MSG", &seen));
    for (uint32_t ulUid : {3u, 5u}) {
        fFlags = 0xff;
        EXPECT_TRUE(FindMovedMessageFlags(box.c_str(), ulUid, 0, &fFlags)) << ulUid;
        EXPECT_EQ(fFlags, seen.fFlags) << ulUid;
    }
    // A name that is still there after all is the message's name; no name at all is a message gone.
    EXPECT_TRUE(FindMovedMessageFlags(box.c_str(), 4, 0, &fFlags));
    EXPECT_EQ(fFlags, 0);
    EXPECT_FALSE(FindMovedMessageFlags(box.c_str(), 6, 0, &fFlags));
}

TEST_F(SharedStore, APolledMailboxFollowsAFlagChangeThatLeftTheDirectoryTimeAlone) {
    Settings.MailboxWatch = MAILBOX_WATCH_POLL;
    Settings.MailboxPollInterval = 700;
    EXPECT_EQ(MailboxPollMilliseconds(box.c_str()), 700u);
    Put("1-100000 2-100000");
    // Listed long enough after the last change that the directory's time is trusted to say
    // "nothing new" while it stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    EXPECT_FALSE(pIndex->Watched());
    struct stat before {};
    ASSERT_EQ(stat(box.c_str(), &before), 0);
    // Another machine flags message 2; its file system keeps the directory's modification time.
    std::filesystem::rename(box + "/0000000002-100000.MSG", box + "/0000000002-001000.MSG");
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, box.c_str(), times, 0), 0);
    IndexedMessage message{};
    EXPECT_EQ(pIndex->Refresh(), LIST_OK);
    ASSERT_TRUE(pIndex->Find(2, &message));
    EXPECT_EQ(message.fFlags, 0x04);  // Flagged alone

    // Where the events tell all, nothing is polled; "auto" polls only a shared file system.
    Settings.MailboxWatch = MAILBOX_WATCH_EVENTS;
    EXPECT_EQ(MailboxPollMilliseconds(box.c_str()), 0u);
    Settings.MailboxWatch = MAILBOX_WATCH_AUTO;
    EXPECT_EQ(MailboxPollMilliseconds(box.c_str()), 0u);
}

// Two servers follow one polled mailbox. A session may list a message before its server has
// read the sequence the other server gave it (another session's look listed it meanwhile); the
// sequence it is then shown is the message's own, never the mailbox's highest, which a later
// look would show it going back from.
TEST_F(SharedStore, AMessageListedBeforeItsSequenceIsReadIsShownItsOwnSequence) {
    Settings.MailboxWatch = MAILBOX_WATCH_POLL;
    Put("1-000000 2-000000");
    // The other machine's server: the same directory under another spelling, so an index of its own.
    const std::string there = box + "/.";
    ListResult result;
    std::shared_ptr<MailboxIndex> pHere = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    std::shared_ptr<MailboxIndex> pThere = MailboxIndex::Open(there.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    ASSERT_NE(pHere, pThere);
    uint64_t ullStart = pHere->HighestModSeq();
    ASSERT_EQ(pThere->HighestModSeq(), ullStart);
    ASSERT_FALSE(pHere->Watched());

    // A delivery the other server looks at first, and then a flag change there.
    Put("3-100000");
    uint64_t ullDelivered = pThere->HighestModSeq();
    ASSERT_GT(ullDelivered, ullStart);
    std::filesystem::rename(box + "/0000000001-000000.MSG", box + "/0000000001-001000.MSG");
    ASSERT_GT(pThere->HighestModSeq(), ullDelivered);
    ASSERT_EQ(pThere->ModSeqOf(3), ullDelivered);

    // This server lists message 3 without reading the state file yet.
    ASSERT_EQ(pHere->Refresh(), LIST_OK);
    IndexedMessage message{};
    ASSERT_TRUE(pHere->Find(3, &message));
    ASSERT_EQ(pHere->ModSeqOf(3), 0u);
    EXPECT_EQ(ShownModSeq(*pHere, 3), ullDelivered);
    EXPECT_EQ(ShownModSeq(*pHere, 3), ullDelivered);
    EXPECT_EQ(ShownModSeq(*pHere, 1), pThere->ModSeqOf(1));
}

}  // namespace
