#include "platform/process.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

unsigned long GetCurrentProcessId() {
    return static_cast<unsigned long>(getpid());
}

const char* LockHostName() {
    static const char* const s_pszName = [] {
        static char szName[256];
        if (::gethostname(szName, sizeof(szName) - 1) != 0) szName[0] = '\0';
        szName[sizeof(szName) - 1] = '\0';
        szName[std::strcspn(szName, ". \t\r\n")] = '\0';
        if (szName[0] == '\0') std::memcpy(szName, "localhost", sizeof("localhost"));
        return szName;
    }();
    return s_pszName;
}

bool ProcessAlive(unsigned long ulPid) {
    if (ulPid == 0 || ulPid > 0x7FFFFFFFul) return false;
    return ::kill(static_cast<pid_t>(ulPid), 0) == 0 || errno == EPERM;
}

unsigned long RaiseOpenFileLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return static_cast<unsigned long>(limit.rlim_cur);
}
