// Clock and zone stand-ins. FILETIME counts 100 ns units since 1601 (UTC); the zone comes from
// the C library (TZ, else /etc/localtime), which is what the Windows C runtime's tzset reads too.
#include "platform/time.h"

#include <cerrno>
#include <ctime>
#include <mutex>

namespace {

constexpr uint64_t kUnitsPerSecond = FILETIME_UNITS_PER_SECOND;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = static_cast<int64_t>(FILETIME_UNIX_EPOCH / FILETIME_UNITS_PER_SECOND);

time_t FileTimeToUnix(FILETIME ft) {
    return static_cast<time_t>(static_cast<int64_t>(ft / kUnitsPerSecond) - kEpochDifference);
}

// tzset rewrites the C library's zone (its rules and the globals timezone and daylight) while
// session threads convert times. The library locks its own rules, but the globals are read after
// that lock is gone, and a race checker cannot see the library's lock: every zone read and local
// conversion here goes through this one.
std::mutex& ZoneLock() {
    static std::mutex* pLock = new std::mutex();
    return *pLock;
}

CalendarTime FromTm(const struct tm& tm) {
    CalendarTime ct{};
    ct.wYear = tm.tm_year + 1900;
    ct.wMonth = tm.tm_mon + 1;
    ct.wDayOfWeek = tm.tm_wday;
    ct.wDay = tm.tm_mday;
    ct.wHour = tm.tm_hour;
    ct.wMinute = tm.tm_min;
    ct.wSecond = tm.tm_sec;
    return ct;
}

}  // namespace

FILETIME GetSystemTimeAsFileTime() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<FILETIME>(static_cast<int64_t>(ts.tv_sec) + kEpochDifference) * kUnitsPerSecond +
           static_cast<FILETIME>(ts.tv_nsec / 100);
}

// Windows has a standard offset, and a daylight time that adds to it. tzdata describes a few
// zones the other way round (Europe/Dublin: standard +0100, and a "daylight" GMT in winter);
// those are read with the winter offset as standard, as Windows has them.
ZoneView ReadZone() {
    std::lock_guard<std::mutex> guard(ZoneLock());
    tzset();
    ZoneView view{timezone, false};
    time_t now = time(nullptr);
    struct tm tmNow {};
    if (localtime_r(&now, &tmNow) == nullptr || daylight == 0) return view;
    // Mid-January and mid-July of this year: one of them is in each season, either hemisphere.
    bool bNegative = false;
    for (int iMonth = 0; iMonth <= 6; iMonth += 6) {
        struct tm probe {};
        probe.tm_year = tmNow.tm_year;
        probe.tm_mon = iMonth;
        probe.tm_mday = 15;
        probe.tm_hour = 12;
        time_t t = timegm(&probe);
        struct tm local {};
        if (localtime_r(&t, &local) != nullptr && local.tm_isdst > 0 && -local.tm_gmtoff > timezone) {
            bNegative = true;
            view.lSecondsWest = -local.tm_gmtoff;
        }
    }
    view.bDaylightNow = bNegative ? tmNow.tm_isdst == 0 : tmNow.tm_isdst > 0;
    return view;
}

CalendarTime FileTimeToUtcCalendar(FILETIME ft) {
    time_t t = FileTimeToUnix(ft);
    struct tm tm {};
    gmtime_r(&t, &tm);
    return FromTm(tm);
}

CalendarTime UtcCalendarToLocal(const CalendarTime& utc) {
    struct tm tm {};
    tm.tm_year = utc.wYear - 1900;
    tm.tm_mon = utc.wMonth - 1;
    tm.tm_mday = utc.wDay;
    tm.tm_hour = utc.wHour;
    tm.tm_min = utc.wMinute;
    tm.tm_sec = utc.wSecond;
    time_t t = timegm(&tm);
    struct tm local {};
    {
        std::lock_guard<std::mutex> guard(ZoneLock());
        localtime_r(&t, &local);
    }
    return FromTm(local);
}

uint64_t MonotonicMilliseconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepMilliseconds(unsigned int ms) {
    struct timespec req {};
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    struct timespec rem {};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}
