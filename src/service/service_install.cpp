// -install and -remove: registering the program with the service control manager.
#include <chrono>
#include <cstdio>
#include <thread>

#include "config/settings.h"
#include "platform/accounts.h"
#include "service/service.h"

namespace {

// The system user the Debian package makes for the server.
constexpr const char* SERVICE_USER = "veve4d";

void Pause(unsigned int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

void InstallService() {
    char szPath[512];
    char szErr[256];
    if (!GetModuleFileName(szPath, sizeof szPath)) {
        printf("Unable to install %s - %s\n", DISPLAY_NAME, GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    SC_HANDLE schSCManager = OpenSCManager();
    if (schSCManager == nullptr) {
        printf("OpenSCManager failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    // User files need no privileges, so the server runs as its own user where there is one;
    // operating-system accounts need root for PAM to read the shadow passwords.
    ReadSettings();
    const char* pszUser = Settings.UserManager == 0 && SystemUserExists(SERVICE_USER) ? SERVICE_USER : nullptr;
    SC_HANDLE schService = CreateService(schSCManager, SERVICE_NAME, DISPLAY_NAME, szPath, pszUser);
    if (schService != nullptr) {
        printf("%s installed.\n", DISPLAY_NAME);
        CloseServiceHandle(schService);
    } else {
        printf("CreateService failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
    }
    CloseServiceHandle(schSCManager);
}

void RemoveService() {
    char szErr[256];
    SC_HANDLE schSCManager = OpenSCManager();
    if (schSCManager == nullptr) {
        printf("OpenSCManager failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    SC_HANDLE schService = OpenService(schSCManager, SERVICE_NAME);
    if (schService == nullptr) {
        printf("OpenService failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        CloseServiceHandle(schSCManager);
        return;
    }
    // A service that is not running cannot take the stop: it is simply deleted.
    SERVICE_STATUS ssStatus{};
    if (ControlService(schService, SERVICE_CONTROL_STOP, &ssStatus)) {
        printf("Stopping %s.", DISPLAY_NAME);
        fflush(stdout);
        Pause(1000);
        while (QueryServiceStatus(schService, &ssStatus) && ssStatus.dwCurrentState == SERVICE_STOP_PENDING) {
            printf(".");
            fflush(stdout);
            Pause(1000);
        }
        if (ssStatus.dwCurrentState == SERVICE_STOPPED) {
            printf("\n%s stopped.\n", DISPLAY_NAME);
        } else {
            printf("\n%s failed to stop.\n", DISPLAY_NAME);
        }
    }
    if (DeleteService(schService)) {
        printf("%s removed.\n", DISPLAY_NAME);
    } else {
        printf("DeleteService failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
    }
    CloseServiceHandle(schService);
    CloseServiceHandle(schSCManager);
}
