#pragma once

// Which candidates this run takes and until when: pure functions of their inputs.

#include <cstdint>
#include <string_view>

namespace brindle {

// Spreads every bit of a hash over all the others (the 64-bit finalizer of a well-known family of
// hashes). The low bits of FNV-1a are the exclusive-or of the low bits of the bytes, so a name
// that stands twice in a path ("Film/Film.mkv") cancels itself out: taken modulo 2, 8 or 64, plain
// FNV-1a put a quarter more of a real library in one shard than in the other.
std::uint64_t mix_bits(std::uint64_t hash);

// The shard (1 to `count`) a candidate belongs to: the mixed FNV-1a hash of its path below the
// library folder with every separator written as "/", modulo `count`, so that every machine,
// Windows or Linux, and every spelling of the library folder puts a file in the same shard.
// `separators` lists the characters the system separates names with.
int shard_of(std::string_view relative_path, std::string_view separators, int count);

// Seconds from a local time of day (seconds past midnight) to the next time the clock shows
// `until_minutes` past midnight: within the next 24 hours, never 0.
std::int64_t seconds_until_clock(int now_seconds_of_day, int until_minutes);

}  // namespace brindle
