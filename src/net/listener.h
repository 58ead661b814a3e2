// Listening sockets, the accept loop and the stop request.
#pragma once

#include <atomic>

#include "platform/types.h"

extern char szHostDomain[256];
extern std::atomic<int32_t> bStop;

int RunListener();
int AcceptLoop();
int FindHostDomain();
void RequestStop();
