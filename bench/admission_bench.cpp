// What one admission and one departure cost with many sessions already queued: the work every
// accept and every session's end does under the queue's lock, while no other accept can go on.
//
//     build/bench/admission_bench [QUEUED...]      (default: 1000 10000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "net/tmqueue.h"

namespace {

constexpr int ROUNDS = 2000;

void Measure(int nQueued) {
    InitTMQueue();
    // Logged-in sessions from 100 addresses, the newcomers from one of them, with room under the
    // address limit: the common accept, no one sent away. (With AcceptLimit set every admission
    // prints its count on the console, which would be measured too.)
    std::vector<std::unique_ptr<Session>> queued;
    for (int i = 0; i < nQueued; ++i) {
        queued.push_back(std::unique_ptr<Session>(new Session));
        snprintf(queued.back()->szPeerAddr, sizeof queued.back()->szPeerAddr, "10.0.%d.%d", i % 100 / 10, i % 10);
        queued.back()->sockClient = INVALID_SOCKET;
        queued.back()->bLoggedIn = 1;
        AdmitTMQueue(queued.back().get(), 0, 0);
    }
    std::unique_ptr<Session> pNew(new Session);
    snprintf(pNew->szPeerAddr, sizeof pNew->szPeerAddr, "10.0.0.5");
    pNew->sockClient = INVALID_SOCKET;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < ROUNDS; ++i) {
        if (AdmitTMQueue(pNew.get(), 0, 1000000) != ADMITTED) {
            fprintf(stderr, "not admitted\n");
            exit(1);
        }
        RemoveTMQueue(pNew.get());
    }
    double dUs = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / ROUNDS;
    printf("%6d queued: %8.2f us per admission and departure\n", nQueued, dUs);
    for (auto& pSession : queued) RemoveTMQueue(pSession.get());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Measure(1000);
        Measure(10000);
    }
    for (int i = 1; i < argc; ++i) Measure(atoi(argv[i]));
    return 0;
}
