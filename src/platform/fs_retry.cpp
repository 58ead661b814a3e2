#include "platform/fs_retry.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/fs.h"

namespace {

thread_local int t_nLastError = 0;

struct FaultHookSlot {
    std::mutex mutex;
    std::function<int(const char*, const char*)> fnHook;
    bool bSet = false;
};
FaultHookSlot& TheFaultHook() {
    static FaultHookSlot slot;
    return slot;
}

int InjectedError(const char* pszCall, const char* pszPath) {
    FaultHookSlot& slot = TheFaultHook();
    std::function<int(const char*, const char*)> fnHook;
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        if (!slot.bSet) return 0;
        fnHook = slot.fnHook;
    }
    return fnHook ? fnHook(pszCall, pszPath) : 0;
}

bool Transient(int nError) {
    return nError == ESTALE || nError == EAGAIN || nError == EBUSY || nError == ETIMEDOUT || nError == EINTR;
}

// Long enough for a file server to finish what another machine began (a rename, a lease break),
// short enough that a client never notices: about 60 ms in all.
constexpr int MAX_ATTEMPTS = 6;

}  // namespace

int RetryFileCall(const char* pszCall, const char* pszPath, const std::function<int()>& fnCall) {
    int nResult = -1;
    for (int nAttempt = 0; nAttempt < MAX_ATTEMPTS; ++nAttempt) {
        if (nAttempt > 0) {
            struct timespec ts {0, (1L << nAttempt) * 1000000L};
            ::nanosleep(&ts, nullptr);
        }
        int nInjected = InjectedError(pszCall, pszPath);
        if (nInjected != 0) {
            errno = nInjected;
            nResult = -1;
        } else {
            nResult = fnCall();
            if (nResult >= 0) return nResult;
        }
        if (!Transient(errno)) break;
    }
    NoteFileFailure(errno);
    return nResult;
}

void NoteFileFailure(int nError) { t_nLastError = nError; }

FileFailure LastFileFailure() {
    if (t_nLastError == 0) return FILE_FAILURE_NONE;
    if (t_nLastError == EEXIST) return FILE_FAILURE_EXISTS;
    if (t_nLastError == ENOENT) return FILE_FAILURE_MISSING;
    return Transient(t_nLastError) ? FILE_FAILURE_TRANSIENT : FILE_FAILURE_OTHER;
}

const char* LastFileFailureText() { return t_nLastError == 0 ? "" : std::strerror(t_nLastError); }

void ClearFileFailure() { t_nLastError = 0; }

void SetFileFaultHook(std::function<int(const char* pszCall, const char* pszPath)> fnHook) {
    FaultHookSlot& slot = TheFaultHook();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.bSet = static_cast<bool>(fnHook);
    slot.fnHook = std::move(fnHook);
}
