#pragma once
// Server dates: the HTTP "Last-Modified" forms, the dates of FTP directory listings, the
// update check's comparison, the text shown in the history page and the ".nfo" file, and
// whole days between two dates. Dates are kept as the server gave them (no time-zone
// conversion); year 0 means no date.
#include "platform/systime.h"

#include <optional>
#include <string>
#include <string_view>

namespace kv {

// Day of week of a date whose format carries none.
inline constexpr uint16_t kNoDayOfWeek = 65535;

// "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT" or
// "Sun Nov  6 08:49:37 1994"; none for anything else.
std::optional<SystemTime> ParseHttpDate(std::string_view text);

// The date of one line of an FTP "LIST" reply ("... Jan 31 12:30 a.zip" or
// "... Jan 31 1999 a.zip"), from the sixth word, else from the fifth; none when neither
// fits. A time without a year is in the current local year.
std::optional<SystemTime> ParseFtpListingDate(std::string_view line);

// True when `a` is later than `b`, or when either has no date (year 0). Day of week and
// milliseconds are ignored.
bool IsNewerDate(const SystemTime& a, const SystemTime& b);

// The date in the locale's long date form, a blank and the time; at most 49 characters.
std::string DateText(const SystemTime& date);

// Whole days from `second` to `first`, both taken as local times: (first - second) / 86400
// truncated, one less when `second` is not earlier than `first`.
int64_t WholeDaysBetween(const SystemTime& first, const SystemTime& second);

}  // namespace kv
