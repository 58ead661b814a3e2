// Message file names: the UID and the flag code that every command reads from a listing.
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "platform/format.h"
#include "store/store.h"

const char* const FlagNames[6] = {"\\Recent", "\\Answered", "\\Flagged", "\\Deleted", "\\Seen", "\\Draft"};

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
    // Unsigned, so that the ten digits hold every UID up to 4294967295.
    std::snprintf(pszName, nSize, "%010u-%s.MSG", static_cast<unsigned>(ulUid), pszFlagCode);
}

bool FormatMessagePath(char* pszPath, size_t nSize, const char* pszMailbox, uint32_t ulUid, const char* pszFlagCode) {
    char szName[MESSAGE_NAME_LENGTH + 1];
    FormatMessageName(szName, sizeof(szName), ulUid, pszFlagCode);
    return FormatText(pszPath, nSize, "%s/%s", pszMailbox, szName);
}
