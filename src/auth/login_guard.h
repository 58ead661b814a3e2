// Failed logins per client address. Each failure is answered a little later than the one before,
// so guessing passwords costs time even across reconnections; a success clears the address.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class LoginFailures {
public:
    // Counts a failure from the address and returns how long to wait before answering it:
    // ulBaseMs for the first, doubling with each further one up to a ceiling.
    uint32_t RecordFailure(const char* pszAddress, uint32_t ulBaseMs, uint64_t ullNowMs);
    void RecordSuccess(const char* pszAddress);

private:
    struct Entry {
        uint32_t ulCount;
        uint64_t ullLastMs;
    };
    void ForgetOld(uint64_t ullNowMs);

    std::mutex lock_;
    std::unordered_map<std::string, Entry> entries_;
};
