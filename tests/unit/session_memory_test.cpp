// What an idle session costs: its record's pages are untouched until used, and a thread that
// waits gives back the stack pages that deeper calls left behind.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "imap/session.h"
#include "platform/memory.h"

namespace {

long ResidentKiB() {
    long lPages = 0, lResident = 0;
    std::ifstream("/proc/self/statm") >> lPages >> lResident;
    return lResident * (sysconf(_SC_PAGESIZE) / 1024);
}

__attribute__((noinline)) void TouchStack(size_t nBytes) {
    std::vector<char> unused;  // keeps the frame from being folded away
    volatile char* p = static_cast<volatile char*>(__builtin_alloca(nBytes));
    for (size_t i = 0; i < nBytes; i += 4096) p[i] = 1;
}

// A thread that once ran deep gives those pages back when it waits, and its own frames stay whole.
TEST(IdleMemory, AWaitingThreadGivesBackTheStackItNoLongerUses) {
    std::thread([] {
        char canary[8192];
        std::memset(canary, 'c', sizeof(canary));
        TouchStack(4 << 20);
        long lBefore = ResidentKiB();
        ReleaseUnusedStack();
        long lAfter = ResidentKiB();
        EXPECT_GE(lBefore - lAfter, 2048) << lBefore << " -> " << lAfter;
        EXPECT_EQ(std::count(canary, canary + sizeof(canary), 'c'), static_cast<long>(sizeof(canary)));
        TouchStack(1 << 20);  // the pages come back, zero-filled, when needed again
    }).join();
}

// Session records take untouched pages: a thousand of them made as the listener makes them cost
// next to nothing until used, and they read as zeros even where freed, written memory lay.
TEST(IdleMemory, ASessionRecordCostsOnlyThePagesItUsesAndReadsAsZeros) {
    // Served from the heap, where a freed block is handed out again as it was left. A sanitizer's
    // allocator takes no such advice; only the page count below is looked at under one.
    if (mallopt(M_MMAP_THRESHOLD, 16 << 20) == 1) {
        void* pDirty = malloc(sizeof(Session));
        void* pAfter = malloc(16);  // keeps the freed block from going back to the kernel
        std::memset(pDirty, 0xAB, sizeof(Session));
        __asm__ __volatile__("" : : "r"(pDirty) : "memory");  // the writes happen, though freed at once
        free(pDirty);
        Session* pReused = new Session;
        EXPECT_EQ(pReused->State, 0);
        EXPECT_EQ(pReused->Output.nSendLength, 0u);
        EXPECT_EQ(pReused->szRecv[0], '\0');
        delete pReused;
        free(pAfter);
    }
    long lBefore = ResidentKiB();
    std::vector<Session*> sessions;
    for (int i = 0; i < 1000; i++) sessions.push_back(new Session);
    long lAfter = ResidentKiB();
#if defined(__SANITIZE_THREAD__)  // ThreadSanitizer's shadow of every page written counts too
    static_cast<void>(lBefore), static_cast<void>(lAfter);
#else
    EXPECT_LT(lAfter - lBefore, 1000 * 16) << lBefore << " -> " << lAfter;
#endif
    EXPECT_EQ(sessions.back()->State, 0);
    EXPECT_EQ(sessions.back()->Output.nSendLength, 0u);
    EXPECT_EQ(sessions.back()->szQueue[QUEUE_SIZE - 1], '\0');
    for (Session* p : sessions) delete p;
}

}  // namespace
