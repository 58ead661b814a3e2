#include "net/tmqueue.h"
#include "config/settings.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/socket.h"
#include "platform/time.h"

namespace {

// How often the deadlines are looked at: the most a late client gets beyond its deadline.
constexpr unsigned int DEADLINE_WATCH_MS = 250;
// Unread bytes that show a client sent more than a trickle: a TLS hello is a few hundred.
constexpr size_t HEARD_PENDING_BYTES = 16;

// The queued sessions that have not logged in, in the order they were admitted: the only ones
// an admission may send away or a deadline may close, so nothing else is walked.
struct SessionChain {
    Session* pFirst = nullptr;
    Session* pLast = nullptr;
};

template <Session* Session::*pPrev, Session* Session::*pNext>
void ChainAppend(SessionChain& chain, Session* pSession) {
    pSession->*pPrev = chain.pLast;
    pSession->*pNext = nullptr;
    if (chain.pLast != nullptr) {
        chain.pLast->*pNext = pSession;
    } else {
        chain.pFirst = pSession;
    }
    chain.pLast = pSession;
}

template <Session* Session::*pPrev, Session* Session::*pNext>
void ChainUnlink(SessionChain& chain, Session* pSession) {
    Session* pBefore = pSession->*pPrev;
    Session* pAfter = pSession->*pNext;
    if (pBefore != nullptr) {
        pBefore->*pNext = pAfter;
    } else {
        chain.pFirst = pAfter;
    }
    if (pAfter != nullptr) {
        pAfter->*pPrev = pBefore;
    } else {
        chain.pLast = pBefore;
    }
    pSession->*pPrev = nullptr;
    pSession->*pNext = nullptr;
}

}  // namespace

// One client address's share of the queue: kept so that an admission counts its address
// without comparing it with every queued session's.
struct QueueAddress {
    uint32_t ulQueued = 0;  // queued from this address, those already leaving included
    uint32_t ulActive = 0;  // of those, the ones not told to leave
    SessionChain waiting;   // of those, the ones not logged in, oldest first
    const std::string* pKey = nullptr;  // the address as the queue's table holds it
};

namespace {

struct AddressHash {
    using is_transparent = void;
    size_t operator()(std::string_view address) const noexcept { return std::hash<std::string_view>{}(address); }
};

struct TMQueueState {
    std::mutex lock;
    uint32_t ulQueued = 0;  // every queued session, those already leaving included
    uint32_t ulActive = 0;  // the queued sessions not told to leave
    SessionChain waiting;   // the active ones that have not logged in, oldest first
    // Looked up by the peer's address text without making a string of it.
    std::unordered_map<std::string, QueueAddress, AddressHash, std::equal_to<>> addresses;
};

TMQueueState& Queue() {
    // Built on first use and never destroyed: detached client threads may still leave the queue
    // while the process ends.
    static TMQueueState* pQueue = new TMQueueState();
    return *pQueue;
}

// The console has always shown who had to wait for the queue; say so once, then block.
std::unique_lock<std::mutex> LockQueue(const char* pszWaitLine, unsigned long ulId) {
    std::unique_lock<std::mutex> guard(Queue().lock, std::try_to_lock);
    if (!guard.owns_lock()) {
        printf(pszWaitLine, ulId);
        guard.lock();
    }
    return guard;
}

// The session can no longer be sent away: it has logged in or is leaving already.
void StopWaiting(Session* pSession) {
    if (!pSession->bWaitsLogin) {
        return;
    }
    ChainUnlink<&Session::pWaitPrev, &Session::pWaitNext>(Queue().waiting, pSession);
    ChainUnlink<&Session::pAddressWaitPrev, &Session::pAddressWaitNext>(pSession->pQueueAddress->waiting,
                                                                        pSession);
    pSession->bWaitsLogin = 0;
}

// Whether the session has sent a whole line or TLS handshake message, or has more waiting to be
// read than a client trickling bytes ever has (its thread may not have run yet).
bool Heard(const Session* pSession, uint64_t ullLastInput) {
    return ullLastInput > pSession->ullAdmitted || PendingBytes(pSession->sockClient) >= HEARD_PENDING_BYTES;
}

// The session, before login, that leaves first to make room: one that has not been heard (a
// client trickling bytes gets no further), else the one whose last line is the oldest; the
// earlier admitted on a tie. A client that is getting somewhere is not sent away for a trickler.
// Until it is heard a session's last input is its admission time, so the first one not heard in
// admission order is the answer at once. Sessions found logged in leave the chain on the way.
// None when every one is logged in or already leaving. The caller holds the lock, so no queued
// session can be freed meanwhile.
template <Session* Session::*pNext>
Session* OldestIdleBeforeLogin(const SessionChain& chain) {
    Session* pOldest = nullptr;
    uint64_t ullOldest = 0;
    for (Session* pQueued = chain.pFirst; pQueued != nullptr;) {
        Session* pFollowing = pQueued->*pNext;
        if (pQueued->bLoggedIn.load()) {
            StopWaiting(pQueued);
        } else {
            uint64_t ullLastInput = pQueued->ullLastInput.load();
            if (!Heard(pQueued, ullLastInput)) {
                return pQueued;
            }
            if (pOldest == nullptr || ullLastInput < ullOldest) {
                pOldest = pQueued;
                ullOldest = ullLastInput;
            }
        }
        pQueued = pFollowing;
    }
    return pOldest;
}

// Wakes the session's thread, which says BYE and ends. Its socket stays open until the session
// has left the queue, so the descriptor cannot belong to anybody else yet.
void Evict(Session* pSession, int32_t lReason) {
    printf("[%08lx] evicted: %s\n", SessionId(pSession),
           lReason == EVICTED_LATE ? "not logged in in time" : "idle before login");
    pSession->bEvicted.store(lReason);
    Queue().ulActive--;
    pSession->pQueueAddress->ulActive--;
    StopWaiting(pSession);
    ShutdownReceive(pSession->sockClient);
}

bool IsPast(uint64_t ullDeadline, uint64_t ullNowMs) {
    return ullDeadline != 0 && ullNowMs >= ullDeadline;
}

// A limit reached makes room by sending an idle session away (one of pAddress's, when given);
// false when there is none.
bool MakeRoom(QueueAddress* pAddress) {
    Session* pIdle = pAddress != nullptr
                         ? OldestIdleBeforeLogin<&Session::pAddressWaitNext>(pAddress->waiting)
                         : OldestIdleBeforeLogin<&Session::pWaitNext>(Queue().waiting);
    if (pIdle == nullptr) {
        return false;
    }
    Evict(pIdle, EVICTED_FOR_ROOM);
    return true;
}

}  // namespace

void InitTMQueue() {
    std::lock_guard<std::mutex> guard(Queue().lock);
    Queue().ulQueued = 0;
    Queue().ulActive = 0;
    Queue().waiting = SessionChain{};
    Queue().addresses.clear();
}

uint32_t ViewTMQueue() {
    std::unique_lock<std::mutex> guard = LockQueue("[        ] ViewTMQueue = wait loop\n", 0);
    uint32_t ulCount = Queue().ulQueued + 1;
    TracePrint("ViewTMQueue(%ld)\n", static_cast<long>(ulCount));
    return ulCount;
}

Admission AdmitTMQueue(Session* pSession, uint32_t ulLimit, uint32_t ulAddressLimit) {
    unsigned long ulId = SessionId(pSession);
    std::unique_lock<std::mutex> guard = LockQueue("[%08lx] AddTMQueue = wait loop\n", ulId);
    TMQueueState& queue = Queue();
    // Sessions already leaving have made their room.
    uint32_t ulCount = queue.ulActive + 1;
    auto address = queue.addresses.find(std::string_view(pSession->szPeerAddr));
    uint32_t ulFromAddress = address != queue.addresses.end() ? address->second.ulActive : 0;
    if (ulLimit != 0) {
        printf("ViewTMQueue(%ld)\n", static_cast<long>(ulCount));
    }
    if (ulAddressLimit != 0 && ulFromAddress >= ulAddressLimit) {
        if (!MakeRoom(&address->second)) {
            return REFUSED_ADDRESS;
        }
        ulCount--;
    }
    if (ulLimit != 0 && ulCount > ulLimit && !MakeRoom(nullptr)) {
        return REFUSED_LIMIT;
    }
    TracePrint("[%08lx][AddTMQueue]\n", ulId);
    TracePrint("[%08lx] bTMQWait(Add) = TRUE\n", ulId);
    uint64_t ullNow = MonotonicMilliseconds();
    pSession->ullAdmitted = ullNow;
    pSession->ullLastInput.store(ullNow);
    if (Settings.LoginTimeLimit > 0) {
        pSession->ullLoginDeadline.store(ullNow + static_cast<uint64_t>(Settings.LoginTimeLimit) * 1000u);
    }
    try {
        if (address == queue.addresses.end()) {
            address = queue.addresses.try_emplace(std::string(pSession->szPeerAddr)).first;
            address->second.pKey = &address->first;
        }
        QueueAddress& entry = address->second;
        entry.ulQueued++;
        entry.ulActive++;
        queue.ulQueued++;
        queue.ulActive++;
        pSession->pQueueAddress = &entry;
        pSession->bQueued = 1;
        if (!pSession->bLoggedIn.load()) {
            ChainAppend<&Session::pWaitPrev, &Session::pWaitNext>(queue.waiting, pSession);
            ChainAppend<&Session::pAddressWaitPrev, &Session::pAddressWaitNext>(entry.waiting, pSession);
            pSession->bWaitsLogin = 1;
        }
    } catch (const std::bad_alloc&) {
        // The session goes on unqueued, as it always has when memory ran out.
        TracePrint("[%08lx] (AddTMQueue) LocalAlloc error.\n", ulId);
    }
    TracePrint("[%08lx] bTMQWait(Add) = FALSE\n", ulId);
    return ADMITTED;
}

void RemoveTMQueue(Session* pSession) {
    std::unique_lock<std::mutex> guard = LockQueue("[%08lx] RemoveTMQueue = wait loop\n", SessionId(pSession));
    if (!pSession->bQueued) {
        return;
    }
    TMQueueState& queue = Queue();
    QueueAddress* pAddress = pSession->pQueueAddress;
    StopWaiting(pSession);
    queue.ulQueued--;
    pAddress->ulQueued--;
    if (!pSession->bEvicted.load()) {
        queue.ulActive--;
        pAddress->ulActive--;
    }
    pSession->bQueued = 0;
    pSession->pQueueAddress = nullptr;
    if (pAddress->ulQueued == 0) {
        queue.addresses.erase(queue.addresses.find(std::string_view(*pAddress->pKey)));
    }
}

uint32_t CutLateSessions(uint64_t ullNowMs) {
    std::unique_lock<std::mutex> guard = LockQueue("[        ] CutLateSessions = wait loop\n", 0);
    uint32_t ulCut = 0;
    for (Session* pQueued = Queue().waiting.pFirst; pQueued != nullptr;) {
        Session* pFollowing = pQueued->pWaitNext;
        if (pQueued->bLoggedIn.load()) {
            StopWaiting(pQueued);
        } else if (IsPast(pQueued->ullLoginDeadline.load(), ullNowMs) ||
                   IsPast(pQueued->ullHandshakeDeadline.load(), ullNowMs)) {
            Evict(pQueued, EVICTED_LATE);
            ulCut++;
        }
        pQueued = pFollowing;
    }
    return ulCut;
}

void StartDeadlineWatch() {
    static std::once_flag started;
    std::call_once(started, [] {
        try {
            // Lives as long as the process, as the queue does.
            std::thread([] {
                for (;;) {
                    SleepMilliseconds(DEADLINE_WATCH_MS);
                    CutLateSessions(MonotonicMilliseconds());
                }
            }).detach();
        } catch (const std::system_error&) {
            printf("no thread for the login deadlines\n");
        }
    });
}
