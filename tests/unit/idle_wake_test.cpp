// Waiting for news without looking: idling sessions share the process's one watch, and a change
// made between a look and the wait still wakes the waiter.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "imap/view.h"
#include "mail_session.h"
#include "platform/wake.h"
#include "store/mailbox_index.h"
#include "store/store.h"

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
    // nCount sessions that selected the inbox and idle there, each on a thread of its own.
    void StartIdlers(int nCount, std::vector<std::unique_ptr<OtherSession>>& idlers, std::vector<std::thread>& threads) {
        for (int i = 0; i < nCount; i++) {
            idlers.push_back(std::make_unique<OtherSession>(mailDir));
            idlers.back()->Run("s SELECT INBOX");
            snprintf(idlers.back()->session->szRecv, sizeof(idlers.back()->session->szRecv), "1 IDLE\r\n");
        }
        for (auto& idler : idlers) threads.emplace_back([&idler] { DispatchCommand(idler->session.get()); });
        for (auto& idler : idlers) EXPECT_EQ(idler->Await("+ idling\r\n"), "+ idling\r\n");
    }
    // Ends the IDLE that c's command, running on idler, is in.
    static void EndIdle(OtherSession& c, std::thread& idler) {
        ASSERT_EQ(write(c.peer, "DONE\r\n", 6), 6);
        idler.join();
        EXPECT_EQ(c.Await("completed\r\n"), "1 OK IDLE completed\r\n");
    }
};

TEST_F(IdleWake, IdlersShareOneKernelWatchAndAllHearOfADelivery) {
    std::vector<std::unique_ptr<OtherSession>> idlers;
    std::vector<std::thread> threads;
    StartIdlers(4, idlers, threads);
    // One instance for the whole process, however many sessions wait (the kernel allows 128 a user).
    EXPECT_LE(InotifyInstances(), 1);
    // Delivered into the mail directory: one of them takes it into the inbox, and every one is told.
    WriteFile(mailDir + "delivered.MSG", "Subject: new\r\n\r\nnew\r\n");
    for (auto& idler : idlers) EXPECT_EQ(idler->Await("RECENT\r\n").substr(0, 12), "* 5 EXISTS\r\n");
    for (size_t i = 0; i < idlers.size(); i++) EndIdle(*idlers[i], threads[i]);
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
    EndIdle(c, idler);
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
    waiter.ArrivalTaken();
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

// The companion's way of delivering: written under another name, renamed into place whole.
void Deliver(const std::string& mailDir, const std::string& name) {
    WriteFile(mailDir + name + ".tmp", "Subject: " + name + "\r\n\r\n" + name + "\r\n");
    std::filesystem::rename(mailDir + name + ".tmp", mailDir + name + ".MSG");
}

// How many of the waiters are told it is their turn to take a delivery in.
int Turns(std::vector<std::unique_ptr<ChangeWaiter>>& waiters) {
    int n = 0;
    for (auto& pWaiter : waiters) n += pWaiter != nullptr && pWaiter->TakeArrival();
    return n;
}

// Five sessions of one user idle on the inbox: a delivery is taken in by one of them, never by
// all five at once, and the others learn of it from the inbox itself.
TEST_F(IdleWake, OneWaiterAtATimeHasTheTurnToTakeADeliveryIn) {
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    constexpr int WAITERS = 3;
    Wakeup wakeups[WAITERS];
    std::vector<std::unique_ptr<ChangeWaiter>> waiters;
    for (Wakeup& wakeup : wakeups) {
        waiters.push_back(std::make_unique<ChangeWaiter>(pIndex, &wakeup));
        ASSERT_TRUE(waiters.back()->WatchArrivals(mailDir.c_str(), ".msg"));
    }
    // Events are read in order: once a rename in the inbox is seen, so is every delivery before it.
    Wakeup barrierWakeup;
    ChangeWaiter barrier(pIndex, &barrierWakeup);
    uint8_t fFlag = 0;
    auto deliverAndWait = [&](const std::string& name) {
        Deliver(mailDir, name);
        std::string from = box + "/0000000001-1000" + std::to_string(fFlag) + "0.MSG";
        fFlag ^= 1;
        std::filesystem::rename(from, box + "/0000000001-1000" + std::to_string(fFlag) + "0.MSG");
        ASSERT_EQ(barrierWakeup.Wait(10000), WAKE_CHANGE);
    };

    deliverAndWait("first");
    ChangeWaiter* pHolder = nullptr;
    for (auto& pWaiter : waiters) {
        if (pWaiter->TakeArrival()) {
            EXPECT_EQ(pHolder, nullptr) << "a second waiter was told";
            pHolder = pWaiter.get();
        }
    }
    ASSERT_NE(pHolder, nullptr);
    // What comes while the turn is used tells nobody else, and gives the holder one more turn.
    deliverAndWait("second");
    EXPECT_EQ(Turns(waiters), 0);
    pHolder->ArrivalTaken();
    EXPECT_TRUE(pHolder->TakeArrival());
    pHolder->ArrivalTaken();
    EXPECT_EQ(Turns(waiters), 0);

    // A waiter that ends before it uses its turn hands it on.
    deliverAndWait("third");
    size_t nHolder = WAITERS;
    for (size_t i = 0; i < waiters.size(); i++) {
        if (waiters[i]->TakeArrival()) nHolder = i;
    }
    ASSERT_LT(nHolder, waiters.size());
    waiters[nHolder].reset();
    EXPECT_EQ(Turns(waiters), 1);
}

// Four sessions idle on the inbox while the companion delivers and another session flags and
// expunges: each idler hears of each change once, and the delivery is taken in once.
TEST_F(IdleWake, EveryIdlerHearsOfEveryChangeOnce) {
    std::vector<std::unique_ptr<OtherSession>> idlers;
    std::vector<std::thread> threads;
    StartIdlers(4, idlers, threads);

    Deliver(mailDir, "delivered");
    // Which session holds a message as recent is the server's choice; the lines are not.
    const std::regex recentLine("\\* 5 EXISTS\r\n\\* [0-5] RECENT\r\n");
    for (auto& idler : idlers) {
        std::string told = idler->Await("RECENT\r\n");
        EXPECT_TRUE(std::regex_match(told, recentLine)) << told;
    }
    std::string messages;
    for (const auto& entry : std::filesystem::directory_iterator(box)) {
        if (entry.path().extension() == ".MSG") messages += entry.path().filename().string().substr(0, 10) + " ";
    }
    EXPECT_EQ(std::count(messages.begin(), messages.end(), ' '), 5) << messages;
    EXPECT_NE(messages.find("0000000005"), std::string::npos) << messages;

    OtherSession other{mailDir};
    other.Run("s SELECT INBOX");
    EXPECT_EQ(other.Run("f STORE 2 +FLAGS.SILENT (\\Flagged)"), "f OK STORE completed\r\n");
    const std::regex flagLine("\\* 2 FETCH \\(FLAGS \\((\\\\Recent )?\\\\Flagged( \\\\Recent)?\\)\\)\r\n");
    for (auto& idler : idlers) {
        std::string told = idler->Await("\r\n");
        EXPECT_TRUE(std::regex_match(told, flagLine)) << told;
    }
    other.Run("d STORE 3 +FLAGS.SILENT (\\Deleted)");
    EXPECT_EQ(other.Run("e EXPUNGE"), "* 3 EXPUNGE\r\ne OK EXPUNGE completed\r\n");
    // The flag may be seen before the message goes, or not at all.
    const std::regex expungeLine("(\\* 3 FETCH \\(FLAGS \\([^)]*\\)\\)\r\n)?\\* 3 EXPUNGE\r\n");
    for (auto& idler : idlers) {
        std::string told = idler->Await("EXPUNGE\r\n");
        EXPECT_TRUE(std::regex_match(told, expungeLine)) << told;
    }

    // Nothing told twice: DONE brings only the tagged answer.
    for (size_t i = 0; i < idlers.size(); i++) EndIdle(*idlers[i], threads[i]);
}

// A delivery that comes while another taker holds the mail directory's lock (the companion, or
// another session's import that listed the directory before it came) is taken in once it is free.
TEST_F(IdleWake, ADeliveryDuringAnotherImportIsTakenInLater) {
    OtherSession c{mailDir};
    c.Run("s SELECT INBOX");
    LockHandle hLock = LockMailDirectoryAt(mailDir.c_str());
    ASSERT_NE(hLock, INVALID_LOCK_HANDLE);
    snprintf(c.session->szRecv, sizeof(c.session->szRecv), "1 IDLE\r\n");
    std::thread idler([&] { DispatchCommand(c.session.get()); });
    EXPECT_EQ(c.Await("+ idling\r\n"), "+ idling\r\n");
    Deliver(mailDir, "while-locked");
    // Gives the idler time to find the lock taken; the order matters, not the time.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    UnLockMailDirectoryAt(mailDir.c_str(), hLock);
    EXPECT_EQ(c.Await("RECENT\r\n"), "* 5 EXISTS\r\n* 5 RECENT\r\n");
    EndIdle(c, idler);
}

// A session that looks at its mailbox while nothing changed neither reads the keyword state nor
// waits for its lock: thousands of idle sessions woken for other news look at little.
TEST_F(IdleWake, ALookWithNothingNewDoesNotWaitForTheStateLock) {
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    uint64_t ullHighest = pIndex->HighestModSeq();
    ASSERT_NE(ullHighest, 0u);
    // Held as another server would hold it while it writes.
    LockHandle hLock = TryLockPathExclusive((box + "/" + MOD_LOCK_NAME).c_str());
    ASSERT_NE(hLock, INVALID_LOCK_HANDLE);
    auto look = std::async(std::launch::async, [&] { return pIndex->HighestModSeq(); });
    bool bAnswered = look.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    UnlockPath(hLock);
    EXPECT_TRUE(bAnswered);
    EXPECT_EQ(look.get(), ullHighest);
    // A change it has not recorded yet does wait for the lock, and is recorded.
    pIndex->NoteFlags(2, FLAG_BIT_SEEN);
    EXPECT_GT(pIndex->HighestModSeq(), ullHighest);
}

}  // namespace
