// The system-log lines an administrator and fail2ban read: one per login outcome and one per
// failed TLS handshake, each in one fixed form (see veve4d(8), LOGGING):
//   login ok: method=LOGIN rip=192.0.2.7 lip=192.0.2.1 tls=yes user=<ann>
//   login failed: method=PLAIN rip=192.0.2.7 lip=192.0.2.1 tls=no reason=<authentication failed> user=<ann>
//   TLS handshake failed: rip=192.0.2.7 lip=192.0.2.1 reason=<...>
// What the client chose (the user name, the method word) is escaped and comes last or stands
// where it cannot be taken for the address.
#pragma once

#include "imap/session.h"

// pszMethod: the command or mechanism as the client wrote it (only its first word is used);
// pszReason: why a login failed (ignored on success).
void LogLoginOutcome(const Session* pSession, const char* pszMethod, bool bSuccess, const char* pszReason);
void LogTlsFailure(const Session* pSession, const char* pszReason);
