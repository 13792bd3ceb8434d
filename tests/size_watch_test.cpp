#include "encode/size_watch.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

TEST(SizeWatch, ForetellsTheResultFromItsBytesAgainstTheSourcesOverTheSameTime) {
    // A source of 100 s and 1,000,000 bytes whose second half holds three quarters of them.
    const std::vector<media::written_mark> source{
        {100000, 25000}, {250000, 50000}, {625000, 75000}, {1000000, 100000}};
    const struct {
        media::written_mark written;
        std::optional<std::uint64_t> size, refused;
    } cases[] = {
        // Half the source's bytes by 40 % of its time; the source had 190,000 by then.
        {{95000, 40000}, 500000, std::nullopt},
        // Past the source's bytes at the same time, by less than the margin: encoded on.
        {{131250, 50000}, 525000, std::nullopt},
        {{275000, 50000}, 1100000, std::nullopt},
        {{287500, 50000}, 1150000, 1150000},
        // Before a tenth of the duration nothing is foretold yet.
        {{90000, 9000}, 2500000, std::nullopt},
        {{110000, 10000}, 2750000, 2750000},
        // Beyond the source's last mark, or before any time, nothing is known.
        {{2000000, 100001}, std::nullopt, std::nullopt},
        {{1000, 0}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto size = foretold_size(source, 1000000, c.written);
        ASSERT_EQ(size.has_value(), c.size.has_value()) << c.written.ms;
        if (size) {
            EXPECT_NEAR(static_cast<double>(*size), static_cast<double>(*c.size), 2);
        }
        const auto refused = larger_result_foretold(source, 1000000, 100000, c.written);
        ASSERT_EQ(refused.has_value(), c.refused.has_value()) << c.written.ms;
        if (refused) {
            EXPECT_NEAR(static_cast<double>(*refused), static_cast<double>(*c.refused), 2);
        }
    }
    // A source shorter than a minute is left to the output passing its size.
    EXPECT_FALSE(larger_result_foretold(source, 1000000, 59000, {500000, 50000}));
}

}  // namespace
}  // namespace brindle
