// FETCH: the state check, the item list, the walk over the message set, and per message the
// decoded copy of a scrambled file, the items, and the read mark that clears Recent.
#include "imap/fetch/fetch.h"

#include <cstdio>
#include <cstring>

#include "auth/password.h"
#include "imap/fetch/items.h"
#include "imap/response.h"
#include "imap/view.h"
#include "net/client.h"
#include "platform/fs.h"
#include "store/store.h"

namespace {

constexpr size_t PATH_SIZE = MAX_PATH + 1024;

// Clears Recent by renaming; FETCH never sets Seen, clients do that with STORE. A rename that
// fails (another session renamed the file meanwhile) is ignored.
void ClearRecent(Session* pSession) {
    const char* pszName = pSession->FindData.cFileName;
    if (strlen(pszName) != MESSAGE_NAME_LENGTH || pszName[FLAG_POS_RECENT] != '1') {
        return;
    }
    char szNewName[MESSAGE_NAME_LENGTH + 1];
    memcpy(szNewName, pszName, sizeof(szNewName));
    szNewName[FLAG_POS_RECENT] = '0';
    char szOld[PATH_SIZE];
    char szNew[PATH_SIZE];
    snprintf(szOld, sizeof(szOld), "%s/%s", pSession->szMailbox, pszName);
    snprintf(szNew, sizeof(szNew), "%s/%s", pSession->szMailbox, szNewName);
    MoveFileNoReplace(szOld, szNew);
}

// Answers one message; returns false when the response could not be sent.
bool AnswerMessage(Session* pSession, const FetchItemList* pList, uint32_t ulSequence) {
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

    FormatResponse(pSession, "* %lu FETCH (", static_cast<unsigned long>(ulSequence));
    SendResponse(pSession, 0, 1);
    pSession->szResponse[0] = '\0';
    bool bReadMark = EvaluateItems(pSession, pList);
    if (bReadMark) {
        ClearRecent(pSession);
    }
    FormatResponse(pSession, ")\r\n");
    int nSent = SendResponse(pSession, 1, 1);

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
    if (*pszItems == '(') {
        pszItems++;
    }
    char* pClose = strrchr(pszItems, ')');
    if (pClose != nullptr) {
        *pClose = '\0';
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

    bool bSendFailed = false;
    bool bParsed = ForEachMessage(pSession, pszSet, pSession->bUid != 0, [&](uint32_t ulSequence, ViewMessage& message) {
        // Other sessions rename files while a long FETCH runs; a message gone meanwhile answers nothing.
        if (!ConfirmFileName(pSession, message)) return true;
        // A peer that cannot be written to gets nothing more.
        bSendFailed = !AnswerMessage(pSession, &list, ulSequence);
        return !bSendFailed;
    });
    if (!bParsed) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    RespondCompleted(pSession);
    return 1;
}
