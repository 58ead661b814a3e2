// Events and the named pipe of the start-up wait. An event is an eventfd that stays readable
// while signalled (manual reset). The pipe is a listening Unix socket in the abstract
// namespace: it needs no file, vanishes with the process, and a second bind of the same name
// fails, which is what keeps a second server from starting. An overlapped connect is emulated
// by letting the wait watch the listening socket on the event's behalf.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/format.h"

#include "platform/service_host.h"

struct EventRecord {
    int fd;
    PipeRecord* pPendingPipe;  // a pipe whose connect signals this event
};

struct PipeRecord {
    int fdListen;
    int fdClient;
    EventRecord* pPendingEvent;
};

namespace {

constexpr size_t MAX_WAIT_OBJECTS = 64;

bool PipeAddress(const char* pszPipeName, sockaddr_un* pAddr, socklen_t* pLen) {
    char szName[sizeof pAddr->sun_path];
    // Cut, the name could be another instance's.
    bool bFits = PipeSocketName(pszPipeName, szName, sizeof szName);
    size_t nLen = strlen(szName);
    if (!bFits || nLen == 0 || nLen + 1 > sizeof pAddr->sun_path) {
        errno = EINVAL;
        return false;
    }
    memset(pAddr, 0, sizeof *pAddr);
    pAddr->sun_family = AF_UNIX;
    pAddr->sun_path[0] = '\0';
    memcpy(pAddr->sun_path + 1, szName, nLen);
    *pLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nLen);
    return true;
}

void DetachPending(PipeRecord* pPipe) {
    if (pPipe->pPendingEvent != nullptr) {
        pPipe->pPendingEvent->pPendingPipe = nullptr;
        pPipe->pPendingEvent = nullptr;
    }
}

// Takes a waiting client onto the pipe; false when none is there.
bool AcceptClient(PipeRecord* pPipe) {
    int fd = accept4(pPipe->fdListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return false;
    if (pPipe->fdClient >= 0) close(pPipe->fdClient);
    pPipe->fdClient = fd;
    return true;
}

bool EventSignalled(int fd) {
    pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}

}  // namespace

HANDLE_EVENT CreateEvent() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    EventRecord* pEvent = new (std::nothrow) EventRecord{fd, nullptr};
    if (pEvent == nullptr) {
        close(fd);
        errno = ENOMEM;
    }
    return pEvent;
}

void SetEvent(HANDLE_EVENT hEvent) {
    if (hEvent == nullptr) return;
    uint64_t one = 1;
    ssize_t n = write(hEvent->fd, &one, sizeof one);
    (void)n;  // only fails when the counter is near overflow: it is signalled then anyway
}

void ResetEvent(HANDLE_EVENT hEvent) {
    if (hEvent == nullptr) return;
    uint64_t value;
    ssize_t n = read(hEvent->fd, &value, sizeof value);
    (void)n;  // EAGAIN: it was not signalled
}

void CloseEvent(HANDLE_EVENT hEvent) {
    if (hEvent == nullptr) return;
    if (hEvent->pPendingPipe != nullptr) hEvent->pPendingPipe->pPendingEvent = nullptr;
    close(hEvent->fd);
    delete hEvent;
}

uint32_t WaitForMultipleObjects(uint32_t nCount, const HANDLE_EVENT* phEvents, uint32_t dwMilliseconds) {
    if (nCount == 0 || nCount > MAX_WAIT_OBJECTS || phEvents == nullptr) {
        errno = EINVAL;
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        // Lowest index first, as WaitForMultipleObjects reports it.
        for (uint32_t i = 0; i < nCount; ++i) {
            HANDLE_EVENT hEvent = phEvents[i];
            if (hEvent == nullptr) {
                errno = EINVAL;
                return WAIT_FAILED;
            }
            if (EventSignalled(hEvent->fd)) return WAIT_OBJECT_0 + i;
            PipeRecord* pPipe = hEvent->pPendingPipe;
            if (pPipe != nullptr && AcceptClient(pPipe)) {
                DetachPending(pPipe);
                SetEvent(hEvent);
                return WAIT_OBJECT_0 + i;
            }
        }
        long long llLeft = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (llLeft <= 0) return WAIT_TIMEOUT;

        pollfd fds[2 * MAX_WAIT_OBJECTS];
        nfds_t nFds = 0;
        for (uint32_t i = 0; i < nCount; ++i) {
            fds[nFds++] = {phEvents[i]->fd, POLLIN, 0};
            if (phEvents[i]->pPendingPipe != nullptr) fds[nFds++] = {phEvents[i]->pPendingPipe->fdListen, POLLIN, 0};
        }
        int nTimeout = llLeft > 0x7fffffff ? 0x7fffffff : static_cast<int>(llLeft);
        if (poll(fds, nFds, nTimeout) < 0 && errno != EINTR) return WAIT_FAILED;
    }
}

bool PipeSocketName(const char* pszPipeName, char* pszBuf, size_t nSize) {
    if (pszBuf == nullptr || nSize == 0) return false;
    // Several servers on one host (tests) each need their own pipe.
    const char* pszOverride = getenv("VEVE4D_PIPE_NAME");
    if (pszOverride != nullptr && *pszOverride != '\0') {
        return FormatText(pszBuf, nSize, "%s", pszOverride);
    }
    const char* pszName = pszPipeName != nullptr ? pszPipeName : "";
    const char* pszLast = strrchr(pszName, '\\');
    return FormatText(pszBuf, nSize, "%s", pszLast != nullptr ? pszLast + 1 : pszName);
}

HANDLE_PIPE CreateNamedPipe(const char* pszPipeName) {
    sockaddr_un addr;
    socklen_t nLen = 0;
    if (!PipeAddress(pszPipeName, &addr, &nLen)) return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), nLen) != 0 || listen(fd, 4) != 0) {
        int nError = errno;
        close(fd);
        errno = nError;
        return nullptr;
    }
    PipeRecord* pPipe = new (std::nothrow) PipeRecord{fd, -1, nullptr};
    if (pPipe == nullptr) {
        close(fd);
        errno = ENOMEM;
    }
    return pPipe;
}

uint32_t ConnectNamedPipe(HANDLE_PIPE hPipe, HANDLE_EVENT hEvent) {
    if (hPipe == nullptr) return ERROR_IO_PENDING;
    DetachPending(hPipe);
    if (AcceptClient(hPipe)) return ERROR_PIPE_CONNECTED;
    // Nothing waiting (or a failed accept, which the wait then retries): the connect is pending.
    if (hEvent != nullptr) {
        if (hEvent->pPendingPipe != nullptr) hEvent->pPendingPipe->pPendingEvent = nullptr;
        hEvent->pPendingPipe = hPipe;
        hPipe->pPendingEvent = hEvent;
    }
    return ERROR_IO_PENDING;
}

void DisconnectNamedPipe(HANDLE_PIPE hPipe) {
    if (hPipe == nullptr) return;
    DetachPending(hPipe);
    if (hPipe->fdClient >= 0) close(hPipe->fdClient);
    hPipe->fdClient = -1;
}

void ClosePipe(HANDLE_PIPE hPipe) {
    if (hPipe == nullptr) return;
    DisconnectNamedPipe(hPipe);
    close(hPipe->fdListen);
    delete hPipe;
}

bool ConnectToPipe(const char* pszPipeName) {
    sockaddr_un addr;
    socklen_t nLen = 0;
    if (!PipeAddress(pszPipeName, &addr, &nLen)) return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool bOk = connect(fd, reinterpret_cast<const sockaddr*>(&addr), nLen) == 0;
    int nError = errno;
    close(fd);
    errno = nError;
    return bOk;
}
