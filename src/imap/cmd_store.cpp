// STORE and UID STORE: a flag change is a rename of the message file, announced by an untagged
// FETCH line with the new flags unless the client asked for silence. \Recent belongs to the
// session that first saw the message and is not the client's to change.
#include <cstdio>
#include <cstring>
#include <vector>

#include "imap/args.h"
#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/response.h"
#include "imap/view.h"
#include "imap/output.h"
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

// The flag bits the request sets and clears; \Recent is the server's and never changes here.
void RequestMasks(const StoreRequest& request, uint8_t* pfSet, uint8_t* pfClear) {
    uint8_t fNamed = 0;
    for (int i = 1; i < FLAG_COUNT; i++) {
        if (request.abNamed[i]) fNamed = static_cast<uint8_t>(fNamed | (1u << i));
    }
    *pfSet = request.mode == STORE_CLEAR ? 0 : fNamed;
    *pfClear = request.mode == STORE_SET ? 0 : request.mode == STORE_CLEAR ? fNamed : static_cast<uint8_t>(FLAG_BITS_CLIENT & ~fNamed);
}

void SendFlags(Session* pSession, uint32_t ulSequence, const ViewMessage& message) {
    char szCode[7];
    ShownFlagCode(*pSession->pView, message, szCode);
    char szName[MESSAGE_NAME_LENGTH + 1];
    FormatMessageName(szName, sizeof(szName), message.ulUid, szCode);
    char szFlags[64];
    FormatFlagNames(szName, szFlags, sizeof(szFlags));
    if (pSession->bUid != 0) {
        OutputFormat(pSession, "* %u FETCH (UID %u FLAGS (%s))\r\n", static_cast<unsigned>(ulSequence),
                     static_cast<unsigned>(message.ulUid), szFlags);
    } else {
        OutputFormat(pSession, "* %u FETCH (FLAGS (%s))\r\n", static_cast<unsigned>(ulSequence), szFlags);
    }
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
    bool bParsed = TakeMessageSet(pSession, &p, &set) && TakeBlank(&p);
    if (!bParsed) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    StoreRequest request;
    ReadStoreItem(ListText(p).c_str(), &request);
    uint8_t fSet, fClear;
    RequestMasks(request, &fSet, &fClear);

    bool bFailed = false;
    ForEachMessage(pSession, set, pSession->bUid != 0, [&](uint32_t ulSequence, ViewMessage& message) {
        StoreResult result = ChangeFlags(pSession, message, fSet, fClear);
        if (result == STORE_GONE) return true;
        bFailed = bFailed || result == STORE_FAILED;
        // A failure is always told, with the flags the message really has.
        if (!request.bSilent || result == STORE_FAILED) {
            message.fState &= static_cast<uint8_t>(~VIEW_FLAGS_CHANGED);
            SendFlags(pSession, ulSequence, message);
        }
        return true;
    });
    if (bFailed) {
        RespondFails(pSession);
        return 1;
    }
    RespondCompleted(pSession);
    return 1;
}
