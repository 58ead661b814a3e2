// uname and sysconf behind the Windows system queries of the start-up probe.
#include <sys/epoll.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/format.h"

#include "platform/sysinfo.h"

namespace {

// Reads a decimal number at *ppsz and moves past it; -1 when there is none.
long TakeNumber(const char** ppsz) {
    const char* p = *ppsz;
    if (*p < '0' || *p > '9') return -1;
    long lValue = 0;
    while (*p >= '0' && *p <= '9') {
        if (lValue < 100000000L) lValue = lValue * 10 + (*p - '0');
        ++p;
    }
    *ppsz = p;
    return lValue;
}

bool StartsWith(const char* psz, const char* pszPrefix) {
    return strncmp(psz, pszPrefix, strlen(pszPrefix)) == 0;
}

}  // namespace

CompletionPort CreateIoCompletionPort(SOCKET sock) {
    int fdPort = epoll_create1(EPOLL_CLOEXEC);
    if (fdPort < 0) return INVALID_COMPLETION_PORT;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.fd = sock;
    if (epoll_ctl(fdPort, EPOLL_CTL_ADD, sock, &ev) != 0) {
        int nError = errno;
        close(fdPort);
        errno = nError;
        return INVALID_COMPLETION_PORT;
    }
    return fdPort;
}

void CloseCompletionPort(CompletionPort hPort) {
    if (hPort != INVALID_COMPLETION_PORT) close(hPort);
}

void ParseKernelRelease(const char* pszSysName, const char* pszRelease, OsVersionInfo* pInfo) {
    memset(pInfo, 0, sizeof *pInfo);
    const char* p = pszRelease != nullptr ? pszRelease : "";
    long lParts[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        long lValue = TakeNumber(&p);
        if (lValue < 0) break;
        lParts[i] = lValue;
        if (*p != '.') break;
        ++p;
    }
    pInfo->dwMajorVersion = lParts[0];
    pInfo->dwMinorVersion = lParts[1];
    pInfo->dwBuildNumber = lParts[2];
    static_cast<void>(FormatText(pInfo->szCSDVersion, sizeof pInfo->szCSDVersion, "%s %s",
                                 pszSysName != nullptr ? pszSysName : "", pszRelease != nullptr ? pszRelease : ""));
}

bool GetVersionEx(OsVersionInfo* pInfo) {
    utsname names;
    if (uname(&names) != 0) {
        memset(pInfo, 0, sizeof *pInfo);
        return false;
    }
    ParseKernelRelease(names.sysname, names.release, pInfo);
    return true;
}

uint16_t ArchitectureFromMachine(const char* pszMachine) {
    if (pszMachine == nullptr) return PROCESSOR_ARCHITECTURE_UNKNOWN;
    // i386 .. i686 and x86_64 (Windows calls 64-bit x86 AMD64, but the probe only names Intel).
    if (strcmp(pszMachine, "x86_64") == 0 || strcmp(pszMachine, "x86") == 0 ||
        (strlen(pszMachine) == 4 && pszMachine[0] == 'i' && pszMachine[1] >= '3' && pszMachine[1] <= '6' &&
         strcmp(pszMachine + 2, "86") == 0)) {
        return PROCESSOR_ARCHITECTURE_INTEL;
    }
    if (StartsWith(pszMachine, "mips")) return PROCESSOR_ARCHITECTURE_MIPS;
    if (StartsWith(pszMachine, "alpha")) return PROCESSOR_ARCHITECTURE_ALPHA;
    return PROCESSOR_ARCHITECTURE_UNKNOWN;
}

void GetSystemInfo(SystemInfo* pInfo) {
    utsname names;
    pInfo->wProcessorArchitecture =
        uname(&names) == 0 ? ArchitectureFromMachine(names.machine) : PROCESSOR_ARCHITECTURE_UNKNOWN;
    long lCount = sysconf(_SC_NPROCESSORS_ONLN);
    pInfo->dwNumberOfProcessors = lCount > 0 ? static_cast<uint32_t>(lCount) : 1;
}
