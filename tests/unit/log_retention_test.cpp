// Old day files of the access and protocol logs: which go and which stay.
#include <gtest/gtest.h>

#include <filesystem>

#include "net/log_retention.h"
#include "test_server.h"

namespace {

TEST(LogRetention, DayNumbersCountCalendarDays) {
    EXPECT_EQ(DayNumber(1970, 1, 1), 0);
    EXPECT_EQ(DayNumber(2000, 3, 1) - DayNumber(2000, 2, 28), 2);  // a leap century
    EXPECT_EQ(DayNumber(2100, 3, 1) - DayNumber(2100, 2, 28), 1);  // not a leap year
    EXPECT_EQ(DayNumber(2027, 1, 1) - DayNumber(2026, 12, 31), 1);
}

TEST(LogRetention, OnlyDayFilesOlderThanTheKeptDaysGo) {
    TempDir tmp;
    std::string spool = tmp.path + "/";
    struct File {
        const char* name;
        bool bKept;  // with 7 days kept on 7 December 2026
    } files[] = {
        {"imap4log/261207.log", true},      {"imap4log/261130.log", true},  // today, 7 days ago
        {"imap4log/261129.log", false},     {"receiveimap4/261129.log", false},
        {"imap4log/991231.log", false},     // 1999, not 2099
        {"imap4log/270105.log", true},      // a clock set ahead: next year, not 1927
        {"imap4log/260230.log", false},     // no such day, but old by any reading
        {"imap4log/261301.log", true},      // no month 13: not a day file
        {"imap4log/notes.log", true},       {"imap4log/26120.log", true},
        {"imap4log/2611290.log", true},     {"imap4log/261129.txt", true},
        {"receiveimap4/261129.log.bak", true},
    };
    for (const File& f : files) {
        std::filesystem::create_directories(std::filesystem::path(spool + f.name).parent_path());
        WriteFile(spool + f.name, "x");
    }
    std::filesystem::create_directories(spool + "imap4log/200101.log");  // a directory stays

    EXPECT_EQ(RemoveOldLogs(spool.c_str(), 0, 2026, 12, 7), 0);  // 0 keeps everything
    EXPECT_EQ(RemoveOldLogs(spool.c_str(), 7, 2026, 12, 7), 4);
    for (const File& f : files) EXPECT_EQ(FileExists(spool + f.name), f.bKept) << f.name;
    EXPECT_TRUE(std::filesystem::is_directory(spool + "imap4log/200101.log"));
}

}  // namespace
