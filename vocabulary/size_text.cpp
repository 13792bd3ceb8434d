#include "vocabulary/size_text.h"

#include <cstdio>

namespace brindle {

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string size_text(std::uint64_t bytes) {
    constexpr double kib = 1024.0, mib = kib * 1024, gib = mib * 1024;
    const auto value = static_cast<double>(bytes);
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    if (value < mib) return formatted("%.1f KiB", value / kib);
    if (value < gib) return formatted("%.1f MiB", value / mib);
    return formatted("%.2f GiB", value / gib);
}

}  // namespace brindle
