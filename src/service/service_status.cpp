// Status reports to the service control manager, event-log entries and the system error text.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/settings.h"
#include "platform/format.h"
#include "service/service.h"

int32_t bDebug = 0;

namespace {

// The control thread (interrogate, stop), the start-up thread and any thread writing an error
// event share this record; one report at a time keeps a checkpoint from being sent with another
// report's state.
struct StatusRecord {
    std::mutex lock;
    SERVICE_STATUS_HANDLE hStatus = nullptr;
    SERVICE_STATUS status{};
    uint32_t dwCheckPoint = 1;
    uint32_t dwLastError = 0;
};

StatusRecord g_status;

// With g_status.lock held; false when the report could not be sent.
bool ReportLocked(uint32_t dwCurrentState, uint32_t dwWin32ExitCode, uint32_t dwWaitHint) {
    SERVICE_STATUS& status = g_status.status;
    status.dwControlsAccepted = dwCurrentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    status.dwCurrentState = dwCurrentState;
    status.dwWin32ExitCode = dwWin32ExitCode;
    status.dwWaitHint = dwWaitHint;
    if (dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED) {
        status.dwCheckPoint = 0;
    } else {
        status.dwCheckPoint = g_status.dwCheckPoint++;
    }
    return SetServiceStatus(g_status.hStatus, &status);
}

int ReportResult(bool bResult) {
    if (!bResult) AddToEventLog("SetServiceStatus", "%s error: %d", EVENTLOG_ERROR_TYPE);
    return bResult ? 1 : 0;
}

}  // namespace

void BeginServiceStatus(SERVICE_STATUS_HANDLE hStatus) {
    std::lock_guard<std::mutex> guard(g_status.lock);
    g_status.hStatus = hStatus;
    g_status.status = SERVICE_STATUS{};
    g_status.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCheckPoint = 1;
    g_status.dwLastError = 0;
}

int ReportStatus(uint32_t dwCurrentState, uint32_t dwWin32ExitCode, uint32_t dwWaitHint) {
    // On the console nobody is listening for reports.
    if (bDebug) return 1;
    bool bResult;
    {
        std::lock_guard<std::mutex> guard(g_status.lock);
        bResult = ReportLocked(dwCurrentState, dwWin32ExitCode, dwWaitHint);
    }
    return ReportResult(bResult);
}

int ReportCurrentStatus() {
    if (bDebug) return 1;
    bool bResult;
    {
        std::lock_guard<std::mutex> guard(g_status.lock);
        bResult = ReportLocked(g_status.status.dwCurrentState, 0, 0);
    }
    return ReportResult(bResult);
}

SERVICE_STATUS ServiceStatusSnapshot() {
    std::lock_guard<std::mutex> guard(g_status.lock);
    return g_status.status;
}

uint32_t ServiceLastError() {
    std::lock_guard<std::mutex> guard(g_status.lock);
    return g_status.dwLastError;
}

void RecordServiceFailure(uint32_t dwError) {
    std::lock_guard<std::mutex> guard(g_status.lock);
    // A failure without a system error still has to read as one.
    g_status.dwLastError = dwError != 0 ? dwError : 1;
}

void AddToEventLog(const char* pszMsg, const char* pszFormat, uint16_t wType) {
    // An error becomes the exit code the service reports when it stops.
    uint32_t dwSystemError = GetLastSystemError();
    uint32_t dwLastError;
    {
        std::lock_guard<std::mutex> guard(g_status.lock);
        if (wType == EVENTLOG_ERROR_TYPE) g_status.dwLastError = dwSystemError;
        dwLastError = g_status.dwLastError;
    }

    HANDLE_EVENTSOURCE hEventSource = RegisterEventSource(SERVICE_NAME);
    char szMsg[256];
    static_cast<void>(FormatText(szMsg, sizeof szMsg, pszFormat, SERVICE_NAME, static_cast<int>(dwLastError)));
    if (hEventSource != nullptr) {
        ReportEvent(hEventSource, wType, szMsg, pszMsg);
        DeregisterEventSource(hEventSource);
    }
}

char* GetLastErrorText(char* pszBuf, size_t nSize) {
    uint32_t dwError = GetLastSystemError();
    if (pszBuf == nullptr || nSize == 0) return pszBuf;
    char szText[256];
    // " (0x", eight hex digits, ")" and the terminator need 14 more characters.
    if (!FormatSystemMessage(dwError, szText, sizeof szText) || nSize < strlen(szText) + 14) {
        pszBuf[0] = '\0';
    } else {
        static_cast<void>(FormatText(pszBuf, nSize, "%s (0x%x)", szText, dwError));
    }
    return pszBuf;
}
