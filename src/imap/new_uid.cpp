#include "imap/new_uid.h"

#include <string>
#include <tuple>

#include "platform/format.h"
#include "platform/fs.h"
#include "store/store.h"

uint32_t AssignUnusedUid(const char* pszMailbox) { return AssignUids(pszMailbox, 1); }

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
    return FormatText(pszCode, nSize, "COPYUID %u %s %s", ulValidity, sources.c_str(), targets.c_str());
}
