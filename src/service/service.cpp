// Program entry, the service main function and the control handlers of service and console.
#include <cstdio>
#include <cstdlib>

#include "config/settings.h"
#include "service/startup.h"
#include "service/service.h"

namespace {

// Client threads are never joined and may still be running: leave without running the static
// destructors under them, after the trace has been written out.
[[noreturn]] void EndProcess(int nCode) {
    fflush(nullptr);
    std::_Exit(nCode);
}

}  // namespace

int ServiceEntry(int argc, char** argv) {
    switch (ParseCommandOption(argc, argv)) {
    case OPTION_INSTALL:
        InstallService();
        EndProcess(0);
    case OPTION_REMOVE:
        RemoveService();
        EndProcess(0);
    case OPTION_DEBUG:
        bDebug = 1;
        DebugService(argc, argv);
        EndProcess(ServerFailed() ? EXIT_FAILURE : EXIT_SUCCESS);
    case OPTION_VERSION:
        PrintVersion();
        EndProcess(0);
    case OPTION_HELP:
        PrintHelp();
        EndProcess(0);
    case OPTION_NONE:
        break;
    }

    PrintUsage();
    // Blocks while the service runs; from a console it fails at once.
    if (!StartServiceCtrlDispatcher(SERVICE_NAME, ServiceMain)) {
        AddToEventLog("StartServiceCtrlDispatcher failed.", "%s error: %d", EVENTLOG_ERROR_TYPE);
        return EXIT_FAILURE;
    }
    // A service that could not start ends with a failure, so that systemd marks the unit failed.
    return ServerFailed() ? EXIT_FAILURE : EXIT_SUCCESS;
}

void ServiceMain(int argc, char** argv) {
    SERVICE_STATUS_HANDLE hStatus = RegisterServiceCtrlHandler(SERVICE_NAME, ServiceCtrlHandler);
    if (hStatus == nullptr) return;
    BeginServiceStatus(hStatus);
    if (ReportStatus(SERVICE_START_PENDING, 0, 3000)) StartUp(argc, argv);
    ReportStatus(SERVICE_STOPPED, ServiceLastError(), 0);
}

void ServiceCtrlHandler(uint32_t dwCtrlCode) {
    if (dwCtrlCode == SERVICE_CONTROL_STOP) {
        ReportStatus(SERVICE_STOP_PENDING, 0, 15000);
        StopServer();
        return;
    }
    if (dwCtrlCode == SERVICE_CONTROL_PARAMCHANGE) ReloadServer();
    // Anything else (an interrogate) hears the current state again.
    ReportCurrentStatus();
}

void DebugService(int argc, char** argv) {
    printf("Debugging %s.\n", DISPLAY_NAME);
    SetConsoleCtrlHandler(ConsoleCtrlHandler);
    StartUp(argc, argv);
    RemoveConsoleCtrlHandler();
}

int ConsoleCtrlHandler(uint32_t dwCtrlType) {
    switch (dwCtrlType) {
    case CTRL_BREAK_EVENT:
        printf("use Ctrl+C or Ctrl+Break to simulate.\n");
        [[fallthrough]];
    case CTRL_C_EVENT:
        printf("SERVICE_CONTROL_STOP in debug mode.\n");
        printf("Stopping %s.\n", DISPLAY_NAME);
        StopServer();
        return 1;
    case CTRL_RELOAD_EVENT:
        ReloadServer();
        return 1;
    default:
        return 0;
    }
}
