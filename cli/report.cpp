#include "cli/report.h"

#include <cstdio>

namespace brindle {

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
