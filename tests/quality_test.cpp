#include "encode/quality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
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

}  // namespace
}  // namespace brindle
