// Status reports to the service control manager, event-log entries and the system error text.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/settings.h"
#include "service/service.h"

SERVICE_STATUS_HANDLE hServiceStatus = nullptr;
SERVICE_STATUS ServiceStatus;
uint32_t dwCheckPoint = 1;
uint32_t dwLastError = 0;
int32_t bDebug = 0;

namespace {

// The control thread (interrogate, stop) and the start-up thread both report; one report at a
// time keeps a checkpoint from being sent with another report's state.
std::mutex g_statusLock;

}  // namespace

int ReportStatus(uint32_t dwCurrentState, uint32_t dwWin32ExitCode, uint32_t dwWaitHint) {
    // On the console nobody is listening for reports.
    if (bDebug) return 1;

    bool bResult;
    {
        std::lock_guard<std::mutex> guard(g_statusLock);
        ServiceStatus.dwControlsAccepted = dwCurrentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
        ServiceStatus.dwCurrentState = dwCurrentState;
        ServiceStatus.dwWin32ExitCode = dwWin32ExitCode;
        ServiceStatus.dwWaitHint = dwWaitHint;
        if (dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED) {
            ServiceStatus.dwCheckPoint = 0;
        } else {
            ServiceStatus.dwCheckPoint = dwCheckPoint++;
        }
        bResult = SetServiceStatus(hServiceStatus, &ServiceStatus);
    }
    if (!bResult) AddToEventLog("SetServiceStatus", "%s error: %d", EVENTLOG_ERROR_TYPE);
    return bResult ? 1 : 0;
}

void AddToEventLog(const char* pszMsg, const char* pszFormat, uint16_t wType) {
    // An error becomes the exit code the service reports when it stops.
    if (wType == EVENTLOG_ERROR_TYPE) dwLastError = GetLastSystemError();

    HANDLE_EVENTSOURCE hEventSource = RegisterEventSource(SERVICE_NAME);
    char szMsg[256];
    snprintf(szMsg, sizeof szMsg, pszFormat, SERVICE_NAME, static_cast<int>(dwLastError));
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
        snprintf(pszBuf, nSize, "%s (0x%x)", szText, dwError);
    }
    return pszBuf;
}
