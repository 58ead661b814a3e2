// The system error text and the event log. Windows keeps the last error per thread; errno is
// the same thing here, so the upper layers read and set it only through these calls.
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/format.h"

#include "platform/service_host.h"

struct EventSourceRecord {
    char szIdent[64];
};

namespace {

// openlog keeps one ident for the whole process; reports from several threads take turns.
std::mutex g_syslogLock;

}  // namespace

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
    int nPriority = wType == EVENTLOG_ERROR_TYPE ? LOG_ERR : LOG_INFO;
    std::lock_guard<std::mutex> guard(g_syslogLock);
    openlog(hSource->szIdent, LOG_PID, LOG_DAEMON);
    syslog(nPriority, "%s - %s", pszFirst != nullptr ? pszFirst : "", pszSecond != nullptr ? pszSecond : "");
    closelog();
    return true;
}

void DeregisterEventSource(HANDLE_EVENTSOURCE hSource) {
    delete hSource;
}
