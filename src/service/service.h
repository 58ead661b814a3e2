// Service host: command line, service main and control handler, status and event-log reports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/service_host.h"

// Process-wide state of the service host.
extern SERVICE_STATUS_HANDLE hServiceStatus;
extern SERVICE_STATUS ServiceStatus;
extern uint32_t dwCheckPoint;
extern uint32_t dwLastError;
extern int32_t bDebug;

// The options of the command line.
enum CommandOption {
    OPTION_NONE = 0,
    OPTION_INSTALL,
    OPTION_REMOVE,
    OPTION_DEBUG,
    OPTION_VERSION,
};

// Program entry; ends the process after an option, otherwise starts as a service.
int ServiceEntry(int argc, char** argv);
CommandOption ParseCommandOption(int argc, char** argv);
void PrintUsage();
void PrintVersion();

void ServiceMain(int argc, char** argv);
void ServiceCtrlHandler(uint32_t dwCtrlCode);
int ReportStatus(uint32_t dwCurrentState, uint32_t dwWin32ExitCode, uint32_t dwWaitHint);
void AddToEventLog(const char* pszMsg, const char* pszFormat, uint16_t wType);
void InstallService();
void RemoveService();
void DebugService(int argc, char** argv);
int ConsoleCtrlHandler(uint32_t dwCtrlType);
char* GetLastErrorText(char* pszBuf, size_t nSize);
