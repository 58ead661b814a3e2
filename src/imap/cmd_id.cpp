// ID (RFC 2971): the client says what it is, the server answers what it is. Nothing the client
// sends changes how it is served; its fields are only checked for form.
#include <cstring>

#include "config/settings.h"
#include "imap/args.h"
#include "imap/commands.h"
#include "imap/output.h"
#include "imap/response.h"
#include "platform/text.h"

namespace {

// RFC 2971's bounds: a client that keeps to them always fits, one that does not is told so.
constexpr size_t ID_FIELD_MAX = 30;
constexpr size_t ID_VALUE_MAX = 1024;
constexpr int ID_PAIRS_MAX = 30;

bool TakeNil(const char** ppCursor) {
    if (StrNICmp(*ppCursor, "NIL", 3) != 0) return false;
    *ppCursor += 3;
    return true;
}

// "NIL" or a list of field and value pairs, each field a string and each value a string or NIL.
bool ParseIdList(const char* pCursor) {
    if (TakeNil(&pCursor)) return *pCursor == '\0';
    if (*pCursor++ != '(') return false;
    char szField[ID_FIELD_MAX + 1];
    char szValue[ID_VALUE_MAX + 1];
    for (int nPairs = 0; *pCursor != ')'; nPairs++) {
        if (nPairs == ID_PAIRS_MAX) return false;
        if (nPairs > 0 && !TakeBlank(&pCursor)) return false;
        if (!TakeString(&pCursor, szField, sizeof(szField)) || !TakeBlank(&pCursor)) return false;
        if (!TakeNil(&pCursor) && !TakeString(&pCursor, szValue, sizeof(szValue))) return false;
    }
    return pCursor[1] == '\0';
}

}  // namespace

int CmdId(Session* pSession) {
    if (pSession->pArgs == nullptr || !ParseIdList(pSession->pArgs)) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    // SERVER_VERSION is "(x.y)": the version goes without its parentheses.
    size_t nVersion = strlen(SERVER_VERSION);
    if (Settings.IdHideVersion != 0 || nVersion < 2) {
        OutputFormat(pSession, "* ID (\"name\" \"veve4d\" \"vendor\" \"Velmora\")\r\n");
    } else {
        OutputFormat(pSession, "* ID (\"name\" \"veve4d\" \"vendor\" \"Velmora\" \"version\" \"%.*s\")\r\n",
                     static_cast<int>(nVersion - 2), SERVER_VERSION + 1);
    }
    RespondCompleted(pSession);
    return 1;
}
