#include "net/dates.h"

#include <array>
#include <cctype>
#include <cstring>
#include <ctime>
#include <langinfo.h>

namespace kv {
namespace {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Reads a date text the way a scanf format of width-limited "%Ns" fields and literal
// characters does: a field skips leading white space and takes at most N characters that
// are not white space (at least one); a literal must be the very next character.
class FieldScanner {
public:
    explicit FieldScanner(std::string_view text) : text_(text) {}

    bool Field(std::size_t width, std::string_view& out) {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
        std::size_t start = pos_;
        while (pos_ < text_.size() && pos_ - start < width && !IsSpace(text_[pos_])) ++pos_;
        out = text_.substr(start, pos_ - start);
        return !out.empty();
    }

    bool Literal(char c) {
        if (pos_ >= text_.size() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> kShortDaysComma = {"Sun,", "Mon,", "Tue,", "Wed,",
                                                             "Thu,", "Fri,", "Sat,"};
constexpr std::array<std::string_view, 7> kShortDays = {"Sun", "Mon", "Tue", "Wed",
                                                        "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kLongDaysComma = {
    "Sunday,", "Monday,", "Tuesday,", "Wednesday,", "Thursday,", "Friday,", "Saturday,"};

// Index of `word` in `table` (any case), -1 when absent.
template <std::size_t N>
int Lookup(const std::array<std::string_view, N>& table, std::string_view word) {
    for (std::size_t i = 0; i < N; ++i) {
        if (EqualNoCase(table[i], word)) return static_cast<int>(i);
    }
    return -1;
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!IsDigit(c)) return false;
    }
    return true;
}

int Number(std::string_view digits) {
    int n = 0;
    for (char c : digits) n = n * 10 + (c - '0');
    return n;
}

// The named fields of one date, each already cut out by the scanner.
struct DateFields {
    int dayOfWeek = kNoDayOfWeek;
    std::string_view day, month, year, hour, minute, second;
    std::size_t dayDigits = 0;   // 0: one or two digits
    std::size_t yearDigits = 4;  // 2 or 4
};

// Checks the fields and builds the date; none when one of them breaks its rule.
std::optional<SystemTime> Build(const DateFields& f) {
    if (!AllDigits(f.day) || f.day.size() > 2) return {};
    if (f.dayDigits != 0 && f.day.size() != f.dayDigits) return {};
    const int day = Number(f.day);
    if (day < 1 || day > 31) return {};

    const int month = Lookup(kMonths, f.month);
    if (month < 0) return {};

    if (!AllDigits(f.year) || f.year.size() != f.yearDigits) return {};
    int year = Number(f.year);
    if (f.yearDigits == 2) year += year < 51 ? 2000 : 1900;
    if (year == 0) return {};  // year 0 is how "no date" is written

    // Hour, minute and second: exactly two digits, any value.
    auto twoDigits = [](std::string_view s) { return s.size() == 2 && AllDigits(s); };
    if (!twoDigits(f.hour) || !twoDigits(f.minute) || !twoDigits(f.second)) return {};

    SystemTime t;
    t.Year = static_cast<uint16_t>(year);
    t.Month = static_cast<uint16_t>(month + 1);
    t.DayOfWeek = static_cast<uint16_t>(f.dayOfWeek);
    t.Day = static_cast<uint16_t>(day);
    t.Hour = static_cast<uint16_t>(Number(f.hour));
    t.Minute = static_cast<uint16_t>(Number(f.minute));
    t.Second = static_cast<uint16_t>(Number(f.second));
    return t;
}

// "Sun, 06 Nov 1994 08:49:37 GMT": fields "%4s%2s%3s%4s%2s:%2s:%2s%3s".
std::optional<SystemTime> ParseRfc1123(std::string_view text) {
    FieldScanner s(text);
    DateFields f;
    std::string_view weekday, zone;
    if (!(s.Field(4, weekday) && s.Field(2, f.day) && s.Field(3, f.month) && s.Field(4, f.year) &&
          s.Field(2, f.hour) && s.Literal(':') && s.Field(2, f.minute) && s.Literal(':') &&
          s.Field(2, f.second) && s.Field(3, zone)))
        return {};
    f.dayOfWeek = Lookup(kShortDaysComma, weekday);
    if (f.dayOfWeek < 0 || !EqualNoCase(zone, "GMT")) return {};
    f.dayDigits = 2;
    f.yearDigits = 4;
    return Build(f);
}

// "Sunday, 06-Nov-94 08:49:37 GMT": fields "%10s%2s-%3s-%2s%2s:%2s:%2s%3s".
std::optional<SystemTime> ParseRfc850(std::string_view text) {
    FieldScanner s(text);
    DateFields f;
    std::string_view weekday, zone;
    if (!(s.Field(10, weekday) && s.Field(2, f.day) && s.Literal('-') && s.Field(3, f.month) &&
          s.Literal('-') && s.Field(2, f.year) && s.Field(2, f.hour) && s.Literal(':') &&
          s.Field(2, f.minute) && s.Literal(':') && s.Field(2, f.second) && s.Field(3, zone)))
        return {};
    f.dayOfWeek = Lookup(kLongDaysComma, weekday);
    if (f.dayOfWeek < 0 || !EqualNoCase(zone, "GMT")) return {};
    f.dayDigits = 2;
    f.yearDigits = 2;
    return Build(f);
}

// "Sun Nov  6 08:49:37 1994": fields "%3s%3s%2s%2s:%2s:%2s%4s".
std::optional<SystemTime> ParseAsctime(std::string_view text) {
    FieldScanner s(text);
    DateFields f;
    std::string_view weekday;
    if (!(s.Field(3, weekday) && s.Field(3, f.month) && s.Field(2, f.day) && s.Field(2, f.hour) &&
          s.Literal(':') && s.Field(2, f.minute) && s.Literal(':') && s.Field(2, f.second) &&
          s.Field(4, f.year)))
        return {};
    f.dayOfWeek = Lookup(kShortDays, weekday);
    if (f.dayOfWeek < 0) return {};
    f.dayDigits = 0;
    f.yearDigits = 4;
    return Build(f);
}

// Listing "Jan 31 1999": fields "%3s%2s%4s", midnight.
std::optional<SystemTime> ParseListingYearForm(std::string_view text) {
    FieldScanner s(text);
    DateFields f;
    if (!(s.Field(3, f.month) && s.Field(2, f.day) && s.Field(4, f.year))) return {};
    f.hour = f.minute = f.second = "00";
    return Build(f);
}

// Listing "Jan 31 12:30": fields "%3s%2s%2s:%2s", in the current local year.
std::optional<SystemTime> ParseListingTimeForm(std::string_view text) {
    FieldScanner s(text);
    DateFields f;
    if (!(s.Field(3, f.month) && s.Field(2, f.day) && s.Field(2, f.hour) && s.Literal(':') &&
          s.Field(2, f.minute)))
        return {};
    f.second = "00";
    f.year = "0001";  // placeholder, replaced below
    std::optional<SystemTime> t = Build(f);
    if (t) t->Year = LocalTimeNow().Year;
    return t;
}

// The rest of `line` from its `n`th blank-separated word (1-based); none when it has fewer.
std::optional<std::string_view> FromWord(std::string_view line, int n) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t pos = 0;
    for (int word = 1;; ++word) {
        while (pos < line.size() && blank(line[pos])) ++pos;
        if (pos >= line.size()) return {};
        if (word == n) return line.substr(pos);
        while (pos < line.size() && !blank(line[pos])) ++pos;
    }
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::tm ToTm(const SystemTime& t) {
    std::tm tm{};
    tm.tm_year = t.Year - 1900;
    tm.tm_mon = t.Month - 1;
    tm.tm_mday = t.Day;
    tm.tm_hour = t.Hour;
    tm.tm_min = t.Minute;
    tm.tm_sec = t.Second;
    tm.tm_isdst = -1;
    return tm;
}

enum class DateOrder { MonthFirst, DayFirst, YearFirst };

// The formats are literals so that the compiler checks them.
std::string FormatLongDate(DateOrder order, const std::tm& tm) {
    char buffer[256];
    std::size_t n = 0;
    switch (order) {
    case DateOrder::MonthFirst: n = std::strftime(buffer, sizeof buffer, "%A, %B %d, %Y", &tm); break;
    case DateOrder::DayFirst: n = std::strftime(buffer, sizeof buffer, "%A, %d %B %Y", &tm); break;
    case DateOrder::YearFirst: n = std::strftime(buffer, sizeof buffer, "%Y %B %d %A", &tm); break;
    }
    return std::string(buffer, n);
}

std::string FormatTime(const std::tm& tm) {
    char buffer[256];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%X", &tm);
    return std::string(buffer, n);
}

// The locale's long date. The C library's locales have no long date format of their
// own, so ours is built from the locale's names of the weekday and month (%A, %B) in the
// order of its short date format: month first ("Sunday, November 06, 1994", as in the
// "C" locale), day first ("Sonntag, 06 November 1994") or year first ("1994 November 06
// Sunday").
DateOrder LongDateOrder() {
    const char* shortFormat = nl_langinfo(D_FMT);
    int dayAt = -1, monthAt = -1, yearAt = -1;
    for (int i = 0; shortFormat != nullptr && shortFormat[i] != '\0'; ++i) {
        if (shortFormat[i] != '%' || shortFormat[i + 1] == '\0') continue;
        int k = i + 1;
        while (shortFormat[k] == '-' || shortFormat[k] == '_' || shortFormat[k] == '0' ||
               shortFormat[k] == 'E' || shortFormat[k] == 'O')
            ++k;
        char c = shortFormat[k];
        if (c == '\0') break;
        if ((c == 'd' || c == 'e') && dayAt < 0) dayAt = i;
        if ((c == 'm' || c == 'b' || c == 'B' || c == 'h') && monthAt < 0) monthAt = i;
        if ((c == 'y' || c == 'Y' || c == 'C') && yearAt < 0) yearAt = i;
        if (c == 'D' || c == 'x') {  // "%m/%d/%y"
            if (monthAt < 0) monthAt = i;
            if (dayAt < 0) dayAt = i + 1;
            if (yearAt < 0) yearAt = i + 2;
        }
        i = k;
    }
    if (yearAt >= 0 && yearAt < dayAt && yearAt < monthAt) return DateOrder::YearFirst;
    if (dayAt >= 0 && monthAt >= 0 && dayAt < monthAt) return DateOrder::DayFirst;
    return DateOrder::MonthFirst;
}

// Shortens `text` to at most `limit` bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& text, std::size_t limit) {
    if (text.size() <= limit) return;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    while (!text.empty() && text.back() == ' ') text.pop_back();
}

}  // namespace

std::optional<SystemTime> ParseHttpDate(std::string_view text) {
    if (auto t = ParseRfc1123(text)) return t;
    if (auto t = ParseRfc850(text)) return t;
    return ParseAsctime(text);
}

std::optional<SystemTime> ParseFtpListingDate(std::string_view line) {
    for (int word : {6, 5}) {
        std::optional<std::string_view> rest = FromWord(line, word);
        if (!rest) continue;
        if (auto t = ParseListingYearForm(*rest)) return t;
        if (auto t = ParseListingTimeForm(*rest)) return t;
    }
    return {};
}

bool IsNewerDate(const SystemTime& a, const SystemTime& b) {
    if (a.Year == 0 || b.Year == 0) return true;
    const std::array<uint16_t, 6> ka = {a.Year, a.Month, a.Day, a.Hour, a.Minute, a.Second};
    const std::array<uint16_t, 6> kb = {b.Year, b.Month, b.Day, b.Hour, b.Minute, b.Second};
    return ka > kb;
}

// Written with the C library's current locale (LC_TIME, as the program set it at
// start-up): the long date described at LongDateOrder, a blank, and the locale's time
// format (%X: "08:49:37" in the "C" locale, "08:49:37 AM" in en_US). The day of week is
// worked out from the date, since listing dates carry none. No date (year 0) or a month or
// day out of range gives an empty text. The limit counts bytes and never splits a
// character.
std::string DateText(const SystemTime& date) {
    if (date.Year == 0 || date.Month < 1 || date.Month > 12 || date.Day < 1 || date.Day > 31)
        return {};
    std::tm tm = ToTm(date);
    const int64_t days = DaysFromCivil(date.Year, date.Month, date.Day);
    tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    std::string text = FormatLongDate(LongDateOrder(), tm) + " " + FormatTime(tm);
    CutUtf8(text, 49);
    return text;
}

int64_t WholeDaysBetween(const SystemTime& first, const SystemTime& second) {
    std::tm a = ToTm(first);
    std::tm b = ToTm(second);
    const int64_t ta = static_cast<int64_t>(std::mktime(&a));
    const int64_t tb = static_cast<int64_t>(std::mktime(&b));
    int64_t days = (ta - tb) / 86400;
    if (tb >= ta) --days;
    return days;
}

}  // namespace kv
