#include "platform/file_range.h"
#include "platform/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool ReadFully(int fd, uint64_t ullOffset, char* pBuffer, size_t nLength) {
    while (nLength > 0) {
        ssize_t n = pread(fd, pBuffer, nLength, static_cast<off_t>(ullOffset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pBuffer += n;
        nLength -= static_cast<size_t>(n);
        ullOffset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

bool ProbeFile(const char* pszPath, FileProbe* pProbe) {
    Descriptor fd(open(pszPath, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *pProbe = FileProbe{};
    pProbe->ullSize = static_cast<uint64_t>(st.st_size);
    pProbe->ftWritten = UnixToFileTime(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
    if (pProbe->ullSize == 0) return true;
    char chFirst = 0;
    if (!ReadFully(fd.get(), 0, &chFirst, 1)) return false;
    pProbe->chFirst = static_cast<unsigned char>(chFirst);
    pProbe->nTail = pProbe->ullSize < sizeof(pProbe->szTail) ? static_cast<size_t>(pProbe->ullSize)
                                                             : sizeof(pProbe->szTail);
    return ReadFully(fd.get(), pProbe->ullSize - pProbe->nTail, pProbe->szTail, pProbe->nTail);
}

bool RangeHoldsNul(FILE* pFile, uint64_t ullOffset, uint64_t ullLength, bool* pbNul) {
    if (ullLength == 0) {
        *pbNul = false;
        return true;
    }
    long lPage = sysconf(_SC_PAGESIZE);
    uint64_t ullPage = lPage > 0 ? static_cast<uint64_t>(lPage) : 4096;
    uint64_t ullStart = ullOffset - ullOffset % ullPage;
    size_t nMap = static_cast<size_t>(ullOffset + ullLength - ullStart);
    void* pMap = mmap(nullptr, nMap, PROT_READ, MAP_SHARED, fileno(pFile), static_cast<off_t>(ullStart));
    if (pMap == MAP_FAILED) return false;
    // A file cut short under us would fault past its end: only what it still holds is looked at.
    struct stat st;
    bool bOk = fstat(fileno(pFile), &st) == 0 && static_cast<uint64_t>(st.st_size) >= ullOffset + ullLength;
    if (bOk) {
        madvise(pMap, nMap, MADV_SEQUENTIAL);
        *pbNul = memchr(static_cast<const char*>(pMap) + (ullOffset - ullStart), '\0',
                        static_cast<size_t>(ullLength)) != nullptr;
    }
    munmap(pMap, nMap);
    return bOk;
}

uint64_t SendMappedFileRange(SOCKET sock, FILE* pFile, uint64_t ullOffset, uint64_t ullLength, bool* pbFailed) {
    *pbFailed = false;
    if (ullLength == 0) return 0;
    const uint64_t ullPage = static_cast<uint64_t>(sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096);
    const uint64_t ullStart = ullOffset - ullOffset % ullPage;
    const size_t nMap = static_cast<size_t>(ullOffset + ullLength - ullStart);
    void* pMap = mmap(nullptr, nMap, PROT_READ, MAP_SHARED, fileno(pFile), static_cast<off_t>(ullStart));
    if (pMap == MAP_FAILED) {
        *pbFailed = true;
        return 0;
    }
    madvise(pMap, nMap, MADV_SEQUENTIAL);
    const char* pFrom = static_cast<const char*>(pMap) + (ullOffset - ullStart);
    constexpr uint64_t CHUNK = 1024 * 1024;
    uint64_t ullSent = 0;
    while (ullSent < ullLength) {
        // Only what the file still holds is handed to the kernel. Should it be cut short even so,
        // the copy stops at the hole with an error instead of a signal, and the count tells what went.
        struct stat st {};
        if (fstat(fileno(pFile), &st) != 0) {
            *pbFailed = true;
            break;
        }
        uint64_t ullEnd = std::min<uint64_t>(ullOffset + ullLength, static_cast<uint64_t>(st.st_size));
        if (ullEnd <= ullOffset + ullSent) break;
        size_t nChunk = static_cast<size_t>(std::min<uint64_t>(CHUNK, ullEnd - ullOffset - ullSent));
        ssize_t n = send(sock, pFrom + ullSent, nChunk, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EFAULT) break;
        if (n <= 0) {
            *pbFailed = true;
            break;
        }
        ullSent += static_cast<uint64_t>(n);
    }
    int nError = errno;
    munmap(pMap, nMap);
    errno = nError;
    return ullSent;
}

size_t ReadFileAt(FILE* pFile, uint64_t ullOffset, char* pBuffer, size_t nLength) {
    size_t nDone = 0;
    while (nDone < nLength) {
        ssize_t n = pread(fileno(pFile), pBuffer + nDone, nLength - nDone, static_cast<off_t>(ullOffset + nDone));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        nDone += static_cast<size_t>(n);
    }
    return nDone;
}

bool IdentifyFile(FILE* pFile, FileIdentity* pIdentity) {
    struct stat st;
    if (fstat(fileno(pFile), &st) != 0) return false;
    pIdentity->ullDevice = static_cast<uint64_t>(st.st_dev);
    pIdentity->ullInode = static_cast<uint64_t>(st.st_ino);
    pIdentity->ullSize = static_cast<uint64_t>(st.st_size);
    pIdentity->llWrittenNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}
