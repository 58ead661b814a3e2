// INTERNALDATE: the message file's time in the IMAP form dd-Mmm-yyyy hh:mm:ss zone.
#include <cstdio>
#include <cstring>

#include "imap/fetch/items.h"
#include "imap/output.h"
#include "platform/date_text.h"
#include "platform/format.h"
#include "platform/fs.h"

namespace {

constexpr size_t DAY_NAME_LENGTH = 5;  // "Sun, "

}  // namespace

void WriteInternalDate(Session* pSession, const FetchMessage* pMessage) {
    FindData entry = {};
    // The last-write time: reading a message changes its access time, while a copy keeps the
    // write time and a flag rename leaves it alone, so this is the time the message arrived.
    if (pMessage->bWrittenKnown) {
        entry.ftLastWriteTime = pMessage->ftWritten;
    } else {
        char szPath[MAX_PATH + 1024];
        if (!MessagePath(pSession, szPath, sizeof(szPath)) || !FindEntry(szPath, &entry) ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            OutputAtom(pSession, "INTERNALDATE NIL");
            return;
        }
    }
    char szDate[DATE_TEXT_SIZE];
    CalendarTime adjusted;
    FormatDateText(entry.ftLastWriteTime, szDate, &adjusted);
    char* pDate = szDate + DAY_NAME_LENGTH;
    if (strlen(pDate) < 7) {
        OutputAtom(pSession, "INTERNALDATE NIL");
        return;
    }
    pDate[2] = '-';
    pDate[6] = '-';
    // The IMAP date-time ends in a numeric zone; "GMT" would not parse there.
    char szInternal[DATE_TEXT_SIZE];
    size_t nLength = strlen(pDate);
    if (nLength >= 3 && strcmp(pDate + nLength - 3, "GMT") == 0) {
        static_cast<void>(
            FormatText(szInternal, sizeof(szInternal), "%.*s+0000", static_cast<int>(nLength - 3), pDate));
    } else {
        static_cast<void>(FormatText(szInternal, sizeof(szInternal), "%s", pDate));
    }
    char szItem[64];
    static_cast<void>(FormatText(szItem, sizeof(szItem), "INTERNALDATE \"%s\"", szInternal));
    OutputAtom(pSession, szItem);
}
