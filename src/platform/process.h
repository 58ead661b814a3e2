// The running process, as GetCurrentProcessId reports it on Windows.
#pragma once

unsigned long GetCurrentProcessId();
