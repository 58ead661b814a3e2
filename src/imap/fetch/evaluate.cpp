// The item evaluator: answers the items of one message in the order the client gave them,
// and the simple items UID, FLAGS and RFC822.SIZE.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "imap/fetch/items.h"
#include "imap/fetch/section.h"
#include "imap/resync.h"
#include "imap/view.h"
#include "imap/output.h"
#include "platform/format.h"
#include "platform/text.h"
#include "store/mailbox_index.h"
#include "store/store.h"

namespace {

// RFC822, RFC822.HEADER and RFC822.TEXT: labelled as asked; the partial forms (an old
// extension) answer as BODY[]<start>.
void WriteRfc822(Session* pSession, FetchMessage* pMessage, const FetchItem& item) {
    const PartialRange& partial = item.section.partial;
    bool bBody = item.kind != ITEM_WHOLE && item.kind != ITEM_RFC822_HEADER;
    const MimeTree* pTree = bBody ? MessageTree(pMessage) : nullptr;
    switch (item.kind) {
        case ITEM_WHOLE:
            OutputAtom(pSession, partial.bGiven ? "BODY[]" : "RFC822");
            if (partial.bGiven) {
                OutputAtom(pSession, "<");
                OutputNumber(pSession, partial.ullStart);
                OutputAtom(pSession, ">");
            }
            OutputAtom(pSession, " ");
            SendFileRange(pSession, pMessage, 0, pMessage->ullSize, partial);
            return;
        case ITEM_RFC822_HEADER:
            OutputAtom(pSession, "RFC822.HEADER ");
            break;
        default:
            OutputAtom(pSession, "RFC822.TEXT ");
            break;
    }
    if (item.kind == ITEM_RFC822_HEADER) {
        uint64_t ullHeader = 0;
        if (TopHeaderSize(pMessage, &ullHeader)) {
            SendFileRange(pSession, pMessage, 0, ullHeader, partial);
        } else {
            SendEmptySection(pSession);
        }
        return;
    }
    if (pTree == nullptr) {
        SendEmptySection(pSession);
        return;
    }
    const MimePart& root = pTree->parts[0];
    SendFileRange(pSession, pMessage, root.ullBodyOffset, root.ullBodySize, partial);
}

size_t PartCost(const MimePart& part) {
    size_t nCost = sizeof(MimePart) + part.type.capacity() + part.subtype.capacity() + part.id.capacity() +
                   part.description.capacity() + part.encoding.capacity() + part.md5.capacity() +
                   part.dispositionType.capacity() + part.language.capacity() + part.location.capacity() +
                   part.children.capacity() * sizeof(int);
    for (const std::vector<MimeParam>* pParams : {&part.params, &part.dispositionParams}) {
        for (const MimeParam& param : *pParams) nCost += sizeof(MimeParam) + param.name.capacity() + param.value.capacity();
    }
    return nCost;
}

}  // namespace

const char* const KEPT_TREE_KEY = "(tree)";

size_t KeptTree::Cost() const {
    size_t nCost = sizeof(KeptTree);
    for (const MimePart& part : tree.parts) nCost += PartCost(part);
    return nCost;
}

const MimeTree* MessageTree(FetchMessage* pMessage) {
    if (pMessage->bTreeTried) return pMessage->pTree != nullptr ? &pMessage->pTree->tree : nullptr;
    pMessage->bTreeTried = true;
    // A tree kept for this very file (the same file, size and last write) is its tree: no other
    // file's, and not the file's before it was written again.
    bool bKeep = pMessage->pIndex != nullptr && pMessage->bFileKnown;
    if (bKeep) {
        std::shared_ptr<const KeptContent> pKept;
        if (pMessage->pIndex->FindContent(pMessage->ulUid, KEPT_TREE_KEY, &pKept)) {
            auto pTree = std::dynamic_pointer_cast<const KeptTree>(pKept);
            if (pTree != nullptr && pTree->file == pMessage->file && pTree->tree.ullSize == pMessage->ullSize) {
                pMessage->pTree = std::move(pTree);
                return &pMessage->pTree->tree;
            }
        }
    }
    auto pParsed = std::make_shared<KeptTree>();
    pParsed->file = pMessage->file;
    if (pMessage->pFile == nullptr || !ParseMime(pMessage->pFile, pMessage->ullSize, &pParsed->tree)) {
        pMessage->bReadFailed = true;
        return nullptr;
    }
    if (bKeep) pMessage->pIndex->KeepContent(pMessage->ulUid, KEPT_TREE_KEY, pParsed);
    pMessage->pTree = std::move(pParsed);
    return &pMessage->pTree->tree;
}

bool LookAtContent(FILE* pFile, FetchMessage* pMessage, FileIdentity* pIdentity, unsigned char* pchFirst) {
    FileIdentity identity;
    if (!IdentifyFile(pFile, &identity)) return false;
    uint64_t ullFile = identity.ullSize;
    size_t nWant = ullFile < MESSAGE_HEAD_SIZE ? static_cast<size_t>(ullFile) : MESSAGE_HEAD_SIZE;
    if (ReadFileAt(pFile, 0, pMessage->achHead, nWant) != nWant) return false;
    // The last bytes tell whether a stored terminator line follows the message.
    char szTail[5];
    size_t nTail = ullFile < sizeof(szTail) ? static_cast<size_t>(ullFile) : sizeof(szTail);
    if (ullFile <= nWant) {
        memcpy(szTail, pMessage->achHead + nWant - nTail, nTail);
    } else if (ReadFileAt(pFile, ullFile - nTail, szTail, nTail) != nTail) {
        return false;
    }
    pMessage->ullSize = ContentSizeFromTail(ullFile, szTail, nTail);
    pMessage->nHead = nWant < pMessage->ullSize ? nWant : static_cast<size_t>(pMessage->ullSize);
    *pchFirst = nWant > 0 ? static_cast<unsigned char>(pMessage->achHead[0]) : 0;
    if (pIdentity != nullptr) *pIdentity = identity;
    return true;
}

bool TopHeaderSize(FetchMessage* pMessage, uint64_t* pullSize) {
    // The header ends with its first empty line, or with the message: the tree says no other.
    if (!pMessage->bTreeTried) {
        const char* pHead = pMessage->achHead;
        size_t nHead = pMessage->nHead;
        for (size_t nPos = 0; nPos < nHead;) {
            const char* pLf = static_cast<const char*>(memchr(pHead + nPos, '\n', nHead - nPos));
            if (pLf == nullptr) break;
            size_t nLine = static_cast<size_t>(pLf - (pHead + nPos)) + 1;
            if (nLine == 1 || (nLine == 2 && pHead[nPos] == '\r')) {
                *pullSize = nPos + nLine;
                return true;
            }
            nPos += nLine;
        }
        if (pMessage->pFile != nullptr && nHead == pMessage->ullSize) {
            *pullSize = pMessage->ullSize;
            return true;
        }
    }
    const MimeTree* pTree = MessageTree(pMessage);
    if (pTree == nullptr) return false;
    *pullSize = pTree->parts[0].ullHeaderSize;
    return true;
}

void WriteUidItem(Session* pSession) {
    OutputAtom(pSession, "UID ");
    OutputNumber(pSession, MessageUid(pSession->FindData.cFileName));
}

void WriteFlagsItem(Session* pSession) {
    struct FlagName {
        int nPosition;
        const char* pszName;
    };
    // The order clients see differs from the order of the flag code.
    static const FlagName kFlagNames[] = {
        {11, "\\Recent"}, {12, "\\Answered"}, {14, "\\Deleted"},
        {13, "\\Flagged"}, {15, "\\Seen"},    {16, "\\Draft"},
    };
    const char* pszName = pSession->FindData.cFileName;
    size_t nLength = strlen(pszName);
    // Every flag name together takes 62 bytes at the most.
    char szFlags[96] = "FLAGS (";
    size_t nFlags = 7;
    // \Recent as this session holds it, where the session's view says; never under IMAP4rev2.
    const char* pszShown = pSession->szShownFlags;
    bool bRev2 = Imap4Rev2(pSession);
    for (const FlagName& flag : kFlagNames) {
        if (bRev2 && flag.nPosition == FLAG_POS_RECENT) continue;
        bool bSet = pszShown[0] != '\0' ? pszShown[flag.nPosition - 11] == '1'
                                        : static_cast<size_t>(flag.nPosition) < nLength && pszName[flag.nPosition] == '1';
        if (!bSet) continue;
        if (nFlags > 7) szFlags[nFlags++] = ' ';
        size_t nName = strlen(flag.pszName);
        memcpy(szFlags + nFlags, flag.pszName, nName);
        nFlags += nName;
    }
    szFlags[nFlags] = '\0';
    OutputAtom(pSession, szFlags);
    // The keywords after the system flags, as the session's view shows them.
    const char* pszKeywords = pSession->pszShownKeywords;
    if (pszKeywords != nullptr && *pszKeywords != '\0') {
        if (nFlags > 7) OutputAtom(pSession, " ");
        OutputAtom(pSession, pszKeywords);
    }
    OutputAtom(pSession, ")");
}

void WriteModSeqItem(Session* pSession, const FetchMessage* pMessage) {
    OutputAtom(pSession, "MODSEQ (");
    MailboxView* pView = pSession->pView.get();
    uint64_t ullModSeq = pMessage->pIndex == nullptr                           ? 1
                         : pView != nullptr && pView->pIndex.get() == pMessage->pIndex ? TellModSeq(*pView, pMessage->ulUid)
                                                                                 : ShownModSeq(*pMessage->pIndex, pMessage->ulUid);
    OutputNumber(pSession, ullModSeq);
    OutputAtom(pSession, ")");
}

bool ItemsAsk(const FetchItemList* pList, ItemKind kind) {
    for (int i = 0; i < pList->nTyped; i++) {
        if (pList->items[i].kind == kind) return true;
    }
    return false;
}

void WriteSizeItem(Session* pSession, const FetchMessage* pMessage) {
    OutputAtom(pSession, "RFC822.SIZE ");
    OutputNumber(pSession, pMessage->ullSize);
}

bool ItemsWriteAnything(const FetchItemList* pList) {
    for (int i = 0; i < pList->nTyped; i++) {
        if (pList->items[i].kind != ITEM_NONE) return true;
    }
    return false;
}

bool ItemsMarkSeen(const FetchItemList* pList) {
    for (int i = 0; i < pList->nTyped; i++) {
        if (pList->items[i].bMarksSeen) return true;
    }
    return false;
}

namespace {

// UID, FLAGS, INTERNALDATE and RFC822.SIZE come from the name and the file's size and time.
bool ReadsContent(ItemKind kind) {
    switch (kind) {
        case ITEM_NONE:
        case ITEM_UID:
        case ITEM_FLAGS:
        case ITEM_INTERNALDATE:
        case ITEM_SIZE:
        case ITEM_MODSEQ:
            return false;
        default:
            return true;
    }
}

}  // namespace

bool ItemsNeedContent(const FetchItemList* pList) {
    for (int i = 0; i < pList->nTyped; i++) {
        if (ReadsContent(pList->items[i].kind)) return true;
    }
    return false;
}

bool ItemsAskSize(const FetchItemList* pList) {
    for (int i = 0; i < pList->nTyped; i++) {
        if (pList->items[i].kind == ITEM_SIZE || pList->items[i].kind == ITEM_INTERNALDATE) return true;
    }
    return false;
}

bool ItemsAskFlags(const FetchItemList* pList) {
    for (int i = 0; i < pList->nTyped; i++) {
        if (pList->items[i].kind == ITEM_FLAGS) return true;
    }
    return false;
}

namespace {

// Answers made by parsing the content depend on nothing but the content and the item's words,
// so the index keeps them; the content itself (a body, a text) is read again, not kept.
constexpr size_t CACHED_ANSWER_MAX = 16 * 1024;

}  // namespace

bool TakeKeptAnswers(const FetchItemList* pList, FetchMessage* pMessage) {
    if (pMessage->pIndex == nullptr) return false;
    bool bAll = true;
    for (int i = 0; i < pList->nTyped; i++) {
        const FetchItem& item = pList->items[i];
        if (!ReadsContent(item.kind)) continue;
        if (item.key.empty()) return false;
        if (!pMessage->abKept[i]) {
            pMessage->abKept[i] = pMessage->pIndex->FindText(pMessage->ulUid, item.key, &pMessage->aKept[i]);
        }
        bAll = bAll && pMessage->abKept[i];
    }
    return bAll;
}

namespace {

// The top header alone is found without the tree, as long as it ends within the head.
bool ReadsTopHeaderOnly(const FetchItem& item) {
    if (item.kind == ITEM_RFC822_HEADER || item.kind == ITEM_ENVELOPE) return true;
    if (!item.bSection || !item.section.bValid || item.section.nPath != 0) return false;
    SectionKind kind = item.section.kind;
    return kind == SECTION_HEADER || kind == SECTION_FIELDS || kind == SECTION_FIELDS_NOT;
}

}  // namespace

bool ItemsNeedTree(const FetchItemList* pList) {
    for (int i = 0; i < pList->nTyped; i++) {
        const FetchItem& item = pList->items[i];
        if (ReadsContent(item.kind) && item.kind != ITEM_WHOLE && !ReadsTopHeaderOnly(item)) return true;
    }
    return false;
}

namespace {

void WriteItem(Session* pSession, FetchMessage* pMessage, const FetchItem& item) {
    switch (item.kind) {
        case ITEM_UID:
            WriteUidItem(pSession);
            break;
        case ITEM_FLAGS:
            WriteFlagsItem(pSession);
            break;
        case ITEM_MODSEQ:
            WriteModSeqItem(pSession, pMessage);
            break;
        case ITEM_INTERNALDATE:
            WriteInternalDate(pSession, pMessage);
            break;
        case ITEM_SIZE:
            WriteSizeItem(pSession, pMessage);
            break;
        case ITEM_ENVELOPE:
            WriteEnvelope(pSession, pMessage);
            break;
        case ITEM_BODY:
        case ITEM_BODYSTRUCTURE:
            WriteBodyStructure(pSession, pMessage, item.kind == ITEM_BODYSTRUCTURE);
            break;
        case ITEM_WHOLE:
        case ITEM_TEXT:
        case ITEM_RFC822_HEADER:
        case ITEM_HEADER:
        case ITEM_HEADER_FIELDS:
        case ITEM_HEADER_FIELDS_NOT:
        case ITEM_SECTION:
            if (item.bSection) {
                WriteSection(pSession, pMessage, item.section);
            } else {
                WriteRfc822(pSession, pMessage, item);
            }
            break;
        case ITEM_BINARY:
            WriteBinary(pSession, pMessage, item);
            break;
        case ITEM_BINARY_SIZE:
            WriteBinarySize(pSession, pMessage, item);
            break;
        case ITEM_NONE:
            break;
    }
}

}  // namespace

void EvaluateItems(Session* pSession, const FetchItemList* pList, FetchMessage* pMessage) {
    bool bWritten = false;
    for (int i = 0; i < pList->nTyped; i++) {
        const FetchItem& item = pList->items[i];
        if (item.kind == ITEM_NONE) {
            continue;
        }
        // One space between items that write something: an unknown word leaves no gap.
        if (bWritten) {
            OutputAtom(pSession, " ");
        }
        bWritten = true;

        bool bKeep = pMessage->pIndex != nullptr && !item.key.empty();
        if (bKeep) {
            CachedText cached;
            if (pMessage->abKept[i] || pMessage->pIndex->FindText(pMessage->ulUid, item.key, &cached)) {
                // Given back as it first went out: the text up to a literal's content traced.
                const CachedText& kept = pMessage->abKept[i] ? pMessage->aKept[i] : cached;
                OutputReplay(pSession, kept.text.data(), kept.text.size(), kept.nSplit);
                continue;
            }
        }
        if (!bKeep) {
            WriteItem(pSession, pMessage, item);
            continue;
        }
        // What the writer produced is kept, exactly: not what the send buffer happens to hold.
        OutputCapture capture;
        capture.nLimit = CACHED_ANSWER_MAX;
        OutputBeginCapture(pSession, &capture);
        WriteItem(pSession, pMessage, item);
        OutputEndCapture(pSession);
        if (capture.bWhole && !capture.text.empty() && !pMessage->bReadFailed) {
            pMessage->pIndex->KeepText(pMessage->ulUid, item.key, CachedText{std::move(capture.text), capture.nTraced});
        }
    }
}
