// FETCH and UID FETCH (the UID prefix reaches the same handler with bUid set).
#pragma once

#include "net/session.h"

int CmdFetch(Session* pSession);
