#include "net/tmqueue.h"
#include "config/settings.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

namespace {

struct TMQueueState {
    std::mutex lock;
    std::vector<const Session*> sessions;
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

bool AdmitTMQueue(Session* pSession, uint32_t ulLimit) {
    unsigned long ulId = SessionId(pSession);
    std::unique_lock<std::mutex> guard = LockQueue("[%08lx] AddTMQueue = wait loop\n", ulId);
    if (ulLimit != 0) {
        uint32_t ulCount = CountLocked();
        TracePrint("ViewTMQueue(%ld)\n", static_cast<long>(ulCount));
        if (ulCount > ulLimit) {
            return false;
        }
    }
    TracePrint("[%08lx][AddTMQueue]\n", ulId);
    TracePrint("[%08lx] bTMQWait(Add) = TRUE\n", ulId);
    if (pSession != nullptr) {
        try {
            Queue().sessions.push_back(pSession);
        } catch (const std::bad_alloc&) {
            // The session goes on unqueued, as it always has when memory ran out.
            printf("[%08lx] (AddTMQueue) LocalAlloc error.\n", ulId);
        }
    }
    TracePrint("[%08lx] bTMQWait(Add) = FALSE\n", ulId);
    return true;
}

void RemoveTMQueue(Session* pSession) {
    std::unique_lock<std::mutex> guard = LockQueue("[%08lx] RemoveTMQueue = wait loop\n", SessionId(pSession));
    std::vector<const Session*>& sessions = Queue().sessions;
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if (*it == pSession) {
            sessions.erase(it);
            break;
        }
    }
}
