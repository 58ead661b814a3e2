// Request-line splitting, the command table and the commands that touch no mailbox.
#pragma once

#include "net/session.h"

int DispatchCommand(Session* pSession);
