// STORE and UID STORE: a flag change is a rename of the message file, a keyword change an entry
// in the mailbox's state; either is announced by an untagged FETCH line with the new flags
// unless the client asked for silence. \Recent belongs to the session that first saw the
// message and is not the client's to change. With (UNCHANGEDSINCE n) a message changed after n
// is left alone and named in the tagged line's [MODIFIED ...].
#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>
#include <cstring>
#include <string>
#include <vector>

#include "imap/args.h"
#include "imap/commands.h"
#include "imap/keywords.h"
#include "imap/response.h"
#include "imap/resync.h"
#include "imap/view.h"
#include "imap/output.h"
#include "platform/text.h"
#include "store/mailbox_index.h"
#include "store/mod_state.h"
#include "store/store.h"

namespace {

enum StoreMode {
    STORE_SET,      // +FLAGS: the named flags are set, no other changes
    STORE_CLEAR,    // -FLAGS, and any other item without a sign: the named flags are cleared
    STORE_REPLACE,  // FLAGS: the five settable flags and the keywords become exactly the named ones
};

struct StoreRequest {
    StoreMode mode;
    bool bSilent;
    FlagList flags;
};

// False, with the offending word in *pstrBad, when a keyword is no atom.
bool ReadStoreItem(const char* pszItem, StoreRequest* pRequest, std::string* pstrBad) {
    pRequest->flags = FlagList{};
    if (pszItem[0] == '+') {
        pRequest->mode = STORE_SET;
    } else if (StrNICmp(pszItem, "FLAGS", 5) == 0) {
        pRequest->mode = STORE_REPLACE;
    } else {
        pRequest->mode = STORE_CLEAR;
    }
    size_t nWord = strcspn(pszItem, " (");
    const char* pDot = static_cast<const char*>(memchr(pszItem, '.', nWord));
    pRequest->bSilent = pDot != nullptr && StrNICmp(pDot, ".SILENT", 7) == 0;
    // Flags may come without their parentheses.
    const char* pList = pszItem + nWord;
    return ReadFlagList(pList, &pRequest->flags, pstrBad);
}

// The flag bits the request sets and clears; \Recent is the server's and never changes here.
void RequestMasks(const StoreRequest& request, uint8_t* pfSet, uint8_t* pfClear) {
    uint8_t fNamed = static_cast<uint8_t>(request.flags.fSystem & FLAG_BITS_CLIENT);
    *pfSet = request.mode == STORE_CLEAR ? 0 : fNamed;
    *pfClear = request.mode == STORE_SET ? 0 : request.mode == STORE_CLEAR ? fNamed : static_cast<uint8_t>(FLAG_BITS_CLIENT & ~fNamed);
}

}  // namespace

int CmdStore(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    if (RefuseReadOnly(pSession)) return 1;
    const char* p = pSession->pArgs;
    std::vector<SetElement> set;
    uint64_t ullUnchangedSince = 0;
    bool bParsed = TakeMessageSet(pSession, &p, &set) && TakeBlank(&p);
    ModifierResult modifiers = bParsed ? TakeStoreModifiers(&p, &ullUnchangedSince) : MODIFIERS_BAD;
    if (!bParsed || modifiers == MODIFIERS_BAD) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    bool bBound = modifiers == MODIFIERS_READ;
    StoreRequest request;
    std::string strBad;
    if (!ReadStoreItem(ListText(p).c_str(), &request, &strBad)) {
        FormatResponse(pSession, "%s BAD %s: %s is no valid keyword\r\n", pSession->pTag, pSession->pCommand,
                       strBad.c_str());
        return 1;
    }
    // UNCHANGEDSINCE turns CONDSTORE on: the answers from here on carry sequences.
    if (bBound) EnableCondStore(pSession);
    uint8_t fSet, fClear;
    RequestMasks(request, &fSet, &fClear);
    // The view is brought up to date before the state lock is taken: reading the state takes it too.
    RefreshView(pSession);
    MailboxView& view = *pSession->pView;
    // Keywords, the bound's check and the renames are one change under the mailbox's state lock:
    // no other session changes a keyword between the check and the change, and the messages
    // end with one new sequence each.
    std::unique_ptr<ModChange> pChange = view.pIndex->BeginModChange();
    if (!pChange->Locked()) {
        RespondUnavailable(pSession, pSession->pTag, pSession->pCommand);
        return 1;
    }
    std::vector<uint16_t> keywords;
    for (const std::string& name : request.flags.keywords) {
        uint16_t uIndex = 0;
        // -FLAGS of a name the mailbox never had changes nothing, and defines nothing.
        if (request.mode == STORE_CLEAR) {
            int nFound = view.pIndex->FindKeyword(name.c_str());
            if (nFound >= 0) keywords.push_back(static_cast<uint16_t>(nFound));
            continue;
        }
        switch (pChange->AddKeyword(name.c_str(), &uIndex)) {
            case KEYWORD_FOUND:
            case KEYWORD_NEW:
                keywords.push_back(uIndex);
                break;
            case KEYWORD_LIMIT:
                FormatResponse(pSession, "%s NO [LIMIT] %s fails: the mailbox has as many keywords as it may\r\n",
                               pSession->pTag, pSession->pCommand);
                return 1;
            case KEYWORD_INVALID:
                FormatResponse(pSession, "%s BAD %s: %s is no valid keyword\r\n", pSession->pTag, pSession->pCommand,
                               name.c_str());
                return 1;
        }
    }
    std::sort(keywords.begin(), keywords.end());
    // A replacement by no keyword clears them; a clearing of none changes none.
    bool bKeywords = !keywords.empty() || request.mode == STORE_REPLACE;

    bool bFailed = false;
    std::vector<uint32_t> modified;
    std::vector<std::pair<uint32_t, ViewMessage*>> told;
    std::vector<bool> toldFailed;
    ForEachMessage(pSession, set, pSession->bUid != 0, false, [&](uint32_t ulSequence, ViewMessage& message) {
        uint32_t ulNamed = pSession->bUid != 0 ? message.ulUid : ulSequence;
        // Every message has a sequence, so a bound of 0 fails them all.
        ModResult checked = !bBound ? MOD_OK
                            : ullUnchangedSince == 0 ? MOD_MODIFIED
                                                     : pChange->CheckUnchanged(message.ulUid, ullUnchangedSince);
        if (checked == MOD_MODIFIED) {
            modified.push_back(ulNamed);
            return true;
        }
        if (checked == MOD_GONE) return true;
        if (bKeywords) {
            ModResult result = pChange->SetKeywords(message.ulUid, request.mode == STORE_SET     ? KEYWORDS_ADD
                                                                   : request.mode == STORE_CLEAR ? KEYWORDS_REMOVE
                                                                                                 : KEYWORDS_REPLACE,
                                                    keywords);
            if (result == MOD_GONE) return true;
            bFailed = bFailed || result != MOD_OK;
        }
        StoreResult result = ChangeFlags(pSession, message, fSet, fClear);
        if (result == STORE_GONE) return true;
        bFailed = bFailed || result == STORE_FAILED;
        told.emplace_back(ulSequence, &message);
        toldFailed.push_back(result == STORE_FAILED);
        return true;
    });
    // The new sequences exist once written: only then are they told.
    if (!pChange->Commit()) bFailed = true;
    pChange.reset();
    // A keyword this STORE defined is announced before the lines that show it.
    AnnounceKeywords(pSession, true);
    bool bCondStore = (pSession->fEnabled & ENABLED_CONDSTORE) != 0;
    for (size_t i = 0; i < told.size(); i++) {
        ViewMessage& message = *told[i].second;
        TakeKeywords(view, message);
        // A failure is always told, with the flags the message really has. Under CONDSTORE a
        // silent change is still told its new sequence.
        if (!request.bSilent || toldFailed[i] || bCondStore) {
            message.fState &= static_cast<uint8_t>(~VIEW_FLAGS_CHANGED);
            SendFlagsLine(pSession, told[i].first, message, request.bSilent && !toldFailed[i]);
        }
    }
    if (bFailed) {
        RespondFails(pSession);
        return 1;
    }
    if (!modified.empty()) {
        std::sort(modified.begin(), modified.end());
        modified.erase(std::unique(modified.begin(), modified.end()), modified.end());
        std::string strSet;
        AppendUidSet(&strSet, modified);
        std::string strLine = std::string(pSession->pTag) + " OK [MODIFIED " + strSet + "] Conditional " +
                              pSession->pCommand + " failed\r\n";
        if (strLine.size() < sizeof(pSession->szResponse)) {
            FormatResponse(pSession, "%s", strLine.c_str());
        } else {
            // A set too long for the tagged line's buffer would be cut into a line no client can
            // parse: it goes out whole through the output instead.
            OutputText(pSession, strLine.data(), strLine.size());
            pSession->szResponse[0] = '\0';
        }
        return 1;
    }
    RespondCompleted(pSession);
    return 1;
}
