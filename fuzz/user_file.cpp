// The user files: a domain's account file (one base64 record a line, tab-separated fields) looked
// up by name, and a mail directory's password file. The input up to its first NUL is the name
// looked up; the rest is written as both files.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth/password.h"
#include "auth/userdir.h"
#include "config/settings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    snprintf(Settings.Membership, sizeof Settings.Membership, "%s", ScratchDirectory().c_str());
    snprintf(Settings.PasswordFile, sizeof Settings.PasswordFile, "apop.dat");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const uint8_t* pEnd = static_cast<const uint8_t*>(memchr(pData, '\0', nSize));
    if (pEnd == nullptr) return -1;
    std::string user(reinterpret_cast<const char*>(pData), static_cast<size_t>(pEnd - pData));
    const uint8_t* pFile = pEnd + 1;
    size_t nFile = static_cast<size_t>(pData + nSize - pFile);
    if (!WriteWholeFile(ScratchDirectory() + "fuzz.idx", pFile, nFile)) abort();
    if (!WriteWholeFile(ScratchDirectory() + "apop.dat", pFile, nFile)) abort();

    UserRecord record;
    memset(&record, 0x55, sizeof record);
    if (FindUserRecord("fuzz", user.c_str(), &record) == 0) {
        for (const char* pszField : {record.name, record.password, record.field3, record.field4, record.home}) {
            if (memchr(pszField, '\0', sizeof record.name) == nullptr) abort();
        }
    }
    (void)IsSafeUserName(user.c_str(), user.size());
    char szHome[256];
    (void)GetHomeDirectory(user.c_str(), "fuzz", szHome, sizeof szHome);

    char szPassword[256];
    if (ReadPasswordFile(ScratchDirectory().c_str(), szPassword, sizeof szPassword) == 1 &&
        memchr(szPassword, '\0', sizeof szPassword) == nullptr) {
        abort();
    }
    return 0;
}
