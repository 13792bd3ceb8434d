#include "encode/size_watch.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

// The source holds 3,100 bytes, 3,000 of them in marks a second apart (the rest its headers).
TEST(SizeWatch, OutputForetellsTheResultsSize) {
    const std::vector<media::written_mark> source{{1'000, 1'000}, {2'000, 2'000}, {3'000, 3'000}};
    const struct {
        const char* what;
        std::vector<media::written_mark> source;
        media::written_mark reach;
        std::optional<std::uint64_t> size;
    } rows[] = {
        {"twice the source's bytes between two of its marks", source, {3'000, 1'500}, 6'200},
        {"before the source's first mark", source, {250, 500}, 1'550},
        {"at the source's last mark, smaller", source, {1'500, 3'000}, 1'550},
        {"past the source's last mark", source, {3'500, 3'500}, std::nullopt},
        {"no time reached", source, {100, 0}, std::nullopt},
        {"a source without marks", {}, {1'000, 1'000}, std::nullopt},
        {"a source whose first mark holds nothing", {{0, 1'000}}, {500, 500}, std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(size_foretold(row.source, row.reach, 3'100), row.size) << row.what;
    }
    EXPECT_EQ(not_smaller_reason(10'590'617, 10'380'902, "3 sample windows"),
              "the result would not be smaller than the source (about 10.1 MiB of 9.9 MiB, from 3 "
              "sample windows)");
}

}  // namespace
}  // namespace brindle
