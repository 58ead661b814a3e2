// The start-up probe: reports what the socket and completion-port layers found on this machine.
#include <cstdio>

#include "config/settings.h"
#include "net/listener.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "platform/sysinfo.h"

bool ProbeSystem() {
    char szPort[16];
    static_cast<void>(FormatText(szPort, sizeof(szPort), "%d", Settings.PortNo));
    SocketAddress address{};
    int nFamily = Settings.AddressFamily != 0 ? FAMILY_IPV6 : FAMILY_IPV4;
    if (!GetPassiveAddress(nFamily, szPort, &address)) {
        printf("getaddrinfo failed with error\n");
        return false;
    }
    SOCKET sock = CreateStreamSocket(nFamily);
    if (sock == INVALID_SOCKET) {
        return false;
    }
    CompletionPort hPort = CreateIoCompletionPort(sock);
    CloseSocket(sock);
    if (hPort == INVALID_COMPLETION_PORT) {
        return false;
    }
    // The port is not used afterwards.
    CloseCompletionPort(hPort);

    OsVersionInfo version{};
    GetVersionEx(&version);
    printf("windows %ld.%ld Build %ld (%s)\n", version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
           version.szCSDVersion);
    SystemInfo info{};
    GetSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_INTEL: printf("Intel"); break;
    case PROCESSOR_ARCHITECTURE_MIPS: printf("Mips"); break;
    case PROCESSOR_ARCHITECTURE_ALPHA: printf("Alpha"); break;
    default: printf("Unknown"); break;
    }
    printf(" %ld processor in the system.\n", static_cast<long>(info.dwNumberOfProcessors));
    return true;
}
