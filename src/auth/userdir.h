// From a user name and the local address to the user's mail directory and account record.
#pragma once

#include <cstddef>

constexpr unsigned long NERR_UserNotFound = 2221;

struct UserRecord {
    char name[256];
    char password[256];
    char field3[256];
    char field4[256];
    char home[256];
};

// False for a user text (name, optionally "@" or "%" and a domain) that could make a path
// leave the mail directories: "..", "/", "\", ":", control characters (NUL included, within
// nLength), an empty name or ".", and device names such as CON or LPT1. LOGIN and AUTHENTICATE
// refuse such names; ResolveMailDirectory and FindUserRecord never build a path from them.
bool IsSafeUserName(const char* pszUser, size_t nLength);
bool IsSafeUserName(const char* pszUser);

// Where a user text divides into name and domain: its first "@", failing that its first "%"
// ("user%domain" is how some clients write it); nLength when it names no domain.
size_t DomainSeparator(const char* pszUser, size_t nLength);

// Mail directory for the user as the client named them; ends in "/" unless empty. Empty for an
// unsafe name, for a template that starts with %home% when the user has no home directory,
// and for a path that does not fit in nSize.
void ResolveMailDirectory(const char* pszUser, const char* pszLocalAddr, char* pszMailDir, size_t nSize);
void FindDomainByAddress(const char* pszLocalAddr, char* pszDomain, size_t nSize);
unsigned long GetHomeDirectory(const char* pszUser, const char* pszDomain, char* pszHome, size_t nSize);
unsigned long FindUserRecord(const char* pszDomain, const char* pszUser, UserRecord* pRecord);
// The user-file password check: the name is looked up in its domain (after "@" or "%", else
// the local address's); 0 when the password matches. pszUser is rewritten in place to
// "user@domain" (nUserSize bytes).
int CheckUserFilePassword(char* pszUser, size_t nUserSize, const char* pszPassword, const char* pszLocalAddr);
// The same lookup without a password (a login that proves the user otherwise): 0 when the user
// file holds the user, pszUser then rewritten as above; -1 when not.
int FindUserFileAccount(char* pszUser, size_t nUserSize, const char* pszLocalAddr, UserRecord* pRecord);
// 1 when "$offimap4" in the user's mail directory can be opened for reading.
int ImapAccessOff(const char* pszUser, const char* pszLocalAddr);
// The same for a mail directory already resolved.
int ImapAccessOffAt(const char* pszMailDir);
