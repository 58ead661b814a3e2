// Request-line splitting, the command table and the commands that touch no mailbox.
#pragma once

#include "imap/session.h"

int DispatchCommand(Session* pSession);

// Whether the command word names a command that runs in the state.
bool CommandRunsInState(const char* pszWord, int32_t lState);
