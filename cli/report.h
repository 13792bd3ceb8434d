#pragma once

// The figures of the lines a run prints.

#include <cstdint>
#include <string>

#include "vocabulary/size_text.h"

namespace brindle {

// "H:MM:SS".
std::string elapsed_text(std::uint64_t seconds);
// "HH:MM" for a time of day in seconds past midnight.
std::string clock_text(int seconds_of_day);
// "40% smaller", "3% larger", "the same size".
std::string change_text(std::uint64_t before, std::uint64_t after);

// "812 bytes", "1.5 KiB", "120 MiB", "2.1 GiB": one decimal below 100 of the unit, none above.
std::string rounded_size_text(std::uint64_t bytes);
// "YYYY-MM-DD HH:MM" from a local date and a time of day in seconds past midnight.
std::string date_time_text(const std::string& date, int seconds_of_day);
// "; 4.1 of 9.8 GiB done, about 2:10 left": `done` of `total` source bytes behind the run, the rest
// at the pace of `measured_bytes` encoded in `measured_ticks`. Empty before anything was measured.
std::string progress_text(std::uint64_t done, std::uint64_t total, std::uint64_t measured_bytes,
                          std::uint64_t measured_ticks);

}  // namespace brindle
