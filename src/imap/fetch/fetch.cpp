// FETCH: the state check, the item list, the walk over the message set, and per message the
// decoded copy of a scrambled file, \Seen for a body read without PEEK, and the items.
#include "imap/fetch/fetch.h"

#include <cstdio>
#include <cstring>

#include "auth/password.h"
#include "imap/fetch/items.h"
#include "imap/response.h"
#include "net/client.h"
#include "platform/fs.h"
#include "store/store.h"

namespace {

constexpr size_t PATH_SIZE = MAX_PATH + 1024;

// Finds the message's file again by its UID after another session renamed it (a flag change);
// false when the message is gone.
bool FindAgain(Session* pSession) {
    char szPattern[PATH_SIZE];
    snprintf(szPattern, sizeof(szPattern), "%s/%010lu-??????.MSG", pSession->szMailbox,
             static_cast<unsigned long>(MessageUid(pSession->FindData.cFileName)));
    bool bFound = false;
    FindFiles(szPattern, 0, [&](const FindData& entry) {
        if (!IsMessageFile(entry)) {
            return true;
        }
        snprintf(pSession->FindData.cFileName, sizeof(pSession->FindData.cFileName), "%s", entry.cFileName);
        bFound = true;
        return false;
    });
    return bFound;
}

// Opens the message file, following a rename by another session.
FILE* OpenMessageFile(Session* pSession) {
    for (int nTry = 0; nTry < 3; nTry++) {
        char szPath[PATH_SIZE];
        MessagePath(pSession, szPath, sizeof(szPath));
        FILE* pFile = fopen(szPath, "rb");
        if (pFile != nullptr) {
            return pFile;
        }
        if (!FindAgain(pSession)) {
            return nullptr;
        }
    }
    return nullptr;
}

// Sets \Seen by renaming the file; a file renamed meanwhile is found again and tried once more.
// Returns true when the name now carries \Seen.
bool MarkSeen(Session* pSession) {
    for (int nTry = 0; nTry < 3; nTry++) {
        const char* pszName = pSession->FindData.cFileName;
        if (strlen(pszName) != MESSAGE_NAME_LENGTH) {
            return false;
        }
        if (pszName[FLAG_POS_SEEN] == '1') {
            return true;
        }
        char szNewName[MESSAGE_NAME_LENGTH + 1];
        memcpy(szNewName, pszName, sizeof(szNewName));
        szNewName[FLAG_POS_SEEN] = '1';
        char szOld[PATH_SIZE];
        char szNew[PATH_SIZE];
        snprintf(szOld, sizeof(szOld), "%s/%s", pSession->szMailbox, pszName);
        snprintf(szNew, sizeof(szNew), "%s/%s", pSession->szMailbox, szNewName);
        if (MoveFileNoReplace(szOld, szNew)) {
            snprintf(pSession->FindData.cFileName, sizeof(pSession->FindData.cFileName), "%s", szNewName);
            return true;
        }
        if (!FindAgain(pSession)) {
            return false;
        }
    }
    return false;
}

// Answers one message; returns false when the response could not be sent.
bool AnswerMessage(Session* pSession, const FetchItemList* pList, uint32_t ulSequence) {
    // The file stays open for all items, so a rename by another session cannot take it away;
    // a message that is really gone is not answered at all.
    FILE* pMessageFile = OpenMessageFile(pSession);
    if (pMessageFile == nullptr) {
        return true;
    }
    // The copy's name ends in ".ENC", so a copy left behind is never listed as a message; the
    // login serial keeps two sessions answering the same message apart.
    const char* pszName = pSession->FindData.cFileName;
    size_t nStem = strlen(pszName) > 4 ? strlen(pszName) - 4 : strlen(pszName);
    snprintf(pSession->szDecodedName, sizeof(pSession->szDecodedName), "%.*s_%lu.ENC", static_cast<int>(nStem),
             pszName, static_cast<unsigned long>(pSession->lLoginNo));
    char szSource[PATH_SIZE];
    char szDecoded[PATH_SIZE];
    snprintf(szSource, sizeof(szSource), "%s/%s", pSession->szMailbox, pszName);
    snprintf(szDecoded, sizeof(szDecoded), "%s/%s", pSession->szMailbox, pSession->szDecodedName);
    pSession->bDecoded = static_cast<uint32_t>(DecodeMessageFile(szSource, szDecoded));

    FetchMessage message;
    message.pFile = pSession->bDecoded != 0 ? fopen(szDecoded, "rb") : pMessageFile;
    if (message.pFile != nullptr && !MessageContentSize(message.pFile, &message.ullSize)) {
        message.ullSize = 0;
    }

    // The flag changes before the items are written, so that FLAGS in this response shows it.
    bool bSeenSet = false;
    if (ItemsMarkSeen(pList) && pSession->FindData.cFileName[FLAG_POS_SEEN] != '1') {
        bSeenSet = MarkSeen(pSession);
    }

    FormatResponse(pSession, "* %lu FETCH (", static_cast<unsigned long>(ulSequence));
    SendResponse(pSession, 0, 1);
    pSession->szResponse[0] = '\0';
    EvaluateItems(pSession, pList, &message);
    if (bSeenSet && !ItemsAskFlags(pList)) {
        QueueText(pSession, " ");
        WriteFlagsItem(pSession);
    }
    FormatResponse(pSession, ")\r\n");
    int nSent = SendResponse(pSession, 1, 1);

    if (message.pFile != nullptr && message.pFile != pMessageFile) {
        fclose(message.pFile);
    }
    fclose(pMessageFile);
    if (pSession->bDecoded != 0) {
        DeleteFileEntry(szDecoded);
        pSession->bDecoded = 0;
    }
    return nSent != 0;
}

}  // namespace

int CmdFetch(Session* pSession) {
    if (pSession->State != Veve4Delected) {
        FormatResponse(pSession, "%s %s %s invalid command\r\n", pSession->pTag, "NO", pSession->pCommand);
        return 1;
    }
    char* pSpace = pSession->pArgs != nullptr ? strchr(pSession->pArgs, ' ') : nullptr;
    if (pSpace == nullptr) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    *pSpace = '\0';
    const char* pszSet = pSession->pArgs;
    char* pszItems = pSpace + 1;
    // Only a parenthesised list loses its closing parenthesis: a single item may end in one of
    // its own, as in BODY[HEADER.FIELDS (TO)].
    if (*pszItems == '(') {
        pszItems++;
        char* pClose = strrchr(pszItems, ')');
        if (pClose != nullptr) {
            *pClose = '\0';
        }
    }

    FetchItemList list = {};
    ParseItemList(pszItems, pSession->bUid != 0, &list);
    if (list.nCount > FETCH_ITEM_MAX) {
        FormatResponse(pSession, "%s %s Excessively complex %s attribute list\r\n", pSession->pTag, "NO",
                       pSession->pCommand);
        return 1;
    }

    // A list without an item that writes would answer every message with an empty "()", which
    // clients cannot parse; such a FETCH answers no message.
    if (!ItemsWriteAnything(&list)) {
        RespondCompleted(pSession);
        return 1;
    }

    MessageRange elements[MAX_SET_ELEMENTS];
    int nElements = SplitMessageSet(pszSet, elements);
    bool bSendFailed = false;
    for (int i = 0; i < nElements && !bSendFailed; i++) {
        MessageRange range = elements[i];
        // For FETCH a high bound of 0 means no upper bound, so "*" alone or "0" names all.
        if (range.ulLast == 0) {
            range.bUnbounded = true;
        }
        char szPattern[64];
        MessagePattern(MATCH_FETCH, range, pSession->bUid != 0, szPattern, sizeof(szPattern));
        MatchMessages(pSession, pSession->szMailbox, range, szPattern, [&](uint32_t ulSequence) {
            // A peer that cannot be written to gets nothing more.
            bSendFailed = !AnswerMessage(pSession, &list, ulSequence);
            return !bSendFailed;
        });
    }
    RespondCompleted(pSession);
    return 1;
}
