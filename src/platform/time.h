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
// Standard-time difference in seconds west of UTC, after tzset.
long ZoneSecondsWest();
// Whether the zone has a daylight rule and daylight time is in effect now.
bool DaylightInEffectNow();
CalendarTime FileTimeToUtcCalendar(FILETIME ft);
CalendarTime FileTimeToLocalCalendar(FILETIME ft);
// UTC calendar time to local calendar time in the current zone.
CalendarTime UtcCalendarToLocal(const CalendarTime& utc);
void SleepMilliseconds(unsigned int ms);
