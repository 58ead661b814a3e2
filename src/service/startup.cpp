// Start-up: settings, spool directories, the stop event and the pipe, then the listener.
#include <atomic>
#include <cstdio>
#include <mutex>

#include "auth/login_guard.h"
#include "config/settings.h"
#include "platform/format.h"
#include "service/startup.h"
#include "net/listener.h"
#include "net/log_retention.h"
#include "net/tmqueue.h"
#include "platform/date_text.h"
#include "platform/time.h"
#include "platform/tls.h"
#include "service/service.h"

namespace {

// Signalled by StopServer from the control thread while the start-up thread waits on it;
// exists from start-up until start-up has returned.
std::atomic<HANDLE_EVENT> hStopEvent{nullptr};
// A second Ctrl+C may still be signalling the event while start-up closes it.
std::mutex g_stopEventLock;

constexpr const char* PIPE_NAME = "\\\\.\\pipe\\Velmora VEVE4D";
constexpr uint32_t START_WAIT_HINT = 3000;
constexpr uint32_t PIPE_WAIT_MS = 1000;

// Creates what the wait needs, reporting progress to the service control manager between the
// steps; stops at the first step that fails.
bool CreateStartObjects(HANDLE_EVENT* phPipeEvent, HANDLE_PIPE* phPipe) {
    if (!ReportStatus(SERVICE_START_PENDING, 0, START_WAIT_HINT)) return false;
    hStopEvent = CreateEvent();
    if (hStopEvent == nullptr) return false;
    if (!ReportStatus(SERVICE_START_PENDING, 0, START_WAIT_HINT)) return false;
    *phPipeEvent = CreateEvent();
    if (*phPipeEvent == nullptr) return false;
    if (!ReportStatus(SERVICE_START_PENDING, 0, START_WAIT_HINT)) return false;
    // The pipe is an abstract socket, which carries no permissions: everybody may connect, as
    // the null DACL allowed. No descriptor is needed, but the step keeps its report.
    if (!ReportStatus(SERVICE_START_PENDING, 0, START_WAIT_HINT)) return false;
    *phPipe = CreateNamedPipe(PIPE_NAME);
    if (*phPipe == nullptr) {
        // Most often another instance holds the pipe.
        AddToEventLog("The named pipe could not be made.", "%s error: %d", EVENTLOG_ERROR_TYPE);
        return false;
    }
    return true;
}

// TLS is on only with a certificate and key that load. Anything less is told in one line on the
// console and in the system log; the server then serves clear text alone, as without TLS settings.
TlsContext* LoadTlsContext() {
    if (Settings.TlsCertificateFile[0] == '\0' && Settings.TlsKeyFile[0] == '\0') {
        return nullptr;
    }
    char szError[600];
    TlsContext* pContext =
        TlsCreateServerContext(Settings.TlsCertificateFile, Settings.TlsKeyFile, szError, sizeof(szError));
    if (pContext != nullptr) {
        printf("TLS on: STARTTLS on port %d, implicit TLS on port %d\n", Settings.PortNo, Settings.TlsPortNo);
        return pContext;
    }
    char szLine[700];
    static_cast<void>(FormatText(szLine, sizeof(szLine), "TLS off, TLS ports closed: %s", szError));
    printf("%s\n", szLine);
    fflush(stdout);
    HANDLE_EVENTSOURCE hSource = RegisterEventSource(SERVICE_NAME);
    if (hSource != nullptr) {
        ReportEvent(hSource, EVENTLOG_ERROR_TYPE, SERVICE_NAME, szLine);
        DeregisterEventSource(hSource);
    }
    return nullptr;
}

// Waits up to a second (less when a process connects to the pipe) before listening, unless a
// stop comes first.
void WaitAndListen(HANDLE_PIPE hPipe, HANDLE_EVENT hPipeEvent, TlsContext* pTlsContext,
                   LoginFailures* pLoginFailures) {
    ResetEvent(hPipeEvent);
    for (;;) {
        if (ConnectNamedPipe(hPipe, hPipeEvent) != ERROR_IO_PENDING) {
            DisconnectNamedPipe(hPipe);
            continue;
        }
        HANDLE_EVENT ahEvents[2] = {hStopEvent, hPipeEvent};
        if (WaitForMultipleObjects(2, ahEvents, PIPE_WAIT_MS) == WAIT_OBJECT_0) return;
        PrintBanner();
        if (RunListener(pTlsContext, pLoginFailures) == 0) {
            printf("(error) accept clients.\n");
            return;
        }
    }
}

void SignalStopEvent() {
    std::lock_guard<std::mutex> guard(g_stopEventLock);
    HANDLE_EVENT hEvent = hStopEvent.load();
    if (hEvent != nullptr) SetEvent(hEvent);
}

}  // namespace


void PrintBanner() {
    char szDate[DATE_TEXT_SIZE];
    CalendarTime ctAdjusted;
    FormatDateText(GetSystemTimeAsFileTime(), szDate, &ctAdjusted);
    printf("Velmora IMAP4rev1 Server Beta%s %s %s", SERVER_VERSION, "", szDate);
    printf("\n");
}

void StartUp(int /*argc*/, char** /*argv*/) {
    bStop = 0;
    InitTMQueue();

    ReadSettings();
    // A service's standard output is read by nobody, and a service checks every password.
    if (!bDebug) {
        Settings.ConsoleTrace = 0;
        Settings.DebugAcceptAnyPassword = 0;
    }
    CreateSpoolDirectories();
    PrintSettings();
    TlsContext* pTlsContext = LoadTlsContext();

    HANDLE_EVENT hPipeEvent = nullptr;
    HANDLE_PIPE hPipe = nullptr;
    if (CreateStartObjects(&hPipeEvent, &hPipe) && ReportStatus(SERVICE_RUNNING, 0, 0)) {
        // The socket library needs no start-up here.
        AddToEventLog(DISPLAY_NAME, SERVER_VERSION, EVENTLOG_SUCCESS);
        // Only the instance that serves keeps the logs trimmed, for as long as it serves.
        LogSweeper sweeper(Settings.MailSpoolDir, Settings.LogKeepDays);
        // Failed logins are counted per client address across connections, for as long as
        // the server serves.
        LoginFailures loginFailures;
        WaitAndListen(hPipe, hPipeEvent, pTlsContext, &loginFailures);
    }

    ClosePipe(hPipe);
    {
        std::lock_guard<std::mutex> guard(g_stopEventLock);
        CloseEvent(hStopEvent.exchange(nullptr));
    }
    CloseEvent(hPipeEvent);
    TlsFreeContext(pTlsContext);
}

void StopServer() {
    printf("Service Stoped.\n");
    SignalStopEvent();
    RequestStop();
}
