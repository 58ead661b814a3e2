// The shared mailbox index against the directory it stands for, under changes made by other
// programs, with events and by polling; and a body sent from a file replaced meanwhile.
#include <poll.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "config/settings.h"
#include "mail_session.h"
#include "store/mailbox_index.h"

namespace {

std::string Names(const std::vector<IndexedMessage>& messages) {
    std::string all;
    for (const IndexedMessage& m : messages) {
        char szCode[7];
        FlagCodeOf(m.fFlags, szCode);
        all += (all.empty() ? "" : " ") + std::to_string(m.ulUid) + "-" + szCode;
    }
    return all;
}

class Index : public InboxSession, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        Settings.MailboxWatch = GetParam();
    }
    void TearDown() override {
        Settings.MailboxWatch = MAILBOX_WATCH_EVENTS;
        InboxSession::TearDown();
    }
    std::string File(uint32_t ulUid, const char* pszCode) const {
        char szPath[1024];
        EXPECT_TRUE(FormatMessagePath(szPath, sizeof(szPath), box.c_str(), ulUid, pszCode));
        return szPath;
    }
    // What the index holds, after a refresh, next to what the directory holds.
    std::string Held(MailboxIndex& index) {
        EXPECT_EQ(index.Refresh(), LIST_OK);
        std::vector<IndexedMessage> messages;
        uint64_t ullNow = 0;
        index.MessagesAbove(0, &messages, &ullNow);
        return Names(messages);
    }
    std::string OnDisk() const {
        std::vector<ListedMessage> listed;
        EXPECT_EQ(ListMessages(box.c_str(), &listed), LIST_OK);
        std::vector<IndexedMessage> messages;
        for (const ListedMessage& m : listed) messages.push_back(IndexedMessage{m.ulUid, m.fFlags, 0, 0, 0, 0, 0});
        return Names(messages);
    }
};

TEST_P(Index, FollowsEveryChangeAnotherProgramMakes) {
    Put("1-100000 2-100000 3-000010");
    MakeMailbox("elsewhere");
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    EXPECT_EQ(pIndex->Watched(), GetParam() == MAILBOX_WATCH_EVENTS);
    EXPECT_EQ(Held(*pIndex), "1-100000 2-100000 3-000010");
    // Another session opening the mailbox shares the index.
    ListResult again;
    EXPECT_EQ(MailboxIndex::Open(box.c_str(), &again), pIndex);

    uint64_t ullBefore = 0;
    std::vector<uint32_t> changed;
    std::vector<IndexedMessage> none;
    pIndex->MessagesAbove(UINT32_MAX, &none, &ullBefore);
    const std::vector<std::function<void()>> changes = {
        [&] { std::filesystem::rename(File(2, "100000"), File(2, "001010")); },               // flags
        [&] { std::filesystem::remove(File(1, "100000")); },                                  // expunged
        [&] { Put("7-100000"); },                                                              // delivered
        [&] { std::filesystem::rename(File(3, "000010"), Path("elsewhere") + "/3.MSG"); },   // moved away
        [&] { WriteFile(Path("elsewhere") + "/.t", "x"), std::filesystem::rename(Path("elsewhere") + "/.t", File(5, "000001")); },
        [&] { Put("4-000000"); },  // below the highest UID
    };
    for (size_t i = 0; i < changes.size(); i++) {
        changes[i]();
        EXPECT_EQ(Held(*pIndex), OnDisk()) << "change " << i;
    }
    uint64_t ullAfter = 0;
    ASSERT_TRUE(pIndex->ChangesSince(ullBefore, &changed, &ullAfter));
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    EXPECT_EQ(changed, (std::vector<uint32_t>{1, 2, 3, 4, 5, 7}));
    EXPECT_FALSE(pIndex->ChangesSince(ullAfter + 1, &changed, &ullAfter));

    // The directory itself removed: the index is empty and says so.
    std::filesystem::remove_all(box);
    EXPECT_EQ(pIndex->Refresh(), LIST_MISSING);
    IndexedMessage message;
    EXPECT_FALSE(pIndex->Find(2, &message));
}

// The index of a large mailbox is kept after its last session has gone and, kept, follows what
// other programs do meanwhile; only the few most recently opened are kept.
TEST_P(Index, ALargeMailboxIsKeptTrueAfterItsLastSession) {
    auto fill = [](const std::string& dir, uint32_t ulCount) {
        for (uint32_t ulUid = 1; ulUid <= ulCount; ulUid++) {
            char szPath[1024];
            ASSERT_TRUE(FormatMessagePath(szPath, sizeof(szPath), dir.c_str(), ulUid, "000000"));
            WriteFile(szPath, "Subject: x\r\n\r\nbody\r\n");
        }
    };
    fill(box, 1000);
    ListResult result;
    ASSERT_NE(MailboxIndex::Open(box.c_str(), &result), nullptr);
    ASSERT_EQ(result, LIST_OK);
    std::shared_ptr<MailboxIndex> pKept = MailboxIndex::FindOpen(box.c_str());
    ASSERT_NE(pKept, nullptr);
    pKept.reset();

    std::filesystem::remove(File(5, "000000"));
    std::filesystem::rename(File(7, "000000"), File(7, "000010"));
    Put("1001-100000");
    pKept = MailboxIndex::Open(box.c_str(), &result);
    EXPECT_EQ(Held(*pKept), OnDisk());
    pKept.reset();

    // A small mailbox is not kept; four large ones opened since push the first out.
    MakeMailbox("small");
    fill(Path("small"), 1);
    ASSERT_NE(MailboxIndex::Open(Path("small").c_str(), &result), nullptr);
    EXPECT_EQ(MailboxIndex::FindOpen(Path("small").c_str()), nullptr);
    for (int i = 0; i < 4; i++) {
        std::string other = Path("large" + std::to_string(i));
        MakeMailbox("large" + std::to_string(i));
        fill(other, 1000);
        ASSERT_NE(MailboxIndex::Open(other.c_str(), &result), nullptr);
        EXPECT_NE(MailboxIndex::FindOpen(other.c_str()), nullptr);
        EXPECT_EQ(MailboxIndex::FindOpen(box.c_str()) != nullptr, i < 3) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Watch, Index, ::testing::Values(MAILBOX_WATCH_EVENTS, MAILBOX_WATCH_POLL),
                         [](const auto& info) { return info.param == MAILBOX_WATCH_POLL ? "Poll" : "Events"; });

class IndexEvents : public InboxSession {};

// More events than the kernel queues: the ones after the overflow are lost, and only a new
// listing finds what they told.
TEST_F(IndexEvents, AnOverflowedQueueIsMadeGoodByAListing) {
    Put("1-000000 2-000000 3-000000");
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_TRUE(pIndex->Watched());
    int nQueued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> nQueued;
    std::string from = box + "/0000000001-000000.MSG", to = box + "/0000000001-000010.MSG";
    for (int i = 0; i <= nQueued / 2 + 1; i++) {
        std::filesystem::rename(from, to);
        std::swap(from, to);
    }
    std::filesystem::remove(box + "/0000000002-000000.MSG");
    Put("9-000100");
    std::vector<IndexedMessage> messages;
    uint64_t ullNow = 0;
    EXPECT_EQ(pIndex->Refresh(), LIST_OK);
    pIndex->MessagesAbove(0, &messages, &ullNow);
    std::vector<ListedMessage> listed;
    ASSERT_EQ(ListMessages(box.c_str(), &listed), LIST_OK);
    ASSERT_EQ(messages.size(), listed.size());
    for (size_t i = 0; i < listed.size(); i++) {
        EXPECT_EQ(messages[i].ulUid, listed[i].ulUid);
        EXPECT_EQ(messages[i].fFlags, listed[i].fFlags);
    }
}

// A listing is read without the lock; another session that takes in the directory's events
// meanwhile must not have them undone by the listing, which was read before they happened.
TEST_F(IndexEvents, ChangesTakenInDuringAListingOutliveIt) {
    Put("1-000000 2-000000 3-000000");
    MakeMailbox("other");
    ListResult result;
    std::shared_ptr<MailboxIndex> pOther = MailboxIndex::Open(Path("other").c_str(), &result);
    ASSERT_TRUE(pOther->Watched());
    std::shared_ptr<MailboxIndex> pIndex;
    for (bool bFirstListing : {true, false}) {
        SCOPED_TRACE(bFirstListing ? "first listing" : "listing after lost events");
        int nPaused = 0;
        MailboxIndex::SetListingHook([&](const char* pszMailbox) {
            if (box != pszMailbox || nPaused++ > 0) return;
            std::filesystem::remove(box + "/0000000002-000000.MSG");
            Put(bFirstListing ? "4-100000" : "5-100000");
            // The session on the other mailbox reads the one queue every directory shares.
            std::thread([&] { EXPECT_EQ(pOther->Refresh(), LIST_OK); }).join();
        });
        if (bFirstListing) {
            pIndex = MailboxIndex::Open(box.c_str(), &result);
        } else {
            Put("2-000000");
            ASSERT_EQ(pIndex->Refresh(), LIST_OK);
            // Too many events for the queue: the next refresh lists the directory again.
            int nQueued = 16384;
            std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> nQueued;
            WriteFile(box + "/.noise", "x");
            std::string from = box + "/.noise", to = box + "/.noise2";
            for (int i = 0; i <= nQueued / 2 + 1; i++) {
                std::filesystem::rename(from, to);
                std::swap(from, to);
            }
            std::filesystem::remove(from);
            EXPECT_EQ(pIndex->Refresh(), LIST_OK);
        }
        MailboxIndex::SetListingHook(nullptr);
        EXPECT_EQ(nPaused, 1);
        ASSERT_TRUE(pIndex->Watched());
        EXPECT_EQ(pIndex->Refresh(), LIST_OK);
        std::vector<IndexedMessage> messages;
        uint64_t ullNow = 0;
        pIndex->MessagesAbove(0, &messages, &ullNow);
        std::vector<ListedMessage> listed;
        ASSERT_EQ(ListMessages(box.c_str(), &listed), LIST_OK);
        ASSERT_EQ(messages.size(), listed.size());
        for (size_t i = 0; i < listed.size(); i++) EXPECT_EQ(messages[i].ulUid, listed[i].ulUid);
    }
}

// A second session opening the mailbox while the first lists it waits for that listing, rather
// than taking the index for an empty mailbox.
TEST_F(IndexEvents, ASessionOpeningAMailboxBeingListedWaitsForTheListing) {
    Put("1-000000 2-000000 3-000000");
    std::mutex mutex;
    std::condition_variable done;
    bool bDone = false;
    size_t nSeen = 99;
    std::thread second;
    MailboxIndex::SetListingHook([&](const char*) {
        if (second.joinable()) return;
        second = std::thread([&] {
            ListResult result;
            std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
            std::vector<IndexedMessage> messages;
            uint64_t ullNow = 0;
            pIndex->MessagesAbove(0, &messages, &ullNow);
            std::lock_guard<std::mutex> lock(mutex);
            nSeen = messages.size();
            bDone = true;
            done.notify_all();
        });
        // It cannot finish while this listing is held up: given a while, it must not have.
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_FALSE(done.wait_for(lock, std::chrono::milliseconds(500), [&] { return bDone; }));
    });
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    MailboxIndex::SetListingHook(nullptr);
    ASSERT_TRUE(second.joinable());
    second.join();
    EXPECT_EQ(nSeen, 3u);
}

TEST_F(IndexEvents, CachedTextIsBoundedAndForgottenWithItsContent) {
    Put("1-000000 2-000000 3-000000");
    Settings.IndexCacheLimit = 1;
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    const std::string big(400 * 1024, 'x');
    pIndex->KeepText(1, "ENVELOPE", CachedText{big, 0});
    pIndex->KeepText(2, "ENVELOPE", CachedText{big, 0});
    pIndex->KeepText(3, "BODY", CachedText{big, 0});
    EXPECT_LE(MailboxIndex::CachedTextBytes(), 1u << 20);
    CachedText text;
    EXPECT_FALSE(pIndex->FindText(1, "ENVELOPE", &text));  // the least recently used went first
    EXPECT_TRUE(pIndex->FindText(2, "ENVELOPE", &text));
    EXPECT_EQ(text.text, big);
    EXPECT_FALSE(pIndex->FindText(2, "BODY", &text));
    // The file written again: what was made from its old content is gone.
    WriteFile(box + "/0000000002-000000.MSG", "Subject: other\r\n\r\n");
    EXPECT_EQ(pIndex->Refresh(), LIST_OK);
    EXPECT_FALSE(pIndex->FindText(2, "ENVELOPE", &text));
    EXPECT_TRUE(pIndex->FindText(3, "BODY", &text));
    // Freed with the last session that holds it, cache and all.
    pIndex.reset();
    EXPECT_EQ(MailboxIndex::CachedTextBytes(), 0u);
    Settings.IndexCacheLimit = 0;
}

// Something kept that holds a given number of bytes.
struct Sized : KeptContent {
    explicit Sized(size_t nBytes) : nBytes(nBytes) {}
    size_t Cost() const override { return nBytes; }
    size_t nBytes;
};

// A message's parsed structure counts against the same bound as the texts, goes least recently
// used first, replaces what was kept under its key, and goes with the content it was made from.
TEST_F(IndexEvents, KeptContentIsBoundedAndForgottenWithItsFile) {
    Put("1-000000 2-000000 3-000000");
    Settings.IndexCacheLimit = 1;
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    pIndex->KeepContent(1, "tree", std::make_shared<Sized>(400 * 1024));
    pIndex->KeepContent(2, "tree", std::make_shared<Sized>(400 * 1024));
    pIndex->KeepContent(3, "scan", std::make_shared<Sized>(400 * 1024));
    EXPECT_LE(MailboxIndex::CachedTextBytes(), 1u << 20);
    EXPECT_GE(MailboxIndex::CachedTextBytes(), 800u * 1024);
    std::shared_ptr<const KeptContent> pContent;
    EXPECT_FALSE(pIndex->FindContent(1, "tree", &pContent));
    EXPECT_TRUE(pIndex->FindContent(2, "tree", &pContent));
    EXPECT_FALSE(pIndex->FindContent(2, "other", &pContent));
    size_t nBefore = MailboxIndex::CachedTextBytes();
    auto pNew = std::make_shared<Sized>(400 * 1024);
    pIndex->KeepContent(2, "tree", pNew);
    EXPECT_EQ(MailboxIndex::CachedTextBytes(), nBefore);
    ASSERT_TRUE(pIndex->FindContent(2, "tree", &pContent));
    EXPECT_EQ(pContent, pNew);
    // More than the whole bound is not kept, and drops nothing else.
    pIndex->KeepContent(1, "tree", std::make_shared<Sized>(2u << 20));
    EXPECT_FALSE(pIndex->FindContent(1, "tree", &pContent));
    EXPECT_EQ(MailboxIndex::CachedTextBytes(), nBefore);
    // The file written again: what was made from its old content is gone.
    WriteFile(box + "/0000000002-000000.MSG", "Subject: other\r\n\r\n");
    EXPECT_EQ(pIndex->Refresh(), LIST_OK);
    EXPECT_FALSE(pIndex->FindContent(2, "tree", &pContent));
    EXPECT_TRUE(pIndex->FindContent(3, "scan", &pContent));
    pIndex.reset();
    EXPECT_EQ(MailboxIndex::CachedTextBytes(), 0u);
    Settings.IndexCacheLimit = 0;
}

// A walk over every message of a mailbox whose kept entries do not all fit (a SEARCH FROM
// repeated over a large mailbox) finds those that fit on its next pass, instead of each one pushed
// out just before it was asked for; entries of another kind still push them out, oldest first.
TEST_F(IndexEvents, ARepeatedWalkLargerThanTheBoundFindsWhatFits) {
    std::string names;
    for (int i = 1; i <= 10; i++) names += std::to_string(i) + "-000000 ";
    Put(names);
    Settings.IndexCacheLimit = 1;
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    auto walk = [&] {
        int nFound = 0;
        for (uint32_t ulUid = 1; ulUid <= 10; ulUid++) {
            std::shared_ptr<const KeptContent> pContent;
            if (pIndex->FindContent(ulUid, "keys", &pContent)) {
                nFound++;
            } else {
                pIndex->KeepContent(ulUid, "keys", std::make_shared<Sized>(200 * 1024));
            }
        }
        return nFound;
    };
    EXPECT_EQ(walk(), 0);
    EXPECT_LE(MailboxIndex::CachedTextBytes(), 1u << 20);
    EXPECT_EQ(walk(), 5);  // five of 200 KB and their bookkeeping fit in 1 MB
    EXPECT_EQ(walk(), 5);
    std::shared_ptr<const KeptContent> pContent;
    pIndex->KeepContent(9, "tree", std::make_shared<Sized>(300 * 1024));
    EXPECT_TRUE(pIndex->FindContent(9, "tree", &pContent));
    EXPECT_FALSE(pIndex->FindContent(1, "keys", &pContent));
    EXPECT_FALSE(pIndex->FindContent(2, "keys", &pContent));
    EXPECT_TRUE(pIndex->FindContent(4, "keys", &pContent));
    EXPECT_LE(MailboxIndex::CachedTextBytes(), 1u << 20);
    pIndex.reset();
    EXPECT_EQ(MailboxIndex::CachedTextBytes(), 0u);
    Settings.IndexCacheLimit = 0;
}

// Answers made from the content are kept: the same bytes again, until the file is written anew.
TEST_F(IndexEvents, KeptAnswersAreTheFilesAndFollowItsChanges) {
    Settings.IndexCacheLimit = 1;
    WriteFile(box + "/0000000001-000000.MSG", "From: Ann <a@x.org>\r\nSubject: one\r\nTo: b@y.org\r\n\r\nbody\r\n");
    session->State = Imap4Authorization;
    Run("s SELECT INBOX");
    const std::string fetch = "1 FETCH 1 (ENVELOPE BODY.PEEK[HEADER.FIELDS (SUBJECT TO)]<2.9> BODYSTRUCTURE RFC822.HEADER)";
    std::string first = Run(fetch);
    EXPECT_NE(first.find("BODY[HEADER.FIELDS (SUBJECT TO)]<2> {9}\r\nbject: on BODYSTRUCTURE"), std::string::npos) << first;
    EXPECT_GT(MailboxIndex::CachedTextBytes(), 0u);
    EXPECT_EQ(Run(fetch), first);
    std::filesystem::rename(box + "/0000000001-000000.MSG", box + "/0000000001-000010.MSG");
    // A flag change elsewhere keeps them; it is told after the answer.
    std::string told = first;
    told.insert(told.rfind("1 OK"), "* 1 FETCH (FLAGS (\\Seen))\r\n");
    EXPECT_EQ(Run(fetch), told);
    WriteFile(box + "/0000000001-000010.MSG", "Subject: two\r\n\r\n");
    std::string changed = Run(fetch);
    EXPECT_NE(changed.find("{9}\r\nbject: tw BODYSTRUCTURE"), std::string::npos) << changed;
    EXPECT_EQ(Run(fetch), changed);
    Settings.IndexCacheLimit = 0;
}

// A body leaves from the file as it was opened: a rename of another file over its name while it
// is being sent changes nothing of what the client receives.
TEST_F(IndexEvents, ABodyIsSentWholeFromAFileReplacedWhileItGoes) {
    std::string message = "Subject: big\r\n\r\n";
    for (int i = 0; message.size() < (4u << 20); i++) message += "line " + std::to_string(i) + "\r\n";
    WriteFile(box + "/0000000001-000010.MSG", message);
    session->State = Imap4Authorization;
    Run("s SELECT INBOX");
    snprintf(session->szRecv, sizeof(session->szRecv), "1 FETCH 1 BODY.PEEK[]<3.%zu>\r\n", message.size());
    std::thread sender([&] { DispatchCommand(session.get()); });
    std::string out;
    char buf[65536];
    // The first bytes arrive, the socket fills, and the sender waits for the client to read.
    while (out.size() < 100000) {
        ssize_t n = read(peer, buf, sizeof(buf));
        ASSERT_GT(n, 0);
        out.append(buf, static_cast<size_t>(n));
    }
    WriteFile(box + "/.replacement", std::string(message.size(), 'z'));
    std::filesystem::rename(box + "/.replacement", box + "/0000000001-000010.MSG");
    struct pollfd fd = {peer, POLLIN, 0};
    while (!out.ends_with("completed\r\n") && poll(&fd, 1, 5000) > 0) {
        ssize_t n = read(peer, buf, sizeof(buf));
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    sender.join();
    EXPECT_EQ(out, "* 1 FETCH (BODY[]<3> {" + std::to_string(message.size() - 3) + "}\r\n" + message.substr(3) +
                       ")\r\n1 OK FETCH completed\r\n");
}

}  // namespace
