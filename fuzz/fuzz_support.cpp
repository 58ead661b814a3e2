#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "imap/session.h"

void QuietConsole() {
    fflush(stdout);
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
}

const std::string& ScratchDirectory() {
    static const std::string directory = [] {
        const char* pszTmp = getenv("TMPDIR");
        std::string pattern = std::string(pszTmp != nullptr && *pszTmp != '\0' ? pszTmp : "/tmp") + "/veve4d-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) abort();
        return pattern + "/";
    }();
    return directory;
}

bool WriteWholeFile(const std::string& path, const uint8_t* pData, size_t nSize) {
    FILE* pFile = fopen(path.c_str(), "wb");
    if (pFile == nullptr) return false;
    bool bOk = (nSize == 0 || fwrite(pData, 1, nSize, pFile) == nSize);
    return fclose(pFile) == 0 && bOk;
}

Session* DrainedSession() {
    static Session* pSession = [] {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
        std::thread([fd = fds[1]] {
            char buf[65536];
            while (read(fd, buf, sizeof buf) > 0) {
            }
        }).detach();
        Session* p = new Session();
        p->sockClient = fds[0];
        return p;
    }();
    return pSession;
}
