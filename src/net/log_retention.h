// Old day files of the access and protocol logs go after the number of days the registry keeps.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Days since 1 January 1970 of a date in the proleptic Gregorian calendar.
int64_t DayNumber(int nYear, int nMonth, int nDay);

// Deletes the day files ("YYMMDD.log") under the spool's imap4log and receiveimap4 directories
// whose day lies more than lKeepDays days before the given day; 0 keeps them all. Other files
// are never touched. Returns the number deleted.
int RemoveOldLogs(const char* pszSpoolDir, int32_t lKeepDays, int nYear, int nMonth, int nDay);

// While it exists, removes old day files at once and then every hour, on a thread of its own;
// does nothing when every file is kept.
struct LogSweeper {
    LogSweeper(const char* pszSpoolDir, int32_t lKeepDays);
    ~LogSweeper();
    LogSweeper(const LogSweeper&) = delete;
    LogSweeper& operator=(const LogSweeper&) = delete;

private:
    void Run();

    std::string spoolDir_;
    int32_t lKeepDays_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool bStopping_ = false;
    std::thread thread_;
};
