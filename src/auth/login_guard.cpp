#include "auth/login_guard.h"

#include <iterator>

namespace {

// The delay stops growing at 2^4 times the base (32 s with the default of 2 s): long enough to
// make guessing hopeless, short enough for a client's own time-out.
constexpr uint32_t MAX_DOUBLINGS = 4;
// An address that has not failed for this long starts again from the base delay.
constexpr uint64_t FORGET_AFTER_MS = 15ull * 60 * 1000;
// Beyond this many addresses the old ones are swept, so a scan from many addresses cannot
// grow the table without bound.
constexpr size_t SWEEP_ABOVE = 4096;

}  // namespace

uint32_t LoginFailures::RecordFailure(const char* pszAddress, uint32_t ulBaseMs, uint64_t ullNowMs) {
    std::lock_guard<std::mutex> guard(lock_);
    if (entries_.size() > SWEEP_ABOVE) {
        ForgetOld(ullNowMs);
    }
    Entry& entry = entries_[pszAddress];
    if (entry.ulCount != 0 && ullNowMs - entry.ullLastMs > FORGET_AFTER_MS) {
        entry.ulCount = 0;
    }
    uint32_t ulDoublings = entry.ulCount < MAX_DOUBLINGS ? entry.ulCount : MAX_DOUBLINGS;
    entry.ulCount++;
    entry.ullLastMs = ullNowMs;
    uint64_t ullDelay = static_cast<uint64_t>(ulBaseMs) << ulDoublings;
    return ullDelay > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ullDelay);
}

void LoginFailures::RecordSuccess(const char* pszAddress) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.erase(pszAddress);
}

void LoginFailures::ForgetOld(uint64_t ullNowMs) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        it = ullNowMs - it->second.ullLastMs > FORGET_AFTER_MS ? entries_.erase(it) : std::next(it);
    }
    // Still full of recent addresses: a scan from a whole network. Starting them all again
    // from the base delay costs less than memory without bound.
    if (entries_.size() > 4 * SWEEP_ABOVE) {
        entries_.clear();
    }
}
