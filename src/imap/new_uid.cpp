#include "imap/new_uid.h"

#include <cstdio>
#include <string>
#include <tuple>

#include "platform/fs.h"
#include "store/store.h"

namespace {

// Enough to pass over any run of taken UIDs a stale uid file can leave; past it the UID is
// used all the same and the file operations refuse to replace a message.
constexpr int MAX_TAKEN_SKIPS = 10000;

bool UidInUse(const char* pszMailbox, uint32_t ulUid) {
    char szPattern[MAX_PATH + 32];
    if (!FormatMessagePath(szPattern, sizeof(szPattern), pszMailbox, ulUid, "??????")) {
        return false;
    }
    bool bInUse = false;
    FindFiles(szPattern, 0, [&](const FindData& data) {
        bInUse = IsMessageFile(data);
        return !bInUse;
    });
    return bInUse;
}

}  // namespace

uint32_t AssignUnusedUid(const char* pszMailbox) {
    uint32_t ulUid = AssignUids(pszMailbox, 1);
    for (int i = 0; i < MAX_TAKEN_SKIPS && UidInUse(pszMailbox, ulUid); i++) {
        ulUid = AssignUids(pszMailbox, 1);
    }
    return ulUid;
}

bool FormatCopyUid(uint32_t ulValidity, const std::vector<UidPair>& pairs, char* pszCode, size_t nSize) {
    if (pairs.empty()) return false;
    std::string sources, targets;
    for (size_t i = 0; i < pairs.size();) {
        size_t nEnd = i;
        while (nEnd + 1 < pairs.size() && pairs[nEnd + 1].first == pairs[nEnd].first + 1 &&
               pairs[nEnd + 1].second == pairs[nEnd].second + 1) {
            nEnd++;
        }
        for (auto [pSet, ulFirst, ulLast] : {std::tuple{&sources, pairs[i].first, pairs[nEnd].first},
                                             std::tuple{&targets, pairs[i].second, pairs[nEnd].second}}) {
            if (!pSet->empty()) *pSet += ',';
            *pSet += std::to_string(ulFirst);
            if (nEnd > i) *pSet += ':' + std::to_string(ulLast);
        }
        i = nEnd + 1;
    }
    int n = snprintf(pszCode, nSize, "COPYUID %u %s %s", ulValidity, sources.c_str(), targets.c_str());
    return n >= 0 && static_cast<size_t>(n) < nSize;
}
