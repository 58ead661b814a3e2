#include "net/log_retention.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/date_text.h"
#include "platform/fs.h"
#include "platform/time.h"

namespace {

constexpr auto SWEEP_INTERVAL = std::chrono::hours(1);

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int TwoDigits(const char* p) {
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// The files carry the year modulo 100: the century is the one that puts the day nearest to
// today, so that a file from a clock set ahead is not taken for one a century old.
int FullYear(int nYearOfCentury, int nTodayYear) {
    int nYear = nTodayYear - nTodayYear % 100 + nYearOfCentury;
    if (nYear - nTodayYear > 50) nYear -= 100;
    if (nTodayYear - nYear > 50) nYear += 100;
    return nYear;
}

int RemoveFromDirectory(const std::string& dir, int32_t lKeepDays, int nYear, int64_t llToday) {
    int nRemoved = 0;
    std::vector<FindData> entries;
    FindFiles((dir + "??????.log").c_str(), 0, entries);
    for (const FindData& entry : entries) {
        const char* psz = entry.cFileName;
        bool bDayFile = (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM)) == 0;
        for (int i = 0; i < 6; ++i) bDayFile = bDayFile && IsDigit(psz[i]);
        if (!bDayFile) continue;
        int nMonth = TwoDigits(psz + 2), nDay = TwoDigits(psz + 4);
        if (nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > 31) continue;
        int64_t llDay = DayNumber(FullYear(TwoDigits(psz), nYear), nMonth, nDay);
        if (llToday - llDay > lKeepDays && DeleteFileEntry((dir + psz).c_str())) ++nRemoved;
    }
    return nRemoved;
}

// Today as the log writers name their files: the local calendar day.
void LocalToday(int* pnYear, int* pnMonth, int* pnDay) {
    char szDate[DATE_TEXT_SIZE];
    CalendarTime adjusted{};
    FormatDateText(GetSystemTimeAsFileTime(), szDate, &adjusted);
    CalendarTime local = UtcCalendarToLocal(adjusted);
    *pnYear = local.wYear;
    *pnMonth = local.wMonth;
    *pnDay = local.wDay;
}

}  // namespace

int64_t DayNumber(int nYear, int nMonth, int nDay) {
    // Counted from 1 March, so that the leap day ends the year.
    int64_t y = nYear - (nMonth <= 2 ? 1 : 0);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (nMonth + (nMonth > 2 ? -3 : 9)) + 2) / 5 + nDay - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int RemoveOldLogs(const char* pszSpoolDir, int32_t lKeepDays, int nYear, int nMonth, int nDay) {
    if (lKeepDays <= 0) return 0;
    int64_t llToday = DayNumber(nYear, nMonth, nDay);
    std::string spool = pszSpoolDir;
    return RemoveFromDirectory(spool + "imap4log/", lKeepDays, nYear, llToday) +
           RemoveFromDirectory(spool + "receiveimap4/", lKeepDays, nYear, llToday);
}

LogSweeper::LogSweeper(const char* pszSpoolDir, int32_t lKeepDays) : spoolDir_(pszSpoolDir), lKeepDays_(lKeepDays) {
    if (lKeepDays_ > 0) thread_ = std::thread(&LogSweeper::Run, this);
}

LogSweeper::~LogSweeper() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        bStopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void LogSweeper::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!bStopping_) {
        int nYear, nMonth, nDay;
        LocalToday(&nYear, &nMonth, &nDay);
        int nRemoved = RemoveOldLogs(spoolDir_.c_str(), lKeepDays_, nYear, nMonth, nDay);
        if (nRemoved > 0) printf("%d old log file%s removed.\n", nRemoved, nRemoved == 1 ? "" : "s");
        wake_.wait_for(lock, SWEEP_INTERVAL, [this] { return bStopping_; });
    }
}
