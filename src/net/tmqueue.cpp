#include "net/tmqueue.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "net/listener.h"
#include "platform/socket.h"
#include "platform/time.h"

namespace {

struct TMQueueEntry {
    Session* pSession;
    int32_t lState;
    int32_t lSecond;
    FILETIME ftAdmitted;
    TMQueueEntry* pNext;
};

TMQueueEntry TMQueue;

// Polls the busy flag every 10 ms. Gives up (false) once a stop is under way, so that a
// waiter never touches the list without holding the flag.
bool TakeFlag(const char* pszWaitLine, unsigned long ulId) {
    for (;;) {
        int32_t nExpected = 0;
        if (bTMQWait.compare_exchange_strong(nExpected, 1)) {
            return true;
        }
        if (bStop.load()) {
            return false;
        }
        printf(pszWaitLine, ulId);
        SleepMilliseconds(10);
    }
}

}  // namespace

std::atomic<int32_t> bTMQWait{0};

void InitTMQueue() {
    TMQueue.pSession = nullptr;
    TMQueue.pNext = nullptr;
    bTMQWait.store(0);
}

uint32_t ViewTMQueue(int bLock) {
    if (bLock && !TakeFlag("[        ] ViewTMQueue = wait loop\n", 0)) {
        return 1;
    }
    uint32_t ulCount = 0;
    for (TMQueueEntry* pEntry = &TMQueue; pEntry != nullptr; pEntry = pEntry->pNext) {
        ulCount++;
    }
    printf("ViewTMQueue(%ld)\n", static_cast<long>(ulCount));
    if (bLock) {
        bTMQWait.store(0);
    }
    return ulCount;
}

void AddTMQueue(Session* pSession, int bNoLock) {
    unsigned long ulId = SessionId(pSession);
    printf("[%08lx][AddTMQueue]\n", ulId);
    if (bNoLock == 0 && !TakeFlag("[%08lx] AddTMQueue = wait loop\n", ulId)) {
        return;
    }
    printf("[%08lx] bTMQWait(Add) = TRUE\n", ulId);
    if (pSession != nullptr) {
        TMQueueEntry* pLast = &TMQueue;
        while (pLast->pNext != nullptr) {
            pLast = pLast->pNext;
        }
        TMQueueEntry* pEntry = new (std::nothrow) TMQueueEntry();
        if (pEntry == nullptr) {
            printf("[%08lx] (AddTMQueue) LocalAlloc error.\n", ulId);
        } else {
            pEntry->pSession = pSession;
            pEntry->ftAdmitted = GetSystemTimeAsFileTime();
            pEntry->lState = 1;
            pEntry->lSecond = 0;
            pEntry->pNext = nullptr;
            pLast->pNext = pEntry;
        }
    }
    if (bNoLock == 0) {
        bTMQWait.store(0);
    }
    printf("[%08lx] bTMQWait(Add) = FALSE\n", ulId);
}

namespace {

// The queued session, before login, whose last line is the oldest (from pszAddress only, when
// given); none when every one is logged in or already leaving. The caller holds the flag, so no
// entry's session can be freed meanwhile.
Session* OldestIdleBeforeLogin(const char* pszAddress) {
    Session* pOldest = nullptr;
    for (TMQueueEntry* pEntry = TMQueue.pNext; pEntry != nullptr; pEntry = pEntry->pNext) {
        Session* pQueued = pEntry->pSession;
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

// Wakes the session's thread, which says BYE and ends.
void Evict(Session* pSession) {
    printf("[%08lx] evicted: idle before login\n", SessionId(pSession));
    pSession->bEvicted.store(1);
    ShutdownReceive(pSession->sockClient);
}

}  // namespace

Admission AdmitTMQueue(Session* pSession, uint32_t ulLimit, uint32_t ulAddressLimit) {
    unsigned long ulId = SessionId(pSession);
    if (!TakeFlag("[%08lx] AdmitTMQueue = wait loop\n", ulId)) {
        return REFUSED_LIMIT;
    }
    // Sessions already leaving have made their room.
    uint32_t ulCount = 1;
    uint32_t ulFromAddress = 0;
    for (TMQueueEntry* pEntry = TMQueue.pNext; pEntry != nullptr; pEntry = pEntry->pNext) {
        if (pEntry->pSession->bEvicted.load()) {
            continue;
        }
        ulCount++;
        if (strcmp(pEntry->pSession->szPeerAddr, pSession->szPeerAddr) == 0) {
            ulFromAddress++;
        }
    }
    printf("ViewTMQueue(%ld)\n", static_cast<long>(ulCount));
    Admission result = ADMITTED;
    if (ulAddressLimit != 0 && ulFromAddress >= ulAddressLimit) {
        Session* pIdle = OldestIdleBeforeLogin(pSession->szPeerAddr);
        if (pIdle != nullptr) {
            Evict(pIdle);
            ulCount--;
        } else {
            result = REFUSED_ADDRESS;
        }
    }
    if (result == ADMITTED && ulLimit != 0 && ulCount > ulLimit) {
        Session* pIdle = OldestIdleBeforeLogin(nullptr);
        if (pIdle != nullptr) {
            Evict(pIdle);
        } else {
            result = REFUSED_LIMIT;
        }
    }
    if (result == ADMITTED) {
        pSession->ullLastInput.store(MonotonicMilliseconds());
        AddTMQueue(pSession, 1);
    }
    bTMQWait.store(0);
    return result;
}

void RemoveTMQueue(Session* pSession) {
    unsigned long ulId = SessionId(pSession);
    if (!TakeFlag("[%08lx] RemoveTMQueue = wait loop\n", ulId)) {
        return;
    }
    for (TMQueueEntry* pPrev = &TMQueue; pPrev->pNext != nullptr; pPrev = pPrev->pNext) {
        TMQueueEntry* pEntry = pPrev->pNext;
        if (pEntry->pSession == pSession) {
            pPrev->pNext = pEntry->pNext;
            delete pEntry;
            break;
        }
    }
    bTMQWait.store(0);
}
