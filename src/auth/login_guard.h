// Failed logins, counted per client address and per user name, and the turn each address waits
// for before a password of it is checked. Passwords from one address are checked one at a time,
// and after a failure not before its delay has passed, so neither reconnecting nor many
// connections at once, nor logging in to an account of one's own in between, guesses faster.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

class LoginFailures {
public:
    // Beyond nMaxEntries addresses (and as many user names) the table shrinks, keeping those
    // with the most failures.
    static constexpr size_t DEFAULT_MAX_ENTRIES = 16384;
    explicit LoginFailures(size_t nMaxEntries = DEFAULT_MAX_ENTRIES);

    // Waits until the address may have a password checked: no other check of it under way and
    // the delay of its last failure over. False, without the turn, once cancelled() says so
    // (the client left, or was told to). A true return must be followed by EndTurn.
    bool BeginTurn(const char* pszAddress, const std::function<bool()>& cancelled);
    void EndTurn(const char* pszAddress);

    // Counts a failure of the user name from the address. Returns the delay before the failure
    // is answered and before the address's next check: ulBaseMs, doubling with each further
    // failure of the address or of the name (the larger count) up to 16 times ulBaseMs.
    uint32_t RecordFailure(const char* pszAddress, const char* pszUser, uint32_t ulBaseMs, uint64_t ullNowMs);
    // Clears the failures of this user name from this address, and only those.
    void RecordSuccess(const char* pszAddress, const char* pszUser);

    // What is counted now (0 when forgotten), and how many addresses are held.
    uint32_t AddressFailures(const char* pszAddress);
    uint32_t UserFailures(const char* pszUser);
    size_t AddressCount();

private:
    // Most user names counted apart for one address; failures for further names still count
    // for the address.
    static constexpr size_t MAX_NAMES_PER_ADDRESS = 32;

    struct AddressEntry {
        uint32_t ulFailures = 0;
        uint64_t ullLastMs = 0;
        uint64_t ullNextCheckMs = 0;
        bool bBusy = false;
        uint32_t ulWaiters = 0;
        std::unordered_map<std::string, uint32_t> users;
    };
    struct UserEntry {
        uint32_t ulFailures = 0;
        uint64_t ullLastMs = 0;
    };

    void ForgetIfOld(AddressEntry* pEntry, uint64_t ullNowMs);
    void MakeRoomForAddress(uint64_t ullNowMs);
    void MakeRoomForUser(uint64_t ullNowMs);
    void DropIfUnused(const std::string& address);

    size_t nMaxEntries_;
    std::mutex lock_;
    std::condition_variable turnFreed_;
    std::unordered_map<std::string, AddressEntry> addresses_;
    std::unordered_map<std::string, UserEntry> users_;
};
