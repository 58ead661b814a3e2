// STORE and UID STORE: a flag change is a rename of the message file, announced by an untagged
// FETCH line with the new flags unless the client asked for silence.
#include <cstdio>
#include <cstring>

#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/response.h"
#include "net/client.h"
#include "platform/text.h"
#include "store/store.h"

namespace {

enum StoreMode {
    STORE_SET,      // +FLAGS: the named flags are set, no other changes
    STORE_CLEAR,    // -FLAGS, and any other item without a sign: the named flags are cleared
    STORE_REPLACE,  // FLAGS: the five settable flags become exactly the named ones
};

struct StoreRequest {
    StoreMode mode;
    bool bSilent;
    bool abNamed[FLAG_COUNT];
};

void ReadStoreItem(const char* pszItem, StoreRequest* pRequest) {
    *pRequest = StoreRequest{};
    if (pszItem[0] == '+') {
        pRequest->mode = STORE_SET;
    } else if (StrNICmp(pszItem, "FLAGS", 5) == 0) {
        pRequest->mode = STORE_REPLACE;
    } else {
        pRequest->mode = STORE_CLEAR;
    }
    const char* pDot = strchr(pszItem, '.');
    pRequest->bSilent = pDot != nullptr && StrNICmp(pDot, ".SILENT", 7) == 0;
    // Flags may come without their parentheses; the item word itself holds no backslash.
    const char* pList = strchr(pszItem, '(');
    ParseFlagWords(pList != nullptr ? pList : pszItem, pRequest->abNamed);
}

void ApplyRequest(const StoreRequest& request, char* pszName) {
    for (int i = 0; i < FLAG_COUNT; i++) {
        char* pFlag = pszName + FLAG_POS_RECENT + i;
        switch (request.mode) {
            case STORE_SET:
                if (request.abNamed[i]) *pFlag = '1';
                break;
            case STORE_CLEAR:
                if (request.abNamed[i]) *pFlag = '0';
                break;
            case STORE_REPLACE:
                // Recent belongs to the server; a flag list replaces it only when it names it.
                if (i != 0 || request.abNamed[i]) *pFlag = request.abNamed[i] ? '1' : '0';
                break;
        }
    }
}

// The position of a message among all message files of the mailbox, for the walk over a single
// UID whose own count says nothing about it.
uint32_t SequenceNumberOf(const char* pszMailbox, const char* pszName) {
    char szPattern[MESSAGE_PATH_SIZE];
    uint32_t ulBefore = 0;
    if (!MailboxFilePath(szPattern, sizeof(szPattern), pszMailbox, ALL_MESSAGES_PATTERN)) return 1;
    FindFiles(szPattern, 0, [&](const FindData& data) {
        if (CompareNames(data.cFileName, pszName) >= 0) return false;
        if (IsMessageFile(data)) ulBefore++;
        return true;
    });
    return ulBefore + 1;
}

void StoreMessage(Session* pSession, const StoreRequest& request, uint32_t ulSequence, bool bSingleUid) {
    const char* pszOld = pSession->FindData.cFileName;
    // A stray .MSG file without a flag code has nothing to change.
    if (!HasFlagCode(pszOld)) return;
    char szNew[MESSAGE_NAME_LENGTH + 1];
    memcpy(szNew, pszOld, MESSAGE_NAME_LENGTH);
    szNew[MESSAGE_NAME_LENGTH] = '\0';
    ApplyRequest(request, szNew);

    if (bSingleUid) ulSequence = SequenceNumberOf(pSession->szMailbox, pszOld);

    char szOldPath[MESSAGE_PATH_SIZE];
    char szNewPath[MESSAGE_PATH_SIZE];
    if (!MailboxFilePath(szOldPath, sizeof(szOldPath), pSession->szMailbox, pszOld) ||
        !MailboxFilePath(szNewPath, sizeof(szNewPath), pSession->szMailbox, szNew)) {
        return;
    }
    printf("MoveFile(%s -> %s)\n", szOldPath, szNewPath);
    // Another session may have renamed or removed the file since the listing; that rename wins.
    MoveFileNoReplace(szOldPath, szNewPath);

    if (request.bSilent) return;
    char szFlags[64];
    FormatFlagNames(szNew, szFlags, sizeof(szFlags));
    FormatResponse(pSession, "* %u FETCH (FLAGS (%s))\r\n", static_cast<unsigned>(ulSequence), szFlags);
    SendResponse(pSession, 1, 1);
}

}  // namespace

int CmdStore(Session* pSession) {
    if (pSession->State != Veve4Delected) {
        RespondWrongState(pSession);
        return 1;
    }
    char* pszItem = strchr(pSession->pArgs, ' ');
    if (pszItem == nullptr) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    *pszItem++ = '\0';
    if (*pszItem == '(') {
        pszItem++;
        char* pClose = strchr(pszItem, ')');
        if (pClose != nullptr) *pClose = '\0';
    }
    StoreRequest request;
    ReadStoreItem(pszItem, &request);

    MessageRange aElements[MAX_SET_ELEMENTS];
    int nElements = SplitMessageSet(pSession->pArgs, aElements);
    for (int i = 0; i < nElements; i++) {
        const MessageRange& range = aElements[i];
        char szPattern[64];
        MessagePattern(MATCH_STORE, range, pSession->bUid != 0, szPattern, sizeof(szPattern));
        bool bSingleUid = pSession->bUid != 0 && !range.bUnbounded && range.ulFirst == range.ulLast;
        MatchMessages(pSession, pSession->szMailbox, range, szPattern, [&](uint32_t ulSequence) {
            StoreMessage(pSession, request, ulSequence, bSingleUid);
            return true;
        });
    }
    RespondCompleted(pSession);
    return 1;
}
