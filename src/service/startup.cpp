// Start-up: settings, spool directories, the stop event and the pipe, then the listener.
#include <atomic>
#include <cstdio>
#include <mutex>

#include "auth/login_guard.h"
#include "config/settings.h"
#include "config/settings_check.h"
#include "platform/process.h"
#include "platform/format.h"
#include "service/startup.h"
#include "net/listener.h"
#include "net/log_retention.h"
#include "net/tmqueue.h"
#include "platform/date_text.h"
#include "platform/registry.h"
#include "platform/time.h"
#include "platform/tls.h"
#include "service/service.h"

namespace {

// Signalled by StopServer from the control thread while the start-up thread waits on it;
// exists from start-up until start-up has returned.
std::atomic<HANDLE_EVENT> hStopEvent{nullptr};
// A second Ctrl+C may still be signalling the event while start-up closes it.
std::mutex g_stopEventLock;

// The certificate a reload (SIGHUP, from the control thread) renews while sessions use it.
std::mutex g_tlsLock;
TlsContext* g_pTlsContext = nullptr;

// Set when a start failed or the listener ended without a stop: the process then ends with a
// non-zero status, so that systemd shows the unit "failed".
std::atomic<bool> g_bFailed{false};

constexpr const char* PIPE_NAME = "\\\\.\\pipe\\Velmora VEVE4D";
constexpr uint32_t START_WAIT_HINT = 3000;
constexpr uint32_t PIPE_WAIT_MS = 1000;

// One line on the console and in the system log for the administrator.
void TellAdmin(uint16_t wType, const char* pszLine) {
    printf("%s\n", pszLine);
    fflush(stdout);
    WriteSystemLog(SERVICE_NAME, wType, pszLine);
}

void FailStart(const char* pszReason) {
    char szLine[700];
    static_cast<void>(FormatText(szLine, sizeof(szLine), "server start failed: %s", pszReason));
    TellAdmin(EVENTLOG_ERROR_TYPE, szLine);
    RecordServiceFailure(GetLastSystemError());
    g_bFailed.store(true);
}

// Creates what the wait needs, reporting progress to the service control manager between the
// steps; stops at the first step that fails, with the reason in pszError.
bool CreateStartObjects(HANDLE_EVENT* phPipeEvent, HANDLE_PIPE* phPipe, char* pszError, size_t nErrorSize) {
    static_cast<void>(FormatText(pszError, nErrorSize, "the service manager did not take the start report"));
    if (!ReportStatus(SERVICE_START_PENDING, 0, START_WAIT_HINT)) return false;
    static_cast<void>(FormatText(pszError, nErrorSize, "no stop event could be made"));
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
        uint32_t dwError = GetLastSystemError();
        char szSystem[256] = "";
        static_cast<void>(FormatSystemMessage(dwError, szSystem, sizeof(szSystem)));
        char szSocket[128] = "";
        static_cast<void>(PipeSocketName(PIPE_NAME, szSocket, sizeof(szSocket)));
        static_cast<void>(FormatText(pszError, nErrorSize,
                                     "the named pipe could not be made (\"%s\": %s); is another instance running?",
                                     szSocket, szSystem));
        SetLastSystemError(dwError);
        return false;
    }
    return true;
}

// Read once at start, like every setting; a reload takes the certificate again, not these.
TlsProtocolSettings g_tlsProtocol{};

TlsOptions TheTlsOptions() {
    return TlsOptions{g_tlsProtocol.szCipherList, g_tlsProtocol.szMinVersion};
}

// TLS is on when both files are named (CheckServerSettings refuses one without the other), and
// then it must work: a server that fell back to clear text would take passwords unprotected.
bool LoadTlsContext(TlsContext** ppContext) {
    *ppContext = nullptr;
    if (Settings.TlsCertificateFile[0] == '\0' && Settings.TlsKeyFile[0] == '\0') {
        return true;
    }
    char szError[600];
    TlsOptions options = TheTlsOptions();
    TlsContext* pContext =
        TlsCreateServerContext(Settings.TlsCertificateFile, Settings.TlsKeyFile, szError, sizeof(szError), &options);
    if (pContext == nullptr) {
        char szLine[700];
        static_cast<void>(FormatText(szLine, sizeof(szLine), "TLS (%s): %s", RegistryFilePath(), szError));
        FailStart(szLine);
        return false;
    }
    printf("TLS on: STARTTLS on port %d, implicit TLS on port %d\n", Settings.PortNo, Settings.TlsPortNo);
    *ppContext = pContext;
    return true;
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
            // The listener ends at every stop; only an end nobody asked for is an error.
            if (!bStop.load()) {
                printf("(error) accept clients.\n");
                FailStart("the listener ended without a stop (see the console trace)");
            }
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

bool ServerFailed() {
    return g_bFailed.load();
}

void ReloadServer() {
    std::lock_guard<std::mutex> guard(g_tlsLock);
    if (g_pTlsContext == nullptr) {
        TellAdmin(EVENTLOG_INFORMATION_TYPE, "reload: TLS is off, nothing to reload");
        return;
    }
    char szError[600];
    TlsOptions options = TheTlsOptions();
    char szLine[800];
    if (TlsReloadServerContext(g_pTlsContext, Settings.TlsCertificateFile, Settings.TlsKeyFile, &options, szError,
                               sizeof(szError))) {
        static_cast<void>(FormatText(szLine, sizeof(szLine), "reload: TLS certificate %s and key %s loaded",
                                     Settings.TlsCertificateFile, Settings.TlsKeyFile));
        TellAdmin(EVENTLOG_INFORMATION_TYPE, szLine);
    } else {
        static_cast<void>(
            FormatText(szLine, sizeof(szLine), "reload failed, the certificate in use is kept: %s", szError));
        TellAdmin(EVENTLOG_ERROR_TYPE, szLine);
    }
}

void PrintBanner() {
    char szDate[DATE_TEXT_SIZE];
    CalendarTime ctAdjusted;
    FormatDateText(GetSystemTimeAsFileTime(), szDate, &ctAdjusted);
    printf("Velmora IMAP4rev1 Server Beta%s %s %s", SERVER_VERSION, "", szDate);
    printf("\n");
}

void StartUp(int /*argc*/, char** /*argv*/) {
    bStop = 0;
    g_bFailed.store(false);
    InitTMQueue();

    ReadSettings();
    // A service's standard output is read by nobody, and a service checks every password.
    if (!bDebug) {
        Settings.ConsoleTrace = 0;
        Settings.DebugAcceptAnyPassword = 0;
    }
    if (Settings.UserManager != 0 && Settings.DebugAcceptAnyPassword != 0) {
        // Nobody may take such a server for a production one.
        printf("WARNING: debug mode: every operating-system password is accepted.\n");
    }
    CreateSpoolDirectories();
    PrintSettings();
    printf("Open file limit     %lu\n", RaiseOpenFileLimit());

    ReadTlsProtocolSettings(&g_tlsProtocol);
    char szError[600];
    TlsContext* pTlsContext = nullptr;
    if (!CheckServerSettings(szError, sizeof(szError))) {
        FailStart(szError);
        return;
    }
    if (!LoadTlsContext(&pTlsContext)) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_tlsLock);
        g_pTlsContext = pTlsContext;
    }

    HANDLE_EVENT hPipeEvent = nullptr;
    HANDLE_PIPE hPipe = nullptr;
    char szOpened[512] = "";
    // The pipe first: a second instance is told as such, not as a port in use.
    if (!CreateStartObjects(&hPipeEvent, &hPipe, szError, sizeof(szError))) {
        FailStart(szError);
    } else if (!OpenListeners(pTlsContext != nullptr && Settings.TlsPortNo != 0, szError, sizeof(szError), szOpened,
                              sizeof(szOpened))) {
        FailStart(szError);
    } else if (!ReportStatus(SERVICE_RUNNING, 0, 0)) {
        FailStart("the service manager did not take the running report");
    } else {
        // The socket library needs no start-up here.
        AddToEventLog(DISPLAY_NAME, SERVER_VERSION, EVENTLOG_SUCCESS);
        char szLine[700];
        static_cast<void>(FormatText(szLine, sizeof(szLine), "server started: version %s, listening on %s",
                                     SERVER_VERSION, szOpened));
        TellAdmin(EVENTLOG_INFORMATION_TYPE, szLine);
        // Only the instance that serves keeps the logs trimmed, for as long as it serves.
        LogSweeper sweeper(Settings.MailSpoolDir, Settings.LogKeepDays);
        // Failed logins are counted per client address across connections, for as long as
        // the server serves.
        LoginFailures loginFailures;
        WaitAndListen(hPipe, hPipeEvent, pTlsContext, &loginFailures);
        if (!g_bFailed.load()) {
            TellAdmin(EVENTLOG_INFORMATION_TYPE, "server stopped");
        }
    }

    ClosePipe(hPipe);
    {
        std::lock_guard<std::mutex> guard(g_stopEventLock);
        CloseEvent(hStopEvent.exchange(nullptr));
    }
    CloseEvent(hPipeEvent);
    {
        // Client threads are not waited for and may still hold connections made from the
        // context; it goes with the process, not before.
        std::lock_guard<std::mutex> guard(g_tlsLock);
        g_pTlsContext = nullptr;
    }
}

void StopServer() {
    printf("Service Stoped.\n");
    SignalStopEvent();
    RequestStop();
}
