// Message file names: the UID and the flag code that every command reads from a listing.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "platform/format.h"
#include "store/store.h"

const char* const FlagNames[6] = {"\\Recent", "\\Answered", "\\Flagged", "\\Deleted", "\\Seen", "\\Draft"};

bool MailboxFilePath(char* pszPath, size_t nSize, const char* pszMailbox, const char* pszName) {
    return FormatText(pszPath, nSize, "%s/%s", pszMailbox, pszName);
}

bool IsMessageFile(const FindData& data) { return (data.dwFileAttributes & NOT_MESSAGE_ATTRIBUTES) == 0; }

uint32_t MessageUid(const char* pszName) {
    uint64_t ullValue = 0;
    for (const char* p = pszName; *p >= '0' && *p <= '9'; ++p) {
        ullValue = ullValue * 10 + static_cast<uint64_t>(*p - '0');
        if (ullValue > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    return static_cast<uint32_t>(ullValue);
}

uint32_t NextUid(uint32_t ulUid) {
    uint32_t ulNext = ulUid + 1;
    return ulNext == 0 ? 1 : ulNext;
}

void FormatMessageName(char* pszName, size_t nSize, uint32_t ulUid, const char* pszFlagCode) {
    // Written by hand, not by snprintf: a large FETCH or SEARCH names every message. Ten digits
    // hold every UID up to 4294967295.
    char szName[MESSAGE_NAME_LENGTH + 1];
    for (int i = 9; i >= 0; i--, ulUid /= 10) szName[i] = static_cast<char>('0' + ulUid % 10);
    szName[10] = '-';
    size_t nCode = strnlen(pszFlagCode, 6);
    std::memcpy(szName + 11, pszFlagCode, nCode);
    std::memcpy(szName + 11 + nCode, ".MSG", 5);
    if (nSize == 0) return;
    size_t nLength = std::min(nSize - 1, 11 + nCode + 4);
    std::memcpy(pszName, szName, nLength);
    pszName[nLength] = '\0';
}

bool FormatMessagePath(char* pszPath, size_t nSize, const char* pszMailbox, uint32_t ulUid, const char* pszFlagCode) {
    char szName[MESSAGE_NAME_LENGTH + 1];
    FormatMessageName(szName, sizeof(szName), ulUid, pszFlagCode);
    return MailboxFilePath(pszPath, nSize, pszMailbox, szName);
}

bool MessageFilePath(char* pszPath, size_t nSize, const char* pszMailbox, uint32_t ulUid, uint8_t fFlags) {
    char szCode[7];
    FlagCodeOf(fFlags, szCode);
    return FormatMessagePath(pszPath, nSize, pszMailbox, ulUid, szCode);
}
