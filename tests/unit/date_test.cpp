// The date text of the banner, the logs and INTERNALDATE, in the zones a reader would notice.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "env_guard.h"
#include "platform/date_text.h"

namespace {

// FILETIME of a UTC moment (year 1 on) by the days-from-civil count, independent of the C library.
FILETIME FileTimeOf(int y, int m, int d, int hh, int mm, int ss) {
    y -= m <= 2 ? 1 : 0;
    long era = y / 400, yoe = y - era * 400;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long days1970 = era * 146097LL + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return static_cast<FILETIME>(days1970 * 86400 + hh * 3600 + mm * 60 + ss + 11644473600LL) * 10000000ULL;
}

// Formats in zone tz into a field with guard bytes behind it, which must stay untouched.
std::string Format(const char* tz, FILETIME ft, CalendarTime* pAdjusted = nullptr) {
    char sz[DATE_TEXT_SIZE + 8];
    memset(sz, 'X', sizeof sz);
    {
        EnvGuard zone("TZ", tz);
        tzset();
        FormatDateText(ft, sz, pAdjusted);
    }
    tzset();
    EXPECT_EQ(std::string(sz + DATE_TEXT_SIZE, 8), "XXXXXXXX");
    return sz;
}

const FILETIME ftDec5 = FileTimeOf(2026, 12, 5, 20, 49, 0);

TEST(DateText, ZonesAndCalendar) {
    const struct { const char* tz; FILETIME ft; const char* text; } cases[] = {
        {"GMT0", ftDec5, "Sat, 05 Dec 2026 20:49:00 GMT"}, {"JST-9", ftDec5, "Sun, 06 Dec 2026 05:49:00 +0900"},
        {"IST-5:30", ftDec5, "Sun, 06 Dec 2026 02:19:00 +0530"}, {"NST3:30", ftDec5, "Sat, 05 Dec 2026 17:19:00 -0330"},
        {"XXX-0:01", ftDec5, "Sat, 05 Dec 2026 20:50:00 +0001"},
        // Seconds in the offset are cut toward zero, on both sides of UTC.
        {"XXX-0:30:59", ftDec5, "Sat, 05 Dec 2026 21:19:59 +0030"},
        {"XXX+0:30:59", ftDec5, "Sat, 05 Dec 2026 20:18:01 -0030"},
        // Offsets of a day or more show as 2359.
        {"<XXX>-23:59", ftDec5, "Sun, 06 Dec 2026 20:48:00 +2359"},
        {"<XXX>-24", ftDec5, "Sun, 06 Dec 2026 20:49:00 +2359"},
        {"<XXX>+24", ftDec5, "Fri, 04 Dec 2026 20:49:00 -2359"},
        {"GMT0", FileTimeOf(2026, 12, 1, 9, 5, 7), "Tue, 01 Dec 2026 09:05:07 GMT"},
        {"GMT0", FileTimeOf(2026, 3, 4, 5, 6, 7), "Wed, 04 Mar 2026 05:06:07 GMT"},
        {"JST-9", FileTimeOf(2026, 12, 31, 23, 30, 0), "Fri, 01 Jan 2027 08:30:00 +0900"},
        {"GMT0", 0, "Mon, 01 Jan 1601 00:00:00 GMT"},
        // In daylight time all year the text is still standard time, agreeing with -0500.
        {"XST5XDT,0/0,J365/25", ftDec5, "Sat, 05 Dec 2026 15:49:00 -0500"},
        // Daylight time on the instant's day only (not today, mostly): still standard time.
        {"XST5XDT,J182/0,J183/0", FileTimeOf(2026, 7, 1, 12, 0, 0), "Wed, 01 Jul 2026 07:00:00 -0500"},
        {"XST5XDT,J182/0,J183/0", FileTimeOf(2026, 7, 3, 12, 0, 0), "Fri, 03 Jul 2026 07:00:00 -0500"},
        // Dublin as tzdata writes it (standard +0100, a "daylight" GMT in winter) reads as Windows has
        // it: standard GMT, summer time an hour ahead.
        {"IST-1GMT0,M10.5.0,M3.5.0/1", ftDec5, "Sat, 05 Dec 2026 20:49:00 GMT"},
        {"IST-1GMT0,M10.5.0,M3.5.0/1", FileTimeOf(2026, 7, 1, 12, 0, 0), "Wed, 01 Jul 2026 12:00:00 GMT"},
    };
    for (const auto& c : cases) EXPECT_EQ(Format(c.tz, c.ft), c.text) << c.tz;
    // A corrupt file time far past 9999 is cut to the field, never written past it.
    EXPECT_EQ(Format("JST-9", ~static_cast<FILETIME>(0)).size(), DATE_TEXT_SIZE - 1);
    // The time handed back is UTC with the daylight hour pulled back (the local conversion adds it again).
    CalendarTime adjusted{};
    Format("XST5XDT,0/0,J365/25", ftDec5, &adjusted);
    EXPECT_EQ(adjusted.wDay * 100 + adjusted.wHour, 519);  // day 5, 19h
    Format("JST-9", ftDec5, &adjusted);
    EXPECT_EQ(adjusted.wDay * 100 + adjusted.wHour, 520);
    Format("IST-1GMT0,0/0,J365/25", ftDec5, &adjusted);  // tzdata's "daylight" all year is standard time
    EXPECT_EQ(adjusted.wDay * 100 + adjusted.wHour, 520);
}

// Every session stamps its log lines: the zone is read again by threads side by side (a race the
// ThreadSanitizer run reports when the zone read is not serialised).
TEST(DateText, SessionsStampAtOnce) {
    EnvGuard tz("TZ", "JST-9");
    std::vector<std::string> texts(4);
    std::vector<std::thread> threads;
    for (std::string& text : texts) {
        threads.emplace_back([&text] {
            for (int i = 0; i < 50; i++) {
                char szDate[DATE_TEXT_SIZE];
                FormatDateText(ftDec5, szDate, nullptr);
                text = szDate;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::string& text : texts) EXPECT_EQ(text, "Sun, 06 Dec 2026 05:49:00 +0900");
}

}  // namespace
