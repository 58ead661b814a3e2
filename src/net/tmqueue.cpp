#include "net/tmqueue.h"
#include "config/settings.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/socket.h"
#include "platform/time.h"

namespace {

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
        if (pOldest == nullptr || pQueued->ullLastInput.load() < pOldest->ullLastInput.load()) {
            pOldest = pQueued;
        }
    }
    return pOldest;
}

// Wakes the session's thread, which says BYE and ends. Its socket stays open until the session
// has left the queue, so the descriptor cannot belong to anybody else yet.
void Evict(Session* pSession) {
    printf("[%08lx] evicted: idle before login\n", SessionId(pSession));
    pSession->bEvicted.store(1);
    ShutdownReceive(pSession->sockClient);
}

// A limit reached makes room by sending an idle session away; false when there is none.
bool MakeRoom(const char* pszAddress) {
    Session* pIdle = OldestIdleBeforeLogin(pszAddress);
    if (pIdle == nullptr) {
        return false;
    }
    Evict(pIdle);
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
    pSession->ullLastInput.store(MonotonicMilliseconds());
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
