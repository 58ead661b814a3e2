#include "net/tmqueue.h"
#include "config/settings.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/time.h"

namespace {

// How often the deadlines are looked at: the most a late client gets beyond its deadline.
constexpr unsigned int DEADLINE_WATCH_MS = 250;
// Unread bytes that show a client sent more than a trickle: a TLS hello is a few hundred.
constexpr size_t HEARD_PENDING_BYTES = 16;

struct TMQueueState {
    std::mutex lock;
    std::vector<Session*> sessions;
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

uint32_t CountLocked() {
    return static_cast<uint32_t>(Queue().sessions.size()) + 1;
}

// Whether the session has sent a whole line or TLS handshake message, or has more waiting to be
// read than a client trickling bytes ever has (its thread may not have run yet).
bool Heard(const Session* pSession, uint64_t ullLastInput) {
    return ullLastInput > pSession->ullAdmitted || PendingBytes(pSession->sockClient) >= HEARD_PENDING_BYTES;
}

// Which of two sessions before login leaves first: one that has not been heard (a client
// trickling bytes gets no further), then the one whose last line is the oldest. A client that is
// getting somewhere is not sent away for a trickler.
bool IdlerThan(const Session* pOne, const Session* pOther) {
    uint64_t ullOne = pOne->ullLastInput.load();
    uint64_t ullOther = pOther->ullLastInput.load();
    bool bOneHeard = Heard(pOne, ullOne);
    bool bOtherHeard = Heard(pOther, ullOther);
    if (bOneHeard != bOtherHeard) {
        return !bOneHeard;
    }
    return ullOne < ullOther;
}

// The queued session, before login, whose last line is the oldest (from pszAddress only, when
// given); none when every one is logged in or already leaving. The caller holds the lock, so no
// queued session can be freed meanwhile.
Session* OldestIdleBeforeLogin(const char* pszAddress) {
    Session* pOldest = nullptr;
    for (Session* pQueued : Queue().sessions) {
        if (pQueued->bLoggedIn.load() || pQueued->bEvicted.load() ||
            (pszAddress != nullptr && strcmp(pQueued->szPeerAddr, pszAddress) != 0)) {
            continue;
        }
        if (pOldest == nullptr || IdlerThan(pQueued, pOldest)) {
            pOldest = pQueued;
        }
    }
    return pOldest;
}

// Wakes the session's thread, which says BYE and ends. Its socket stays open until the session
// has left the queue, so the descriptor cannot belong to anybody else yet.
void Evict(Session* pSession, int32_t lReason) {
    printf("[%08lx] evicted: %s\n", SessionId(pSession),
           lReason == EVICTED_LATE ? "not logged in in time" : "idle before login");
    pSession->bEvicted.store(lReason);
    ShutdownReceive(pSession->sockClient);
}

bool IsPast(uint64_t ullDeadline, uint64_t ullNowMs) {
    return ullDeadline != 0 && ullNowMs >= ullDeadline;
}

// A limit reached makes room by sending an idle session away; false when there is none.
bool MakeRoom(const char* pszAddress) {
    Session* pIdle = OldestIdleBeforeLogin(pszAddress);
    if (pIdle == nullptr) {
        return false;
    }
    Evict(pIdle, EVICTED_FOR_ROOM);
    return true;
}

}  // namespace

void InitTMQueue() {
    std::lock_guard<std::mutex> guard(Queue().lock);
    Queue().sessions.clear();
}

uint32_t ViewTMQueue() {
    std::unique_lock<std::mutex> guard = LockQueue("[        ] ViewTMQueue = wait loop\n", 0);
    uint32_t ulCount = CountLocked();
    TracePrint("ViewTMQueue(%ld)\n", static_cast<long>(ulCount));
    return ulCount;
}

Admission AdmitTMQueue(Session* pSession, uint32_t ulLimit, uint32_t ulAddressLimit) {
    unsigned long ulId = SessionId(pSession);
    std::unique_lock<std::mutex> guard = LockQueue("[%08lx] AddTMQueue = wait loop\n", ulId);
    // Sessions already leaving have made their room.
    uint32_t ulCount = 1;
    uint32_t ulFromAddress = 0;
    for (const Session* pQueued : Queue().sessions) {
        if (pQueued->bEvicted.load()) {
            continue;
        }
        ulCount++;
        if (strcmp(pQueued->szPeerAddr, pSession->szPeerAddr) == 0) {
            ulFromAddress++;
        }
    }
    if (ulLimit != 0) {
        printf("ViewTMQueue(%ld)\n", static_cast<long>(ulCount));
    }
    if (ulAddressLimit != 0 && ulFromAddress >= ulAddressLimit) {
        if (!MakeRoom(pSession->szPeerAddr)) {
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
        Queue().sessions.push_back(pSession);
    } catch (const std::bad_alloc&) {
        // The session goes on unqueued, as it always has when memory ran out.
        TracePrint("[%08lx] (AddTMQueue) LocalAlloc error.\n", ulId);
    }
    TracePrint("[%08lx] bTMQWait(Add) = FALSE\n", ulId);
    return ADMITTED;
}

void RemoveTMQueue(Session* pSession) {
    std::unique_lock<std::mutex> guard = LockQueue("[%08lx] RemoveTMQueue = wait loop\n", SessionId(pSession));
    std::vector<Session*>& sessions = Queue().sessions;
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if (*it == pSession) {
            sessions.erase(it);
            break;
        }
    }
}

uint32_t CutLateSessions(uint64_t ullNowMs) {
    std::unique_lock<std::mutex> guard = LockQueue("[        ] CutLateSessions = wait loop\n", 0);
    uint32_t ulCut = 0;
    for (Session* pQueued : Queue().sessions) {
        if (pQueued->bLoggedIn.load() || pQueued->bEvicted.load()) {
            continue;
        }
        if (IsPast(pQueued->ullLoginDeadline.load(), ullNowMs) ||
            IsPast(pQueued->ullHandshakeDeadline.load(), ullNowMs)) {
            Evict(pQueued, EVICTED_LATE);
            ulCut++;
        }
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
