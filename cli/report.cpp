#include "cli/report.h"

#include <cstdio>

#include "platform/clock.h"

namespace brindle {

namespace {

struct size_unit {
    double size;
    const char* name;
};

// The unit a size is best told in: the largest that leaves a whole part of at least 1.
size_unit unit_for(std::uint64_t bytes) {
    constexpr double kib = 1024.0, mib = kib * 1024, gib = mib * 1024;
    if (bytes < 1024) return {1.0, "bytes"};
    if (static_cast<double>(bytes) < mib) return {kib, "KiB"};
    if (static_cast<double>(bytes) < gib) return {mib, "MiB"};
    return {gib, "GiB"};
}

std::string number_in(std::uint64_t bytes, size_unit unit) {
    if (unit.size == 1.0) return std::to_string(bytes);
    const double value = static_cast<double>(bytes) / unit.size;
    return formatted(value < 99.95 ? "%.1f" : "%.0f", value);
}

}  // namespace

std::string rounded_size_text(std::uint64_t bytes) {
    const size_unit unit = unit_for(bytes);
    return number_in(bytes, unit) + " " + unit.name;
}

std::string date_time_text(const std::string& date, int seconds_of_day) {
    return date + " " + clock_text(seconds_of_day);
}

std::string progress_text(std::uint64_t done, std::uint64_t total, std::uint64_t measured_bytes,
                          std::uint64_t measured_ticks) {
    if (measured_bytes == 0) return {};
    const size_unit unit = unit_for(total);
    const std::uint64_t left = total > done ? total - done : 0;
    const double seconds_left = static_cast<double>(left) * static_cast<double>(measured_ticks) /
                                static_cast<double>(measured_bytes) /
                                static_cast<double>(platform::ticks_per_second);
    const auto minutes_left = static_cast<std::uint64_t>(seconds_left / 60 + 0.5);
    char left_text[48];
    std::snprintf(left_text, sizeof left_text, "%llu:%02u",
                  static_cast<unsigned long long>(minutes_left / 60),
                  static_cast<unsigned>(minutes_left % 60));
    return "; " + number_in(done, unit) + " of " + number_in(total, unit) + " " + unit.name +
           " done, about " + left_text + " left";
}

std::string elapsed_text(std::uint64_t seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%llu:%02u:%02u",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    return text;
}

std::string clock_text(int seconds_of_day) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", seconds_of_day / 3600 % 24,
                  seconds_of_day / 60 % 60);
    return text;
}

std::string change_text(std::uint64_t before, std::uint64_t after) {
    if (before == after || before == 0) return "the same size";
    // Whole per cent, rounded down; a size beyond what 100 times fits is divided first.
    const auto percent = [before](std::uint64_t difference) {
        constexpr std::uint64_t most = ~std::uint64_t{0} / 100;
        const std::uint64_t value =
            before <= most ? difference * 100 / before : difference / (before / 100);
        return std::to_string(value);
    };
    if (after < before) return percent(before - after) + "% smaller";
    return percent(after - before) + "% larger";
}

}  // namespace brindle
