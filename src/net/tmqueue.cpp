#include "net/tmqueue.h"
#include "config/settings.h"

#include <cstdio>
#include <new>

#include "net/listener.h"
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
    TracePrint("ViewTMQueue(%ld)\n", static_cast<long>(ulCount));
    if (bLock) {
        bTMQWait.store(0);
    }
    return ulCount;
}

void AddTMQueue(Session* pSession, int bNoLock) {
    unsigned long ulId = SessionId(pSession);
    TracePrint("[%08lx][AddTMQueue]\n", ulId);
    if (bNoLock == 0 && !TakeFlag("[%08lx] AddTMQueue = wait loop\n", ulId)) {
        return;
    }
    TracePrint("[%08lx] bTMQWait(Add) = TRUE\n", ulId);
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
    TracePrint("[%08lx] bTMQWait(Add) = FALSE\n", ulId);
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
