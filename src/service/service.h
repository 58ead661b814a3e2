// Service host: command line, service main and control handler, status and event-log reports.
#pragma once

#include <cstddef>
#include <cstdint>

enum ServiceState : uint32_t {
    SERVICE_STOPPED = 1,
    SERVICE_START_PENDING = 2,
    SERVICE_STOP_PENDING = 3,
    SERVICE_RUNNING = 4,
};

enum EventType : uint16_t {
    EVENTLOG_SUCCESS = 0,
    EVENTLOG_ERROR_TYPE = 1,
    EVENTLOG_INFORMATION_TYPE = 4,
};

extern int32_t bDebug;

int ServiceEntry(int argc, char** argv);
int ReportStatus(uint32_t dwCurrentState, uint32_t dwWin32ExitCode, uint32_t dwWaitHint);
void AddToEventLog(const char* pszMsg, const char* pszFormat, uint16_t wType);
char* GetLastErrorText(char* pszBuf, size_t nSize);
