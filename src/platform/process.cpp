#include "platform/process.h"

#include <signal.h>
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
