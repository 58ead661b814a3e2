#include "platform/admin_files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/format.h"

namespace {

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t nWritten = write(fd, p, n);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) return false;
        p += nWritten;
        n -= static_cast<size_t>(nWritten);
    }
    return true;
}

std::string ParentOf(const std::string& path) {
    size_t nSlash = path.find_last_of('/');
    if (nSlash == std::string::npos) return ".";
    return nSlash == 0 ? "/" : path.substr(0, nSlash);
}

// The rename is only durable once the directory that holds the name is on disk too.
void SyncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

bool ReplaceFileContent(const char* pszPath, const void* pData, size_t nLength, unsigned int nNewMode) {
    std::string path = pszPath;
    std::string dir = ParentOf(path);
    size_t nSlash = path.find_last_of('/');
    // A hidden name that no listing of user files or messages takes for one of its own.
    std::string temp = dir + "/." + path.substr(nSlash == std::string::npos ? 0 : nSlash + 1) + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return false;

    struct stat stOld {};
    bool bHadOld = stat(pszPath, &stOld) == 0;
    bool bOk = fchmod(fd, bHadOld ? (stOld.st_mode & 07777) : nNewMode) == 0;
    // Root may give the file back to its owner; anyone else keeps what they had.
    if (bOk && bHadOld && geteuid() == 0) bOk = fchown(fd, stOld.st_uid, stOld.st_gid) == 0;
    bOk = bOk && WriteAll(fd, static_cast<const char*>(pData), nLength) && fsync(fd) == 0;
    int nErrno = errno;
    if (close(fd) != 0 && bOk) {
        bOk = false;
        nErrno = errno;
    }
    if (bOk && rename(temp.c_str(), pszPath) != 0) {
        bOk = false;
        nErrno = errno;
    }
    if (!bOk) {
        unlink(temp.c_str());
        errno = nErrno;
        return false;
    }
    SyncDirectory(dir);
    return true;
}

bool ActAsOwnerOf(const char* pszPath) {
    if (getuid() != 0) return true;
    std::string path = pszPath;
    struct stat st {};
    while (stat(path.c_str(), &st) != 0) {
        if (path == "/" || path == ".") return false;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        path = ParentOf(path);
    }
    ActAsSelf();
    // Group first: once the user is no longer root, the group cannot be changed.
    return setegid(st.st_gid) == 0 && seteuid(st.st_uid) == 0;
}

void ActAsSelf() {
    if (getuid() != 0) return;
    if (seteuid(0) != 0) return;
    if (setegid(getgid()) != 0) return;
}

bool ReadSecretLine(const char* pszPrompt, char* pszLine, size_t nSize) {
    if (nSize == 0) return false;
    bool bTerminal = isatty(STDIN_FILENO) != 0;
    termios tOld {};
    if (bTerminal && tcgetattr(STDIN_FILENO, &tOld) == 0) {
        fprintf(stderr, "%s", pszPrompt);
        fflush(stderr);
        termios tQuiet = tOld;
        tQuiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &tQuiet);
    } else {
        bTerminal = false;
    }
    bool bRead = fgets(pszLine, static_cast<int>(nSize), stdin) != nullptr;
    if (bTerminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &tOld);
        fprintf(stderr, "\n");
    }
    if (!bRead) {
        pszLine[0] = '\0';
        return false;
    }
    pszLine[strcspn(pszLine, "\r\n")] = '\0';
    return true;
}

bool PortInUse(const char* pszAddress, int nPort, char* pszWhy, size_t nWhySize) {
    if (nWhySize > 0) pszWhy[0] = '\0';
    sockaddr_storage address {};
    socklen_t nLength = 0;
    bool bIpv6 = strchr(pszAddress, ':') != nullptr;
    if (bIpv6) {
        auto* p6 = reinterpret_cast<sockaddr_in6*>(&address);
        p6->sin6_family = AF_INET6;
        p6->sin6_port = htons(static_cast<uint16_t>(nPort));
        bool bAny = *pszAddress == '\0' || strcmp(pszAddress, "::") == 0;
        if (!bAny && inet_pton(AF_INET6, pszAddress, &p6->sin6_addr) != 1) return false;
        nLength = sizeof(sockaddr_in6);
    } else {
        auto* p4 = reinterpret_cast<sockaddr_in*>(&address);
        p4->sin_family = AF_INET;
        p4->sin_port = htons(static_cast<uint16_t>(nPort));
        if (*pszAddress != '\0' && inet_pton(AF_INET, pszAddress, &p4->sin_addr) != 1) return false;
        nLength = sizeof(sockaddr_in);
    }
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // As the server binds: an address in TIME_WAIT is free to it, a listener is not.
    int nOn = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    if (bIpv6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &nOn, sizeof nOn);
    bool bInUse = false;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), nLength) != 0) {
        bInUse = errno == EADDRINUSE;
        static_cast<void>(FormatText(pszWhy, nWhySize, "%s", strerror(errno)));
    }
    close(fd);
    return bInUse;
}

bool IsDirectoryPath(const char* pszPath) {
    struct stat st {};
    return stat(pszPath, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsReadableFile(const char* pszPath) {
    struct stat st {};
    return stat(pszPath, &st) == 0 && S_ISREG(st.st_mode) && access(pszPath, R_OK) == 0;
}

bool IsTerminalInput() {
    return isatty(STDIN_FILENO) != 0;
}

bool IsNumericAddress(const char* pszAddress) {
    in_addr a4 {};
    in6_addr a6 {};
    return inet_pton(AF_INET, pszAddress, &a4) == 1 || inet_pton(AF_INET6, pszAddress, &a6) == 1;
}

bool ReadGreeting(const char* pszAddress, int nPort, char* pszLine, size_t nSize, const char* pPreamble,
                  size_t nPreamble) {
    if (nSize == 0) return false;
    pszLine[0] = '\0';
    bool bIpv6 = strchr(pszAddress, ':') != nullptr;
    sockaddr_storage address {};
    socklen_t nLength = 0;
    if (bIpv6) {
        auto* p6 = reinterpret_cast<sockaddr_in6*>(&address);
        p6->sin6_family = AF_INET6;
        p6->sin6_port = htons(static_cast<uint16_t>(nPort));
        bool bAny = strcmp(pszAddress, "::") == 0;
        if (inet_pton(AF_INET6, bAny ? "::1" : pszAddress, &p6->sin6_addr) != 1) return false;
        nLength = sizeof(sockaddr_in6);
    } else {
        auto* p4 = reinterpret_cast<sockaddr_in*>(&address);
        p4->sin_family = AF_INET;
        p4->sin_port = htons(static_cast<uint16_t>(nPort));
        bool bAny = *pszAddress == '\0' || strcmp(pszAddress, "0.0.0.0") == 0;
        if (inet_pton(AF_INET, bAny ? "127.0.0.1" : pszAddress, &p4->sin_addr) != 1) return false;
        nLength = sizeof(sockaddr_in);
    }
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    size_t nHave = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), nLength) == 0 &&
        (nPreamble == 0 || send(fd, pPreamble, nPreamble, MSG_NOSIGNAL) == static_cast<ssize_t>(nPreamble))) {
        pollfd pfd {fd, POLLIN, 0};
        while (nHave + 1 < nSize && poll(&pfd, 1, 1000) == 1) {
            ssize_t n = read(fd, pszLine + nHave, nSize - 1 - nHave);
            if (n <= 0) break;
            nHave += static_cast<size_t>(n);
            pszLine[nHave] = '\0';
            if (strchr(pszLine, '\n') != nullptr) break;
        }
    }
    close(fd);
    char* pEnd = strpbrk(pszLine, "\r\n");
    if (pEnd != nullptr) *pEnd = '\0';
    return nHave > 0;
}

bool PathModeOwner(const char* pszPath, unsigned int* pnMode, char* pszOwner, size_t nOwnerSize) {
    struct stat st {};
    if (stat(pszPath, &st) != 0) return false;
    *pnMode = st.st_mode & 07777;
    passwd pw {};
    passwd* pResult = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(st.st_uid, &pw, buffer.data(), buffer.size(), &pResult) == 0 && pResult != nullptr) {
        static_cast<void>(FormatText(pszOwner, nOwnerSize, "%s", pw.pw_name));
    } else {
        static_cast<void>(FormatText(pszOwner, nOwnerSize, "%u", static_cast<unsigned>(st.st_uid)));
    }
    return true;
}

bool MakeDirectoriesFor(const char* pszDir, const char* pszAccount) {
    passwd pw {};
    passwd* pResult = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(pszAccount, &pw, buffer.data(), buffer.size(), &pResult) != 0 || pResult == nullptr) {
        errno = ENOENT;
        return false;
    }
    std::string dir = pszDir;
    if (dir.empty() || dir.back() != '/') dir += '/';
    for (size_t nSlash = dir.find('/', 1); nSlash != std::string::npos; nSlash = dir.find('/', nSlash + 1)) {
        std::string level = dir.substr(0, nSlash);
        struct stat st {};
        if (stat(level.c_str(), &st) == 0) continue;
        if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return false;
        // The session runs as the account: what it must write in has to be its own.
        if (getuid() == 0 && chown(level.c_str(), pw.pw_uid, pw.pw_gid) != 0) return false;
    }
    return true;
}
