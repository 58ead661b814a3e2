// The shared mailbox indexes, their change events, and the text cached from message content.
#include "store/mailbox_index.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "config/settings.h"
#include "platform/dir_watch.h"
#include "platform/text.h"
#include "platform/wake.h"
#include "store/mod_file.h"

namespace {

// Changes kept for ChangesSince; a session further behind compares everything once.
constexpr size_t CHANGE_LOG_LIMIT = 8192;
// The directory's change time is kept coarsely: it is trusted only for a listing taken a while
// after the change it shows.
constexpr uint64_t STAMP_GRAIN = 1000000000ull;
// What one cached text costs beyond its bytes: list node, strings, map slot.
constexpr size_t TEXT_OVERHEAD = 128;

struct TextEntry {
    MailboxIndex::State* pOwner;
    uint32_t ulUid;
    std::string key;
    CachedText text;
    std::shared_ptr<const KeptContent> pContent;
    size_t nContentCost;
};

// A rename away from a watched directory, waiting for its other half.
struct PendingMove {
    MailboxIndex::State* pState;
    uint32_t ulUid;
    uint8_t fFlags;
    uint32_t ulCookie;
};

size_t TextCost(const TextEntry& entry) {
    return entry.key.size() + entry.text.text.size() + entry.nContentCost + TEXT_OVERHEAD;
}

// What one event, or a look at the disk, says of a message: resolved before it is applied, so that
// it can wait while the index is being listed.
struct IndexChange {
    uint32_t ulUid;
    uint8_t fFlags;
    bool bRemoveName;   // the UID's file under fFlags went away; else the UID is under fFlags now
    uint8_t fState;     // for an upsert
    bool bSameContent;  // for an upsert: a rename of the file it had
};

}  // namespace

// Each index has its own lock: sessions on different mailboxes never wait for each other, and
// none waits while a directory is read.
struct MailboxIndex::State {
    std::string path;
    std::weak_ptr<MailboxIndex> self;
    std::mutex mutex;
    std::condition_variable listed;  // a listing has ended
    std::atomic<int> wd{-1};         // written with the registry locked too
    // Other machines change the directory too (a network or cluster file system): its change time
    // is looked at even while the events tell of this machine's changes.
    bool bStampToo = false;
    bool bRelist = true;
    bool bMissing = false;
    // Set while the directory is being read: changes taken in meanwhile wait in deferred, and are
    // applied after the listing is merged, which would otherwise undo them.
    bool bListing = false;
    std::vector<IndexChange> deferred;
    std::vector<IndexedMessage> messages;  // UID order; INDEXED_REMOVED entries until compacted
    size_t nRemoved = 0;
    uint32_t ulHighestUid = 0;  // the highest UID ever held, removed ones included
    uint64_t ullGeneration = 0;
    std::vector<std::pair<uint64_t, uint32_t>> log;  // (generation, UID), oldest first
    uint64_t ullLogFloor = 0;                        // changes after this one are all in the log
    bool bStampKnown = false;
    uint64_t ullStamp = 0;
    uint64_t ullListedAt = 0;
    // Guarded by the registry's text lock, not by mutex: the cache drops other indexes' texts.
    std::unordered_map<uint32_t, std::vector<std::list<TextEntry>::iterator>> texts;
    ModState mod;  // keywords and modification sequences (mod_state.cpp)
    std::vector<Wakeup*> waiters;  // sessions waiting for news of it (ChangeWaiter)
    std::shared_ptr<const KeptContent> sharedView;
};

// Deliveries into one directory that sessions wait for; guarded by the registry's lock. Five
// sessions of one user idling on the inbox would each copy the same delivery, or find the
// directory locked by the one that does: one waiter at a time has the turn to take it in, and
// its rename into the inbox wakes every waiter of the inbox's index.
struct ChangeWaiter::Arrivals {
    std::string suffix;
    std::atomic<int> wd{-1};  // read without the lock by Complete
    std::vector<ChangeWaiter*> waiters;
    uint64_t ullCount = 0;           // arrivals seen, events lost counted as one
    ChangeWaiter* pTurn = nullptr;   // told of the turn, or taking it in
    size_t nNext = 0;                // turns go round, so that no one session does all the work
    void Signal() {
        ullCount++;
        if (pTurn == nullptr) GiveTurn(nullptr);
    }
    // To a waiter other than pLeaving, if there is one.
    void GiveTurn(const ChangeWaiter* pLeaving) {
        pTurn = nullptr;
        for (size_t i = 0; i < waiters.size() && pTurn == nullptr; i++) {
            ChangeWaiter* pWaiter = waiters[nNext++ % waiters.size()];
            if (pWaiter != pLeaving) pTurn = pWaiter;
        }
        if (pTurn == nullptr) return;
        pTurn->m_bArrived = true;
        pTurn->m_pWakeup->Signal(WAKE_CHANGE);
    }
};

namespace {

// Lock order: the registry, then an index, then the text cache. A thread holding an index's lock
// never takes the registry's.
struct Registry {
    std::mutex mutex;  // the maps below, the watcher and reading its queue
    EntryWatcher watcher;
    std::map<std::string, std::weak_ptr<MailboxIndex>> byPath;
    std::unordered_map<int, MailboxIndex::State*> byWatch;
    std::set<MailboxIndex::State*> states;
    std::map<std::string, ChangeWaiter::Arrivals> arrivals;  // by directory
    std::unordered_map<int, ChangeWaiter::Arrivals*> arrivalsByWatch;
    // Whether the readiness thread reads the events while sessions wait (0: not asked yet).
    std::atomic<int> nEventsRead{0};
    // Threads reading events or applying what they read; while none is, an empty queue means
    // that every change the kernel told of is in the indexes.
    std::atomic<int> nDraining{0};
    // Indexes of large mailboxes kept after their last session, most recently opened first, with
    // when that was (steady clock, seconds).
    std::deque<std::pair<std::shared_ptr<MailboxIndex>, int64_t>> kept;
    std::mutex textMutex;      // lru, nTextBytes and every State::texts
    std::list<TextEntry> lru;  // most recently used first
    size_t nTextBytes = 0;
};

// The indexes are shared by every session thread of the process; so are the watch and the cache.
// Never destroyed: the readiness thread may still read the watch's events while the process exits.
Registry& TheRegistry() {
    static Registry* pRegistry = new Registry;
    return *pRegistry;
}

struct ListingHookSlot {
    std::mutex mutex;
    std::function<void(const char*)> fnHook;
};
ListingHookSlot& TheListingHook() {
    static ListingHookSlot slot;
    return slot;
}
void CallListingHook(const char* pszMailbox) {
    ListingHookSlot& slot = TheListingHook();
    std::function<void(const char*)> fnHook;
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        fnHook = slot.fnHook;
    }
    if (fnHook) fnHook(pszMailbox);
}

bool PollOnly() { return Settings.MailboxWatch == MAILBOX_WATCH_POLL; }

size_t TextLimit() { return static_cast<size_t>(Settings.IndexCacheLimit) << 20; }

// With the index locked.
void WakeWaiters(MailboxIndex::State& s) {
    for (Wakeup* pWakeup : s.waiters) pWakeup->Signal(WAKE_CHANGE);
}

void LogChange(MailboxIndex::State& s, uint32_t ulUid) {
    WakeWaiters(s);
    NoteModChange(s.mod, ulUid);
    s.log.emplace_back(++s.ullGeneration, ulUid);
    if (s.log.size() > CHANGE_LOG_LIMIT) {
        s.log.erase(s.log.begin(), s.log.begin() + static_cast<std::ptrdiff_t>(CHANGE_LOG_LIMIT / 2));
        s.ullLogFloor = s.log.front().first - 1;
    }
}

// With the text lock held.
void DropTextsLocked(Registry& r, MailboxIndex::State& s, uint32_t ulUid) {
    auto it = s.texts.find(ulUid);
    if (it == s.texts.end()) return;
    for (auto entry : it->second) {
        r.nTextBytes -= TextCost(*entry);
        r.lru.erase(entry);
    }
    s.texts.erase(it);
}

void DropTexts(Registry& r, MailboxIndex::State& s, uint32_t ulUid) {
    std::lock_guard<std::mutex> lock(r.textMutex);
    DropTextsLocked(r, s, ulUid);
}

void DropAllTexts(Registry& r, MailboxIndex::State& s) {
    std::lock_guard<std::mutex> lock(r.textMutex);
    while (!s.texts.empty()) DropTextsLocked(r, s, s.texts.begin()->first);
}

IndexedMessage* FindEntry(MailboxIndex::State& s, uint32_t ulUid) {
    auto it = std::lower_bound(s.messages.begin(), s.messages.end(), ulUid,
                               [](const IndexedMessage& m, uint32_t u) { return m.ulUid < u; });
    return it != s.messages.end() && it->ulUid == ulUid ? &*it : nullptr;
}

// Records a name for the UID. bSameContent: a rename of the file it had, so what its content
// gave stays true. With the index locked, as every function below that takes a State.
void Upsert(Registry& r, MailboxIndex::State& s, uint32_t ulUid, uint8_t fFlags, uint8_t fState, bool bSameContent) {
    s.ulHighestUid = std::max(s.ulHighestUid, ulUid);
    IndexedMessage* p = FindEntry(s, ulUid);
    if (p == nullptr) {
        IndexedMessage message{ulUid, fFlags, fState, 0, 0, 0, 0};
        if (s.messages.empty() || s.messages.back().ulUid < ulUid) {
            s.messages.push_back(message);
        } else {
            auto it = std::lower_bound(s.messages.begin(), s.messages.end(), ulUid,
                                       [](const IndexedMessage& m, uint32_t u) { return m.ulUid < u; });
            s.messages.insert(it, message);
        }
        DropTexts(r, s, ulUid);
        LogChange(s, ulUid);
        return;
    }
    bool bWasRemoved = (p->fState & INDEXED_REMOVED) != 0;
    if (bWasRemoved) s.nRemoved--;
    if (bWasRemoved || !bSameContent) {
        p->fState = fState;
        DropTexts(r, s, ulUid);
    } else {
        p->fState = static_cast<uint8_t>((p->fState & ~INDEXED_WRITING) | fState);
    }
    if (bWasRemoved || p->fFlags != fFlags) LogChange(s, ulUid);
    p->fFlags = fFlags;
}

void Remove(Registry& r, MailboxIndex::State& s, uint32_t ulUid) {
    IndexedMessage* p = FindEntry(s, ulUid);
    if (p == nullptr || (p->fState & INDEXED_REMOVED)) return;
    p->fState = INDEXED_REMOVED;
    s.nRemoved++;
    DropTexts(r, s, ulUid);
    LogChange(s, ulUid);
}

// A file of the UID under these flags went away: the message is gone only if that was its name.
void RemoveName(Registry& r, MailboxIndex::State& s, uint32_t ulUid, uint8_t fFlags) {
    IndexedMessage* p = FindEntry(s, ulUid);
    if (p != nullptr && !(p->fState & INDEXED_REMOVED) && p->fFlags == fFlags) Remove(r, s, ulUid);
}

void ApplyNow(Registry& r, MailboxIndex::State& s, const IndexChange& change) {
    if (change.bRemoveName) {
        RemoveName(r, s, change.ulUid, change.fFlags);
    } else {
        Upsert(r, s, change.ulUid, change.fFlags, change.fState, change.bSameContent);
    }
}

void Apply(Registry& r, MailboxIndex::State& s, const IndexChange& change) {
    if (s.bListing) {
        s.deferred.push_back(change);
    } else {
        ApplyNow(r, s, change);
    }
}

// Locks the index for one change taken from the queue.
void ApplyLocking(Registry& r, MailboxIndex::State& s, const IndexChange& change) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Apply(r, s, change);
}

void Compact(MailboxIndex::State& s) {
    if (s.nRemoved == 0) return;
    s.messages.erase(std::remove_if(s.messages.begin(), s.messages.end(),
                                    [](const IndexedMessage& m) { return (m.fState & INDEXED_REMOVED) != 0; }),
                     s.messages.end());
    s.nRemoved = 0;
}

void MarkRelist(MailboxIndex::State& s) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.bRelist = true;
    WakeWaiters(s);
}

bool EndsWithNoCase(const char* pszName, const std::string& suffix) {
    size_t nName = strlen(pszName);
    return nName >= suffix.size() && StrNICmp(pszName + nName - suffix.size(), suffix.c_str(), suffix.size()) == 0;
}

// An event of a directory watched for deliveries. With the registry locked.
void ApplyArrivalEvent(Registry& r, ChangeWaiter::Arrivals& arrivals, EntryChange change, const char* pszName) {
    if (change == ENTRY_DIRECTORY_GONE) {
        r.watcher.Unwatch(arrivals.wd);
        r.arrivalsByWatch.erase(arrivals.wd);
        arrivals.wd = -1;
        arrivals.Signal();
    } else if ((change == ENTRY_WRITTEN || change == ENTRY_MOVED_IN) && EndsWithNoCase(pszName, arrivals.suffix)) {
        // Only a file closed after writing or renamed in is whole: an import would copy half a file.
        arrivals.Signal();
    }
}

// With the registry locked.
void ApplyEvent(Registry& r, std::vector<PendingMove>& pending, int wd, EntryChange change, const char* pszName,
                uint32_t ulCookie) {
    if (change == ENTRY_EVENTS_LOST) {
        for (MailboxIndex::State* pState : r.states) MarkRelist(*pState);
        for (auto& [path, arrivals] : r.arrivals) arrivals.Signal();
        return;
    }
    auto arrivals = r.arrivalsByWatch.find(wd);
    if (arrivals != r.arrivalsByWatch.end()) ApplyArrivalEvent(r, *arrivals->second, change, pszName);
    auto found = r.byWatch.find(wd);
    if (found == r.byWatch.end()) return;
    MailboxIndex::State& s = *found->second;
    if (change == ENTRY_DIRECTORY_GONE) {
        // A watch that followed its directory elsewhere would go on reporting from there.
        r.watcher.Unwatch(wd);
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.bRelist = true;
            s.wd = -1;
            WakeWaiters(s);
        }
        r.byWatch.erase(found);
        return;
    }
    // Keywords another process set change only the state file: a waiter looks at it again.
    if ((change == ENTRY_WRITTEN || change == ENTRY_MOVED_IN) && strcmp(pszName, MOD_STATE_NAME) == 0) {
        std::lock_guard<std::mutex> lock(s.mutex);
        WakeWaiters(s);
        return;
    }
    ListedMessage named;
    bool bMessage = ReadMessageName(pszName, &named);
    switch (change) {
        case ENTRY_CREATED:
            if (bMessage) ApplyLocking(r, s, IndexChange{named.ulUid, named.fFlags, false, INDEXED_WRITING, false});
            break;
        case ENTRY_WRITTEN:
            if (bMessage) ApplyLocking(r, s, IndexChange{named.ulUid, named.fFlags, false, 0, false});
            break;
        case ENTRY_MOVED_OUT:
            if (bMessage) pending.push_back(PendingMove{&s, named.ulUid, named.fFlags, ulCookie});
            break;
        case ENTRY_MOVED_IN: {
            bool bSameContent = false;
            auto it = std::find_if(pending.begin(), pending.end(),
                                   [&](const PendingMove& move) { return move.ulCookie == ulCookie; });
            if (it != pending.end()) {
                bSameContent = bMessage && it->pState == &s && it->ulUid == named.ulUid;
                if (!bSameContent) ApplyLocking(r, *it->pState, IndexChange{it->ulUid, it->fFlags, true, 0, false});
                pending.erase(it);
            }
            if (bMessage) ApplyLocking(r, s, IndexChange{named.ulUid, named.fFlags, false, 0, bSameContent});
            break;
        }
        case ENTRY_DELETED:
            if (bMessage) ApplyLocking(r, s, IndexChange{named.ulUid, named.fFlags, true, 0, false});
            break;
        default:
            break;
    }
}

// The ChangeWaiters of this thread.
thread_local int t_nWaiters = 0;

// Takes in every queued event of every watched directory. Called with no lock held.
void Drain(Registry& r) {
    // Thousands of idle sessions woken at once each look at their mailbox: most find nothing
    // queued, and must not queue up for the registry's lock to learn it. The queue is asked
    // first: a reader that emptied it before is still counted in nDraining until it has applied
    // what it read, and is waited for; though not by a thread that waits for news (IDLE), whom
    // each change that reader applies wakes again.
    if (!r.watcher.Queued() && (r.nDraining.load() == 0 || t_nWaiters > 0)) return;
    r.nDraining++;
    struct Done {
        Registry& r;
        ~Done() { r.nDraining--; }
    } done{r};
    std::vector<PendingMove> pending;
    // What is still unpaired is looked up on the disk, each index kept alive meanwhile.
    std::vector<std::pair<std::shared_ptr<MailboxIndex>, PendingMove>> unpaired;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto apply = [&](int wd, EntryChange change, const char* pszName, uint32_t ulCookie) {
            ApplyEvent(r, pending, wd, change, pszName, ulCookie);
        };
        r.watcher.Drain(apply);
        if (pending.empty()) return;
        // A rename's two halves are queued one after the other; a read may fall between them.
        r.watcher.Drain(apply);
        for (const PendingMove& move : pending) {
            std::shared_ptr<MailboxIndex> pIndex = move.pState->self.lock();
            if (pIndex != nullptr) unpaired.emplace_back(std::move(pIndex), move);
        }
    }
    // What is still unpaired left the directory, or was renamed in a way the events do not
    // show: the disk says which. Asked by name, twice, never by a listing; and with only that
    // index locked, so that what it finds is newer than any change applied to it before.
    for (const auto& [pIndex, move] : unpaired) {
        MailboxIndex::State& s = *move.pState;
        std::lock_guard<std::mutex> lock(s.mutex);
        uint8_t fFlags = 0;
        const char* pszPath = s.path.c_str();
        if (ProbeMessageFlags(pszPath, move.ulUid, &fFlags) || ProbeMessageFlags(pszPath, move.ulUid, &fFlags)) {
            Apply(r, s, IndexChange{move.ulUid, fFlags, false, 0, true});
        } else {
            Apply(r, s, IndexChange{move.ulUid, move.fFlags, true, 0, false});
        }
    }
}

// Replaces what the index holds with a listing, counting a change for every UID that differs.
void Merge(Registry& r, MailboxIndex::State& s, const std::vector<ListedMessage>& listed) {
    Compact(s);
    if (!listed.empty()) s.ulHighestUid = std::max(s.ulHighestUid, listed.back().ulUid);
    if (s.ullGeneration == 0 && s.messages.empty()) {
        // The first listing: no view has seen anything older to compare.
        s.messages.reserve(listed.size());
        for (const ListedMessage& entry : listed) s.messages.push_back(IndexedMessage{entry.ulUid, entry.fFlags, 0, 0, 0, 0, 0});
        s.ullGeneration = s.ullLogFloor = 1;
        return;
    }
    std::vector<IndexedMessage> merged;
    merged.reserve(listed.size());
    auto old = s.messages.begin();
    for (const ListedMessage& entry : listed) {
        for (; old != s.messages.end() && old->ulUid < entry.ulUid; ++old) {
            DropTexts(r, s, old->ulUid);
            LogChange(s, old->ulUid);
        }
        if (old != s.messages.end() && old->ulUid == entry.ulUid) {
            IndexedMessage kept = *old++;
            if (kept.fFlags != entry.fFlags) LogChange(s, entry.ulUid);
            kept.fFlags = entry.fFlags;
            merged.push_back(kept);
        } else {
            merged.push_back(IndexedMessage{entry.ulUid, entry.fFlags, 0, 0, 0, 0, 0});
            LogChange(s, entry.ulUid);
        }
    }
    for (; old != s.messages.end(); ++old) {
        DropTexts(r, s, old->ulUid);
        LogChange(s, old->ulUid);
    }
    s.messages.swap(merged);
}

}  // namespace

MailboxIndex::MailboxIndex(const char* pszMailbox) : m_path(pszMailbox), m_pState(new State) {
    m_pState->path = pszMailbox;
}

MailboxIndex::~MailboxIndex() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byPath.find(m_path);
    if (it != r.byPath.end() && it->second.expired()) r.byPath.erase(it);
    auto watch = r.byWatch.find(m_pState->wd);
    if (watch != r.byWatch.end() && watch->second == m_pState.get()) {
        r.watcher.Unwatch(m_pState->wd);
        r.byWatch.erase(watch);
    }
    DropAllTexts(r, *m_pState);
    r.states.erase(m_pState.get());
}

namespace {

// Listing this many message files is what a session would wait for; fewer are listed quickly.
constexpr size_t INDEX_KEEP_FROM = 1000;
constexpr size_t INDEX_KEEP_COUNT = 4;
constexpr int64_t INDEX_KEEP_SECONDS = 600;

int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void KeepAfterLastSession(Registry& r, const std::shared_ptr<MailboxIndex>& pIndex) {
    // Released after the registry's lock: the last reference's destructor takes it.
    std::vector<std::shared_ptr<MailboxIndex>> dropped;
    int64_t llNow = SteadySeconds();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (auto it = r.kept.begin(); it != r.kept.end();) {
            if (it->first == pIndex || llNow - it->second > INDEX_KEEP_SECONDS) {
                dropped.push_back(std::move(it->first));
                it = r.kept.erase(it);
            } else {
                ++it;
            }
        }
        r.kept.emplace_front(pIndex, llNow);
        while (r.kept.size() > INDEX_KEEP_COUNT) {
            dropped.push_back(std::move(r.kept.back().first));
            r.kept.pop_back();
        }
    }
}

}  // namespace

std::shared_ptr<MailboxIndex> MailboxIndex::Open(const char* pszMailbox, ListResult* pResult) {
    Registry& r = TheRegistry();
    std::shared_ptr<MailboxIndex> pIndex;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        std::weak_ptr<MailboxIndex>& slot = r.byPath[pszMailbox];
        pIndex = slot.lock();
        if (pIndex == nullptr) {
            pIndex.reset(new MailboxIndex(pszMailbox));
            pIndex->m_pState->bStampToo = Settings.MailboxWatch == MAILBOX_WATCH_AUTO && MailboxPollMilliseconds(pszMailbox) != 0;
            slot = pIndex;
            pIndex->m_pState->self = pIndex;
            r.states.insert(pIndex->m_pState.get());
        }
    }
    *pResult = pIndex->Refresh();
    if (*pResult == LIST_OK) {
        size_t nMessages;
        {
            std::lock_guard<std::mutex> lock(pIndex->m_pState->mutex);
            nMessages = pIndex->m_pState->messages.size() - pIndex->m_pState->nRemoved;
        }
        if (nMessages >= INDEX_KEEP_FROM) KeepAfterLastSession(r, pIndex);
    }
    return pIndex;
}

std::shared_ptr<MailboxIndex> MailboxIndex::FindOpen(const char* pszMailbox) {
    Registry& r = TheRegistry();
    std::shared_ptr<MailboxIndex> pIndex;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto found = r.byPath.find(pszMailbox);
        if (found != r.byPath.end()) pIndex = found->second.lock();
    }
    // A directory that cannot be read now is answered from a listing, which says so.
    if (pIndex != nullptr && pIndex->Refresh() == LIST_FAILED) pIndex.reset();
    return pIndex;
}

ListResult MailboxIndex::Refresh() {
    Registry& r = TheRegistry();
    State& s = *m_pState;
    uint64_t ullStamp = 0;
    bool bStamp = false;
    Drain(r);
    for (;;) {
        {
            // Another session listing it now brings it up to date for this one too.
            std::unique_lock<std::mutex> lock(s.mutex);
            s.listed.wait(lock, [&] { return !s.bListing; });
            if (s.wd >= 0 && !s.bRelist && !s.bStampToo) {
                Compact(s);
                return LIST_OK;
            }
        }
        std::lock_guard<std::mutex> registryLock(r.mutex);
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.bListing) continue;
        if (s.wd >= 0 && !s.bRelist && !s.bStampToo) {
            Compact(s);
            return LIST_OK;
        }
        if (s.wd < 0 && !PollOnly()) {
            // Watched before it is listed, so that nothing changed meanwhile is missed.
            int wd = r.watcher.Watch(s.path.c_str());
            if (wd >= 0) {
                // A directory has one watch: an index of it that is being freed gives it up.
                MailboxIndex::State*& pHolder = r.byWatch[wd];
                if (pHolder != nullptr && pHolder != &s) pHolder->wd = -1;
                pHolder = &s;
                s.wd = wd;
            }
        }
        if (s.wd < 0 || s.bStampToo) {
            bStamp = DirectoryChangeStamp(s.path.c_str(), &ullStamp);
            if (!s.bRelist && bStamp && s.bStampKnown && ullStamp == s.ullStamp &&
                s.ullListedAt > ullStamp + STAMP_GRAIN) {
                Compact(s);
                return s.bMissing ? LIST_MISSING : LIST_OK;
            }
        }
        s.bRelist = false;
        s.bListing = true;
        break;
    }
    // Listed with no lock held: sessions on this mailbox that need no listing, and those on every
    // other mailbox, go on meanwhile; what changes now is applied after the merge.
    uint64_t ullListedAt = WallClockNanoseconds();
    std::vector<ListedMessage> listed;
    size_t nTemporaries = 0;
    ListResult result = ListMessages(s.path.c_str(), &listed, &nTemporaries);
    // What a crash left half made is swept when the listing passes it.
    if (nTemporaries > 0) RemoveStaleTemporaries(s.path.c_str(), STALE_TEMPORARY_AGE);
    CallListingHook(s.path.c_str());
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (result == LIST_FAILED) {
            // A directory that cannot be read now says nothing about its messages.
            s.bRelist = true;
        } else {
            s.bMissing = result == LIST_MISSING;
            if (s.bMissing) s.ulHighestUid = 0;
            s.bStampKnown = bStamp && result == LIST_OK;
            s.ullStamp = ullStamp;
            s.ullListedAt = ullListedAt;
            Merge(r, s, listed);
        }
        s.bListing = false;
        for (const IndexChange& change : s.deferred) ApplyNow(r, s, change);
        s.deferred.clear();
        Compact(s);
    }
    s.listed.notify_all();
    if (result != LIST_FAILED) Drain(r);
    return result;
}

bool MailboxIndex::Watched() const {
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->wd >= 0 && !m_pState->bRelist && !m_pState->bStampToo;
}

uint32_t MailboxPollMilliseconds(const char* pszMailbox) {
    bool bPolled = Settings.MailboxWatch == MAILBOX_WATCH_POLL ||
                   (Settings.MailboxWatch == MAILBOX_WATCH_AUTO && OnSharedFileSystem(pszMailbox));
    if (!bPolled) return 0;
    return Settings.MailboxPollInterval != 0 ? Settings.MailboxPollInterval : 1000;
}

bool MailboxIndex::ChangesSince(uint64_t ullSince, std::vector<uint32_t>* pUids, uint64_t* pullNow) const {
    const State& s = *m_pState;
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    *pullNow = s.ullGeneration;
    pUids->clear();
    if (ullSince < s.ullLogFloor || ullSince > s.ullGeneration) return false;
    auto it = std::upper_bound(s.log.begin(), s.log.end(), ullSince,
                               [](uint64_t g, const std::pair<uint64_t, uint32_t>& e) { return g < e.first; });
    for (; it != s.log.end(); ++it) pUids->push_back(it->second);
    return true;
}

void MailboxIndex::MessagesAbove(uint32_t ulUid, std::vector<IndexedMessage>* pMessages, uint64_t* pullNow) const {
    const State& s = *m_pState;
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    *pullNow = s.ullGeneration;
    pMessages->clear();
    auto it = std::upper_bound(s.messages.begin(), s.messages.end(), ulUid,
                               [](uint32_t u, const IndexedMessage& m) { return u < m.ulUid; });
    for (; it != s.messages.end(); ++it) {
        if (!(it->fState & INDEXED_REMOVED)) pMessages->push_back(*it);
    }
}

void MailboxIndex::Visit(const std::function<void(size_t nCount)>& fnCount,
                         const std::function<void(const IndexedMessage& message)>& fnMessage, uint64_t* pullNow) const {
    const State& s = *m_pState;
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    *pullNow = s.ullGeneration;
    fnCount(s.messages.size() - s.nRemoved);
    for (const IndexedMessage& message : s.messages) {
        if (!(message.fState & INDEXED_REMOVED)) fnMessage(message);
    }
}

uint32_t MailboxIndex::HighestUid() const {
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->ulHighestUid;
}

bool MailboxIndex::Find(uint32_t ulUid, IndexedMessage* pMessage) const {
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    const IndexedMessage* p = FindEntry(*m_pState, ulUid);
    if (p == nullptr || (p->fState & INDEXED_REMOVED)) return false;
    *pMessage = *p;
    return true;
}

std::shared_ptr<const KeptContent> MailboxIndex::SharedView() const {
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->sharedView;
}

void MailboxIndex::OfferSharedView(std::shared_ptr<const KeptContent> pView) {
    // The one replaced is freed outside the lock.
    std::shared_ptr<const KeptContent> pOld;
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    pOld = std::move(m_pState->sharedView);
    m_pState->sharedView = std::move(pView);
}

void MailboxIndex::NoteFlags(uint32_t ulUid, uint8_t fFlags) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    IndexedMessage* p = FindEntry(*m_pState, ulUid);
    if (p != nullptr && !(p->fState & INDEXED_REMOVED)) Apply(r, *m_pState, IndexChange{ulUid, fFlags, false, 0, true});
}

void MailboxIndex::NoteAdded(uint32_t ulUid, uint8_t fFlags) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    IndexedMessage* p = FindEntry(*m_pState, ulUid);
    if (p == nullptr || (p->fState & INDEXED_REMOVED)) Apply(r, *m_pState, IndexChange{ulUid, fFlags, false, 0, false});
}

ModIndexRef MailboxIndex::ModRef() const {
    State& s = *m_pState;
    return ModIndexRef{s.self.lock(), s.path.c_str(), &s.mutex, &s.messages, &s.ulHighestUid, &s.mod,
                       [&s](uint32_t ulUid) { LogChange(s, ulUid); }};
}

void MailboxIndex::NoteRemoved(uint32_t ulUid) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    IndexedMessage* p = FindEntry(*m_pState, ulUid);
    if (p != nullptr) Apply(r, *m_pState, IndexChange{ulUid, p->fFlags, true, 0, false});
}

void MailboxIndex::NoteProbe(uint32_t ulUid, uint64_t ullSize, FILETIME ftWritten) {
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    IndexedMessage* p = FindEntry(*m_pState, ulUid);
    // A file still being written, or too large to count in 32 bits, is probed each time.
    if (p == nullptr || (p->fState & (INDEXED_REMOVED | INDEXED_WRITING)) || ullSize > UINT32_MAX) return;
    p->ulSize = static_cast<uint32_t>(ullSize);
    p->ftWritten = ftWritten;
    p->fState |= INDEXED_PROBED;
}

bool MailboxIndex::FindText(uint32_t ulUid, const std::string& key, CachedText* pText) const {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.textMutex);
    auto it = m_pState->texts.find(ulUid);
    if (it == m_pState->texts.end()) return false;
    for (auto entry : it->second) {
        if (entry->key != key) continue;
        r.lru.splice(r.lru.begin(), r.lru, entry);
        if (pText != nullptr) *pText = entry->text;
        return true;
    }
    return false;
}

void MailboxIndex::KeepText(uint32_t ulUid, const std::string& key, CachedText text) {
    Keep(ulUid, key, std::move(text), nullptr, false);
}

bool MailboxIndex::FindContent(uint32_t ulUid, const std::string& key,
                               std::shared_ptr<const KeptContent>* pContent) const {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.textMutex);
    auto it = m_pState->texts.find(ulUid);
    if (it == m_pState->texts.end()) return false;
    for (auto entry : it->second) {
        if (entry->key != key || entry->pContent == nullptr) continue;
        r.lru.splice(r.lru.begin(), r.lru, entry);
        *pContent = entry->pContent;
        return true;
    }
    return false;
}

void MailboxIndex::FindContents(const std::vector<uint32_t>& uids, const std::string& key,
                                std::vector<std::shared_ptr<const KeptContent>>* pContents) const {
    Registry& r = TheRegistry();
    pContents->assign(uids.size(), nullptr);
    std::lock_guard<std::mutex> lock(r.textMutex);
    for (size_t i = 0; i < uids.size(); i++) {
        auto it = m_pState->texts.find(uids[i]);
        if (it == m_pState->texts.end()) continue;
        for (auto entry : it->second) {
            if (entry->key != key || entry->pContent == nullptr) continue;
            r.lru.splice(r.lru.begin(), r.lru, entry);
            (*pContents)[i] = entry->pContent;
            break;
        }
    }
}

void MailboxIndex::KeepContent(uint32_t ulUid, const std::string& key, std::shared_ptr<const KeptContent> pContent) {
    if (pContent != nullptr) Keep(ulUid, key, CachedText{}, std::move(pContent), true);
}

void MailboxIndex::Keep(uint32_t ulUid, const std::string& key, CachedText text,
                        std::shared_ptr<const KeptContent> pContent, bool bReplace) {
    Registry& r = TheRegistry();
    size_t nLimit = TextLimit();
    size_t nContentCost = pContent != nullptr ? pContent->Cost() : 0;
    // The index stays locked so that the message cannot change before its text is kept.
    std::lock_guard<std::mutex> indexLock(m_pState->mutex);
    IndexedMessage* p = FindEntry(*m_pState, ulUid);
    if (p == nullptr || (p->fState & (INDEXED_REMOVED | INDEXED_WRITING))) return;
    std::lock_guard<std::mutex> lock(r.textMutex);
    std::vector<std::list<TextEntry>::iterator>& entries = m_pState->texts[ulUid];
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if ((*it)->key != key) continue;
        if (!bReplace) return;
        r.nTextBytes -= TextCost(**it);
        r.lru.erase(*it);
        entries.erase(it);
        break;
    }
    r.lru.push_front(TextEntry{m_pState.get(), ulUid, key, std::move(text), std::move(pContent), nContentCost});
    size_t nCost = TextCost(r.lru.front());
    if (nCost > nLimit) {
        r.lru.pop_front();
        if (entries.empty()) m_pState->texts.erase(ulUid);
        return;
    }
    entries.push_back(r.lru.begin());
    r.nTextBytes += nCost;
    while (r.nTextBytes > nLimit) {
        auto victim = std::prev(r.lru.end());
        // A mailbox whose entries of one kind outgrow the bound keeps those it has instead of
        // trading them one for one: a walk over all its messages (a repeated SEARCH, SORT or
        // FETCH 1:*) would otherwise find none kept, each pushed out just before it was asked for.
        if (victim->pOwner == m_pState.get() && victim->key == key) {
            r.nTextBytes -= nCost;
            r.lru.pop_front();
            entries.pop_back();
            if (entries.empty()) m_pState->texts.erase(ulUid);
            return;
        }
        auto& owned = victim->pOwner->texts[victim->ulUid];
        owned.erase(std::find(owned.begin(), owned.end(), victim));
        if (owned.empty()) victim->pOwner->texts.erase(victim->ulUid);
        r.nTextBytes -= TextCost(*victim);
        r.lru.erase(victim);
    }
}

size_t MailboxIndex::MemoryInUse() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    size_t nBytes = CachedTextBytes();
    for (State* pState : r.states) {
        std::lock_guard<std::mutex> stateLock(pState->mutex);
        nBytes += sizeof(State) + pState->messages.capacity() * sizeof(IndexedMessage) +
                  pState->log.capacity() * sizeof(pState->log[0]) + ModStateBytes(pState->mod);
    }
    return nBytes;
}

void MailboxIndex::SetListingHook(std::function<void(const char* pszMailbox)> fnHook) {
    ListingHookSlot& slot = TheListingHook();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.fnHook = std::move(fnHook);
}

size_t MailboxIndex::CachedTextBytes() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.textMutex);
    return r.nTextBytes;
}

namespace {

// While sessions wait, nobody else would read the kernel's events: the readiness thread does,
// for every index at once. Asked once; false when it cannot.
bool EventsRead(Registry& r) {
    int nRead = r.nEventsRead.load();
    if (nRead != 0) return nRead > 0;
    static std::once_flag asked;
    std::call_once(asked, [&r] {
        int fd = r.watcher.Descriptor();
        bool bWatched = fd >= 0 && WatchReadable(fd, false, [&r] { Drain(r); }) >= 0;
        r.nEventsRead = bWatched ? 1 : -1;
    });
    return r.nEventsRead.load() > 0;
}

}  // namespace

ChangeWaiter::ChangeWaiter(std::shared_ptr<MailboxIndex> pIndex, Wakeup* pWakeup)
    : m_pIndex(std::move(pIndex)), m_pWakeup(pWakeup) {
    EventsRead(TheRegistry());
    t_nWaiters++;
    MailboxIndex::State& s = *m_pIndex->m_pState;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.waiters.push_back(m_pWakeup);
}

ChangeWaiter::~ChangeWaiter() {
    t_nWaiters--;
    {
        MailboxIndex::State& s = *m_pIndex->m_pState;
        std::lock_guard<std::mutex> lock(s.mutex);
        s.waiters.erase(std::find(s.waiters.begin(), s.waiters.end(), m_pWakeup));
    }
    if (m_pArrivals == nullptr) return;
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    Arrivals& arrivals = *m_pArrivals;
    // A turn not (or not wholly) used is another's: a spare look finds nothing and costs little.
    if (arrivals.pTurn == this) arrivals.GiveTurn(this);
    arrivals.waiters.erase(std::find(arrivals.waiters.begin(), arrivals.waiters.end(), this));
    if (!arrivals.waiters.empty()) return;
    if (arrivals.wd >= 0) {
        r.arrivalsByWatch.erase(arrivals.wd);
        // The same directory may be a mailbox some index watches too.
        if (r.byWatch.find(arrivals.wd) == r.byWatch.end()) r.watcher.Unwatch(arrivals.wd);
    }
    for (auto it = r.arrivals.begin(); it != r.arrivals.end(); ++it) {
        if (&it->second == m_pArrivals) {
            r.arrivals.erase(it);
            break;
        }
    }
}

bool ChangeWaiter::WatchArrivals(const char* pszDir, const char* pszSuffix) {
    Registry& r = TheRegistry();
    if (m_pArrivals != nullptr || PollOnly() || !EventsRead(r)) return false;
    std::lock_guard<std::mutex> lock(r.mutex);
    Arrivals& arrivals = r.arrivals[pszDir];
    if (arrivals.waiters.empty() && arrivals.wd < 0) {
        arrivals.suffix = pszSuffix;
        arrivals.wd = r.watcher.Watch(pszDir);
        if (arrivals.wd >= 0) r.arrivalsByWatch[arrivals.wd] = &arrivals;
    }
    arrivals.waiters.push_back(this);
    m_pArrivals = &arrivals;
    return arrivals.wd >= 0;
}

bool ChangeWaiter::TakeArrival() {
    // Most wake-ups are for other news: they cost no lock here.
    if (!m_bArrived.exchange(false)) return false;
    if (m_pArrivals == nullptr) return true;
    std::lock_guard<std::mutex> lock(TheRegistry().mutex);
    m_ullTurnFrom = m_pArrivals->ullCount;
    return true;
}

void ChangeWaiter::ArrivalTaken() {
    if (m_pArrivals == nullptr) return;
    std::lock_guard<std::mutex> lock(TheRegistry().mutex);
    Arrivals& arrivals = *m_pArrivals;
    if (arrivals.pTurn != this) return;
    if (arrivals.ullCount == m_ullTurnFrom) {
        arrivals.pTurn = nullptr;
        return;
    }
    // Came while this one was taken in, perhaps after the directory was listed.
    m_bArrived = true;
    m_pWakeup->Signal(WAKE_CHANGE);
}

bool ChangeWaiter::Complete() const {
    Registry& r = TheRegistry();
    if (r.nEventsRead.load() <= 0 || !m_pIndex->Watched()) return false;
    return m_pArrivals == nullptr || m_pArrivals->wd.load() >= 0;
}
