// Operating-system accounts: PAM stands in for LogonUserA, the password database for
// NetUserGetInfo.
#pragma once

#include <cstddef>

// Checks a user name and password through the PAM service "veve4d" (authentication and
// account management). Returns 0 when both pass, otherwise the PAM status (never 0).
int LogonSystemUser(const char* pszUser, const char* pszPassword);
// The client address LogonSystemUser gives PAM as PAM_RHOST, for the calling thread (a session's).
void SetLogonRemoteHost(const char* pszAddress);

// Home directory of an account. Returns 0, 2221 when the account does not exist, or the
// system's error code when the lookup itself failed.
unsigned long GetSystemUserHome(const char* pszUser, char* pszHome, size_t nSize);

// Whether the password database knows the account.
bool SystemUserExists(const char* pszUser);

// Makes the calling thread, and it alone, reach files as the account: its file-system user and
// group and its supplementary groups (setfsuid/setfsgid and the raw setgroups call are per
// thread on Linux, unlike the C library's setuid family). The process keeps root for PAM and
// the listener. A process that is not root has nothing to switch and succeeds. False when the
// account is unknown or the switch did not take; the thread is then left as it was.
bool TakeFileIdentity(const char* pszUser);

// While it lives, the calling thread reaches files with the process's own identity again (the
// shared logs are the server's, not the user's).
class ProcessFileIdentity {
public:
    ProcessFileIdentity();
    ~ProcessFileIdentity();
    ProcessFileIdentity(const ProcessFileIdentity&) = delete;
    ProcessFileIdentity& operator=(const ProcessFileIdentity&) = delete;

private:
    int nPreviousUid_;
    int nPreviousGid_;
};
