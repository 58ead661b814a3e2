// One formatter for every date the server shows: the console banner, the log stamps and
// INTERNALDATE.
#include "platform/date_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/format.h"
#include "platform/text.h"

namespace {

const char* const szDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const szMonthNames[13] = {"", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// One hour in FILETIME units.
constexpr FILETIME ftOneHour = 36000000000ULL;

}  // namespace

void FormatZoneText(long lMinutesEast, char* pszZone, size_t nSize) {
    if (lMinutesEast == 0) {
        static_cast<void>(FormatText(pszZone, nSize, "GMT"));
        return;
    }
    long lAbs = labs(lMinutesEast);
    if (lAbs > 1439) lAbs = 1439;
    static_cast<void>(FormatText(pszZone, nSize, "%c%ld%ld%ld%ld", lMinutesEast > 0 ? '+' : '-', lAbs / 60 / 10,
                                 lAbs / 60 % 10, lAbs % 60 / 10, lAbs % 60 % 10));
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
    const FILETIME ftWest = static_cast<FILETIME>(lSecondsWest < 0 ? -lSecondsWest : lSecondsWest) * FILETIME_UNITS_PER_SECOND;
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
    static_cast<void>(FormatText(szWide, sizeof szWide, "%3s, %02d %3s %04d %02d:%02d:%02d %s", szDayNames[iDay],
                                 local.wDay, szMonthNames[iMonth], local.wYear, local.wHour, local.wMinute,
                                 local.wSecond, szZone));
    size_t nText = strnlen(szWide, DATE_TEXT_SIZE - 1);
    memcpy(pszText, szWide, nText);
    pszText[nText] = '\0';
}

namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(const char* p, int n, int* pValue) {
    *pValue = 0;
    for (int i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return false;
        *pValue = *pValue * 10 + (p[i] - '0');
    }
    return true;
}

}  // namespace

bool ParseImapDateTime(const char* pszText, size_t nLength, int64_t* pllUnixSeconds) {
    // "dd-Mmm-yyyy hh:mm:ss +zzzz" is 26 characters.
    if (nLength != 26) return false;
    const char* p = pszText;
    int nDay = 0;
    if (p[0] == ' ') {
        if (!Digits(p + 1, 1, &nDay)) return false;
    } else if (!Digits(p, 2, &nDay)) {
        return false;
    }
    if (p[2] != '-' || p[6] != '-' || p[11] != ' ' || p[14] != ':' || p[17] != ':' || p[20] != ' ') return false;
    int nMonth = 0;
    for (int i = 1; i <= 12; i++) {
        if (StrNICmp(p + 3, szMonthNames[i], 3) == 0) nMonth = i;
    }
    int nYear = 0, nHour = 0, nMinute = 0, nSecond = 0, nZone = 0;
    if (nMonth == 0 || !Digits(p + 7, 4, &nYear) || !Digits(p + 12, 2, &nHour) || !Digits(p + 15, 2, &nMinute) ||
        !Digits(p + 18, 2, &nSecond) || (p[21] != '+' && p[21] != '-') || !Digits(p + 22, 4, &nZone)) {
        return false;
    }
    static const int kMonthDays[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    int nMonthDays = nMonth == 2 && !bLeap ? 28 : kMonthDays[nMonth];
    if (nDay < 1 || nDay > nMonthDays || nHour > 23 || nMinute > 59 || nSecond > 60 || nZone % 100 > 59) return false;
    int64_t llZone = (nZone / 100 * 60 + nZone % 100) * 60;
    int64_t llSeconds = DaysFromCivil(nYear, static_cast<unsigned>(nMonth), static_cast<unsigned>(nDay)) * 86400 +
                        nHour * 3600 + nMinute * 60 + nSecond;
    *pllUnixSeconds = p[21] == '+' ? llSeconds - llZone : llSeconds + llZone;
    return true;
}
