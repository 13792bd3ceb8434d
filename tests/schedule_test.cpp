#include "cli/schedule.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <utility>

#include "cli/report.h"
#include "vocabulary/path_hash.h"

namespace brindle {
namespace {

TEST(Schedule, ShardsHashThePathBelowTheLibraryWithSlashes) {
    // Known FNV-1a values: every build, Windows or Linux, must agree on them.
    EXPECT_EQ(fnv1a_64(""), 14695981039346656037ULL);
    EXPECT_EQ(fnv1a_64("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(fnv1a_64("foobar"), 0x85944171f73967e8ULL);
    EXPECT_EQ(fnv1a_64("Show/Season 1/e01.mkv"), fnv1a_64("Show/Season 1/e01.mkv"));

    EXPECT_EQ(shard_of("Show\\Season 1\\e01.mkv", "\\/", 7),
              shard_of("Show/Season 1/e01.mkv", "/", 7));
    EXPECT_EQ(shard_of("a", "/", 1), 1);
    EXPECT_EQ(mix_bits(0), 0u);
    EXPECT_EQ(mix_bits(1), 0xb456bcfc34c2cb2cULL);
    // Fixed values: a file falls in the same shard on every machine, whatever the build.
    const std::pair<const char*, std::array<int, 5>> known[] = {
        {"a/a.x264.mkv", {2, 3, 2, 58, 530}},
        {"Show/Season 1/e01.mkv", {1, 3, 7, 15, 815}},
        {"Films/Film (2019)/Film.mkv", {2, 1, 4, 20, 308}},
    };
    for (const auto& [path, shards] : known) {
        const int counts[] = {2, 3, 8, 64, 1000};
        for (std::size_t i = 0; i < shards.size(); ++i) {
            EXPECT_EQ(shard_of(path, "/", counts[i]), shards[i]) << path << " of " << counts[i];
        }
    }
    for (const int count : {2, 3, 8, 64, 1000}) {
        const int shard = shard_of("x/y.mkv", "/", count);
        EXPECT_GE(shard, 1);
        EXPECT_LE(shard, count);
        EXPECT_EQ(
            shard,
            static_cast<int>(mix_bits(fnv1a_64("x/y.mkv")) % static_cast<unsigned>(count)) + 1);
    }
}

TEST(Schedule, UntilIsTheNextTimeTheClockShowsIt) {
    constexpr int hour = 3600;
    const std::tuple<int, int, std::int64_t> cases[] = {
        {23 * hour, 6 * 60, 7 * hour},            // 23:00 until 06:00: the next morning
        {5 * hour + 59 * 60 + 30, 6 * 60, 30},    // half a minute before
        {6 * hour, 6 * 60, 24 * hour},            // at the minute itself: tomorrow
        {6 * hour + 30, 6 * 60, 24 * hour - 30},  // just after: tomorrow
        {0, 0, 24 * hour},                        // midnight until 0:00
        {12 * hour, 23 * 60 + 59, 11 * hour + 59 * 60},
    };
    for (const auto& [now, until, seconds] : cases) {
        EXPECT_EQ(seconds_until_clock(now, until), seconds) << now << " until " << until;
    }
}

TEST(Report, FiguresReadAsAPersonWritesThem) {
    EXPECT_EQ(size_text(812), "812 bytes");
    EXPECT_EQ(size_text(1536), "1.5 KiB");
    EXPECT_EQ(size_text(700ULL << 20), "700.0 MiB");
    EXPECT_EQ(size_text(5ULL << 29), "2.50 GiB");
    EXPECT_EQ(elapsed_text(0), "0:00:00");
    EXPECT_EQ(elapsed_text(3 * 3600 + 5 * 60 + 9), "3:05:09");
    EXPECT_EQ(clock_text(23 * 3600 + 5 * 60 + 59), "23:05");
    EXPECT_EQ(change_text(100, 60), "40% smaller");
    EXPECT_EQ(change_text(100, 103), "3% larger");
    EXPECT_EQ(change_text(100, 100), "the same size");
    EXPECT_EQ(change_text(~0ULL, ~0ULL / 2), "50% smaller") << "no overflow on huge sizes";
}

TEST(Report, ProgressAndRoundedSizes) {
    constexpr std::uint64_t gib = 1ULL << 30, second = 10'000'000;
    const struct {
        std::uint64_t done, total, measured_bytes, measured_ticks;
        const char* text;
    } cases[] = {
        {0, 9 * gib, 0, 0, ""},  // nothing encoded yet: no pace to tell
        // 4.1 GiB took 1:30; 5.7 GiB left at that pace take about 2:05.
        {41 * gib / 10, 98 * gib / 10, 41 * gib / 10, 5400 * second,
         "; 4.1 of 9.8 GiB done, about 2:05 left"},
        {300ULL << 20, 700ULL << 20, 100ULL << 20, 30 * second,
         "; 300 of 700 MiB done, about 0:02 left"},
        {500, 900, 500, 1, "; 500 of 900 bytes done, about 0:00 left"},
        {10 * gib, 10 * gib, gib, 60 * second, "; 10.0 of 10.0 GiB done, about 0:00 left"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(progress_text(c.done, c.total, c.measured_bytes, c.measured_ticks), c.text);
    }
    EXPECT_EQ(rounded_size_text(120ULL << 20), "120 MiB");
    EXPECT_EQ(rounded_size_text(21 * gib / 10), "2.1 GiB");
    EXPECT_EQ(rounded_size_text(1023), "1023 bytes");
    EXPECT_EQ(date_time_text("2026-12-07", 23 * 3600 + 5 * 60 + 59), "2026-12-07 23:05");
}

}  // namespace
}  // namespace brindle
