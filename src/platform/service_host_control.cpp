// The service control dispatcher, its status reports and the console control of the debug
// mode. systemd starts a notify service with NOTIFY_SOCKET set and stops it with SIGTERM; the
// status goes back as sd_notify datagrams. Controls arrive as signals, which are blocked in
// every thread and taken by one control thread, so that a handler may print, lock and connect
// like any other code.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "platform/format.h"

#include "platform/service_host.h"

struct ServiceStatusRecord {
    sockaddr_un addr;
    socklen_t nAddrLen;
    std::atomic<HandlerFunction> pfnHandler;
};

namespace {

// Takes the signals of a set on a thread of its own until Stop. The callback receives the
// signal number, or 0 when the poll interval it asked for has passed.
class ControlThread {
public:
    using Callback = std::function<void(int)>;

    ~ControlThread() { Stop(); }

    bool Start(const sigset_t& signals, Callback callback) {
        // Blocked before the thread exists, so that every thread started from here on inherits
        // the mask and no signal can reach an asynchronous handler.
        if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
        m_fdSignal = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
        m_fdQuit = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_fdSignal < 0 || m_fdQuit < 0) {
            int nError = errno;
            CloseFds();
            errno = nError;
            return false;
        }
        m_callback = std::move(callback);
        m_thread = std::thread([this] { Run(); });
        return true;
    }

    void Stop() {
        if (m_thread.joinable()) {
            uint64_t one = 1;
            ssize_t n = write(m_fdQuit, &one, sizeof one);
            (void)n;
            m_thread.join();
        }
        CloseFds();
    }

    // Interval of the idle callback; -1 waits for signals only.
    void SetPollInterval(int ms) { m_pollMs.store(ms); }

private:
    void Run() {
        for (;;) {
            pollfd fds[2] = {{m_fdSignal, POLLIN, 0}, {m_fdQuit, POLLIN, 0}};
            int n = poll(fds, 2, m_pollMs.load());
            if (n < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if (n == 0) {
                m_callback(0);
                continue;
            }
            signalfd_siginfo info;
            while (read(m_fdSignal, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                m_callback(static_cast<int>(info.ssi_signo));
            }
        }
    }

    void CloseFds() {
        if (m_fdSignal >= 0) close(m_fdSignal);
        if (m_fdQuit >= 0) close(m_fdQuit);
        m_fdSignal = -1;
        m_fdQuit = -1;
    }

    int m_fdSignal = -1;
    int m_fdQuit = -1;
    std::atomic<int> m_pollMs{-1};
    Callback m_callback;
    std::thread m_thread;
};

ServiceStatusRecord g_statusRecord;
// What the service last said it accepts. A stop that comes while the service is still starting
// (it accepts no control then) is held back until it does, rather than lost.
std::atomic<uint32_t> g_controlsAccepted{0};
std::atomic<uint32_t> g_currentState{SERVICE_STOPPED};
std::atomic<bool> g_stopPending{false};

std::unique_ptr<ControlThread> g_consoleThread;

bool ParseNotifySocket(const char* pszSocket, sockaddr_un* pAddr, socklen_t* pLen) {
    if (pszSocket == nullptr || (pszSocket[0] != '/' && pszSocket[0] != '@')) {
        errno = EAFNOSUPPORT;
        return false;
    }
    size_t nLen = strlen(pszSocket);
    if (nLen < 2 || nLen > sizeof pAddr->sun_path) {
        errno = EINVAL;
        return false;
    }
    memset(pAddr, 0, sizeof *pAddr);
    pAddr->sun_family = AF_UNIX;
    memcpy(pAddr->sun_path, pszSocket, nLen);
    socklen_t nBase = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path));
    if (pszSocket[0] == '@') {
        pAddr->sun_path[0] = '\0';  // abstract name: no terminator, the length tells
        *pLen = static_cast<socklen_t>(nBase + nLen);
    } else {
        if (nLen == sizeof pAddr->sun_path) {
            errno = EINVAL;
            return false;
        }
        *pLen = static_cast<socklen_t>(nBase + nLen + 1);
    }
    return true;
}

void DeliverStop() {
    g_stopPending.store(false);
    HandlerFunction pfn = g_statusRecord.pfnHandler.load();
    if (pfn != nullptr) pfn(SERVICE_CONTROL_STOP);
}

void OnServiceSignal(ControlThread& thread, int nSignal) {
    if (nSignal == SIGHUP) {
        HandlerFunction pfn = g_statusRecord.pfnHandler.load();
        if (pfn != nullptr) pfn(SERVICE_CONTROL_PARAMCHANGE);
        return;
    }
    if (nSignal != 0) g_stopPending.store(true);
    if (!g_stopPending.load()) return;
    if (g_currentState.load() == SERVICE_STOPPED) {
        // Start-up failed and the service has already stopped: nothing left to stop.
        g_stopPending.store(false);
        thread.SetPollInterval(-1);
    } else if ((g_controlsAccepted.load() & SERVICE_ACCEPT_STOP) != 0) {
        thread.SetPollInterval(-1);
        DeliverStop();
    } else {
        thread.SetPollInterval(100);
    }
}

}  // namespace

bool StartServiceCtrlDispatcher(const char* pszServiceName, ServiceMainFunction pfnServiceMain) {
    const char* pszSocket = getenv("NOTIFY_SOCKET");
    if (pszSocket == nullptr || *pszSocket == '\0') {
        // Started from a console: there is no service manager to connect to.
        errno = ENOTCONN;
        return false;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    g_currentState.store(SERVICE_START_PENDING);
    ControlThread thread;
    if (!thread.Start(signals, [&thread](int nSignal) { OnServiceSignal(thread, nSignal); })) return false;

    // The service main function gets the service's own arguments: its name, no start parameters.
    char szName[256];
    static_cast<void>(FormatText(szName, sizeof szName, "%s", pszServiceName != nullptr ? pszServiceName : ""));
    char* argv[] = {szName, nullptr};
    pfnServiceMain(1, argv);
    thread.Stop();
    return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* /*pszServiceName*/, HandlerFunction pfnHandler) {
    sockaddr_un addr;
    socklen_t nLen = 0;
    if (!ParseNotifySocket(getenv("NOTIFY_SOCKET"), &addr, &nLen)) return nullptr;
    g_statusRecord.addr = addr;
    g_statusRecord.nAddrLen = nLen;
    g_statusRecord.pfnHandler.store(pfnHandler);
    return &g_statusRecord;
}

size_t FormatNotifyMessage(const SERVICE_STATUS* pStatus, char* pszBuf, size_t nSize) {
    if (pszBuf == nullptr || nSize == 0) return 0;
    unsigned long long ullExtend = static_cast<unsigned long long>(pStatus->dwWaitHint) * 1000ULL;
    char szExtend[64] = "";
    if (pStatus->dwWaitHint != 0) {
        static_cast<void>(FormatText(szExtend, sizeof szExtend, "EXTEND_TIMEOUT_USEC=%llu\n", ullExtend));
    }
    switch (pStatus->dwCurrentState) {
    case SERVICE_START_PENDING:
        static_cast<void>(
            FormatText(pszBuf, nSize, "STATUS=Starting (checkpoint %u)\n%s", pStatus->dwCheckPoint, szExtend));
        break;
    case SERVICE_RUNNING:
        static_cast<void>(FormatText(pszBuf, nSize, "READY=1\nSTATUS=Running\n"));
        break;
    case SERVICE_STOP_PENDING:
        static_cast<void>(FormatText(pszBuf, nSize, "STOPPING=1\nSTATUS=Stopping (checkpoint %u)\n%s",
                                     pStatus->dwCheckPoint, szExtend));
        break;
    case SERVICE_STOPPED:
        if (pStatus->dwWin32ExitCode != 0) {
            static_cast<void>(FormatText(pszBuf, nSize, "STATUS=Stopped (error %u)\nERRNO=%u\n",
                                         pStatus->dwWin32ExitCode, pStatus->dwWin32ExitCode));
        } else {
            static_cast<void>(FormatText(pszBuf, nSize, "STATUS=Stopped\n"));
        }
        break;
    default:
        static_cast<void>(FormatText(pszBuf, nSize, "STATUS=State %u\n%s", pStatus->dwCurrentState, szExtend));
        break;
    }
    // A cut message still goes out, as far as it fits.
    return strlen(pszBuf);
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE hStatus, const SERVICE_STATUS* pStatus) {
    if (hStatus == nullptr || pStatus == nullptr) {
        errno = EINVAL;
        return false;
    }
    char szMessage[256];
    size_t nLen = FormatNotifyMessage(pStatus, szMessage, sizeof szMessage);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t nSent = sendto(fd, szMessage, nLen, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&hStatus->addr),
                           hStatus->nAddrLen);
    int nError = errno;
    close(fd);
    if (nSent != static_cast<ssize_t>(nLen)) {
        errno = nSent < 0 ? nError : EMSGSIZE;
        return false;
    }
    g_controlsAccepted.store(pStatus->dwControlsAccepted);
    g_currentState.store(pStatus->dwCurrentState);
    return true;
}

bool SetConsoleCtrlHandler(ConsoleHandlerFunction pfnHandler) {
    if (g_consoleThread) return false;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    auto thread = std::make_unique<ControlThread>();
    bool bStarted = thread->Start(signals, [pfnHandler](int nSignal) {
        if (nSignal == 0) return;
        uint32_t dwCtrlType = nSignal == SIGQUIT  ? CTRL_BREAK_EVENT
                              : nSignal == SIGHUP ? CTRL_RELOAD_EVENT
                                                  : CTRL_C_EVENT;
        if (pfnHandler(dwCtrlType) != 0) return;
        // Not handled: the signal's default action, as Windows ends a process whose handlers
        // all decline the event.
        signal(nSignal, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, nSignal);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(nSignal);
    });
    if (!bStarted) return false;
    g_consoleThread = std::move(thread);
    return true;
}

void RemoveConsoleCtrlHandler() {
    if (g_consoleThread) {
        g_consoleThread->Stop();
        g_consoleThread.reset();
    }
}
