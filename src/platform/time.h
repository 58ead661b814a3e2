// Clock and time-zone stand-ins for GetSystemTimeAsFileTime, the C library's zone set-up
// and the Windows calendar conversions.
#pragma once

#include "platform/types.h"

struct CalendarTime {
    int wYear;
    int wMonth;      // 1..12
    int wDayOfWeek;  // 0 = Sunday
    int wDay;
    int wHour;
    int wMinute;
    int wSecond;
};

FILETIME GetSystemTimeAsFileTime();
// The zone as Windows sees it, read afresh (tzset) on every call: the standard-time difference
// in seconds west of UTC, and whether daylight time is in effect now.
struct ZoneView {
    long lSecondsWest;
    bool bDaylightNow;
};
ZoneView ReadZone();
CalendarTime FileTimeToUtcCalendar(FILETIME ft);
// UTC calendar time to local calendar time in the current zone.
CalendarTime UtcCalendarToLocal(const CalendarTime& utc);
void SleepMilliseconds(unsigned int ms);
// A clock that never goes back (for idle times and delays), in milliseconds.
uint64_t MonotonicMilliseconds();
