#include "imap/auth_log.h"

#include <cstring>

#include "config/settings.h"
#include "platform/format.h"
#include "platform/service_host.h"

namespace {

// The first word of the client's text, escaped.
void MethodWord(const char* pszMethod, char* pszOut, size_t nSize) {
    char szWord[32];
    const char* psz = pszMethod != nullptr ? pszMethod : "";
    size_t nLength = strcspn(psz, " \r\n");
    if (nLength >= sizeof(szWord)) nLength = sizeof(szWord) - 1;
    memcpy(szWord, psz, nLength);
    szWord[nLength] = '\0';
    EscapeLogText(nLength != 0 ? szWord : "-", pszOut, nSize);
}

}  // namespace

void LogLoginOutcome(const Session* pSession, const char* pszMethod, bool bSuccess, const char* pszReason) {
    char szMethod[130];
    MethodWord(pszMethod, szMethod, sizeof(szMethod));
    // Four bytes of escape for each byte of the longest name.
    char szUser[4 * sizeof(pSession->szUser)];
    EscapeLogText(pSession->szUser, szUser, sizeof(szUser));
    char szReason[256];
    EscapeLogText(pszReason != nullptr ? pszReason : "", szReason, sizeof(szReason));
    char szLine[1600];
    if (bSuccess) {
        static_cast<void>(FormatText(szLine, sizeof(szLine), "login ok: method=%s rip=%s lip=%s tls=%s user=<%s>",
                                     szMethod, pSession->szPeerAddr, pSession->szLocalAddr,
                                     pSession->pTls != nullptr ? "yes" : "no", szUser));
    } else {
        static_cast<void>(FormatText(szLine, sizeof(szLine),
                                     "login failed: method=%s rip=%s lip=%s tls=%s reason=<%s> user=<%s>", szMethod,
                                     pSession->szPeerAddr, pSession->szLocalAddr,
                                     pSession->pTls != nullptr ? "yes" : "no", szReason, szUser));
    }
    WriteSystemLog(SERVICE_NAME, bSuccess ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE, szLine);
}

void LogTlsFailure(const Session* pSession, const char* pszReason) {
    char szReason[512];
    EscapeLogText(pszReason, szReason, sizeof(szReason));
    char szLine[700];
    static_cast<void>(FormatText(szLine, sizeof(szLine), "TLS handshake failed: rip=%s lip=%s reason=<%s>",
                                 pSession->szPeerAddr, pSession->szLocalAddr, szReason));
    WriteSystemLog(SERVICE_NAME, EVENTLOG_WARNING_TYPE, szLine);
}
