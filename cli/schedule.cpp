#include "cli/schedule.h"

#include <string>

#include "vocabulary/path_hash.h"

namespace brindle {

std::uint64_t mix_bits(std::uint64_t hash) {
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ULL;
    hash ^= hash >> 33;
    return hash;
}

int shard_of(std::string_view relative_path, std::string_view separators, int count) {
    std::string normalised(relative_path);
    for (char& c : normalised) {
        if (separators.find(c) != std::string_view::npos) c = '/';
    }
    const std::uint64_t hash = mix_bits(fnv1a_64(normalised));
    return static_cast<int>(hash % static_cast<std::uint64_t>(count)) + 1;
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
