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

// Mail directory for the user as the client named them; ends in "/" unless empty.
void ResolveMailDirectory(const char* pszUser, const char* pszLocalAddr, char* pszMailDir, size_t nSize);
void FindDomainByAddress(const char* pszLocalAddr, char* pszDomain, size_t nSize);
unsigned long GetHomeDirectory(const char* pszUser, const char* pszDomain, char* pszHome, size_t nSize);
unsigned long FindUserRecord(const char* pszDomain, const char* pszUser, UserRecord* pRecord);
