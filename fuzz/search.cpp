// SEARCH: the criteria parser, then the parsed query evaluated against one message. The input
// up to its first NUL is the criteria text (literals included); the rest is the message file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "imap/search.h"

namespace {

// The tree the parser leaves: children point at nodes made before their parent, within bounds.
void CheckQuery(const SearchQuery& query) {
    if (query.nodes.size() > SEARCH_MAX_NODES) abort();
    if (query.nRoot < 0 || static_cast<size_t>(query.nRoot) >= query.nodes.size()) abort();
    for (const SearchNode& node : query.nodes) {
        for (int nChild : node.children) {
            if (nChild < 0 || static_cast<size_t>(nChild) >= query.nodes.size()) abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const uint8_t* pEnd = static_cast<const uint8_t*>(memchr(pData, '\0', nSize));
    size_t nCriteria = pEnd != nullptr ? static_cast<size_t>(pEnd - pData) : nSize;
    SearchQuery query;
    std::string strError;
    SearchParseResult result = ParseSearch(reinterpret_cast<const char*>(pData), nCriteria, &query, &strError);
    if (result != SEARCH_PARSED) return 0;
    CheckQuery(query);

    const uint8_t* pMessage = pEnd != nullptr ? pEnd + 1 : pData + nSize;
    std::string path = ScratchDirectory() + "0000000007-000010.MSG";
    if (!WriteWholeFile(path, pMessage, static_cast<size_t>(pData + nSize - pMessage))) abort();
    (void)SearchReadsEntry(query);
    (void)SearchReadsContent(query);
    SearchMessage message{path.c_str(), "000010", 3, 7, 5, 9, 3600};
    (void)SearchMatches(query, message);
    message.pszFlags = "111111";
    message.ulSequence = 5;
    message.ulUid = 9;
    (void)SearchMatches(query, message);
    return 0;
}
