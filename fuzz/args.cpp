// The argument readers handlers share: each must stop inside the text it was given, leave a
// NUL-terminated result within its buffer, and never take a sequence set with a zero in it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "imap/args.h"

namespace {

void CheckCursor(const char* p, const std::string& text) {
    if (p < text.c_str() || p > text.c_str() + text.size()) abort();
}

void CheckOut(const char* pszOut, size_t nSize) {
    if (strnlen(pszOut, nSize) >= nSize) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    std::string text(reinterpret_cast<const char*>(pData), nSize);
    // Each reader is run over the whole text, one argument after another, as a handler would.
    for (int nReader = 0; nReader < 5; nReader++) {
        const char* p = text.c_str();
        for (int nArgument = 0; nArgument < 64 && *p != '\0'; nArgument++) {
            const char* pBefore = p;
            char szOut[64];
            szOut[0] = '\0';
            bool bTaken = false;
            switch (nReader) {
                case 0: bTaken = TakeAstring(&p, szOut, sizeof(szOut), nArgument % 2 != 0); break;
                case 1: bTaken = TakeString(&p, szOut, sizeof(szOut)); break;
                case 2: bTaken = TakeParenthesised(&p, szOut, sizeof(szOut)); break;
                case 3: {
                    unsigned long ulSize = 0;
                    bool bNonSync = false;
                    bTaken = TakeLiteralSize(&p, &ulSize, &bNonSync);
                    if (bTaken && ulSize > 0xFFFFFFFFul) abort();
                    break;
                }
                default: {
                    std::vector<SetElement> set;
                    bTaken = TakeSequenceSet(&p, &set);
                    if (bTaken == set.empty()) abort();
                    for (const SetElement& element : set) {
                        // "*" is 0; a zero from the text itself is never taken.
                        bool bStar = std::memchr(pBefore, '*', static_cast<size_t>(p - pBefore)) != nullptr;
                        if ((element.ulLow == 0 || element.ulHigh == 0) && !bStar) abort();
                    }
                    break;
                }
            }
            CheckCursor(p, text);
            if (bTaken && nReader < 3) CheckOut(szOut, sizeof(szOut));
            if (!bTaken && p != pBefore) abort();
            if (!bTaken || p == pBefore) p = pBefore + 1;
            if (*p == ' ') p++;
        }
    }
    std::string copy = text;
    (void)ListText(copy.c_str());
    if (copy != text) abort();
    return 0;
}
