// The running process, as GetCurrentProcessId reports it on Windows.
#pragma once

#include <cstddef>

unsigned long GetCurrentProcessId();

// This machine's name as lock files carry it: the host name up to its first dot, or "localhost"
// when it has none. Never empty, never holds a blank.
const char* LockHostName();
// Whether a process of that id runs on this machine (one that exists but is not ours counts).
bool ProcessAlive(unsigned long ulPid);
