// Waiting for one of several things without a descriptor or a thread per waiter: input on a
// socket, seen by the process's one readiness thread (epoll), and news that another thread
// signals. Ten thousand idle sessions then cost no polling and no file descriptor beyond their
// sockets.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

// Why a waiter was woken; reasons add up until the waiter takes them.
enum : uint32_t {
    WAKE_INPUT = 0x01,   // its socket has something to read, or was closed
    WAKE_CHANGE = 0x02,  // what it waits on changed
};

// One waiter's wake-up. A signal given before the wait is kept, never lost: the waiter may look
// at what it waits on, and then wait, in that order, without a lock held across both.
class Wakeup {
public:
    void Signal(uint32_t fReasons);
    // Waits until some reason is signalled or nMilliseconds pass (negative: no limit); returns
    // the reasons signalled since the last call (0 on time-out) and clears them.
    uint32_t Wait(int nMilliseconds);

private:
    std::mutex m_mutex;
    std::condition_variable m_signalled;
    uint32_t m_fReasons = 0;
};

// Calls fnReady on the readiness thread when the descriptor becomes readable. bOnce: once only
// (a socket whose reader will take over); otherwise every time it is readable, and fnReady must
// read it empty. Returns a registration id, or -1 when it cannot be watched (the caller then
// polls).
int64_t WatchReadable(int fd, bool bOnce, std::function<void()> fnReady);
// Ends the registration: when this returns, its fnReady is not running and will not be called.
// Must not be called from a fnReady, nor while holding a lock that a fnReady takes.
void UnwatchReadable(int64_t llId);
