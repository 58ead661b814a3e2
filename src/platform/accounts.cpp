#include "platform/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <shadow.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/format.h"

namespace {

constexpr const char* szPamService = "veve4d";
constexpr unsigned long USER_NOT_FOUND = 2221;

// The client of the session this thread serves, for PAM_RHOST.
thread_local char tlsRemoteHost[64] = "";

struct Credentials {
    const char* pszUser;
    const char* pszPassword;
};

// Answers the password prompt with the password and a visible prompt with the user name; PAM
// frees the answers, so they are malloc'd.
int Converse(int nMessages, const struct pam_message** ppMessages, struct pam_response** ppResponses,
             void* pAppData) {
    if (nMessages <= 0 || ppMessages == nullptr || ppResponses == nullptr) return PAM_CONV_ERR;
    const Credentials* pCredentials = static_cast<const Credentials*>(pAppData);
    pam_response* pResponses = static_cast<pam_response*>(calloc(static_cast<size_t>(nMessages), sizeof(pam_response)));
    if (pResponses == nullptr) return PAM_BUF_ERR;
    for (int i = 0; i < nMessages; ++i) {
        const char* pszAnswer = nullptr;
        switch (ppMessages[i]->msg_style) {
            case PAM_PROMPT_ECHO_OFF: pszAnswer = pCredentials->pszPassword; break;
            case PAM_PROMPT_ECHO_ON: pszAnswer = pCredentials->pszUser; break;
            case PAM_ERROR_MSG:
            case PAM_TEXT_INFO: continue;
            default: pszAnswer = nullptr; break;
        }
        if (pszAnswer == nullptr || (pResponses[i].resp = strdup(pszAnswer)) == nullptr) {
            for (int j = 0; j < i; ++j) free(pResponses[j].resp);
            free(pResponses);
            return PAM_CONV_ERR;
        }
    }
    *ppResponses = pResponses;
    return PAM_SUCCESS;
}

std::mutex shadowLock;

// Locked (usermod -L puts "!" before the hash) or expired (chage -E; day 0 counts, as pam_unix
// counts it). pam_unix's account step checks the expiry but not the lock, which only spoils the
// hash: a login that never compares the system password (CRAM-MD5) must look for itself. An
// entry that cannot be read (no shadow file, not root) leaves the decision to PAM.
bool ShadowRefuses(const char* pszUser) {
    // getspnam's answer lives in one static buffer.
    std::lock_guard<std::mutex> lock(shadowLock);
    const spwd* pEntry = getspnam(pszUser);
    if (pEntry == nullptr) return false;
    if (pEntry->sp_pwdp != nullptr && pEntry->sp_pwdp[0] == '!') return true;
    long lToday = static_cast<long>(time(nullptr) / 86400);
    return pEntry->sp_expire != -1 && lToday >= pEntry->sp_expire;
}

// The account checks after the identity is proved (or, without a password, instead of it).
int CheckAccountOn(pam_handle_t* pHandle, const char* pszUser) {
    if (!SystemUserExists(pszUser)) return static_cast<int>(USER_NOT_FOUND);
    if (ShadowRefuses(pszUser)) return PAM_ACCT_EXPIRED;
    return pam_acct_mgmt(pHandle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
}

// Runs PAM for the user: authentication first when a password is given, then the account.
int RunPam(const char* pszUser, const char* pszPassword) {
    Credentials credentials = {pszUser, pszPassword};
    struct pam_conv conversation = {Converse, &credentials};
    pam_handle_t* pHandle = nullptr;
    int nStatus = pam_start(szPamService, pszUser, &conversation, &pHandle);
    // pam_unix's failure lines and pam_faillock name the client only when told; fail2ban reads them.
    if (nStatus == PAM_SUCCESS && tlsRemoteHost[0] != '\0') nStatus = pam_set_item(pHandle, PAM_RHOST, tlsRemoteHost);
    if (nStatus != PAM_SUCCESS) {
        if (pHandle != nullptr) pam_end(pHandle, nStatus);
        return nStatus != 0 ? nStatus : -1;
    }
    if (pszPassword != nullptr) nStatus = pam_authenticate(pHandle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    // A locked or expired account fails here although its password is right, as a batch logon
    // fails on such an account.
    if (nStatus == PAM_SUCCESS) nStatus = CheckAccountOn(pHandle, pszUser);
    pam_end(pHandle, nStatus == PAM_SUCCESS ? PAM_SUCCESS : PAM_PERM_DENIED);
    return nStatus;
}

// The process's own groups, kept by the thread that took a user's identity, to be given back.
thread_local std::vector<gid_t> processGroups;
thread_local bool bIdentityTaken = false;

}  // namespace

int LogonSystemUser(const char* pszUser, const char* pszPassword) {
    // No password is no authentication: RunPam would check the account alone.
    return RunPam(pszUser, pszPassword != nullptr ? pszPassword : "");
}

int CheckSystemAccount(const char* pszUser) { return RunPam(pszUser, nullptr); }

void SetLogonRemoteHost(const char* pszAddress) {
    static_cast<void>(FormatText(tlsRemoteHost, sizeof(tlsRemoteHost), "%s", pszAddress != nullptr ? pszAddress : ""));
}

unsigned long GetSystemUserHome(const char* pszUser, char* pszHome, size_t nSize) {
    if (nSize > 0) pszHome[0] = '\0';
    long lSuggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(lSuggested > 0 ? static_cast<size_t>(lSuggested) : 16384);
    struct passwd pw;
    struct passwd* pResult = nullptr;
    int nError;
    while ((nError = getpwnam_r(pszUser, &pw, buffer.data(), buffer.size(), &pResult)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (pResult != nullptr) {
        // A cut home would name some other directory: the user is left without one.
        if (!FormatText(pszHome, nSize, "%s", pw.pw_dir != nullptr ? pw.pw_dir : "") && nSize > 0) pszHome[0] = '\0';
        return 0;
    }
    // These mean "no such user" rather than a failed lookup.
    if (nError == 0 || nError == ENOENT || nError == ESRCH || nError == EBADF || nError == EPERM) return USER_NOT_FOUND;
    return static_cast<unsigned long>(nError);
}

bool SystemUserExists(const char* pszUser) {
    passwd pw{};
    passwd* pResult = nullptr;
    std::vector<char> buffer(16384);
    return getpwnam_r(pszUser, &pw, buffer.data(), buffer.size(), &pResult) == 0 && pResult != nullptr;
}

bool TakeFileIdentity(const char* pszUser) {
    if (geteuid() != 0) return true;
    passwd pw{};
    passwd* pResult = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(pszUser, &pw, buffer.data(), buffer.size(), &pResult) != 0 || pResult == nullptr) return false;
    int nGroups = 64;
    std::vector<gid_t> groups(static_cast<size_t>(nGroups));
    if (getgrouplist(pszUser, pw.pw_gid, groups.data(), &nGroups) < 0) {
        groups.resize(static_cast<size_t>(nGroups));
        if (getgrouplist(pszUser, pw.pw_gid, groups.data(), &nGroups) < 0) return false;
    }
    std::vector<gid_t> previous(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    if (getgroups(static_cast<int>(previous.size()), previous.data()) < 0) previous.clear();
    if (!bIdentityTaken) processGroups = previous;
    // The raw system call: the C library's setgroups would change every thread of the process.
    if (syscall(SYS_setgroups, static_cast<size_t>(nGroups), groups.data()) != 0) return false;
    setfsgid(pw.pw_gid);
    setfsuid(pw.pw_uid);
    // Each call answers with the value it replaced; an impossible id changes nothing and tells
    // what is in force.
    if (static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == pw.pw_uid &&
        static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == pw.pw_gid) {
        bIdentityTaken = true;
        return true;
    }
    setfsuid(0);
    setfsgid(0);
    syscall(SYS_setgroups, previous.size(), previous.data());
    return false;
}

void DropFileIdentity() {
    if (!bIdentityTaken) return;
    setfsgid(getegid());
    setfsuid(geteuid());
    syscall(SYS_setgroups, processGroups.size(), processGroups.data());
    bIdentityTaken = false;
}

ProcessFileIdentity::ProcessFileIdentity()
    : nPreviousUid_(setfsuid(geteuid())), nPreviousGid_(setfsgid(getegid())) {}

ProcessFileIdentity::~ProcessFileIdentity() {
    setfsgid(static_cast<gid_t>(nPreviousGid_));
    setfsuid(static_cast<uid_t>(nPreviousUid_));
}
