// COMPRESS DEFLATE (RFC 4978): from the tagged OK on, both directions are raw DEFLATE streams
// (under TLS when it is on). Mostly for mobile clients, whose FETCH answers shrink several times.
#include "config/settings.h"
#include "imap/commands.h"
#include "imap/output.h"
#include "imap/response.h"
#include "imap/session_io.h"
#include "platform/text.h"

int CmdCompress(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    if (StrICmp(pSession->pArgs, "DEFLATE") != 0) {
        FormatResponse(pSession, "%s BAD %s unknown mechanism\r\n", pSession->pTag, pSession->pCommand);
        return 1;
    }
    if (pSession->pDeflate != nullptr) {
        FormatResponse(pSession, "%s BAD [COMPRESSIONACTIVE] DEFLATE already active\r\n", pSession->pTag);
        return 1;
    }
    // The OK is the last thing sent as it stands; everything after it is compressed.
    FormatResponse(pSession, "%s OK DEFLATE active\r\n", pSession->pTag);
    SendResponse(pSession, 0, 1);
    pSession->szResponse[0] = '\0';
    if (OutputFlush(pSession) == 0) return 0;
    if (!StartSessionCompression(pSession)) {
        // The client now compresses: nothing more could be understood either way.
        TracePrint("[%08lx] COMPRESS[%08x] zlib could not start\n", SessionId(pSession), pSession->sockClient);
        return 0;
    }
    return 1;
}
