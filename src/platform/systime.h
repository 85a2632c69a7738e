#pragma once
// The calendar-time record the programs carry dates in (year 0 = no date).
#include <cstdint>

namespace kv {

struct SystemTime {
    uint16_t Year = 0;
    uint16_t Month = 0;      // 1..12
    uint16_t DayOfWeek = 0;  // 0 = Sunday
    uint16_t Day = 0;        // 1..31
    uint16_t Hour = 0;
    uint16_t Minute = 0;
    uint16_t Second = 0;
    uint16_t Milliseconds = 0;

    bool IsSet() const { return Year != 0; }
    friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

// Current local time and a millisecond tick count (monotonic, wraps at 2^32 like the
// original tick count).
SystemTime LocalTimeNow();
uint32_t TickCount();

}  // namespace kv
