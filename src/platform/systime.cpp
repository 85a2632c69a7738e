#include "platform/systime.h"

#include <chrono>
#include <ctime>

namespace kv {

SystemTime LocalTimeNow() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    SystemTime st;
    st.Year = static_cast<uint16_t>(tm.tm_year + 1900);
    st.Month = static_cast<uint16_t>(tm.tm_mon + 1);
    st.DayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    st.Day = static_cast<uint16_t>(tm.tm_mday);
    st.Hour = static_cast<uint16_t>(tm.tm_hour);
    st.Minute = static_cast<uint16_t>(tm.tm_min);
    st.Second = static_cast<uint16_t>(tm.tm_sec);
    st.Milliseconds = static_cast<uint16_t>(
        duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    return st;
}

uint32_t TickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace kv
