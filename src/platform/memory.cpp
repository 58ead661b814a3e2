#include "platform/memory.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {

uintptr_t PageSize() {
    static const uintptr_t ulPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    return ulPage;
}

// What the calling thread may use of its stack: the lowest address; 0 when it cannot be told.
// The main thread's stack grows on demand, and what lies below it belongs to nobody's stack:
// it is left alone (sessions never run there).
uintptr_t StackLow() {
    thread_local uintptr_t ulLow = 0;
    thread_local bool bKnown = false;
    if (!bKnown) {
        bKnown = true;
        if (::gettid() == ::getpid()) return 0;
        pthread_attr_t attr;
        if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
            void* pStack = nullptr;
            size_t nSize = 0;
            if (::pthread_attr_getstack(&attr, &pStack, &nSize) == 0) ulLow = reinterpret_cast<uintptr_t>(pStack);
            ::pthread_attr_destroy(&attr);
        }
    }
    return ulLow;
}

}  // namespace

void* AllocatePages(size_t nBytes) {
    void* p = ::mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void FreePages(void* p, size_t nBytes) {
    if (p != nullptr) ::munmap(p, nBytes);
}

void ReleasePages(void* p, size_t nBytes) {
    uintptr_t ulPage = PageSize();
    uintptr_t ulStart = (reinterpret_cast<uintptr_t>(p) + ulPage - 1) & ~(ulPage - 1);
    uintptr_t ulEnd = (reinterpret_cast<uintptr_t>(p) + nBytes) & ~(ulPage - 1);
    if (ulEnd > ulStart) ::madvise(reinterpret_cast<void*>(ulStart), ulEnd - ulStart, MADV_DONTNEED);
}

__attribute__((noinline)) void ReleaseUnusedStack() {
    // The wait that follows runs a few frames below this one: those pages are left in place.
    constexpr uintptr_t KEEP_BELOW = 4096;
    uintptr_t ulLow = StackLow();
    uintptr_t ulFrame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (ulLow == 0 || ulFrame < ulLow + KEEP_BELOW) return;
    ReleasePages(reinterpret_cast<void*>(ulLow), ulFrame - KEEP_BELOW - ulLow);
}
