#include "encode/quality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "encode/command.h"

namespace brindle {
namespace {

// The search over encoders of different shapes: each must end within the probes allowed, on the
// largest CRF that meets the target, or on none when none does.
TEST(Quality, SearchFindsTheLargestCrfThatMeetsTheTarget) {
    struct row {
        const char* shape;
        std::function<double(int)> ssim;
        double target;
        std::optional<int> best;  // the largest CRF that meets the target, by the shape
    };
    const auto line = [](double at0, double per_step) {
        return [=](int crf) { return at0 - per_step * crf; };
    };
    const row rows[] = {
        {"clean, gentle", line(1.0, 0.0006), 0.98, 33},
        {"grainy, steep", line(1.0, 0.0013), 0.98, 15},
        {"curved", [](int crf) { return 1.0 - 0.00002 * crf * crf; }, 0.98, 31},
        {"met at the highest CRF", line(1.0, 0.0001), 0.98, 51},
        {"met only at CRF 0", line(0.99, 0.001), 0.99, 0},
        {"never met", line(0.9, 0.001), 0.98, std::nullopt},
        {"flat", [](int) { return 0.985; }, 0.98, 51},
        {"rising (a broken encoder)", [](int crf) { return 0.9 + 0.001 * crf; }, 0.98,
         std::nullopt},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.shape);
        std::vector<crf_probe> probes;
        while (const std::optional<int> crf = next_crf(probes, r.target)) {
            ASSERT_GE(*crf, lowest_crf);
            ASSERT_LE(*crf, highest_crf);
            for (const crf_probe& probe : probes) ASSERT_NE(probe.crf, *crf) << "probed twice";
            probes.push_back({*crf, r.ssim(*crf)});
        }
        EXPECT_LE(probes.size(), static_cast<std::size_t>(most_crf_probes));
        const std::optional<crf_probe> chosen = chosen_probe(probes, r.target);
        if (!r.best) {
            EXPECT_FALSE(chosen) << chosen->crf;
            continue;
        }
        ASSERT_TRUE(chosen);
        // Five probes cannot always land on the very CRF; they land next to it at worst, never
        // past it.
        EXPECT_LE(chosen->crf, *r.best);
        EXPECT_GE(chosen->crf, *r.best - 1);
    }
}

TEST(Quality, TheCrfGoesWhereTheLineTakesIt) {
    struct row {
        std::string line;
        bool default_line;
        std::string made;
    };
    const std::string built_in = default_command_template;
    std::string at_26 = built_in;
    at_26.replace(at_26.find("-crf 19"), 7, "-crf 26");
    const row rows[] = {
        {built_in, true, at_26},
        {"ffmpeg -i %1 -crf %q -x265-params crf=%q %2", false,
         "ffmpeg -i %1 -crf 26 -x265-params crf=26 %2"},
        // A configuration line without %q keeps what it says, whatever it holds.
        {"ffmpeg -i %1 -crf 19 %2", false, "ffmpeg -i %1 -crf 19 %2"},
        {"ffmpeg -i %1 -crf 190 %2", true, "ffmpeg -i %1 -crf 190 %2"},
        {"ffmpeg -i %1 -c:v libx265 -crf %q%q %2", false, "ffmpeg -i %1 -c:v libx265 -crf 2626 %2"},
    };
    for (const row& r : rows)
        EXPECT_EQ(line_with_crf(r.line, r.default_line, 26), r.made) << r.line;
    EXPECT_EQ(line_with_crf(built_in, true, built_in_crf), built_in);
    EXPECT_TRUE(has_crf_placeholder("x %q y"));
    EXPECT_FALSE(has_crf_placeholder(built_in));
}

TEST(Quality, FiguresAreCutNotRounded) {
    EXPECT_EQ(quality_text(26, 0.98149), "CRF 26 for SSIM 0.981");
    EXPECT_EQ(ssim_text(0.97999), "0.979");
    EXPECT_EQ(target_text(0.98), "0.98");
    EXPECT_EQ(target_text(0.975), "0.975");
}

// A source of 10,000,000 bytes and 600 s; each window is compared by its bytes a second, so a cut
// that starts at an earlier keyframe (and lasts longer than its encode) compares alike.
TEST(Quality, WindowsForetellTheResultsSize) {
    const std::uint64_t source = 10'000'000;
    const std::int64_t duration = 600'000;
    const struct {
        const char* what;
        std::vector<window_bytes> windows;
        std::optional<std::uint64_t> size, least;
        bool larger;
    } rows[] = {
        {"all picture, halved",
         {{33'333, 2'000, 16'667, 2'000}, {33'333, 2'000, 16'667, 2'000}},
         5'000'000,
         5'000'000,
         false},
        {"a cut from an earlier keyframe",
         {{83'333, 5'000, 16'667, 2'000}},
         5'000'000,
         5'000'000,
         false},
        {"an MPEG-TS file padded to twice what it holds, the picture doubled",
         {{16'667, 2'000, 33'333, 2'000}},
         10'000'000,
         10'000'000,
         false},
        {"half of it sound, which the line may encode smaller, the picture the same",
         {{16'667, 2'000, 16'667, 2'000}},
         5'000'000,
         5'000'000,
         false},
        {"half of it sound, which the built-in line keeps, the picture larger by 44 %",
         {{16'667, 2'000, 24'000, 2'000, 16'667, 2'000}},
         12'200'000,
         12'200'000,
         true},
        {"the cuts' rate past the source's: the picture is what the kept sound leaves",
         {{40'000, 2'000, 4'000, 2'000, 5'000, 2'000}},
         2'350'000,
         2'350'000,
         false},
        {"a hard opening among easy windows: it stands for half a window's time, and alone "
         "refuses nothing",
         {{33'333, 2'000, 100'000, 2'000},
          {33'333, 2'000, 16'667, 2'000},
          {33'333, 2'000, 16'667, 2'000}},
         11'250'000,
         5'000'000,
         false},
        {"a hard opening and closing among four: not refused for them alone",
         {{33'333, 2'000, 100'000, 2'000},
          {33'333, 2'000, 16'667, 2'000},
          {33'333, 2'000, 16'667, 2'000},
          {33'333, 2'000, 100'000, 2'000}},
         13'333'333,
         5'000'000,
         false},
        {"every window larger",
         {{33'333, 2'000, 66'667, 2'000},
          {33'333, 2'000, 66'667, 2'000},
          {33'333, 2'000, 50'000, 2'000}},
         18'750'000,
         17'500'000,
         true},
        {"all picture, larger by a fifth",
         {{33'333, 2'000, 40'000, 2'000}, {33'333, 2'000, 40'000, 2'000}},
         12'000'000,
         12'000'000,
         true},
        {"larger by less than the margin",
         {{33'333, 2'000, 36'000, 2'000}},
         10'800'000,
         10'800'000,
         false},
        {"a window without time", {{33'333, 2'000, 16'667, 0}}, std::nullopt, std::nullopt, false},
        {"no windows", {}, std::nullopt, std::nullopt, false},
    };
    for (const auto& row : rows) {
        const auto sizes = foreseen_size(row.windows, source, duration);
        ASSERT_EQ(sizes.has_value(), row.size.has_value()) << row.what;
        if (!sizes) continue;
        EXPECT_NEAR(static_cast<double>(sizes->size), static_cast<double>(*row.size), 1000)
            << row.what;
        EXPECT_NEAR(static_cast<double>(sizes->least), static_cast<double>(*row.least), 1000)
            << row.what;
        EXPECT_EQ(foreseen_larger(*sizes, source), row.larger) << row.what;
    }
}

}  // namespace
}  // namespace brindle
