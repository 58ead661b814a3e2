#include "platform/wake.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <unordered_map>

void Wakeup::Signal(uint32_t fReasons) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fReasons |= fReasons;
    }
    m_signalled.notify_one();
}

uint32_t Wakeup::Wait(int nMilliseconds) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto signalled = [this] { return m_fReasons != 0; };
    if (nMilliseconds < 0) {
        m_signalled.wait(lock, signalled);
    } else {
        m_signalled.wait_for(lock, std::chrono::milliseconds(nMilliseconds), signalled);
    }
    uint32_t fReasons = m_fReasons;
    m_fReasons = 0;
    return fReasons;
}

namespace {

struct Registration {
    int fd;
    std::function<void()> fnReady;
};

// The process's one readiness thread. Its lock is held while a fnReady runs, so that a
// registration ended under it never sees its callback afterwards.
struct Readiness {
    std::mutex mutex;
    int fdEpoll = -1;
    bool bStarted = false;
    int64_t llNextId = 1;
    std::unordered_map<int64_t, Registration> registrations;
};

Readiness& TheReadiness() {
    // Never destroyed: detached threads may still end their registrations at exit.
    static Readiness* pReadiness = new Readiness;
    return *pReadiness;
}

void RunReadiness(Readiness& r, int fdEpoll) {
    struct epoll_event events[256];
    for (;;) {
        int n = ::epoll_wait(fdEpoll, events, 256, -1);
        if (n < 0) continue;  // EINTR
        std::lock_guard<std::mutex> lock(r.mutex);
        for (int i = 0; i < n; i++) {
            // Ended between the wait and the lock: its id is gone, and nothing is called.
            auto found = r.registrations.find(static_cast<int64_t>(events[i].data.u64));
            if (found == r.registrations.end()) continue;
            found->second.fnReady();
        }
    }
}

// With the lock held.
bool Start(Readiness& r) {
    if (r.bStarted) return r.fdEpoll >= 0;
    r.bStarted = true;
    int fdEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (fdEpoll < 0) return false;
    try {
        std::thread(RunReadiness, std::ref(r), fdEpoll).detach();
    } catch (...) {
        ::close(fdEpoll);
        printf("no thread for the readiness watch\n");
        return false;
    }
    r.fdEpoll = fdEpoll;
    return true;
}

}  // namespace

int64_t WatchReadable(int fd, bool bOnce, std::function<void()> fnReady) {
    Readiness& r = TheReadiness();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!Start(r)) return -1;
    int64_t llId = r.llNextId++;
    struct epoll_event event {};
    event.events = EPOLLIN | EPOLLRDHUP | (bOnce ? EPOLLONESHOT : 0u);
    event.data.u64 = static_cast<uint64_t>(llId);
    // Input already waiting is reported at once: nothing that came before the watch is missed.
    if (::epoll_ctl(r.fdEpoll, EPOLL_CTL_ADD, fd, &event) != 0) return -1;
    r.registrations.emplace(llId, Registration{fd, std::move(fnReady)});
    return llId;
}

void UnwatchReadable(int64_t llId) {
    if (llId < 0) return;
    Readiness& r = TheReadiness();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto found = r.registrations.find(llId);
    if (found == r.registrations.end()) return;
    ::epoll_ctl(r.fdEpoll, EPOLL_CTL_DEL, found->second.fd, nullptr);
    r.registrations.erase(found);
}
