// Stand-ins for the Windows service host: the service control manager (systemd), its status
// reports (sd_notify), the event log (syslog), console control (signals taken on a thread of
// their own), events and the named pipe of the start-up wait, and the system error text.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Service states, controls and the status record, with Windows' values.

enum ServiceState : uint32_t {
    SERVICE_STOPPED = 1,
    SERVICE_START_PENDING = 2,
    SERVICE_STOP_PENDING = 3,
    SERVICE_RUNNING = 4,
};

enum EventType : uint16_t {
    EVENTLOG_SUCCESS = 0,
    EVENTLOG_ERROR_TYPE = 1,
    EVENTLOG_WARNING_TYPE = 2,
    EVENTLOG_INFORMATION_TYPE = 4,
};

constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr uint32_t SERVICE_ACCEPT_STOP = 0x1;
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
// Windows' "the start parameters changed": SIGHUP, which asks for the certificate again.
constexpr uint32_t SERVICE_CONTROL_PARAMCHANGE = 6;

constexpr uint32_t CTRL_C_EVENT = 0;
constexpr uint32_t CTRL_BREAK_EVENT = 1;
// No console event of Windows matches SIGHUP; this one is the port's own.
constexpr uint32_t CTRL_RELOAD_EVENT = 0x100;

struct SERVICE_STATUS {
    uint32_t dwServiceType;
    uint32_t dwCurrentState;
    uint32_t dwControlsAccepted;
    uint32_t dwWin32ExitCode;
    uint32_t dwServiceSpecificExitCode;
    uint32_t dwCheckPoint;
    uint32_t dwWaitHint;
};

// ---- The last system error (errno of the calling thread).

uint32_t GetLastSystemError();
void SetLastSystemError(uint32_t dwCode);
// The system's text for an error code, without a line end; false when there is none.
bool FormatSystemMessage(uint32_t dwCode, char* pszBuf, size_t nSize);

// ---- Service control dispatcher and status reports.

using ServiceMainFunction = void (*)(int argc, char** argv);
using HandlerFunction = void (*)(uint32_t dwControl);
using ConsoleHandlerFunction = int (*)(uint32_t dwCtrlType);

struct ServiceStatusRecord;
using SERVICE_STATUS_HANDLE = ServiceStatusRecord*;

// Runs the service main function on the calling thread while a control thread turns SIGTERM
// (and SIGINT) into the stop control and SIGHUP into SERVICE_CONTROL_PARAMCHANGE. Fails with no side effect
// when systemd did not start the process (NOTIFY_SOCKET unset).
bool StartServiceCtrlDispatcher(const char* pszServiceName, ServiceMainFunction pfnServiceMain);
// Null when there is no service manager to report to.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* pszServiceName, HandlerFunction pfnHandler);
// Sends the status to systemd as one notification datagram.
bool SetServiceStatus(SERVICE_STATUS_HANDLE hStatus, const SERVICE_STATUS* pStatus);
// Formats the notification datagram for a status; returns its length.
size_t FormatNotifyMessage(const SERVICE_STATUS* pStatus, char* pszBuf, size_t nSize);

// Console control of the debug mode: SIGINT is Ctrl+C, SIGQUIT Ctrl+Break, SIGTERM is taken as
// Ctrl+C and SIGHUP is CTRL_RELOAD_EVENT. The handler runs on a control thread, never inside a signal handler.
bool SetConsoleCtrlHandler(ConsoleHandlerFunction pfnHandler);
// Ends the control thread again.
void RemoveConsoleCtrlHandler();

// ---- Event log (syslog, facility mail).

struct EventSourceRecord;
using HANDLE_EVENTSOURCE = EventSourceRecord*;

HANDLE_EVENTSOURCE RegisterEventSource(const char* pszSourceName);
// Both strings go into one message; error events are logged at LOG_ERR, the others at LOG_INFO.
bool ReportEvent(HANDLE_EVENTSOURCE hSource, uint16_t wType, const char* pszFirst, const char* pszSecond);
void DeregisterEventSource(HANDLE_EVENTSOURCE hSource);
// One line to syslog (facility mail; LOG_ERR for error events, LOG_WARNING for warnings, else
// LOG_INFO) under the ident,
// sent to /dev/log or to the socket VEVE4D_SYSLOG_SOCKET names. Nothing happens when there is
// no syslog to send to.
void WriteSystemLog(const char* pszIdent, uint16_t wType, const char* pszText);
// The datagram WriteSystemLog sends: "<priority>Mmm dd hh:mm:ss ident[pid]: text"; its length.
size_t FormatSystemLogMessage(const char* pszIdent, uint16_t wType, const char* pszText, long lPid, long long llTime,
                              char* pszBuf, size_t nSize);
// Copies text a client chose into a log line: control bytes, bytes beyond ASCII, the backslash, "<" and
// ">" become \xNN, so that the text can neither end its line nor its field. Cut to fit.
void EscapeLogText(const char* pszText, char* pszOut, size_t nSize);

// ---- Service control manager (systemd units).

struct ScHandleRecord;
using SC_HANDLE = ScHandleRecord*;

// Full path of the running program.
bool GetModuleFileName(char* pszPath, size_t nSize);
// The unit directory (VEVE4D_UNIT_DIR, else /etc/systemd/system); fails when it cannot be written.
SC_HANDLE OpenSCManager();
// Writes "<lower-case name>.service" (a demand-start notify unit without console output, run as
// pszUser when one is given) and reloads systemd; fails when the unit exists.
SC_HANDLE CreateService(SC_HANDLE hManager, const char* pszServiceName, const char* pszDisplayName,
                        const char* pszBinaryPath, const char* pszUser = nullptr);
SC_HANDLE OpenService(SC_HANDLE hManager, const char* pszServiceName);
// SERVICE_CONTROL_STOP only: fails when the unit is not active.
bool ControlService(SC_HANDLE hService, uint32_t dwControl, SERVICE_STATUS* pStatus);
bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* pStatus);
bool DeleteService(SC_HANDLE hService);
void CloseServiceHandle(SC_HANDLE hHandle);
// Writes the unit text for a service; returns its length, or 0 when it does not fit.
size_t FormatServiceUnit(const char* pszDisplayName, const char* pszBinaryPath, char* pszBuf, size_t nSize,
                         const char* pszUser = nullptr);

// ---- Events (manual reset) and the named pipe of the start-up wait.

struct EventRecord;
using HANDLE_EVENT = EventRecord*;

constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;

// A manual-reset event, not signalled.
HANDLE_EVENT CreateEvent();
void SetEvent(HANDLE_EVENT hEvent);
void ResetEvent(HANDLE_EVENT hEvent);
void CloseEvent(HANDLE_EVENT hEvent);
// Waits until one of the events is signalled (WAIT_OBJECT_0 + its index) or the time passes.
uint32_t WaitForMultipleObjects(uint32_t nCount, const HANDLE_EVENT* phEvents, uint32_t dwMilliseconds);

struct PipeRecord;
using HANDLE_PIPE = PipeRecord*;

constexpr uint32_t ERROR_IO_PENDING = 997;
constexpr uint32_t ERROR_PIPE_CONNECTED = 535;

// An abstract-namespace Unix socket named after the last "\" part of the pipe name, or after
// VEVE4D_PIPE_NAME when that is set. Null when the name is taken (another instance runs).
HANDLE_PIPE CreateNamedPipe(const char* pszPipeName);
// The socket name CreateNamedPipe would use for a pipe name; false when it does not fit.
bool PipeSocketName(const char* pszPipeName, char* pszBuf, size_t nSize);
// Overlapped connect: ERROR_PIPE_CONNECTED when a client is already there; otherwise
// ERROR_IO_PENDING, and the event becomes signalled when a client connects.
uint32_t ConnectNamedPipe(HANDLE_PIPE hPipe, HANDLE_EVENT hEvent);
void DisconnectNamedPipe(HANDLE_PIPE hPipe);
void ClosePipe(HANDLE_PIPE hPipe);
// Connects to the pipe of that name as a client would; true on success (tests, tools).
bool ConnectToPipe(const char* pszPipeName);
