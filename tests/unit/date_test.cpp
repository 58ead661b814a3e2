// The date text of the banner, the logs and INTERNALDATE, in the zones a reader would notice.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "imap/fetch/date.h"

namespace {

// FILETIME of a UTC calendar moment, from the days-from-civil count (proleptic Gregorian),
// independent of the C library the formatter uses.
FILETIME FileTimeOf(int y, int m, int d, int hh, int mm, int ss) {
    y -= m <= 2 ? 1 : 0;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long long days1970 = era * 146097LL + doe - 719468;
    long long secs1601 = days1970 * 86400 + hh * 3600 + mm * 60 + ss + 11644473600LL;
    return static_cast<FILETIME>(secs1601) * 10000000ULL;
}

// Sets TZ for one test and puts the previous zone back afterwards.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* tz) {
        const char* old = getenv("TZ");
        bHad = old != nullptr;
        if (bHad) saved = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (bHad) {
            setenv("TZ", saved.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool bHad = false;
    std::string saved;
};

std::string Format(const char* tz, FILETIME ft, CalendarTime* pAdjusted = nullptr) {
    ZoneGuard zone(tz);
    char sz[DATE_TEXT_SIZE];
    FormatDateText(ft, sz, pAdjusted);
    return sz;
}

TEST(DateText, ZonesAndCalendar) {
    const FILETIME ftDec5 = FileTimeOf(2026, 12, 5, 20, 49, 0);
    struct Case {
        const char* tz;
        FILETIME ft;
        const char* text;
    } cases[] = {
        {"GMT0", ftDec5, "Sat, 05 Dec 2026 20:49:00 GMT"},
        {"JST-9", ftDec5, "Sun, 06 Dec 2026 05:49:00 +0900"},
        {"IST-5:30", ftDec5, "Sun, 06 Dec 2026 02:19:00 +0530"},
        {"NST3:30", ftDec5, "Sat, 05 Dec 2026 17:19:00 -0330"},
        {"EST5", ftDec5, "Sat, 05 Dec 2026 15:49:00 -0500"},
        // Seconds in the offset are cut toward zero, on both sides of UTC.
        {"XXX-0:30:59", ftDec5, "Sat, 05 Dec 2026 21:19:59 +0030"},
        {"XXX+0:30:59", ftDec5, "Sat, 05 Dec 2026 20:18:01 -0030"},
        // A Tuesday, and leading zeros for day, hour, minute and second.
        {"GMT0", FileTimeOf(2026, 12, 1, 9, 5, 7), "Tue, 01 Dec 2026 09:05:07 GMT"},
        {"GMT0", FileTimeOf(2026, 3, 4, 5, 6, 7), "Wed, 04 Mar 2026 05:06:07 GMT"},
        // The zone moves the date across a year.
        {"JST-9", FileTimeOf(2026, 12, 31, 23, 30, 0), "Fri, 01 Jan 2027 08:30:00 +0900"},
        // The first instant a FILETIME can hold.
        {"GMT0", 0, "Mon, 01 Jan 1601 00:00:00 GMT"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Format(c.tz, c.ft), c.text) << c.tz;
    }
}

TEST(DateText, OffsetsOfADayOrMoreShowAs2359) {
    const FILETIME ft = FileTimeOf(2026, 12, 5, 20, 49, 0);
    std::string east = Format("<XXX>-24", ft);
    EXPECT_EQ(east.substr(east.size() - 5), "+2359") << east;
    std::string west = Format("<XXX>+24", ft);
    EXPECT_EQ(west.substr(west.size() - 5), "-2359") << west;
    std::string edge = Format("<XXX>-23:59", ft);
    EXPECT_EQ(edge.substr(edge.size() - 5), "+2359") << edge;

    struct Case {
        long minutes;
        const char* zone;
    } cases[] = {
        {0, "GMT"},       {540, "+0900"},   {-300, "-0500"},  {330, "+0530"},   {-210, "-0330"},
        {1, "+0001"},     {-1, "-0001"},    {1439, "+2359"},  {1440, "+2359"},  {-1440, "-2359"},
        {100000, "+2359"}, {-100000, "-2359"},
    };
    for (const Case& c : cases) {
        char sz[8];
        FormatZoneText(c.minutes, sz, sizeof sz);
        EXPECT_STREQ(sz, c.zone) << c.minutes;
    }
}

TEST(DateText, TheLargestFileTimeStaysInsideTheField) {
    char sz[DATE_TEXT_SIZE + 8];
    memset(sz, 'X', sizeof sz);
    {
        ZoneGuard zone("JST-9");
        FormatDateText(~static_cast<FILETIME>(0), sz, nullptr);
    }
    EXPECT_EQ(strlen(sz), DATE_TEXT_SIZE - 1);
    EXPECT_EQ(sz[DATE_TEXT_SIZE], 'X');
}

TEST(DateText, DaylightTimeShowsLocalStandardTime) {
    // A zone in daylight time all year: the clock is pulled back an hour before the local
    // conversion adds it again, so the text is standard time and agrees with -0500.
    const FILETIME ft = FileTimeOf(2026, 12, 5, 20, 49, 0);
    CalendarTime adjusted{};
    EXPECT_EQ(Format("XST5XDT,0/0,J365/25", ft, &adjusted), "Sat, 05 Dec 2026 15:49:00 -0500");
    EXPECT_EQ(adjusted.wYear, 2026);
    EXPECT_EQ(adjusted.wMonth, 12);
    EXPECT_EQ(adjusted.wDay, 5);
    EXPECT_EQ(adjusted.wHour, 19);
    EXPECT_EQ(adjusted.wMinute, 49);
    EXPECT_EQ(adjusted.wDayOfWeek, 6);

    // Without daylight time the handed-back instant is the one given, in UTC.
    Format("JST-9", ft, &adjusted);
    EXPECT_EQ(adjusted.wDay, 5);
    EXPECT_EQ(adjusted.wHour, 20);
}

}  // namespace
