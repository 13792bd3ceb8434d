#pragma once

// A file size as the run's lines show it.

#include <cstdint>
#include <string>

namespace brindle {

// One number written by a printf format such as "%.1f".
std::string formatted(const char* format, double value);

// "812 bytes", "1.5 KiB", "700.0 MiB", "1.25 GiB".
std::string size_text(std::uint64_t bytes);

}  // namespace brindle
