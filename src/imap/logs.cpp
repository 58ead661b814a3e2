#include "imap/logs.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "config/settings.h"
#include "imap/args.h"
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


// How much of a LOGIN's or an AUTHENTICATE's arguments may be shown: the user name as the
// client wrote it (LOGIN), the mechanism (AUTHENTICATE). Whatever follows is a secret, in any
// spelling: after a TAB, in a literal, in a quoted string. 0 when nothing can be shown.
size_t ShownArgsLength(const char* pszArgs, bool bLogin) {
    const char* p = pszArgs;
    if (bLogin) {
        char szUser[RECV_SIZE];
        if (!TakeAstring(&p, szUser, sizeof(szUser))) return 0;
    } else {
        while ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '-' ||
               *p == '_') {
            p++;
        }
    }
    return static_cast<size_t>(p - pszArgs);
}

// A LOGIN's or an AUTHENTICATE's arguments as they may be written to a log.
std::string ShownArgs(const char* pszArgs, bool bLogin) {
    size_t nShown = ShownArgsLength(pszArgs, bLogin);
    std::string shown = EscapeLogText(pszArgs, nShown);
    if (pszArgs[nShown] != '\0' || bLogin) shown += nShown > 0 ? " ****" : "****";
    return shown;
}

}  // namespace

std::string EscapeLogText(const char* pText, size_t nLength) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(nLength);
    for (size_t i = 0; i < nLength; i++) {
        unsigned char c = static_cast<unsigned char>(pText[i]);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void TraceReceived(Session* pSession, const char* pText, size_t nLength, bool bSecret) {
    // Nothing to show it to: no copy is made for every command.
    if (Settings.ConsoleTrace == 0 && Settings.AcceptlogEnabled == 0) return;
    std::string shown;
    if (bSecret) {
        shown = "****";
    } else {
        // Only LOGIN and AUTHENTICATE carry secrets on their line; read as the dispatcher reads
        // it, whatever the blanks around the command word.
        const char* pBlank = static_cast<const char*>(std::memchr(pText, ' ', nLength));
        size_t nWordAt = pBlank != nullptr ? static_cast<size_t>(pBlank - pText) + 1 : nLength;
        size_t nWord = 0;
        while (nWordAt + nWord < nLength && pText[nWordAt + nWord] != ' ') nWord++;
        bool bLogin = nWord == 5 && StrNICmp(pText + nWordAt, "LOGIN", 5) == 0;
        bool bAuthenticate = nWord == 12 && StrNICmp(pText + nWordAt, "AUTHENTICATE", 12) == 0;
        if (bLogin || bAuthenticate) {
            size_t nArgsAt = nWordAt + nWord;
            shown = EscapeLogText(pText, nArgsAt);
            if (nArgsAt < nLength) {
                // Up to a NUL, if one came: the text after it is masked with the rest.
                std::string args(pText + nArgsAt + 1, strnlen(pText + nArgsAt + 1, nLength - nArgsAt - 1));
                shown += ' ';
                shown += ShownArgs(args.c_str(), bLogin);
            }
        } else {
            shown = EscapeLogText(pText, nLength);
        }
    }
    TracePrint("[%08lx] RECV[%08x] <- [%s]\n", SessionId(pSession), pSession->sockClient, shown.c_str());
    WriteProtocolLog(pSession, shown.data());
}

void WriteAccessLog(Session* pSession, const char* pszResult) {
    if (Settings.Imap4LogEnabled == 0) {
        return;
    }
    LogStamp stamp = TakeLogStamp();
    char szPath[512];
    if (!FormatText(szPath, sizeof(szPath), "%simap4log/%s.log", Settings.MailSpoolDir, stamp.szDay)) return;

    const char* pszCommand = pSession->pCommand != nullptr ? pSession->pCommand : "";
    bool bLogin = StrICmp(pszCommand, "LOGIN") == 0;
    std::string args;
    if (bLogin || StrICmp(pszCommand, "AUTHENTICATE") == 0) {
        // The password is never written, nor an initial response: the user name (LOGIN) or the
        // mechanism stays and the rest becomes " ****", however it was spelt.
        args = pSession->pArgs != nullptr ? ShownArgs(pSession->pArgs, bLogin) : bLogin ? "****" : "-";
    } else {
        args = pSession->pArgs != nullptr ? EscapeLogText(pSession->pArgs, strlen(pSession->pArgs)) : "-";
    }
    std::string command = EscapeLogText(pszCommand, strlen(pszCommand));
    std::string user = EscapeLogText(pSession->szUser, strlen(pSession->szUser));

    ProcessFileIdentity identity;
    FILE* pFile = OpenPrivateAppend(szPath);
    if (pFile == nullptr) {
        return;
    }
    fprintf(pFile, "[%s] %s from %s %s %s %s\n", stamp.szTime, !user.empty() ? user.c_str() : "-",
            pSession->szPeerAddr, command.c_str(), args.c_str(), pszResult);
    fclose(pFile);
}

namespace {

// The protocol log stays open from one line to the next, for every session: a line costs one
// formatted write, not an open and a close. A new day (or another spool) opens its own file.
struct ProtocolLogFile {
    std::mutex lock;
    FILE* pFile = nullptr;
    char szPath[512] = {};
};

ProtocolLogFile& TheProtocolLog() {
    static ProtocolLogFile log;
    return log;
}

// pText escaped as EscapeLogText has it, written without building it in memory first.
void PutEscaped(FILE* pFile, const char* pText, size_t nLength) {
    static const char kHex[] = "0123456789abcdef";
    char szOut[1024];
    size_t nOut = 0;
    for (size_t i = 0; i < nLength; i++) {
        if (nOut + 4 > sizeof(szOut)) {
            fwrite(szOut, 1, nOut, pFile);
            nOut = 0;
        }
        unsigned char c = static_cast<unsigned char>(pText[i]);
        if (c == '\r' || c == '\n' || c == '\t') {
            szOut[nOut++] = '\\';
            szOut[nOut++] = c == '\r' ? 'r' : c == '\n' ? 'n' : 't';
        } else if (c < 0x20 || c >= 0x7f) {
            szOut[nOut++] = '\\';
            szOut[nOut++] = 'x';
            szOut[nOut++] = kHex[c >> 4];
            szOut[nOut++] = kHex[c & 0x0f];
        } else {
            szOut[nOut++] = static_cast<char>(c);
        }
    }
    fwrite(szOut, 1, nOut, pFile);
}

}  // namespace

void WriteProtocolLog(Session* pSession, const char* pszText) { WriteProtocolLog(pSession, pszText, strlen(pszText)); }

void WriteProtocolLog(Session* pSession, const char* pText, size_t nLength) {
    if (Settings.AcceptlogEnabled == 0) {
        return;
    }
    // The text up to its last CR: a line loses its CR LF, inner line ends stay.
    const void* pCr = memrchr(pText, '\r', nLength);
    if (pCr != nullptr) nLength = static_cast<size_t>(static_cast<const char*>(pCr) - pText);
    LogStamp stamp = TakeLogStamp();
    char szPath[512];
    if (!FormatText(szPath, sizeof(szPath), "%sreceiveimap4/%s.log", Settings.MailSpoolDir, stamp.szDay)) return;
    ProtocolLogFile& log = TheProtocolLog();
    std::lock_guard<std::mutex> guard(log.lock);
    if (log.pFile == nullptr || strcmp(log.szPath, szPath) != 0) {
        if (log.pFile != nullptr) fclose(log.pFile);
        log.szPath[0] = '\0';
        ProcessFileIdentity identity;
        log.pFile = OpenPrivateAppend(szPath);
        // Not there (no "receiveimap4" directory): tried again with the next line.
        if (log.pFile == nullptr) return;
        memcpy(log.szPath, szPath, sizeof(szPath));
    }
    // One line per event, whatever the text holds (a message sent, a client's own bytes).
    fprintf(log.pFile, "[%s], %08lx, ", stamp.szTime, SessionId(pSession));
    PutEscaped(log.pFile, pText, nLength);
    fputc('\n', log.pFile);
    // Readers (and a crash) see every line as soon as it is written.
    fflush(log.pFile);
}
