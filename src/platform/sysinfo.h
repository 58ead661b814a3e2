// What the listener's start-up probe reports about the machine: a completion port (an epoll
// instance here), the version line taken from uname, the processor architecture and count.
#pragma once

#include <cstdint>

#include "platform/types.h"

using CompletionPort = int;
constexpr CompletionPort INVALID_COMPLETION_PORT = -1;

// A new completion port with the socket associated to it; INVALID_COMPLETION_PORT on failure.
CompletionPort CreateIoCompletionPort(SOCKET sock);
void CloseCompletionPort(CompletionPort hPort);

struct OsVersionInfo {
    long dwMajorVersion;
    long dwMinorVersion;
    long dwBuildNumber;
    char szCSDVersion[128];  // the service-pack text: here the kernel's name and release
};

// The kernel release "6.1.0-18-amd64" gives 6, 1 and build 0; the text is "Linux 6.1.0-18-amd64".
bool GetVersionEx(OsVersionInfo* pInfo);
void ParseKernelRelease(const char* pszSysName, const char* pszRelease, OsVersionInfo* pInfo);

constexpr uint16_t PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr uint16_t PROCESSOR_ARCHITECTURE_MIPS = 1;
constexpr uint16_t PROCESSOR_ARCHITECTURE_ALPHA = 2;
constexpr uint16_t PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;

struct SystemInfo {
    uint16_t wProcessorArchitecture;
    uint32_t dwNumberOfProcessors;
};

void GetSystemInfo(SystemInfo* pInfo);
// uname's machine name against the architecture codes (x86 and x86_64 count as Intel).
uint16_t ArchitectureFromMachine(const char* pszMachine);
