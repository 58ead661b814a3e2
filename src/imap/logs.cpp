#include "imap/logs.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "platform/accounts.h"
#include "platform/date_text.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "platform/time.h"

namespace {

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct LogStamp {
    char szDay[16];
    char szTime[48];
};

// The day file and the line's time come from one reading of the clock, so a line written
// at midnight lands in the file of the day its time shows.
LogStamp TakeLogStamp() {
    char szDate[DATE_TEXT_SIZE];
    CalendarTime adjusted{};
    FormatDateText(GetSystemTimeAsFileTime(), szDate, &adjusted);
    CalendarTime local = UtcCalendarToLocal(adjusted);
    LogStamp stamp{};
    static_cast<void>(
        FormatText(stamp.szDay, sizeof(stamp.szDay), "%02d%02d%02d", local.wYear % 100, local.wMonth, local.wDay));
    int nMonth = local.wMonth >= 1 && local.wMonth <= 12 ? local.wMonth : 1;
    static_cast<void>(FormatText(stamp.szTime, sizeof(stamp.szTime), "%02d/%s/%04d:%02d:%02d:%02d", local.wDay,
                                 kMonths[nMonth - 1], local.wYear, local.wHour, local.wMinute, local.wSecond));
    return stamp;
}


bool EndsWithLiteral(const char* pLine, size_t nLength) {
    if (nLength < 3 || pLine[nLength - 1] != '}') return false;
    size_t i = nLength - 1;
    if (i > 0 && pLine[i - 1] == '+') i--;
    size_t nDigits = 0;
    while (i > 0 && pLine[i - 1] >= '0' && pLine[i - 1] <= '9') {
        i--;
        nDigits++;
    }
    return nDigits > 0 && i > 0 && pLine[i - 1] == '{';
}

// Length of the word starting at p (up to a blank or the end of the line).
size_t WordLength(const char* p, size_t nLeft) {
    size_t n = 0;
    while (n < nLeft && p[n] != ' ') n++;
    return n;
}

struct Appender {
    char* pszOut;
    size_t nSize;
    size_t nUsed;
    void Put(const char* p, size_t n) {
        if (nSize == 0) return;
        size_t nRoom = nSize - 1 - nUsed;
        size_t nTake = n < nRoom ? n : nRoom;
        memcpy(pszOut + nUsed, p, nTake);
        nUsed += nTake;
        pszOut[nUsed] = '\0';
    }
    void Put(const char* psz) { Put(psz, strlen(psz)); }
};

// One line without its line end: what may be shown of it, and whether the line after it is a
// secret literal's text.
bool RedactLine(const char* pLine, size_t nLength, bool bSecret, Appender* pOut) {
    bool bLiteral = EndsWithLiteral(pLine, nLength);
    if (bSecret) {
        pOut->Put("****");
        return bLiteral;
    }
    size_t nTag = WordLength(pLine, nLength);
    size_t nAt = nTag < nLength ? nTag + 1 : nLength;
    size_t nCommand = WordLength(pLine + nAt, nLength - nAt);
    bool bLogin = nCommand == 5 && StrNICmp(pLine + nAt, "LOGIN", 5) == 0;
    bool bAuthenticate = nCommand == 12 && StrNICmp(pLine + nAt, "AUTHENTICATE", 12) == 0;
    if (!bLogin && !bAuthenticate) {
        pOut->Put(pLine, nLength);
        return false;
    }
    // The user name (LOGIN) or the mechanism (AUTHENTICATE) stays; everything after it goes.
    nAt += nCommand;
    if (nAt < nLength) {
        nAt++;
        nAt += WordLength(pLine + nAt, nLength - nAt);
    }
    pOut->Put(pLine, nAt);
    if (nAt < nLength) pOut->Put(" ****");
    return bLiteral;
}

}  // namespace

void RedactReceived(const char* pszText, char* pszOut, size_t nSize, int32_t* pbSecret, int32_t* pbAfterFirst) {
    Appender out{pszOut, nSize, 0};
    if (nSize > 0) pszOut[0] = '\0';
    bool bSecret = *pbSecret != 0;
    bool bFirst = true;
    for (const char* p = pszText; *p != '\0';) {
        size_t nLine = strcspn(p, "\r\n");
        bSecret = RedactLine(p, nLine, bSecret, &out);
        size_t nEnd = strspn(p + nLine, "\r");
        if (p[nLine + nEnd] == '\n') nEnd++;
        out.Put(p + nLine, nEnd);
        if (bFirst && pbAfterFirst != nullptr) *pbAfterFirst = bSecret ? 1 : 0;
        bFirst = false;
        p += nLine + nEnd;
    }
    if (bFirst && pbAfterFirst != nullptr) *pbAfterFirst = bSecret ? 1 : 0;
    *pbSecret = bSecret ? 1 : 0;
}

void WriteAccessLog(Session* pSession, const char* pszResult) {
    if (Settings.Imap4LogEnabled == 0) {
        return;
    }
    LogStamp stamp = TakeLogStamp();
    char szPath[512];
    if (!FormatText(szPath, sizeof(szPath), "%simap4log/%s.log", Settings.MailSpoolDir, stamp.szDay)) return;

    const char* pszCommand = pSession->pCommand != nullptr ? pSession->pCommand : "";
    char szArgs[RECV_SIZE + 8];
    bool bLogin = StrICmp(pszCommand, "LOGIN") == 0;
    if (bLogin || StrICmp(pszCommand, "AUTHENTICATE") == 0) {
        // The password is never written: everything from the blank that ends the user name
        // becomes " ****", so a quoted password with blanks leaves nothing behind either. For
        // AUTHENTICATE the mechanism stays and an initial response goes the same way.
        static_cast<void>(FormatText(szArgs, sizeof(szArgs), "%s",
                                     pSession->pArgs != nullptr ? pSession->pArgs
                                     : bLogin                   ? ""
                                                                : "-"));
        char* pBlank = strchr(szArgs, ' ');
        if (pBlank != nullptr) {
            *pBlank = '\0';
        }
        if (bLogin || pBlank != nullptr) {
            size_t nLength = strlen(szArgs);
            static_cast<void>(FormatText(szArgs + nLength, sizeof(szArgs) - nLength, " ****"));
        }
    } else {
        static_cast<void>(FormatText(szArgs, sizeof(szArgs), "%s", pSession->pArgs != nullptr ? pSession->pArgs : "-"));
    }

    ProcessFileIdentity identity;
    FILE* pFile = OpenPrivateAppend(szPath);
    if (pFile == nullptr) {
        return;
    }
    fprintf(pFile, "[%s] %s from %s %s %s %s\n", stamp.szTime, pSession->szUser[0] != '\0' ? pSession->szUser : "-",
            pSession->szPeerAddr, pszCommand, szArgs, pszResult);
    fclose(pFile);
}

void WriteProtocolLog(Session* pSession, char* pszText) {
    if (Settings.AcceptlogEnabled == 0) {
        return;
    }
    char* pCr = strrchr(pszText, '\r');
    if (pCr != nullptr) {
        *pCr = '\0';
    }
    LogStamp stamp = TakeLogStamp();
    char szPath[512];
    ProcessFileIdentity identity;
    FILE* pFile = FormatText(szPath, sizeof(szPath), "%sreceiveimap4/%s.log", Settings.MailSpoolDir, stamp.szDay)
                      ? OpenPrivateAppend(szPath)
                      : nullptr;
    if (pFile != nullptr) {
        fprintf(pFile, "[%s], %08lx, %s\n", stamp.szTime, SessionId(pSession), pszText);
        fclose(pFile);
    }
    if (pCr != nullptr) {
        *pCr = '\r';
    }
}
