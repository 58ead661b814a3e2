// APPEND's literal, stored as a new message file.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/client.h"
#include "store/store.h"

namespace {

// Text received behind the literal is the client's next request: it goes back to the
// pending input instead of into the message.
void KeepPending(Session* pSession, const char* pText, size_t nLength) {
    size_t nHeld = std::strlen(pSession->szQueue);
    size_t nRoom = sizeof(pSession->szQueue) - 1 - nHeld;
    nLength = std::min(nLength, nRoom);
    std::memcpy(pSession->szQueue + nHeld, pText, nLength);
    pSession->szQueue[nHeld + nLength] = '\0';
}

}  // namespace

bool FormatIncomingName(char* pszPath, size_t nSize, const char* pszMailbox, uint32_t ulUid) {
    int n = std::snprintf(pszPath, nSize, "%s/.%010lu.incoming", pszMailbox, static_cast<unsigned long>(ulUid));
    return n >= 0 && static_cast<size_t>(n) < nSize;
}

int WriteMessageFile(Session* pSession, const char* pszMailbox, uint32_t ulUid, uint32_t ulSize,
                     const char* pszFlagList) {
    char szCode[7];
    FlagCodeFromList(pszFlagList, szCode);
    char szName[MESSAGE_NAME_LENGTH + 1];
    FormatMessageName(szName, sizeof(szName), ulUid, szCode);
    // The message is received under a name no listing takes for a message, and takes its own
    // name only once whole: another session must neither rename a half-written file (its
    // flags changed under us, two files for one UID) nor fetch it.
    char szIncoming[MAX_PATH + 32];
    if (!FormatIncomingName(szIncoming, sizeof(szIncoming), pszMailbox, ulUid)) return 0;
    char szPath[MAX_PATH + 32];
    int n = std::snprintf(szPath, sizeof(szPath), "%s/%s", pszMailbox, szName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(szPath)) {
        DeleteFileEntry(szIncoming);
        return 0;
    }

    // A file that cannot be opened is answered like a full disk: the literal is still read, so
    // that none of it is taken for requests.
    FILE* fp = std::fopen(szIncoming, "wb");
    bool bWriteFailed = fp == nullptr;

    // The literal and the CRLF that ends the APPEND line.
    const uint64_t ullWanted = static_cast<uint64_t>(ulSize) + 2;
    uint64_t ullCount = 0;
    int nResult = 0;

    size_t nQueued = std::strlen(pSession->szQueue);
    if (nQueued > 0) {
        size_t nTake = static_cast<size_t>(std::min<uint64_t>(nQueued, ullWanted));
        if (!bWriteFailed && std::fwrite(pSession->szQueue, 1, nTake, fp) != nTake) bWriteFailed = true;
        ullCount += nTake;
        std::memmove(pSession->szQueue, pSession->szQueue + nTake, nQueued - nTake + 1);
        nResult = 1;
    }
    while (ullCount < ullWanted) {
        nResult = RecvLine(pSession, 0);
        if (nResult == 0) break;
        size_t nLength = std::strlen(pSession->szRecv);
        size_t nTake = static_cast<size_t>(std::min<uint64_t>(nLength, ullWanted - ullCount));
        // A full disk must not leave a cut message behind that looks stored; the literal is
        // still read to its end so that the next request is found where the client sent it.
        if (!bWriteFailed && std::fwrite(pSession->szRecv, 1, nTake, fp) != nTake) bWriteFailed = true;
        ullCount += nTake;
        if (nTake < nLength) KeepPending(pSession, pSession->szRecv + nTake, nLength - nTake);
    }
    if (fp != nullptr && std::fclose(fp) != 0) bWriteFailed = true;

    if (nResult == 0 || bWriteFailed || !MoveFileNoReplace(szIncoming, szPath)) {
        DeleteFileEntry(szIncoming);
        return 0;
    }
    return 1;
}
