// Operating-system accounts: PAM stands in for LogonUserA, the password database for
// NetUserGetInfo.
#pragma once

#include <cstddef>

// Checks a user name and password through the PAM service "veve4d" (authentication and
// account management). Returns 0 when both pass, otherwise the PAM status (never 0).
int LogonSystemUser(const char* pszUser, const char* pszPassword);

// Home directory of an account. Returns 0, 2221 when the account does not exist, or the
// system's error code when the lookup itself failed.
unsigned long GetSystemUserHome(const char* pszUser, char* pszHome, size_t nSize);

// Whether the password database knows the account.
bool SystemUserExists(const char* pszUser);
