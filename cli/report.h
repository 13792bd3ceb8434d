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

}  // namespace brindle
