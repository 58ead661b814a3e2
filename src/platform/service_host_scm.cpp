// The service control manager is systemd: a service is a unit file in the unit directory,
// and starting, stopping and querying go through systemctl. Both can be redirected
// (VEVE4D_UNIT_DIR, VEVE4D_SYSTEMCTL) so that installing can be tried without systemd.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/format.h"
#include "platform/service_host.h"

extern char** environ;

struct ScHandleRecord {
    char szUnitDir[512];
    char szUnitName[128];  // empty for the manager handle
    char szUnitPath[768];
};

namespace {

constexpr const char* DEFAULT_UNIT_DIR = "/etc/systemd/system";
constexpr const char* DEFAULT_PAM_DIR = "/etc/pam.d";
constexpr const char* PAM_FILE_NAME = "veve4d";

const char* EnvOr(const char* pszName, const char* pszDefault) {
    const char* psz = getenv(pszName);
    return psz != nullptr && *psz != '\0' ? psz : pszDefault;
}

// Runs systemctl with the arguments; its standard output goes into pszOut (when given).
// Returns the exit status, or -1 when it could not be run.
int RunSystemctl(const char* const* ppszArgs, char* pszOut, size_t nOutSize) {
    const char* pszProgram = EnvOr("VEVE4D_SYSTEMCTL", "systemctl");
    char* argv[8];
    size_t nArgs = 0;
    argv[nArgs++] = const_cast<char*>(pszProgram);
    for (size_t i = 0; ppszArgs[i] != nullptr && nArgs + 1 < sizeof argv / sizeof argv[0]; ++i) {
        argv[nArgs++] = const_cast<char*>(ppszArgs[i]);
    }
    argv[nArgs] = nullptr;

    int fdOut[2];
    if (pipe2(fdOut, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fdOut[1], 1);
    // systemctl's own complaints (no systemd running, say) are not ours to print.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int nSpawn = posix_spawnp(&pid, pszProgram, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fdOut[1]);
    if (nSpawn != 0) {
        close(fdOut[0]);
        errno = nSpawn;
        return -1;
    }
    size_t nUsed = 0;
    char szDiscard[256];
    for (;;) {
        char* pDest = szDiscard;
        size_t nRoom = sizeof szDiscard;
        if (pszOut != nullptr && nUsed + 1 < nOutSize) {
            pDest = pszOut + nUsed;
            nRoom = nOutSize - 1 - nUsed;
        }
        ssize_t n = read(fdOut[0], pDest, nRoom);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (pDest != szDiscard) nUsed += static_cast<size_t>(n);
    }
    if (pszOut != nullptr && nOutSize > 0) pszOut[nUsed] = '\0';
    close(fdOut[0]);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

bool ReloadSystemd() {
    const char* args[] = {"daemon-reload", nullptr};
    return RunSystemctl(args, nullptr, 0) == 0;
}

// systemd's state names against the service states.
uint32_t StateFromActiveState(const char* pszState) {
    char szWord[32];
    size_t n = 0;
    while (pszState[n] != '\0' && !isspace(static_cast<unsigned char>(pszState[n])) && n + 1 < sizeof szWord) {
        szWord[n] = pszState[n];
        ++n;
    }
    szWord[n] = '\0';
    if (strcmp(szWord, "active") == 0 || strcmp(szWord, "reloading") == 0 || strcmp(szWord, "refreshing") == 0) {
        return SERVICE_RUNNING;
    }
    if (strcmp(szWord, "activating") == 0) return SERVICE_START_PENDING;
    if (strcmp(szWord, "deactivating") == 0) return SERVICE_STOP_PENDING;
    return SERVICE_STOPPED;  // inactive, failed, unknown
}

bool CopyFileExclusive(const char* pszFrom, const char* pszTo) {
    int fdIn = open(pszFrom, O_RDONLY | O_CLOEXEC);
    if (fdIn < 0) return false;
    int fdOut = open(pszTo, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fdOut < 0) {
        close(fdIn);
        return false;
    }
    bool bOk = true;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fdIn, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) bOk = false;
        if (n <= 0) break;
        if (write(fdOut, buf, static_cast<size_t>(n)) != n) {
            bOk = false;
            break;
        }
    }
    close(fdIn);
    close(fdOut);
    if (!bOk) unlink(pszTo);
    return bOk;
}

// Operating-system logins go through PAM under the service name "veve4d"; its configuration
// ships beside the program. An existing one is the administrator's and is left alone; when
// none can be found nothing is installed.
void InstallPamConfig() {
    char szTarget[512];
    // A cut path would name some other file.
    if (!FormatText(szTarget, sizeof szTarget, "%s/%s", EnvOr("VEVE4D_PAM_DIR", DEFAULT_PAM_DIR), PAM_FILE_NAME) ||
        access(szTarget, F_OK) == 0) {
        return;
    }

    char szExe[512];
    if (!GetModuleFileName(szExe, sizeof szExe)) return;
    char* pSlash = strrchr(szExe, '/');
    if (pSlash == nullptr) return;
    *pSlash = '\0';
    const char* apszRelative[] = {"etc/pam.d", "../etc/pam.d", "../share/veve4d/pam.d"};
    char szSource[768];
    for (const char* pszRelative : apszRelative) {
        if (FormatText(szSource, sizeof szSource, "%s/%s/%s", szExe, pszRelative, PAM_FILE_NAME) &&
            access(szSource, R_OK) == 0) {
            CopyFileExclusive(szSource, szTarget);
            return;
        }
    }
#ifdef VEVE4D_PAM_SOURCE
    if (access(VEVE4D_PAM_SOURCE, R_OK) == 0) CopyFileExclusive(VEVE4D_PAM_SOURCE, szTarget);
#endif
}

// Appends text to a unit value: "%" is a specifier and "$" a variable in unit files.
bool AppendUnitText(char* pszBuf, size_t nSize, size_t* pnUsed, const char* pszText, bool bCommand,
                    bool bQuoted) {
    for (const char* p = pszText; *p != '\0'; ++p) {
        char szPiece[3] = {*p, '\0', '\0'};
        if (*p == '\n' || *p == '\r') return false;
        if (*p == '%') szPiece[1] = '%';
        if (bCommand && *p == '$') szPiece[1] = '$';
        if (bQuoted && (*p == '"' || *p == '\\')) {
            szPiece[0] = '\\';
            szPiece[1] = *p;
        }
        size_t nPiece = strlen(szPiece);
        if (*pnUsed + nPiece >= nSize) return false;
        memcpy(pszBuf + *pnUsed, szPiece, nPiece);
        *pnUsed += nPiece;
    }
    pszBuf[*pnUsed] = '\0';
    return true;
}

bool AppendRaw(char* pszBuf, size_t nSize, size_t* pnUsed, const char* pszText) {
    size_t n = strlen(pszText);
    if (*pnUsed + n >= nSize) return false;
    memcpy(pszBuf + *pnUsed, pszText, n + 1);
    *pnUsed += n;
    return true;
}

ScHandleRecord* NewHandle(const ScHandleRecord& from) {
    ScHandleRecord* p = new (std::nothrow) ScHandleRecord(from);
    if (p == nullptr) errno = ENOMEM;
    return p;
}

}  // namespace

bool GetModuleFileName(char* pszPath, size_t nSize) {
    if (pszPath == nullptr || nSize < 2) {
        errno = EINVAL;
        return false;
    }
    ssize_t n = readlink("/proc/self/exe", pszPath, nSize - 1);
    if (n < 0) return false;
    if (static_cast<size_t>(n) >= nSize - 1) {
        errno = ENAMETOOLONG;  // possibly cut
        return false;
    }
    pszPath[n] = '\0';
    return true;
}

size_t FormatServiceUnit(const char* pszDisplayName, const char* pszBinaryPath, char* pszBuf, size_t nSize,
                         const char* pszUser) {
    if (pszBuf == nullptr || nSize == 0) return 0;
    size_t nUsed = 0;
    pszBuf[0] = '\0';
    bool bQuote = strpbrk(pszBinaryPath, " \t\"'\\") != nullptr;
    // The console trace carries passwords and headers: it must not land in the journal, as a
    // Windows service has no console to write it to.
    bool bOk = AppendRaw(pszBuf, nSize, &nUsed, "[Unit]\nDescription=") &&
               AppendUnitText(pszBuf, nSize, &nUsed, pszDisplayName, false, false) &&
               AppendRaw(pszBuf, nSize, &nUsed, "\n\n[Service]\nType=notify\nExecStart=") &&
               (!bQuote || AppendRaw(pszBuf, nSize, &nUsed, "\"")) &&
               AppendUnitText(pszBuf, nSize, &nUsed, pszBinaryPath, true, bQuote) &&
               (!bQuote || AppendRaw(pszBuf, nSize, &nUsed, "\"")) &&
               // "systemctl reload" takes a renewed TLS certificate.
               AppendRaw(pszBuf, nSize, &nUsed, "\nExecReload=/bin/kill -HUP $MAINPID") &&
               // An unprivileged user still needs the IMAP ports below 1024.
               (pszUser == nullptr ||
                (AppendRaw(pszBuf, nSize, &nUsed, "\nUser=") &&
                 AppendUnitText(pszBuf, nSize, &nUsed, pszUser, false, false) &&
                 AppendRaw(pszBuf, nSize, &nUsed, "\nAmbientCapabilities=CAP_NET_BIND_SERVICE"))) &&
               AppendRaw(pszBuf, nSize, &nUsed, "\nStandardOutput=null\n\n[Install]\nWantedBy=multi-user.target\n");
    if (!bOk) {
        pszBuf[0] = '\0';
        return 0;
    }
    return nUsed;
}

SC_HANDLE OpenSCManager() {
    ScHandleRecord rec{};
    // Cut, the directory would be some other one.
    if (!FormatText(rec.szUnitDir, sizeof rec.szUnitDir, "%s", EnvOr("VEVE4D_UNIT_DIR", DEFAULT_UNIT_DIR))) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    struct stat st;
    if (stat(rec.szUnitDir, &st) != 0) return nullptr;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return nullptr;
    }
    if (access(rec.szUnitDir, W_OK) != 0) return nullptr;
    return NewHandle(rec);
}

namespace {

bool FillServiceHandle(SC_HANDLE hManager, const char* pszServiceName, ScHandleRecord* pRec) {
    if (hManager == nullptr || pszServiceName == nullptr || *pszServiceName == '\0' ||
        strchr(pszServiceName, '/') != nullptr) {
        errno = EINVAL;
        return false;
    }
    *pRec = *hManager;
    size_t n = 0;
    for (; pszServiceName[n] != '\0' && n + 1 < sizeof pRec->szUnitName; ++n) {
        pRec->szUnitName[n] = static_cast<char>(tolower(static_cast<unsigned char>(pszServiceName[n])));
    }
    pRec->szUnitName[n] = '\0';
    if (!FormatText(pRec->szUnitPath, sizeof pRec->szUnitPath, "%s/%s.service", pRec->szUnitDir, pRec->szUnitName)) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

}  // namespace

SC_HANDLE CreateService(SC_HANDLE hManager, const char* pszServiceName, const char* pszDisplayName,
                        const char* pszBinaryPath, const char* pszUser) {
    ScHandleRecord rec{};
    if (!FillServiceHandle(hManager, pszServiceName, &rec)) return nullptr;
    char szUnit[2048];
    size_t nUnit = FormatServiceUnit(pszDisplayName, pszBinaryPath, szUnit, sizeof szUnit, pszUser);
    if (nUnit == 0) {
        errno = EINVAL;
        return nullptr;
    }
    // An existing unit makes the creation fail, as an existing service does.
    int fd = open(rec.szUnitPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    ssize_t nWritten = write(fd, szUnit, nUnit);
    int nError = errno;
    bool bClosed = close(fd) == 0;
    if (nWritten != static_cast<ssize_t>(nUnit) || !bClosed) {
        unlink(rec.szUnitPath);
        errno = nWritten < 0 ? nError : EIO;
        return nullptr;
    }
    // A host without a running systemd still gets the unit; it is read at the next boot.
    ReloadSystemd();
    InstallPamConfig();
    return NewHandle(rec);
}

SC_HANDLE OpenService(SC_HANDLE hManager, const char* pszServiceName) {
    ScHandleRecord rec{};
    if (!FillServiceHandle(hManager, pszServiceName, &rec)) return nullptr;
    if (access(rec.szUnitPath, F_OK) != 0) return nullptr;
    return NewHandle(rec);
}

bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* pStatus) {
    if (hService == nullptr || hService->szUnitName[0] == '\0' || pStatus == nullptr) {
        errno = EINVAL;
        return false;
    }
    char szUnit[160];
    static_cast<void>(FormatText(szUnit, sizeof szUnit, "%s.service", hService->szUnitName));
    const char* args[] = {"is-active", szUnit, nullptr};
    char szOut[128];
    // is-active answers with a non-zero status for every state but "active"; the word counts.
    if (RunSystemctl(args, szOut, sizeof szOut) < 0) return false;
    memset(pStatus, 0, sizeof *pStatus);
    pStatus->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    pStatus->dwCurrentState = StateFromActiveState(szOut);
    pStatus->dwControlsAccepted = pStatus->dwCurrentState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    return true;
}

bool ControlService(SC_HANDLE hService, uint32_t dwControl, SERVICE_STATUS* pStatus) {
    if (dwControl != SERVICE_CONTROL_STOP) {
        errno = EINVAL;
        return false;
    }
    if (!QueryServiceStatus(hService, pStatus)) return false;
    if (pStatus->dwCurrentState != SERVICE_RUNNING && pStatus->dwCurrentState != SERVICE_START_PENDING) {
        errno = ESRCH;  // not active: nothing to stop
        return false;
    }
    char szUnit[160];
    static_cast<void>(FormatText(szUnit, sizeof szUnit, "%s.service", hService->szUnitName));
    const char* args[] = {"stop", "--no-block", szUnit, nullptr};
    int nExit = RunSystemctl(args, nullptr, 0);
    if (nExit != 0) {
        if (nExit > 0) errno = EIO;
        return false;
    }
    pStatus->dwCurrentState = SERVICE_STOP_PENDING;
    pStatus->dwControlsAccepted = 0;
    return true;
}

bool DeleteService(SC_HANDLE hService) {
    if (hService == nullptr || hService->szUnitName[0] == '\0') {
        errno = EINVAL;
        return false;
    }
    if (unlink(hService->szUnitPath) != 0) return false;
    ReloadSystemd();
    return true;
}

void CloseServiceHandle(SC_HANDLE hHandle) {
    delete hHandle;
}
