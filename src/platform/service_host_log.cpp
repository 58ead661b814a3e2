// The system error text and the event log. Windows keeps the last error per thread; errno is
// the same thing here, so the upper layers read and set it only through these calls.
// The event log is syslog, facility mail, where Debian's mail servers log and where an
// administrator (and fail2ban) looks. The datagram is written here rather than by syslog(3), so
// that VEVE4D_SYSLOG_SOCKET can point it at a test's socket with the very bytes /dev/log gets.
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/format.h"

#include "platform/service_host.h"

struct EventSourceRecord {
    char szIdent[64];
};

namespace {

constexpr const char* DEFAULT_LOG_SOCKET = "/dev/log";

// One connected socket for the whole process; reports from several threads take turns.
std::mutex g_syslogLock;
int g_fdSyslog = -1;

bool ConnectLog(int nType) {
    const char* pszPath = getenv("VEVE4D_SYSLOG_SOCKET");
    if (pszPath == nullptr || *pszPath == '\0') pszPath = DEFAULT_LOG_SOCKET;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t nLen = strlen(pszPath);
    if (nLen >= sizeof addr.sun_path) return false;
    memcpy(addr.sun_path, pszPath, nLen + 1);
    int fd = socket(AF_UNIX, nType | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nLen + 1)) !=
        0) {
        close(fd);
        return false;
    }
    g_fdSyslog = fd;
    return true;
}

// With g_syslogLock held. A stream socket (some syslog daemons) needs the terminating NUL that
// separates messages; a datagram is one message.
void SendLogLocked(const char* pszMessage, size_t nLength) {
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        if (g_fdSyslog < 0 && !ConnectLog(SOCK_DGRAM) && !ConnectLog(SOCK_STREAM)) return;
        int nType = 0;
        socklen_t nTypeLen = sizeof nType;
        getsockopt(g_fdSyslog, SOL_SOCKET, SO_TYPE, &nType, &nTypeLen);
        size_t nSend = nType == SOCK_STREAM ? nLength + 1 : nLength;
        if (send(g_fdSyslog, pszMessage, nSend, MSG_NOSIGNAL) == static_cast<ssize_t>(nSend)) return;
        // The daemon restarted: connect again once.
        close(g_fdSyslog);
        g_fdSyslog = -1;
    }
}

}  // namespace

void EscapeLogText(const char* pszText, char* pszOut, size_t nSize) {
    if (pszOut == nullptr || nSize == 0) return;
    size_t nUsed = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszText != nullptr ? pszText : ""); *p != 0;
         ++p) {
        char szPiece[5] = {static_cast<char>(*p), '\0'};
        // Control bytes would split or forge a line; the delimiters of a field would let a
        // client's text end its field early; bytes beyond ASCII are not trusted to be UTF-8.
        if (*p < 0x20 || *p >= 0x7f || *p == '\\' || *p == '<' || *p == '>') {
            static_cast<void>(FormatText(szPiece, sizeof szPiece, "\\x%02x", *p));
        }
        size_t nPiece = strlen(szPiece);
        if (nUsed + nPiece + 1 > nSize) break;
        memcpy(pszOut + nUsed, szPiece, nPiece);
        nUsed += nPiece;
    }
    pszOut[nUsed] = '\0';
}

size_t FormatSystemLogMessage(const char* pszIdent, uint16_t wType, const char* pszText, long lPid, long long llTime,
                              char* pszBuf, size_t nSize) {
    if (pszBuf == nullptr || nSize == 0) return 0;
    int nLevel = wType == EVENTLOG_ERROR_TYPE ? LOG_ERR : wType == EVENTLOG_WARNING_TYPE ? LOG_WARNING : LOG_INFO;
    int nPriority = LOG_MAIL | nLevel;
    time_t tNow = static_cast<time_t>(llTime);
    tm tmLocal{};
    localtime_r(&tNow, &tmLocal);
    char szTime[32];
    // The month is named in English, whatever the locale: syslog daemons parse it.
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static_cast<void>(FormatText(szTime, sizeof szTime, "%s %2d %02d:%02d:%02d", kMonths[tmLocal.tm_mon % 12],
                                 tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec));
    static_cast<void>(FormatText(pszBuf, nSize, "<%d>%s %s[%ld]: %s", nPriority, szTime,
                                 pszIdent != nullptr ? pszIdent : "", lPid, pszText != nullptr ? pszText : ""));
    return strlen(pszBuf);
}

void WriteSystemLog(const char* pszIdent, uint16_t wType, const char* pszText) {
    char szMessage[2048];
    size_t nLength = FormatSystemLogMessage(pszIdent, wType, pszText, static_cast<long>(getpid()), static_cast<long long>(time(nullptr)),
                                            szMessage, sizeof szMessage);
    std::lock_guard<std::mutex> guard(g_syslogLock);
    SendLogLocked(szMessage, nLength);
}

uint32_t GetLastSystemError() {
    return static_cast<uint32_t>(errno);
}

void SetLastSystemError(uint32_t dwCode) {
    errno = static_cast<int>(dwCode);
}

bool FormatSystemMessage(uint32_t dwCode, char* pszBuf, size_t nSize) {
    if (pszBuf == nullptr || nSize == 0) return false;
    char szWork[256];
    // The GNU strerror_r hands back a pointer that need not be our buffer.
    const char* pszText = strerror_r(static_cast<int>(dwCode), szWork, sizeof szWork);
    if (pszText == nullptr || *pszText == '\0') {
        pszBuf[0] = '\0';
        return false;
    }
    static_cast<void>(FormatText(pszBuf, nSize, "%s", pszText));
    return true;
}

HANDLE_EVENTSOURCE RegisterEventSource(const char* pszSourceName) {
    EventSourceRecord* pSource = new (std::nothrow) EventSourceRecord{};
    if (pSource == nullptr) return nullptr;
    static_cast<void>(
        FormatText(pSource->szIdent, sizeof pSource->szIdent, "%s", pszSourceName != nullptr ? pszSourceName : ""));
    return pSource;
}

bool ReportEvent(HANDLE_EVENTSOURCE hSource, uint16_t wType, const char* pszFirst, const char* pszSecond) {
    if (hSource == nullptr) return false;
    char szText[1024];
    static_cast<void>(FormatText(szText, sizeof szText, "%s - %s", pszFirst != nullptr ? pszFirst : "",
                                 pszSecond != nullptr ? pszSecond : ""));
    WriteSystemLog(hSource->szIdent, wType, szText);
    return true;
}

void DeregisterEventSource(HANDLE_EVENTSOURCE hSource) {
    delete hSource;
}
