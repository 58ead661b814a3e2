// The running process, as GetCurrentProcessId reports it on Windows.
#pragma once

#include <cstddef>

unsigned long GetCurrentProcessId();

// This machine's name as lock files carry it: the host name up to its first dot, or "localhost"
// when it has none. Never empty, never holds a blank.
const char* LockHostName();
// Whether a process of that id runs on this machine (one that exists but is not ours counts).
bool ProcessAlive(unsigned long ulPid);

// Raises the process's limit of open files to the most it may have: every connection holds one,
// and the usual default of 1024 (kept low for programs that still use select) would refuse
// clients long before memory or threads run short. The limit now in force.
unsigned long RaiseOpenFileLimit();
