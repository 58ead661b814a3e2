// Operating-system accounts: PAM stands in for LogonUserA, the password database for
// NetUserGetInfo.
#pragma once

#include <cstddef>

// Checks a user name and password through the PAM service "veve4d" (authentication), then the
// account as CheckSystemAccount does. Returns 0 when all pass, otherwise non-zero.
int LogonSystemUser(const char* pszUser, const char* pszPassword);
// The client address LogonSystemUser gives PAM as PAM_RHOST, for the calling thread (a session's).
void SetLogonRemoteHost(const char* pszAddress);

// Whether the account may log in at all, whatever proves the user's identity: it exists in the
// password database, its shadow entry (where one can be read) is neither locked nor past its
// expiry date, and PAM account management (service "veve4d") accepts it. Returns 0 when it may,
// otherwise non-zero (2221 for an unknown account).
int CheckSystemAccount(const char* pszUser);

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
// Gives the calling thread the process's own file identity and groups back after
// TakeFileIdentity (a login refused after the user's files were read); nothing when none was taken.
void DropFileIdentity();

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
