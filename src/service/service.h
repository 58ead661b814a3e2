// Service host: command line, service main and control handler, status and event-log reports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/service_host.h"

// Set once by the command line, before any other thread starts.
extern int32_t bDebug;

// The options of the command line.
enum CommandOption {
    OPTION_NONE = 0,
    OPTION_INSTALL,
    OPTION_REMOVE,
    OPTION_DEBUG,
    OPTION_VERSION,
    OPTION_HELP,
};

// Program entry; ends the process after an option, otherwise starts as a service.
int ServiceEntry(int argc, char** argv);
CommandOption ParseCommandOption(int argc, char** argv);
void PrintUsage();
// The options, for --help.
void PrintHelp();
void PrintVersion();

void ServiceMain(int argc, char** argv);
void ServiceCtrlHandler(uint32_t dwCtrlCode);
// The status record is shared by the start-up thread and the control thread and lives behind one
// lock; these are its only ways in. BeginServiceStatus starts a fresh record reported through
// hStatus: checkpoint 1, no error.
void BeginServiceStatus(SERVICE_STATUS_HANDLE hStatus);
int ReportStatus(uint32_t dwCurrentState, uint32_t dwWin32ExitCode, uint32_t dwWaitHint);
// Reports the current state again (an interrogate).
int ReportCurrentStatus();
// The record as last reported, and the error of the last error event (the exit code at stop).
SERVICE_STATUS ServiceStatusSnapshot();
uint32_t ServiceLastError();
// A failed start: the error the service reports when it stops (never 0).
void RecordServiceFailure(uint32_t dwError);
void AddToEventLog(const char* pszMsg, const char* pszFormat, uint16_t wType);
void InstallService();
void RemoveService();
void DebugService(int argc, char** argv);
int ConsoleCtrlHandler(uint32_t dwCtrlType);
char* GetLastErrorText(char* pszBuf, size_t nSize);
