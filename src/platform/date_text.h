// RFC 822 style date text of the console banner, the logs and INTERNALDATE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/time.h"

constexpr size_t DATE_TEXT_SIZE = 32;

// Writes "%3s, %02d %3s %04d %02d:%02d:%02d %s" for the UTC instant into pszText and hands
// back the adjusted instant as UTC calendar time.
void FormatDateText(FILETIME ftInstant, char* pszText, CalendarTime* pAdjusted);
// The zone part of the date text for an offset in minutes east of UTC: "GMT", or a sign and
// four digits, a day or more shown as 2359.
void FormatZoneText(long lMinutesEast, char* pszZone, size_t nSize);
// Reads an IMAP date-time, dd-Mmm-yyyy hh:mm:ss +zzzz (the day may be a blank and one digit),
// into seconds since 1970 UTC. False for anything else.
bool ParseImapDateTime(const char* pszText, size_t nLength, int64_t* pllUnixSeconds);
