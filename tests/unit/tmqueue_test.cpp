// Admission to the session queue: who is counted against AcceptLimit and AddressLimit, who is sent
// away to make room, and who is closed for being late.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "net/tmqueue.h"

namespace {

struct Sessions {
    std::vector<std::unique_ptr<Session>> all;

    Session* Make(const char* pszAddress, bool bLoggedIn = false) {
        all.push_back(std::make_unique<Session>());
        Session* pSession = all.back().get();
        pSession->sockClient = INVALID_SOCKET;
        snprintf(pSession->szPeerAddr, sizeof pSession->szPeerAddr, "%s", pszAddress);
        pSession->bLoggedIn = bLoggedIn ? 1 : 0;
        return pSession;
    }
    ~Sessions() {
        for (auto& pSession : all) RemoveTMQueue(pSession.get());
    }
};

// A whole line came in after its admission.
void Hear(Session* pSession, uint64_t ullAfter) { pSession->ullLastInput = pSession->ullAdmitted + ullAfter; }

TEST(TMQueue, LimitsCountWorkingSessionsPerAddressAndMakeRoomFromIdleOnes) {
    InitTMQueue();
    Sessions s;
    // Two logged-in sessions fill 10.0.0.1's share; another address is not affected.
    Session* pA1 = s.Make("10.0.0.1", true);
    Session* pA2 = s.Make("10.0.0.1", true);
    ASSERT_EQ(AdmitTMQueue(pA1, 0, 2), ADMITTED);
    ASSERT_EQ(AdmitTMQueue(pA2, 0, 2), ADMITTED);
    EXPECT_EQ(AdmitTMQueue(s.Make("10.0.0.1"), 0, 2), REFUSED_ADDRESS);
    Session* pB1 = s.Make("10.0.0.2");
    EXPECT_EQ(AdmitTMQueue(pB1, 0, 2), ADMITTED);
    EXPECT_EQ(ViewTMQueue(), 4u);
    // A session that ended gives its place back, and its address's.
    RemoveTMQueue(pA1);
    RemoveTMQueue(pA1);
    EXPECT_EQ(ViewTMQueue(), 3u);
    Session* pA3 = s.Make("10.0.0.1");
    EXPECT_EQ(AdmitTMQueue(pA3, 0, 2), ADMITTED);

    // 10.0.0.1 is full again: its own idle session before login leaves, not 10.0.0.2's older one.
    Session* pA4 = s.Make("10.0.0.1");
    EXPECT_EQ(AdmitTMQueue(pA4, 0, 2), ADMITTED);
    EXPECT_EQ(pA3->bEvicted.load(), EVICTED_FOR_ROOM);
    EXPECT_EQ(pB1->bEvicted.load(), 0);
    // Leaving, it no longer counts, though it is queued until its thread ends.
    EXPECT_EQ(ViewTMQueue(), 5u);
    Hear(pA4, 5);
    EXPECT_EQ(AdmitTMQueue(s.Make("10.0.0.1"), 0, 2), ADMITTED);
    EXPECT_EQ(pA4->bEvicted.load(), EVICTED_FOR_ROOM);

}

TEST(TMQueue, ASessionThatLoggedInAfterItsAdmissionIsNeverSentAway) {
    InitTMQueue();
    Sessions s;
    Session* pLate = s.Make("10.0.0.3");
    ASSERT_EQ(AdmitTMQueue(pLate, 1, 0), ADMITTED);
    pLate->bLoggedIn = 1;
    EXPECT_EQ(AdmitTMQueue(s.Make("10.0.0.4"), 1, 0), REFUSED_LIMIT);
    EXPECT_EQ(pLate->bEvicted.load(), 0);
    EXPECT_EQ(CutLateSessions(~0ull >> 1), 0u);
    EXPECT_EQ(ViewTMQueue(), 2u);
}

TEST(TMQueue, TheIdlestBeforeLoginLeavesFirst) {
    InitTMQueue();
    Sessions s;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Session* pOldHeard = s.Make("10.0.0.1");
    Session* pLoud = s.Make("10.0.0.2");
    pLoud->sockClient = pair[0];
    Session* pQuiet = s.Make("10.0.0.3");
    Session* pNewHeard = s.Make("10.0.0.4");
    for (Session* pSession : {pOldHeard, pLoud, pQuiet, pNewHeard}) {
        ASSERT_EQ(AdmitTMQueue(pSession, 4, 0), ADMITTED);
        pSession->ullAdmitted = 100;
        pSession->ullLastInput = 100;
    }
    pOldHeard->ullLastInput = 150;
    pNewHeard->ullLastInput = 150;
    // Bytes waiting that no trickle ever leaves: a client whose thread has not read them yet.
    ASSERT_EQ(write(pair[1], "a1 LOGIN user password\r\n", 24), 24);

    auto evicted = [&] {
        std::string strWho;
        for (Session* pSession : {pOldHeard, pLoud, pQuiet, pNewHeard}) strWho += pSession->bEvicted ? "x" : ".";
        return strWho;
    };
    // The one never heard goes before any heard one, though admitted after some of them; then
    // the heard one whose last line is the oldest; on a tie the earlier admitted.
    for (const char* pszAfter : {"..x.", ".xx.", "xxx.", "xxxx"}) {
        EXPECT_EQ(AdmitTMQueue(s.Make("10.0.0.9", true), 4, 0), ADMITTED);
        EXPECT_EQ(evicted(), pszAfter);
    }
    // Only logged-in sessions are left to count: no room.
    EXPECT_EQ(AdmitTMQueue(s.Make("10.0.0.9"), 4, 0), REFUSED_LIMIT);
    close(pair[0]);
    close(pair[1]);
}

TEST(TMQueue, LateSessionsAreCutOnceAndLoggedInOnesNever) {
    InitTMQueue();
    Sessions s;
    Session* pLate = s.Make("10.0.0.1");
    Session* pHandshake = s.Make("10.0.0.1");
    Session* pIn = s.Make("10.0.0.1");
    Session* pOnTime = s.Make("10.0.0.1");
    for (Session* pSession : {pLate, pHandshake, pIn, pOnTime}) ASSERT_EQ(AdmitTMQueue(pSession, 0, 0), ADMITTED);
    pLate->ullLoginDeadline = 1000;
    pHandshake->ullHandshakeDeadline = 1500;
    pIn->ullLoginDeadline = 1000;
    pIn->bLoggedIn = 1;
    pOnTime->ullLoginDeadline = 3000;
    EXPECT_EQ(CutLateSessions(999), 0u);
    EXPECT_EQ(CutLateSessions(2000), 2u);
    EXPECT_EQ(pLate->bEvicted.load(), EVICTED_LATE);
    EXPECT_EQ(pHandshake->bEvicted.load(), EVICTED_LATE);
    EXPECT_EQ(pIn->bEvicted.load(), 0);
    EXPECT_EQ(CutLateSessions(2000), 0u);
    EXPECT_EQ(CutLateSessions(3000), 1u);
    // Cut sessions make room like any leaving one: one working session is left.
    EXPECT_EQ(AdmitTMQueue(s.Make("10.0.0.1"), 2, 1), REFUSED_ADDRESS);
    EXPECT_EQ(AdmitTMQueue(s.Make("10.0.0.2", true), 2, 1), ADMITTED);
    EXPECT_EQ(AdmitTMQueue(s.Make("10.0.0.3", true), 2, 1), REFUSED_LIMIT);
}

// The queue's answers against the plain reading of its rules (every queued session compared on
// every admission), over random admissions, logins, lines, deadlines and departures.
TEST(TMQueue, AnswersAsAWalkOverEveryQueuedSessionWould) {
    struct Model {
        std::vector<Session*> queued;
        bool Idler(Session* pOne, Session* pOther) const {
            bool bOne = pOne->ullLastInput > pOne->ullAdmitted;
            bool bOther = pOther->ullLastInput > pOther->ullAdmitted;
            if (bOne != bOther) return !bOne;
            return pOne->ullLastInput < pOther->ullLastInput;
        }
        Session* Oldest(const char* pszAddress) const {
            Session* pOldest = nullptr;
            for (Session* p : queued) {
                if (p->bLoggedIn || p->bEvicted || (pszAddress && strcmp(p->szPeerAddr, pszAddress) != 0)) continue;
                if (pOldest == nullptr || Idler(p, pOldest)) pOldest = p;
            }
            return pOldest;
        }
        // The answer, and the sessions the admission sends away.
        std::pair<Admission, std::vector<Session*>> Admit(Session* pSession, uint32_t ulLimit,
                                                          uint32_t ulAddressLimit) const {
            uint32_t ulCount = 1, ulFrom = 0;
            for (Session* p : queued) {
                if (p->bEvicted) continue;
                ulCount++;
                if (strcmp(p->szPeerAddr, pSession->szPeerAddr) == 0) ulFrom++;
            }
            std::vector<Session*> gone;
            if (ulAddressLimit != 0 && ulFrom >= ulAddressLimit) {
                Session* p = Oldest(pSession->szPeerAddr);
                if (p == nullptr) return {REFUSED_ADDRESS, gone};
                gone.push_back(p);
                ulCount--;
            }
            if (ulLimit != 0 && ulCount > ulLimit) {
                // Looked for once the first one is leaving.
                for (Session* p : gone) p->bEvicted = EVICTED_FOR_ROOM;
                Session* pSecond = Oldest(nullptr);
                for (Session* p : gone) p->bEvicted = 0;
                if (pSecond == nullptr) return {REFUSED_LIMIT, gone};
                gone.push_back(pSecond);
            }
            return {ADMITTED, gone};
        }
    };

    std::mt19937 rng(27);
    for (int round = 0; round < 20; ++round) {
        InitTMQueue();
        Sessions s;
        Model model;
        const char* addresses[] = {"10.0.0.1", "10.0.0.2", "::1"};
        uint32_t ulLimit = rng() % 8;
        uint32_t ulAddressLimit = rng() % 4;
        for (int step = 0; step < 400; ++step) {
            unsigned op = rng() % 10;
            if (op < 4 || model.queued.empty()) {
                Session* pNew = s.Make(addresses[rng() % 3], rng() % 4 == 0);
                std::vector<int32_t> before;
                for (auto& p : s.all) before.push_back(p->bEvicted);
                auto [expected, gone] = model.Admit(pNew, ulLimit, ulAddressLimit);
                ASSERT_EQ(AdmitTMQueue(pNew, ulLimit, ulAddressLimit), expected) << round << "/" << step;
                if (expected == ADMITTED) model.queued.push_back(pNew);
                // Exactly the model's choices were told to leave.
                std::vector<Session*> told;
                for (size_t i = 0; i < before.size(); ++i) {
                    if (before[i] != s.all[i]->bEvicted) told.push_back(s.all[i].get());
                }
                std::sort(gone.begin(), gone.end());
                std::sort(told.begin(), told.end());
                ASSERT_EQ(told, gone) << round << "/" << step;
            } else if (op < 6) {
                Session* p = model.queued[rng() % model.queued.size()];
                RemoveTMQueue(p);
                model.queued.erase(std::find(model.queued.begin(), model.queued.end(), p));
            } else if (op < 7) {
                model.queued[rng() % model.queued.size()]->bLoggedIn = 1;
            } else if (op < 9) {
                Session* p = model.queued[rng() % model.queued.size()];
                if (!p->bEvicted) p->ullLastInput = p->ullAdmitted + 1 + rng() % 50;
            } else {
                Session* p = model.queued[rng() % model.queued.size()];
                p->ullLoginDeadline = 100;
                uint32_t ulLate = 0;
                for (Session* q : model.queued) {
                    if (!q->bLoggedIn && !q->bEvicted && q->ullLoginDeadline != 0 && q->ullLoginDeadline <= 200) ulLate++;
                }
                ASSERT_EQ(CutLateSessions(200), ulLate) << round << "/" << step;
            }
            ASSERT_EQ(ViewTMQueue(), model.queued.size() + 1) << round << "/" << step;
        }
    }
}

}  // namespace
