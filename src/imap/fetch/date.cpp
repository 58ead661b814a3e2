// One formatter for every date the server shows: the console banner, the log stamps and
// INTERNALDATE.
#include "imap/fetch/date.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const szDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const szMonthNames[13] = {"", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// One hour in FILETIME units.
constexpr FILETIME ftOneHour = 36000000000ULL;

}  // namespace

void FormatZoneText(long lMinutesEast, char* pszZone, size_t nSize) {
    if (lMinutesEast == 0) {
        snprintf(pszZone, nSize, "GMT");
        return;
    }
    long lAbs = labs(lMinutesEast);
    if (lAbs > 1439) lAbs = 1439;
    snprintf(pszZone, nSize, "%c%ld%ld%ld%ld", lMinutesEast > 0 ? '+' : '-', lAbs / 60 / 10, lAbs / 60 % 10,
             lAbs % 60 / 10, lAbs % 60 % 10);
}

void FormatDateText(FILETIME ftInstant, char* pszText, CalendarTime* pAdjusted) {
    // The zone text states the standard offset only. The logs get the clock reading pulled
    // back by an hour while daylight time is on, and add it again in their own local
    // conversion.
    const ZoneView zone = ReadZone();
    const long lSecondsWest = zone.lSecondsWest;
    long lMinutesEast = -(lSecondsWest / 60);
    FILETIME ft = ftInstant;
    if (zone.bDaylightNow && ft >= ftOneHour) ft -= ftOneHour;
    if (pAdjusted != nullptr) *pAdjusted = FileTimeToUtcCalendar(ft);

    // The figures shown are local standard time, so they agree with the offset written behind
    // them whatever season the instant falls in; a message stored in July and fetched in
    // December is not an hour off.
    const FILETIME ftWest = static_cast<FILETIME>(lSecondsWest < 0 ? -lSecondsWest : lSecondsWest) * 10000000ULL;
    FILETIME ftLocal = ftInstant;
    if (lSecondsWest < 0) {
        ftLocal += ftWest;
    } else {
        ftLocal = ftLocal >= ftWest ? ftLocal - ftWest : 0;
    }
    CalendarTime local = FileTimeToUtcCalendar(ftLocal);

    char szZone[8];
    FormatZoneText(lMinutesEast, szZone, sizeof szZone);
    int iDay = local.wDayOfWeek >= 0 && local.wDayOfWeek < 7 ? local.wDayOfWeek : 0;
    int iMonth = local.wMonth >= 1 && local.wMonth <= 12 ? local.wMonth : 0;
    // Formatted wide, then cut to the caller's field: years past 9999 only come from a corrupt
    // file time, and the text is then cut, never overrun.
    char szWide[96];
    snprintf(szWide, sizeof szWide, "%3s, %02d %3s %04d %02d:%02d:%02d %s", szDayNames[iDay], local.wDay,
             szMonthNames[iMonth], local.wYear, local.wHour, local.wMinute, local.wSecond, szZone);
    size_t nText = strnlen(szWide, DATE_TEXT_SIZE - 1);
    memcpy(pszText, szWide, nText);
    pszText[nText] = '\0';
}
