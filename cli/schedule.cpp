#include "cli/schedule.h"

#include <string>

namespace brindle {

std::uint64_t fnv1a_64(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

int shard_of(std::string_view relative_path, std::string_view separators, int count) {
    std::string normalised(relative_path);
    for (char& c : normalised) {
        if (separators.find(c) != std::string_view::npos) c = '/';
    }
    return static_cast<int>(fnv1a_64(normalised) % static_cast<std::uint64_t>(count)) + 1;
}

std::int64_t seconds_until_clock(int now_seconds_of_day, int until_minutes) {
    constexpr std::int64_t day = 24 * 60 * 60;
    const std::int64_t until = static_cast<std::int64_t>(until_minutes) * 60;
    std::int64_t left = until - now_seconds_of_day;
    // The clock already shows that minute, or it has passed: the next time is tomorrow.
    if (left <= 0) left += day;
    return left;
}

}  // namespace brindle
