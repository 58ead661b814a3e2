// What LOGIN and AUTHENTICATE share: the clear-text rule, the account check and the login itself.
#pragma once

#include <cstddef>

#include "imap/session.h"

// Whether this session may send a password in clear text (LOGIN, AUTHENTICATE LOGIN and PLAIN):
// the registry may ask for TLS first, except from a loopback peer when it says so.
bool PlaintextLoginAllowed(const Session* pSession);
// The tagged refusal of a plaintext password before TLS, in szResponse.
void RespondPrivacyRequired(Session* pSession, const char* pszTag, const char* pszCommand);
// 0 when the account check passes, otherwise non-zero. In user-file mode the user text is
// rewritten in place to "user@domain" (pszUser holds nUserSize bytes).
int CheckAccount(char* pszUser, size_t nUserSize, const char* pszPassword, const char* pszLocalAddr);
// After a successful check: mail directory, inbox, import, login number, State. False when
// the user has no usable mail directory (the login must then fail).
bool AcceptLogin(Session* pSession);
void CompleteLogin(Session* pSession);
// After a refused LOGIN or AUTHENTICATE, with the answer in szResponse: waits before it may go
// out (longer with each failure from the client's address) and, after LoginFailureLimit
// failures on the connection, adds a BYE. The handler's result: 0 ends the session.
int FailLogin(Session* pSession);
