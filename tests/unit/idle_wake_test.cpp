// Waiting for news without looking: idling sessions share the process's one watch, and a change
// made between a look and the wait still wakes the waiter.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "imap/view.h"
#include "mail_session.h"
#include "platform/wake.h"
#include "store/mailbox_index.h"

namespace {

// The inotify instances the process holds.
int InotifyInstances() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string() == "anon_inode:inotify") n++;
    }
    return n;
}

class IdleWake : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        std::snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "MSG");
        Put("1-100000 2-100000 3-100000 4-100000");
    }
};

TEST_F(IdleWake, IdlersShareOneKernelWatchAndAllHearOfADelivery) {
    constexpr int IDLERS = 4;
    std::vector<std::unique_ptr<OtherSession>> idlers;
    std::vector<std::thread> threads;
    for (int i = 0; i < IDLERS; i++) {
        idlers.push_back(std::make_unique<OtherSession>(mailDir));
        idlers.back()->Run("s SELECT INBOX");
        snprintf(idlers.back()->session->szRecv, sizeof(idlers.back()->session->szRecv), "1 IDLE\r\n");
    }
    for (auto& idler : idlers) threads.emplace_back([&idler] { DispatchCommand(idler->session.get()); });
    for (auto& idler : idlers) EXPECT_EQ(idler->Await("+ idling\r\n"), "+ idling\r\n");
    // One instance for the whole process, however many sessions wait (the kernel allows 128 a user).
    EXPECT_LE(InotifyInstances(), 1);
    // Delivered into the mail directory: one of them takes it into the inbox, and every one is told.
    WriteFile(mailDir + "delivered.MSG", "Subject: new\r\n\r\nnew\r\n");
    for (auto& idler : idlers) EXPECT_EQ(idler->Await("RECENT\r\n").substr(0, 12), "* 5 EXISTS\r\n");
    for (auto& idler : idlers) ASSERT_EQ(write(idler->peer, "DONE\r\n", 6), 6);
    for (auto& thread : threads) thread.join();
    for (auto& idler : idlers) EXPECT_EQ(idler->Await("completed\r\n"), "1 OK IDLE completed\r\n");
}

// The waiter looks, then waits: a change that falls between the two must still end the wait,
// whether another session made it or only the kernel saw it (nobody refreshes the index then).
TEST_F(IdleWake, AChangeBetweenTheLookAndTheWaitIsNotLost) {
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    Wakeup wakeup;
    ChangeWaiter waiter(pIndex, &wakeup);
    EXPECT_TRUE(waiter.Complete());
    // Another session's own change, taken in at once.
    pIndex->NoteFlags(2, FLAG_BIT_RECENT | FLAG_BIT_FLAGGED);
    EXPECT_EQ(wakeup.Wait(10000), WAKE_CHANGE);
    EXPECT_EQ(wakeup.Wait(0), 0u);  // taken, not given twice
    // Another program's rename: only the kernel's event tells of it.
    std::filesystem::rename(box + "/0000000003-100000.MSG", box + "/0000000003-100010.MSG");
    EXPECT_EQ(wakeup.Wait(10000), WAKE_CHANGE);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    static_cast<void>(wakeup.Wait(0));
    IndexedMessage message{};
    ASSERT_TRUE(pIndex->Find(3, &message));
    EXPECT_EQ(message.fFlags, FLAG_BIT_RECENT | FLAG_BIT_SEEN);
}

// Mail delivered after SELECT and before IDLE began to watch for it is told when IDLE starts.
TEST_F(IdleWake, ADeliveryBeforeTheWatchBeganIsToldAtOnce) {
    OtherSession c{mailDir};
    c.Run("s SELECT INBOX");
    WriteFile(mailDir + "early.MSG", "Subject: early\r\n\r\nearly\r\n");
    snprintf(c.session->szRecv, sizeof(c.session->szRecv), "1 IDLE\r\n");
    std::thread idler([&] { DispatchCommand(c.session.get()); });
    EXPECT_EQ(c.Await("RECENT\r\n"), "+ idling\r\n* 5 EXISTS\r\n* 5 RECENT\r\n");
    ASSERT_EQ(write(c.peer, "DONE\r\n", 6), 6);
    idler.join();
    EXPECT_EQ(c.Await("completed\r\n"), "1 OK IDLE completed\r\n");
}

// Keywords another server set show only in the mailbox's state file: its rewrite wakes the waiter.
TEST_F(IdleWake, TheStateFileRewrittenElsewhereWakesTheWaiter) {
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    Wakeup wakeup;
    ChangeWaiter waiter(pIndex, &wakeup);
    WriteFile(box + "/" + MOD_STATE_NAME + ".new", "");
    std::filesystem::rename(box + "/" + MOD_STATE_NAME + ".new", box + "/" + MOD_STATE_NAME);
    EXPECT_EQ(wakeup.Wait(10000), WAKE_CHANGE);
}

// A delivery counts once its writer is done with it: a file still being written wakes nobody.
TEST_F(IdleWake, ADeliveryWakesOnceWrittenWhole) {
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    Wakeup wakeup;
    ChangeWaiter waiter(pIndex, &wakeup);
    ASSERT_TRUE(waiter.WatchArrivals(mailDir.c_str(), ".msg"));
    EXPECT_TRUE(waiter.Complete());
    {
        std::ofstream delivery(mailDir + "new.MSG", std::ios::binary);
        delivery << "Subject: new\r\n" << std::flush;
        WriteFile(mailDir + "other.TXT", "not mail");
        EXPECT_EQ(wakeup.Wait(300), 0u);
        EXPECT_FALSE(waiter.TakeArrival());
    }
    EXPECT_EQ(wakeup.Wait(10000), WAKE_CHANGE);
    EXPECT_TRUE(waiter.TakeArrival());
    EXPECT_FALSE(waiter.TakeArrival());
    // A second waiter on the same directory shares its watch, and its end leaves the watch to the first.
    {
        Wakeup other;
        ChangeWaiter second(pIndex, &other);
        ASSERT_TRUE(second.WatchArrivals(mailDir.c_str(), ".msg"));
    }
    std::filesystem::rename(mailDir + "new.MSG", mailDir + "renamed.MSG");
    EXPECT_EQ(wakeup.Wait(10000), WAKE_CHANGE);
    EXPECT_TRUE(waiter.TakeArrival());
}

}  // namespace
