#include "auth/login_guard.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <tuple>
#include <vector>

#include "platform/time.h"

namespace {

// The delay stops growing at 2^4 times the base (32 s with the default of 2 s): long enough to
// make guessing hopeless, short enough for a client's own time-out.
constexpr uint32_t MAX_DOUBLINGS = 4;
// A count that has not grown for this long starts again from the base delay.
constexpr uint64_t FORGET_AFTER_MS = 15ull * 60 * 1000;
// A waiter looks at its cancel flag this often.
constexpr uint64_t CANCEL_POLL_MS = 100;

// One user name, however the client spells its case.
std::string UserKey(const char* pszUser) {
    std::string key(pszUser);
    for (char& c : key) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return key;
}

// The entries a full table gives up first: fewest failures, then the longest without one.
template <typename Map, typename Keep>
void DropFewestFailures(Map* pMap, size_t nTarget, Keep keep) {
    using Candidate = std::tuple<uint32_t, uint64_t, typename Map::iterator>;
    std::vector<Candidate> candidates;
    for (auto it = pMap->begin(); it != pMap->end(); ++it) {
        if (!keep(it->second)) {
            candidates.emplace_back(it->second.ulFailures, it->second.ullLastMs, it);
        }
    }
    if (pMap->size() <= nTarget) return;
    size_t nDrop = std::min(pMap->size() - nTarget, candidates.size());
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(nDrop), candidates.end(),
                     [](const Candidate& a, const Candidate& b) {
                         return std::get<0>(a) != std::get<0>(b) ? std::get<0>(a) < std::get<0>(b)
                                                                 : std::get<1>(a) < std::get<1>(b);
                     });
    for (size_t i = 0; i < nDrop; i++) {
        pMap->erase(std::get<2>(candidates[i]));
    }
}

}  // namespace

LoginFailures::LoginFailures(size_t nMaxEntries) : nMaxEntries_(nMaxEntries < 4 ? 4 : nMaxEntries) {}

void LoginFailures::ForgetIfOld(AddressEntry* pEntry, uint64_t ullNowMs) {
    if (pEntry->ulFailures != 0 && ullNowMs - pEntry->ullLastMs > FORGET_AFTER_MS) {
        pEntry->ulFailures = 0;
        pEntry->users.clear();
    }
}

// Called before a new address is added to a full table: the forgotten go first, then those
// with the fewest failures, down to three quarters so that the sweep is not made at every
// newcomer. Addresses with a check under way or waiting stay.
void LoginFailures::MakeRoomForAddress(uint64_t ullNowMs) {
    if (addresses_.size() < nMaxEntries_) return;
    for (auto it = addresses_.begin(); it != addresses_.end();) {
        ForgetIfOld(&it->second, ullNowMs);
        const AddressEntry& entry = it->second;
        it = entry.ulFailures == 0 && !entry.bBusy && entry.ulWaiters == 0 && ullNowMs >= entry.ullNextCheckMs
                 ? addresses_.erase(it)
                 : std::next(it);
    }
    DropFewestFailures(&addresses_, nMaxEntries_ * 3 / 4,
                       [](const AddressEntry& entry) { return entry.bBusy || entry.ulWaiters != 0; });
}

void LoginFailures::MakeRoomForUser(uint64_t ullNowMs) {
    if (users_.size() < nMaxEntries_) return;
    for (auto it = users_.begin(); it != users_.end();) {
        it = ullNowMs - it->second.ullLastMs > FORGET_AFTER_MS ? users_.erase(it) : std::next(it);
    }
    DropFewestFailures(&users_, nMaxEntries_ * 3 / 4, [](const UserEntry&) { return false; });
}

void LoginFailures::DropIfUnused(const std::string& address) {
    auto it = addresses_.find(address);
    if (it != addresses_.end() && it->second.ulFailures == 0 && !it->second.bBusy && it->second.ulWaiters == 0 &&
        MonotonicMilliseconds() >= it->second.ullNextCheckMs) {
        addresses_.erase(it);
    }
}

bool LoginFailures::BeginTurn(const char* pszAddress, const std::function<bool()>& cancelled) {
    std::unique_lock<std::mutex> guard(lock_);
    std::string address(pszAddress);
    if (addresses_.find(address) == addresses_.end()) {
        MakeRoomForAddress(MonotonicMilliseconds());
    }
    // A waiter keeps the entry from being dropped, so the reference stays good while it waits.
    AddressEntry& entry = addresses_[address];
    entry.ulWaiters++;
    for (;;) {
        uint64_t ullNow = MonotonicMilliseconds();
        // A free turn is taken even by a client that has stopped sending (a script that closed
        // its side after its last command still reads the answers).
        if (!entry.bBusy && ullNow >= entry.ullNextCheckMs) {
            entry.ulWaiters--;
            entry.bBusy = true;
            return true;
        }
        if (cancelled && cancelled()) {
            entry.ulWaiters--;
            DropIfUnused(address);
            return false;
        }
        uint64_t ullWait = entry.bBusy ? CANCEL_POLL_MS : std::min(entry.ullNextCheckMs - ullNow, CANCEL_POLL_MS);
        turnFreed_.wait_for(guard, std::chrono::milliseconds(ullWait));
    }
}

void LoginFailures::EndTurn(const char* pszAddress) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string address(pszAddress);
    auto it = addresses_.find(address);
    if (it != addresses_.end()) {
        it->second.bBusy = false;
        DropIfUnused(address);
    }
    turnFreed_.notify_all();
}

uint32_t LoginFailures::RecordFailure(const char* pszAddress, const char* pszUser, uint32_t ulBaseMs,
                                      uint64_t ullNowMs) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string address(pszAddress);
    if (addresses_.find(address) == addresses_.end()) {
        MakeRoomForAddress(ullNowMs);
    }
    AddressEntry& entry = addresses_[address];
    ForgetIfOld(&entry, ullNowMs);
    entry.ulFailures++;
    entry.ullLastMs = ullNowMs;
    std::string user = UserKey(pszUser);
    auto named = entry.users.find(user);
    if (named != entry.users.end()) {
        named->second++;
    } else if (entry.users.size() < MAX_NAMES_PER_ADDRESS) {
        entry.users.emplace(user, 1);
    }

    if (users_.find(user) == users_.end()) {
        MakeRoomForUser(ullNowMs);
    }
    UserEntry& userEntry = users_[user];
    if (userEntry.ulFailures != 0 && ullNowMs - userEntry.ullLastMs > FORGET_AFTER_MS) {
        userEntry.ulFailures = 0;
    }
    userEntry.ulFailures++;
    userEntry.ullLastMs = ullNowMs;

    uint32_t ulCount = std::max(entry.ulFailures, userEntry.ulFailures);
    uint32_t ulDoublings = ulCount - 1 < MAX_DOUBLINGS ? ulCount - 1 : MAX_DOUBLINGS;
    uint64_t ullDelay = static_cast<uint64_t>(ulBaseMs) << ulDoublings;
    uint32_t ulDelay = ullDelay > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ullDelay);
    entry.ullNextCheckMs = std::max(entry.ullNextCheckMs, ullNowMs + ulDelay);
    return ulDelay;
}

void LoginFailures::RecordSuccess(const char* pszAddress, const char* pszUser) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string address(pszAddress);
    std::string user = UserKey(pszUser);
    auto it = addresses_.find(address);
    if (it == addresses_.end()) return;
    auto named = it->second.users.find(user);
    if (named == it->second.users.end()) return;
    uint32_t ulCleared = std::min(named->second, it->second.ulFailures);
    it->second.users.erase(named);
    it->second.ulFailures -= ulCleared;
    auto userIt = users_.find(user);
    if (userIt != users_.end()) {
        userIt->second.ulFailures -= std::min(ulCleared, userIt->second.ulFailures);
        if (userIt->second.ulFailures == 0) users_.erase(userIt);
    }
    DropIfUnused(address);
}

uint32_t LoginFailures::AddressFailures(const char* pszAddress) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = addresses_.find(pszAddress);
    return it == addresses_.end() ? 0 : it->second.ulFailures;
}

uint32_t LoginFailures::UserFailures(const char* pszUser) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = users_.find(UserKey(pszUser));
    return it == users_.end() ? 0 : it->second.ulFailures;
}

size_t LoginFailures::AddressCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return addresses_.size();
}
