// The request-line splitter: tag, command word and arguments cut out of szRecv in place.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "imap/line.h"
#include "imap/session.h"

namespace {

// A pointer the splitter leaves must stay inside the buffer it cut.
void CheckInside(const char* p, const char* pBegin, size_t nSize) {
    if (p != nullptr && (p < pBegin || p >= pBegin + nSize)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static Session session;
    size_t nCopy = nSize < RECV_SIZE - 1 ? nSize : RECV_SIZE - 1;
    memset(session.szRecv, 0, sizeof session.szRecv);
    memcpy(session.szRecv, pData, nCopy);
    session.pTag = session.pCommand = session.pArgs = nullptr;
    SplitRequestLine(&session);
    CheckInside(session.pTag, session.szRecv, sizeof session.szRecv);
    CheckInside(session.pCommand, session.szRecv, sizeof session.szRecv);
    CheckInside(session.pArgs, session.szRecv, sizeof session.szRecv);

    char szText[RECV_SIZE];
    memcpy(szText, pData, nCopy);
    szText[nCopy] = '\0';
    EndAtFirstCrOrLf(szText);
    memcpy(szText, pData, nCopy);
    szText[nCopy] = '\0';
    EndAtCrLfPair(szText);
    memcpy(szText, pData, nCopy);
    szText[nCopy] = '\0';
    char* pArgs = nullptr;
    SplitWordAndArgs(szText, &pArgs);
    CheckInside(pArgs, szText, sizeof szText);
    return 0;
}
