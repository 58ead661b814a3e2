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
// Whether the account may log in at all, for a mechanism that proves the user with something
// other than the account's password (CRAM-MD5): the user file holds it (pszUser rewritten as
// CheckAccount does), or the operating system's account exists, is neither locked nor expired,
// and PAM account management accepts it. 0 when it may.
int CheckAccountUsable(char* pszUser, size_t nUserSize, const char* pszLocalAddr);
// Takes the user's file identity (operating-system accounts), then resolves szMailDir: nothing
// of the user's is read with the server's rights. False, with the identity given back, when
// either fails.
bool EnterUserFiles(Session* pSession);
// Gives the server's own file identity back after a refused login.
void LeaveUserFiles();
// After a successful check: the user's files, the "$offimap4" bar, inbox, import, login
// number, State. False when the user has no usable mail directory or is barred (the login must
// then fail). bInUserFiles: EnterUserFiles has run already (CRAM-MD5 reads its file as the user).
bool AcceptLogin(Session* pSession, bool bInUserFiles = false);
void CompleteLogin(Session* pSession);
// After a refused LOGIN or AUTHENTICATE, with the answer in szResponse: waits before it may go
// out (longer with each failure from the client's address) and, after LoginFailureLimit
// failures on the connection, adds a BYE. The handler's result: 0 ends the session.
int FailLogin(Session* pSession);
