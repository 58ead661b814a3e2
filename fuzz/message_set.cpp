// Message sets as every command that names messages reads them: a set is either refused whole or
// names each of its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "store/store.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    std::string text(reinterpret_cast<const char*>(pData), nSize);
    std::vector<SetElement> elements;
    bool bParsed = ParseMessageSet(text.c_str(), &elements);
    if (!bParsed && !elements.empty()) abort();
    for (uint32_t ulStar : {0u, 1u, 7u, 4294967295u}) {
        for (const SetElement& element : elements) {
            uint32_t ulLow = 0;
            uint32_t ulHigh = 0;
            ElementBounds(element, ulStar, &ulLow, &ulHigh);
            if (ulLow > ulHigh) abort();
            if (ulStar != 0 && (!SetContains(elements, ulLow, ulStar) || !SetContains(elements, ulHigh, ulStar))) {
                abort();
            }
        }
        (void)SetContains(elements, 1, ulStar);
        (void)SetContains(elements, ulStar, ulStar);
    }
    return 0;
}
