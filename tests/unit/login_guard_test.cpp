// The failed-login table: what a success clears, how the delay grows, how parallel attempts from
// one address queue, and which addresses a full table keeps.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "auth/login_guard.h"
#include "platform/time.h"

namespace {

std::string Address(int n) {
    return "10.0." + std::to_string(n / 256) + "." + std::to_string(n % 256);
}

TEST(LoginGuard, SuccessClearsOnlyThatUserFromThatAddress) {
    LoginFailures failures;
    uint64_t ullNow = MonotonicMilliseconds();
    failures.RecordFailure("192.0.2.1", "victim", 100, ullNow);
    failures.RecordFailure("192.0.2.1", "victim", 100, ullNow);
    failures.RecordFailure("192.0.2.1", "own", 100, ullNow);
    failures.RecordFailure("192.0.2.2", "own", 100, ullNow);
    // The attacker's own account, logged in between guesses: the victim's count stays.
    failures.RecordSuccess("192.0.2.1", "own");
    EXPECT_EQ(failures.AddressFailures("192.0.2.1"), 2u);
    EXPECT_EQ(failures.AddressFailures("192.0.2.2"), 1u);
    EXPECT_EQ(failures.UserFailures("victim"), 2u);
    // The next guess is delayed as the third failure of the address, not as a first one.
    EXPECT_EQ(failures.RecordFailure("192.0.2.1", "victim", 100, ullNow), 400u);
    // The victim logging in from that address clears the victim's failures there, in any case.
    failures.RecordSuccess("192.0.2.1", "VICTIM");
    EXPECT_EQ(failures.AddressFailures("192.0.2.1"), 0u);
    EXPECT_EQ(failures.UserFailures("victim"), 0u);
    EXPECT_EQ(failures.AddressFailures("192.0.2.2"), 1u);
}

TEST(LoginGuard, DelayDoublesPerAddressOrNameUpToSixteenTimes) {
    LoginFailures failures;
    uint64_t ullNow = MonotonicMilliseconds();
    const uint32_t expected[] = {100, 200, 400, 800, 1600, 1600};
    for (uint32_t ulDelay : expected) {
        EXPECT_EQ(failures.RecordFailure("192.0.2.1", "victim", 100, ullNow), ulDelay);
    }
    // Another address guessing the same name starts where the name stands.
    EXPECT_EQ(failures.RecordFailure("192.0.2.9", "victim", 100, ullNow), 1600u);
    // Another name from a fresh address starts from the base.
    EXPECT_EQ(failures.RecordFailure("192.0.2.10", "other", 100, ullNow), 100u);
    // Fifteen quiet minutes start the address and the name again.
    uint64_t ullLater = ullNow + 16ull * 60 * 1000;
    EXPECT_EQ(failures.RecordFailure("192.0.2.1", "victim", 100, ullLater), 100u);
}

// Attempts from one address at once take turns, each after the delay the failures before it
// earned: eight parallel failures with a base of 20 ms take at least 20+40+80+160+320*3 ms.
TEST(LoginGuard, ParallelAttemptsFromOneAddressQueue) {
    LoginFailures failures;
    std::atomic<int> nInTurn{0};
    std::atomic<int> nMostInTurn{0};
    uint64_t ullStart = MonotonicMilliseconds();
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++) {
        threads.emplace_back([&] {
            ASSERT_TRUE(failures.BeginTurn("192.0.2.1", nullptr));
            int nNow = ++nInTurn;
            int nMost = nMostInTurn.load();
            while (nNow > nMost && !nMostInTurn.compare_exchange_weak(nMost, nNow)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --nInTurn;
            failures.RecordFailure("192.0.2.1", "victim", 20, MonotonicMilliseconds());
            failures.EndTurn("192.0.2.1");
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(nMostInTurn.load(), 1);
    EXPECT_GE(MonotonicMilliseconds() - ullStart, 20u + 40 + 80 + 160 + 320 * 3);
    // Another address is not held up by the first one's queue.
    uint64_t ullOther = MonotonicMilliseconds();
    ASSERT_TRUE(failures.BeginTurn("192.0.2.2", nullptr));
    failures.EndTurn("192.0.2.2");
    EXPECT_LT(MonotonicMilliseconds() - ullOther, 200u);
}

TEST(LoginGuard, AWaiterThatGivesUpLeavesTheQueue) {
    LoginFailures failures;
    failures.RecordFailure("192.0.2.1", "victim", 60000, MonotonicMilliseconds());
    std::atomic<bool> bGone{false};
    std::thread giveUp([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        bGone = true;
    });
    uint64_t ullStart = MonotonicMilliseconds();
    EXPECT_FALSE(failures.BeginTurn("192.0.2.1", [&] { return bGone.load(); }));
    EXPECT_LT(MonotonicMilliseconds() - ullStart, 5000u);
    giveUp.join();
}

// A table past its size keeps the addresses with the most failures, and those whose turn is
// under way, and forgets the rest first.
TEST(LoginGuard, FullTableKeepsTheAddressesWithTheMostFailures) {
    LoginFailures failures(64);
    uint64_t ullNow = MonotonicMilliseconds();
    for (int i = 0; i < 8; i++) {
        for (int n = 0; n < 5; n++) failures.RecordFailure(Address(i).c_str(), "victim", 1, ullNow);
    }
    ASSERT_TRUE(failures.BeginTurn("198.51.100.1", nullptr));
    for (int i = 1000; i < 1400; i++) {
        failures.RecordFailure(Address(i).c_str(), ("user" + std::to_string(i)).c_str(), 1, ullNow + i);
    }
    EXPECT_LE(failures.AddressCount(), 64u);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(failures.AddressFailures(Address(i).c_str()), 5u) << Address(i);
    }
    // The newest of the one-failure addresses are the ones kept beside them.
    EXPECT_EQ(failures.AddressFailures(Address(1399).c_str()), 1u);
    EXPECT_EQ(failures.AddressFailures(Address(1000).c_str()), 0u);
    // The address whose check is under way is still there to end its turn.
    failures.EndTurn("198.51.100.1");
    // The name table obeys the same bound.
    EXPECT_EQ(failures.UserFailures("victim"), 40u);
}

}  // namespace
