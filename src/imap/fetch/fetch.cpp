// FETCH: the state check, the item list, the walk over the message set, and per message the
// decoded copy of a scrambled file, \Seen for a body read without PEEK, and the items.
#include "imap/commands.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>
#include <cstdio>
#include <cstring>

#include "auth/password.h"
#include "imap/args.h"
#include "imap/fetch/items.h"
#include "imap/resync.h"
#include "imap/output.h"
#include "imap/response.h"
#include "imap/view.h"
#include "imap/session_io.h"
#include "platform/file_range.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "store/mailbox_index.h"
#include "store/store.h"

namespace {

constexpr size_t PATH_SIZE = MAX_PATH + 1024;

// Opens the message file, following renames by other sessions (flag changes); null when the
// message is gone.
FILE* OpenMessageFile(Session* pSession, ViewMessage& message) {
    for (int nTry = 0; nTry < 8; nTry++) {
        char szPath[PATH_SIZE];
        if (!MessagePath(pSession, szPath, sizeof(szPath))) return nullptr;
        FILE* pFile = fopen(szPath, "rb");
        if (pFile != nullptr) {
            return pFile;
        }
        if (!ConfirmFileName(pSession, message)) {
            return nullptr;
        }
    }
    return nullptr;
}

// Sets \Seen through the view, which follows a rename by another session; the current message's
// file name and shown flags then carry it. Returns true when the flag is set now.
bool MarkSeen(Session* pSession, ViewMessage& message) {
    if (pSession->bReadOnly) return false;
    // Under CONDSTORE the answer shows the change's own sequence: it is given before the answer
    // is written, as a STORE's is.
    std::unique_ptr<ModChange> pChange;
    if ((pSession->fEnabled & ENABLED_CONDSTORE) != 0 && pSession->pView != nullptr) {
        pChange = pSession->pView->pIndex->BeginModChange();
    }
    if (ChangeFlags(pSession, message, FLAG_BIT_SEEN, 0) != STORE_CHANGED) return false;
    // Not written now, the change gets its sequence at the next look, and the client hears it then.
    if (pChange != nullptr && pChange->Locked()) static_cast<void>(pChange->Commit());
    ViewFileName(message, pSession->FindData.cFileName, sizeof(pSession->FindData.cFileName));
    if (pSession->pView != nullptr) {
        ShownFlagCode(*pSession->pView, message, pSession->szShownFlags);
    }
    return true;
}

// The message's size (RFC822.SIZE) from the file's size and last bytes, without stdio; false
// when the file cannot be read or is scrambled, whose size is that of its decoded copy.
// The index keeps both once read: a message's content never changes.
bool ProbeSize(Session* pSession, ViewMessage& message, FetchMessage* pKnown) {
    MailboxIndex& index = *pSession->pView->pIndex;
    IndexedMessage indexed;
    if (index.Find(message.ulUid, &indexed) && (indexed.fState & INDEXED_PROBED)) {
        pKnown->ullSize = indexed.ulSize;
        pKnown->ftWritten = indexed.ftWritten;
        pKnown->bWrittenKnown = true;
        return true;
    }
    for (int nTry = 0; nTry < 8; nTry++) {
        char szPath[PATH_SIZE];
        if (!MessagePath(pSession, szPath, sizeof(szPath))) return false;
        FileProbe probe;
        if (ProbeFile(szPath, &probe)) {
            if (probe.ullSize > 0 && IsScrambledStart(probe.chFirst)) return false;
            pKnown->ullSize = ContentSizeFromTail(probe.ullSize, probe.szTail, probe.nTail);
            pKnown->ftWritten = probe.ftWritten;
            pKnown->bWrittenKnown = true;
            index.NoteProbe(message.ulUid, pKnown->ullSize, probe.ftWritten);
            return true;
        }
        if (!ConfirmFileName(pSession, message)) return false;
    }
    return false;
}

// Writes the "* n FETCH (...)" line of a message; returns false when it could not be sent.
bool WriteAnswer(Session* pSession, const FetchItemList* pList, uint32_t ulSequence, FetchMessage* pMessage,
                 bool bSeenSet) {
    OutputAtom(pSession, "* ");
    OutputNumber(pSession, ulSequence);
    OutputAtom(pSession, " FETCH (");
    EvaluateItems(pSession, pList, pMessage);
    if (bSeenSet && !ItemsAskFlags(pList)) {
        OutputAtom(pSession, " ");
        WriteFlagsItem(pSession);
    }
    // Under CONDSTORE a flag change is always told with the message's UID and new sequence.
    bool bCondStoreSeen = bSeenSet && (pSession->fEnabled & ENABLED_CONDSTORE) != 0;
    if (bCondStoreSeen && !ItemsAsk(pList, ITEM_UID)) {
        OutputAtom(pSession, " ");
        WriteUidItem(pSession);
    }
    if ((pList->bAddModSeq || bCondStoreSeen) && !ItemsAsk(pList, ITEM_MODSEQ)) {
        OutputAtom(pSession, " ");
        WriteModSeqItem(pSession, pMessage);
    }
    OutputAtom(pSession, ")");
    OutputLineEnd(pSession);
    // Outside a command's batch each answer leaves at once.
    if (!pSession->Output.bBatching) OutputFlush(pSession);
    return pSession->bSendFailed == 0;
}

enum AnswerResult {
    ANSWER_SENT,
    ANSWER_SEND_FAILED,  // the peer cannot be written to
    ANSWER_GONE,         // its file is gone and what it needs is not kept: nothing was sent
    ANSWER_UNREADABLE,   // its file could not be read whole: nothing, or nothing true, was sent
    ANSWER_UNKNOWN_CTE,  // a BINARY item names a part whose encoding is unknown: nothing was sent
};

// Answers one message.
AnswerResult AnswerMessage(Session* pSession, const FetchItemList* pList, uint32_t ulSequence,
                           ViewMessage& viewMessage) {
    // UID, FLAGS and INTERNALDATE come from the name and the directory entry, RFC822.SIZE from
    // the file's size: the content is not read for them.
    // So do answers made from the content before, which the index keeps; they are taken before
    // anything is written, since another session may make the index drop them at any time.
    FetchMessage known;
    known.pIndex = pSession->pView->pIndex.get();
    known.ulUid = viewMessage.ulUid;
    bool bNeedContent = ItemsNeedContent(pList);
    bool bAllKept = bNeedContent && TakeKeptAnswers(pList, &known);
    if ((!bNeedContent || bAllKept) && !ItemsMarkSeen(pList)) {
        if (!ItemsAskSize(pList) || ProbeSize(pSession, viewMessage, &known)) {
            return WriteAnswer(pSession, pList, ulSequence, &known, false) ? ANSWER_SENT : ANSWER_SEND_FAILED;
        }
    }
    // The file stays open for all items, so a rename by another session cannot take it away.
    FILE* pMessageFile = OpenMessageFile(pSession, viewMessage);
    if (pMessageFile == nullptr) {
        // Gone meanwhile: what is kept of it is still its true answer.
        if (bAllKept && (!ItemsAskSize(pList) || ProbeSize(pSession, viewMessage, &known))) {
            return WriteAnswer(pSession, pList, ulSequence, &known, false) ? ANSWER_SENT : ANSWER_SEND_FAILED;
        }
        return ANSWER_GONE;
    }
    FetchMessage message;
    message.pIndex = known.pIndex;
    message.ulUid = known.ulUid;
    message.pFile = pMessageFile;
    // One look at the open file tells whether there is anything to decode, the message's size,
    // and most headers: a plain message is not opened or read again for them.
    unsigned char chFirst = 0;
    bool bLooked = LookAtContent(pMessageFile, &message, &message.file, &chFirst);
    // The tree the index keeps for this message is used only for the file opened now.
    message.bFileKnown = bLooked;
    bool bScrambled = bLooked && message.file.ullSize > 0 && IsScrambledStart(chFirst);
    pSession->bDecoded = 0;
    char szDecoded[PATH_SIZE] = "";
    if (bScrambled) {
        // The copy's name ends in ".ENC", so a copy left behind is never listed as a message;
        // the login serial keeps two sessions answering the same message apart.
        const char* pszName = pSession->FindData.cFileName;
        size_t nStem = strlen(pszName) > 4 ? strlen(pszName) - 4 : strlen(pszName);
        char szSource[PATH_SIZE];
        if (FormatText(pSession->szDecodedName, sizeof(pSession->szDecodedName), "%.*s_%lu.ENC", static_cast<int>(nStem),
                       pszName, static_cast<unsigned long>(pSession->lLoginNo)) &&
            FormatText(szSource, sizeof(szSource), "%s/%s", pSession->szMailbox, pszName) &&
            FormatText(szDecoded, sizeof(szDecoded), "%s/%s", pSession->szMailbox, pSession->szDecodedName)) {
            pSession->bDecoded = static_cast<uint32_t>(DecodeMessageFile(szSource, szDecoded));
        }
        message.nHead = 0;
        message.pFile = pSession->bDecoded != 0 ? fopen(szDecoded, "rb") : nullptr;
    }
    // Nothing is written for a message whose content cannot be read whole: an empty or cut
    // answer would pass for the message's own, and would be kept for every later session.
    // A scrambled file whose copy could not be made is no more readable than a missing one.
    bool bReadable = bLooked && message.pFile != nullptr &&
                     (!bScrambled || LookAtContent(message.pFile, &message, nullptr, &chFirst)) &&
                     (!ItemsNeedTree(pList) || MessageTree(&message) != nullptr);

    AnswerResult result = ANSWER_UNREADABLE;
    if (bReadable && !BinaryDecodable(pList, &message)) {
        result = ANSWER_UNKNOWN_CTE;
    } else if (bReadable) {
        // The flag changes before the items are written, so that FLAGS in this response shows it.
        bool bSeenSet = false;
        if (ItemsMarkSeen(pList) && (viewMessage.fFlags & FLAG_BIT_SEEN) == 0) {
            bSeenSet = MarkSeen(pSession, viewMessage);
        }
        result = !WriteAnswer(pSession, pList, ulSequence, &message, bSeenSet) ? ANSWER_SEND_FAILED
                 : message.bReadFailed                                        ? ANSWER_UNREADABLE
                                                                              : ANSWER_SENT;
    }

    if (message.pFile != nullptr && message.pFile != pMessageFile) {
        fclose(message.pFile);
    }
    fclose(pMessageFile);
    if (pSession->bDecoded != 0) {
        DeleteFileEntry(szDecoded);
        pSession->bDecoded = 0;
    }
    return result;
}

// Part numbers are 32-bit; a section naming a larger one names nothing the client could mean.
bool SectionNumbersFit(const FetchItemList& list) {
    for (int i = 0; i < list.nItems; i++) {
        const char* pOpen = strchr(list.pItems[i], '[');
        if (pOpen == nullptr) continue;
        uint64_t ullNumber = 0;
        for (const char* p = pOpen + 1; (*p >= '0' && *p <= '9') || *p == '.'; p++) {
            ullNumber = *p == '.' ? 0 : ullNumber * 10 + static_cast<uint64_t>(*p - '0');
            if (ullNumber > 0xFFFFFFFFull) return false;
        }
    }
    return true;
}

// The messages of the set whose sequence is above CHANGEDSINCE's, as UIDs, found from the
// mailbox's changes rather than by looking at every message; with VANISHED, the UIDs of the set
// expunged since then are told first.
void ChooseChangedSince(Session* pSession, const std::vector<SetElement>& set, const FetchModifiers& modifiers,
                        std::vector<SetElement>* pChosen) {
    MailboxView& view = *pSession->pView;
    const ViewList& messages = view.messages;
    bool bUid = pSession->bUid != 0;
    uint32_t ulStar = messages.empty() ? 0 : bUid ? messages.back().ulUid : static_cast<uint32_t>(messages.size());
    std::vector<uint32_t> changed;
    view.pIndex->ChangedSince(modifiers.ullChangedSince, &changed);
    for (uint32_t ulUid : changed) {
        auto it = std::lower_bound(messages.begin(), messages.end(), ulUid,
                                   [](const ViewMessage& m, uint32_t u) { return m.ulUid < u; });
        if (it == messages.end() || it->ulUid != ulUid) continue;
        uint32_t ulNumber = bUid ? ulUid : static_cast<uint32_t>(it - messages.begin() + 1);
        if (SetContains(set, ulNumber, ulStar)) pChosen->push_back(SetElement{ulUid, ulUid});
    }
    if (!modifiers.bVanished) return;
    std::vector<UidRange> expunged;
    view.pIndex->ExpungedSince(modifiers.ullChangedSince, &expunged);
    // "*" of a UID set names the highest UID the mailbox has given.
    uint32_t ulHighest = std::max(ulStar, view.pIndex->HighestUid());
    std::string strSet = UidRangesText(expunged, &set, ulHighest);
    if (!strSet.empty()) OutputFormat(pSession, "* VANISHED (EARLIER) %s\r\n", strSet.c_str());
}

}  // namespace

int CmdFetch(Session* pSession) {
    if (pSession->State != Imap4Selected) {
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
    // VANISHED reports expunges by UID, which only UID FETCH under QRESYNC may be told.
    FetchModifiers modifiers;
    ModifierResult modifierResult = CutFetchModifiers(pszItems, &modifiers);
    std::vector<SetElement> set;
    const char* pSetEnd = pszSet;
    bool bSetParsed = TakeMessageSet(pSession, &pSetEnd, &set) && *pSetEnd == '\0';
    if (modifierResult == MODIFIERS_BAD ||
        (modifiers.bVanished && (pSession->bUid == 0 || !(pSession->fEnabled & ENABLED_QRESYNC)))) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    // Only a parenthesised list loses its closing parenthesis: a single item may end in one of
    // its own, as in BODY[HEADER.FIELDS (TO)].
    pszItems = StripParentheses(pszItems);

    FetchItemList list = {};
    ParseItemList(pszItems, pSession->bUid != 0, &list);
    if (list.nCount > FETCH_ITEM_MAX) {
        FormatResponse(pSession, "%s %s Excessively complex %s attribute list\r\n", pSession->pTag, "NO",
                       pSession->pCommand);
        return 1;
    }

    if (!SectionNumbersFit(list) || !BinarySectionsValid(&list)) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    list.bAddModSeq = modifiers.bChangedSince;
    // A list without an item that writes would answer every message with an empty "()", which
    // clients cannot parse; such a FETCH answers no message.
    if (!ItemsWriteAnything(&list) && !list.bAddModSeq) {
        RespondCompleted(pSession);
        return 1;
    }
    if (!bSetParsed) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    if (modifiers.bChangedSince || ItemsAsk(&list, ITEM_MODSEQ)) EnableCondStore(pSession);
    // A keyword the answers may show is announced before them.
    RefreshView(pSession);
    AnnounceKeywords(pSession, true);
    std::vector<SetElement> changedSet;
    if (modifiers.bChangedSince) {
        ChooseChangedSince(pSession, set, modifiers, &changedSet);
        set.swap(changedSet);
    }

    bool bSendFailed = false;
    bool bGone = false;
    bool bUnreadable = false;
    bool bUnknownCte = false;
    int nNamesCurrent = -1;
    // The messages CHANGEDSINCE chose are named by their UIDs.
    bool bSetOfUids = pSession->bUid != 0 || modifiers.bChangedSince;
    ForEachMessage(pSession, set, bSetOfUids, false, [&](uint32_t ulSequence, ViewMessage& message) {
        // Other sessions rename files while a long FETCH runs; a message gone meanwhile answers
        // nothing. A watched index has seen every rename up to the command.
        if (nNamesCurrent < 0) nNamesCurrent = ViewNamesCurrent(pSession) ? 1 : 0;
        if (nNamesCurrent == 0 && !ConfirmFileName(pSession, message)) {
            bGone = true;
            return true;
        }
        // A peer that cannot be written to gets nothing more.
        switch (AnswerMessage(pSession, &list, ulSequence, message)) {
            case ANSWER_SENT:
                break;
            case ANSWER_SEND_FAILED:
                bSendFailed = true;
                break;
            case ANSWER_GONE:
                bGone = true;
                break;
            case ANSWER_UNREADABLE:
                bUnreadable = true;
                break;
            case ANSWER_UNKNOWN_CTE:
                bUnknownCte = true;
                break;
        }
        return !bSendFailed;
    });
    // The other messages are answered all the same; the completion tells the client that some
    // were not, and why.
    if (bUnknownCte) {
        FormatResponse(pSession, "%s NO [UNKNOWN-CTE] %s fails: a part's transfer encoding is unknown\r\n",
                       pSession->pTag, pSession->pCommand);
    } else if (bUnreadable) {
        FormatResponse(pSession, "%s NO [UNAVAILABLE] %s fails: a message could not be read\r\n", pSession->pTag,
                       pSession->pCommand);
    } else if (bGone) {
        FormatResponse(pSession, "%s NO [EXPUNGEISSUED] %s fails: some of the messages no longer exist\r\n",
                       pSession->pTag, pSession->pCommand);
    } else {
        RespondCompleted(pSession);
    }
    return 1;
}
