// Per-day access log and protocol log under the mail spool.
#pragma once

#include "net/session.h"

void WriteAccessLog(Session* pSession, const char* pszResult);
void WriteProtocolLog(Session* pSession, char* pszText);
