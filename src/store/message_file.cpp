// APPEND's literal, stored as a new message file.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "store/store.h"

bool FormatIncomingName(char* pszPath, size_t nSize, const char* pszMailbox, uint32_t ulUid) {
    return FormatText(pszPath, nSize, "%s/.%010lu.incoming", pszMailbox, static_cast<unsigned long>(ulUid));
}

namespace {

// Gives a whole new message its name. Its UID was taken before it was received; when another
// writer has taken a later UID since, the message takes the next UID instead. So message files
// appear in the order of their UIDs, and a session that has seen a UID never finds a lower one
// later, which it could not give a number.
bool PublishMessage(const char* pszIncoming, const char* pszMailbox, uint32_t* pulUid, const char* pszCode) {
    std::vector<IncomingMessage> messages(1);
    messages[0].incoming = pszIncoming;
    std::memcpy(messages[0].szFlagCode, pszCode, 6);
    messages[0].szFlagCode[6] = '\0';
    return PublishMessages(pszMailbox, pulUid, messages) == 1;
}

}  // namespace

int WriteMessageFile(const MessageSource& source, const char* pszMailbox, uint32_t* pulUid, uint32_t ulSize,
                     const char* pszFlagCode, int64_t llInternalDate) {
    // The message is received under a name no listing takes for a message, and takes its own
    // name only once whole: another session must neither rename a half-written file (its
    // flags changed under us, two files for one UID) nor fetch it.
    char szIncoming[MAX_PATH + 32];
    if (!FormatIncomingName(szIncoming, sizeof(szIncoming), pszMailbox, *pulUid)) {
        ClearFileFailure();
        SetStoreFailure("the message's name does not fit");
        return 0;
    }
    ClearStoreFailure();

    // Held while it is written, so that nobody takes it for a crash's leftover.
    LockHandle hHold = LockPathExclusive(szIncoming);
    // A file that cannot be opened is answered like a full disk: the literal is still read, so
    // that none of it is taken for requests.
    FILE* fp = std::fopen(szIncoming, "wb");
    bool bWriteFailed = fp == nullptr;

    // The literal, then the CRLF that ends the APPEND line, which is read but not stored.
    const uint64_t ullWanted = static_cast<uint64_t>(ulSize) + 2;
    uint64_t ullCount = 0;
    char szLast[2] = {};  // the last two bytes stored
    auto store = [&](const char* pText, size_t nTake) {
        uint64_t ullRoom = ullCount < ulSize ? ulSize - ullCount : 0;
        size_t nStore = static_cast<size_t>(std::min<uint64_t>(nTake, ullRoom));
        if (!bWriteFailed && nStore > 0 && std::fwrite(pText, 1, nStore, fp) != nStore) bWriteFailed = true;
        if (nStore >= 2) {
            std::memcpy(szLast, pText + nStore - 2, 2);
        } else if (nStore == 1) {
            szLast[0] = szLast[1];
            szLast[1] = pText[0];
        }
        ullCount += nTake;
    };

    bool bInput = true;
    while (ullCount < ullWanted) {
        const char* pData = nullptr;
        size_t nLength = 0;
        bInput = source(ullWanted - ullCount, &pData, &nLength);
        if (!bInput) break;
        // A full disk must not leave a cut message behind that looks stored; the literal is
        // still read to its end so that the next request is found where the client sent it.
        store(pData, nLength);
    }
    // Every stored message ends with a line end, which the companion server relies on.
    if (!bWriteFailed && fp != nullptr && std::memcmp(szLast, "\r\n", 2) != 0 && std::fwrite("\r\n", 1, 2, fp) != 2) {
        bWriteFailed = true;
    }
    if (fp != nullptr && std::fclose(fp) != 0) bWriteFailed = true;

    if (!bWriteFailed && bInput && llInternalDate != NO_INTERNAL_DATE && !SetLastWriteTime(szIncoming, llInternalDate)) {
        bWriteFailed = true;
    }
    // Acknowledged means on the disk: the content before the name, the name before the answer.
    if (!bWriteFailed && bInput && MailFsyncOn() && !SyncFile(szIncoming)) bWriteFailed = true;
    if (bWriteFailed) SetStoreFailure("the message file cannot be written");
    if (!bInput || bWriteFailed || !PublishMessage(szIncoming, pszMailbox, pulUid, pszFlagCode)) {
        DeleteFileEntry(szIncoming);
        UnlockPath(hHold);
        return 0;
    }
    UnlockPath(hHold);
    if (!SyncMailbox(pszMailbox)) {
        SetStoreFailure("the mailbox directory cannot be flushed to the disk");
        char szPath[MAX_PATH + 32];
        if (FormatMessagePath(szPath, sizeof(szPath), pszMailbox, *pulUid, pszFlagCode)) DeleteFileEntry(szPath);
        return 0;
    }
    return 1;
}
