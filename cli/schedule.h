#pragma once

// Which candidates this run takes and until when: pure functions of their inputs.

#include <cstdint>
#include <string_view>

namespace brindle {

// The 64-bit FNV-1a hash of `text`.
std::uint64_t fnv1a_64(std::string_view text);

// The shard (1 to `count`) a candidate belongs to: the hash of its path below the library folder
// with every separator written as "/", so that every machine, Windows or Linux, and every
// spelling of the library folder puts a file in the same shard. `separators` lists the
// characters the system separates names with.
int shard_of(std::string_view relative_path, std::string_view separators, int count);

// Seconds from a local time of day (seconds past midnight) to the next time the clock shows
// `until_minutes` past midnight: within the next 24 hours, never 0.
std::int64_t seconds_until_clock(int now_seconds_of_day, int until_minutes);

}  // namespace brindle
