#include "net/logs.h"

#include <cstdio>
#include <cstring>
#include "platform/text.h"

#include "config/settings.h"
#include "platform/date_text.h"
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
    snprintf(stamp.szDay, sizeof(stamp.szDay), "%02d%02d%02d", local.wYear % 100, local.wMonth, local.wDay);
    int nMonth = local.wMonth >= 1 && local.wMonth <= 12 ? local.wMonth : 1;
    snprintf(stamp.szTime, sizeof(stamp.szTime), "%02d/%s/%04d:%02d:%02d:%02d", local.wDay, kMonths[nMonth - 1],
             local.wYear, local.wHour, local.wMinute, local.wSecond);
    return stamp;
}

}  // namespace

void WriteAccessLog(Session* pSession, const char* pszResult) {
    if (Settings.Imap4LogEnabled == 0) {
        return;
    }
    LogStamp stamp = TakeLogStamp();
    char szPath[512];
    snprintf(szPath, sizeof(szPath), "%simap4log/%s.log", Settings.MailSpoolDir, stamp.szDay);

    const char* pszCommand = pSession->pCommand != nullptr ? pSession->pCommand : "";
    char szArgs[RECV_SIZE + 8];
    if (StrICmp(pszCommand, "LOGIN") == 0) {
        // The password is never written: everything from the blank that ends the user name
        // becomes " ****", so a quoted password with blanks leaves nothing behind either.
        snprintf(szArgs, sizeof(szArgs), "%s", pSession->pArgs != nullptr ? pSession->pArgs : "");
        char* pBlank = strchr(szArgs, ' ');
        if (pBlank != nullptr) {
            *pBlank = '\0';
        }
        size_t nLength = strlen(szArgs);
        snprintf(szArgs + nLength, sizeof(szArgs) - nLength, " ****");
    } else {
        snprintf(szArgs, sizeof(szArgs), "%s", pSession->pArgs != nullptr ? pSession->pArgs : "-");
    }

    FILE* pFile = fopen(szPath, "a");
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
    snprintf(szPath, sizeof(szPath), "%sreceiveimap4/%s.log", Settings.MailSpoolDir, stamp.szDay);
    FILE* pFile = fopen(szPath, "a");
    if (pFile != nullptr) {
        fprintf(pFile, "[%s], %08lx, %s\n", stamp.szTime, SessionId(pSession), pszText);
        fclose(pFile);
    }
    if (pCr != nullptr) {
        *pCr = '\r';
    }
}
