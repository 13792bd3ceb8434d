#pragma once

// The clock: times are counted in 100-nanosecond ticks since 1601-01-01 UTC everywhere.

#include <cstdint>
#include <string>

namespace brindle::platform {

inline constexpr std::uint64_t ticks_per_second = 10'000'000;
inline constexpr std::uint64_t ticks_per_day = 86'400 * ticks_per_second;

// The current time as 100-nanosecond ticks since 1601-01-01 UTC.
std::uint64_t now_ticks();

// The local time of day, in seconds past midnight.
int local_seconds_of_day();
// Today's local date as YYYY-MM-DD.
std::string local_date();

}  // namespace brindle::platform
