#include "encode/compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace brindle {
namespace {

TEST(Compare, WindowsCoverTheStartTheEndAndOnePercent) {
    struct row {
        std::int64_t duration_ms;
        std::size_t least_windows;
    };
    const row rows[] = {{12'001, 3},          {13'000, 3},         {60'000, 3},
                        {20 * 60'000, 5},     {2 * 3'600'000, 12}, {24 * 3'600'000, 12},
                        {45 * 60'000 + 17, 7}};
    for (const row& r : rows) {
        const std::vector<time_span> windows = choose_windows(r.duration_ms);
        SCOPED_TRACE(r.duration_ms);
        ASSERT_GE(windows.size(), r.least_windows);
        EXPECT_EQ(windows.front().start_ms, 0);
        const time_span& last = windows.back();
        EXPECT_LE(last.start_ms + last.length_ms, r.duration_ms - 1000);
        EXPECT_GE(last.start_ms + last.length_ms, r.duration_ms - 60'000);
        std::int64_t covered = 0;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            covered += windows[i].length_ms;
            EXPECT_GE(windows[i].length_ms, 2000);
            if (i > 0) {
                EXPECT_GE(windows[i].start_ms, windows[i - 1].start_ms + 1000);
            }
        }
        EXPECT_GE(covered * 100, r.duration_ms);
    }
    // Short sources are compared whole.
    EXPECT_EQ(choose_windows(3000), (std::vector<time_span>{{0, 3000}}));
    EXPECT_EQ(choose_windows(12'000), (std::vector<time_span>{{0, 12'000}}));
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) text += "<" + arg + ">";
    return text;
}

TEST(Compare, ScalesBothPicturesToAnEighthOfTheSourcesWithinBounds) {
    const struct {
        int width, height;
        compared_size size;
    } cases[] = {
        {1280, 720, {160, 90}},   {640, 360, {80, 45}},     {1920, 1080, {240, 135}},
        {3840, 2160, {320, 180}}, {1080, 1920, {101, 180}}, {853, 360, {107, 45}},
        {160, 120, {20, 16}},     {100, 50, {16, 16}},      {0, 0, {160, 90}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compared_size_for(c.width, c.height), c.size) << c.width << "x" << c.height;
    }
    comparison_inputs inputs{"a.mkv", "tempenc.mkv", 0, 0, {80, 45}};
    EXPECT_NE(joined(comparison_arguments(inputs, std::nullopt)).find("scale=80:45:flags=area"),
              std::string::npos);
}

TEST(Compare, ArgumentsSeekEachFileAndKeepNamesOutOfTheGraph) {
    // A name a stranger chose: graph syntax, a protocol prefix and quotes stay one argument.
    const comparison_inputs inputs{"/lib/a;b[0:v]:c'd,e.ts", "tempenc.mkv", 12'000, 0, {}};
    const std::vector<std::string> windowed =
        comparison_arguments(inputs, time_span{30'000, 2'500});
    const std::string text = joined(windowed);
    // The result, decoded from the keyframe before the window, drives the comparison; the
    // transport stream starts 12 s early and is trimmed to the same picture, read from half a
    // picture (of 40 ms) later, so that its first picture is never the result's second.
    EXPECT_NE(text.find("<-ss><30.000><-t><3.500><-i><file:tempenc.mkv><-ss><18.020><-t><15.500>"
                        "<-i><file:/lib/a;b[0:v]:c'd,e.ts>"),
              std::string::npos)
        << text;
    const auto graph = std::find(windowed.begin(), windowed.end(), "-lavfi");
    ASSERT_NE(graph, windowed.end());
    const std::string& filters = *(graph + 1);
    EXPECT_EQ(filters.find("lib"), std::string::npos);
    EXPECT_NE(filters.find("[0:V:0]trim=start=0.000:duration=2.500,setpts=PTS-STARTPTS,"),
              std::string::npos)
        << filters;
    EXPECT_NE(filters.find("[1:V:0]trim=start=12.000:duration=2.500,setpts=PTS-STARTPTS,"),
              std::string::npos)
        << filters;
    // Each measure at every shift, chained so that one stream reaches the null output.
    EXPECT_NE(filters.find("[c0][t0]ssim=shortest=1:stats_file=tempenc-ssim-0.txt[c1];"),
              std::string::npos)
        << filters;
    EXPECT_NE(filters.find("[c21][t21]psnr=shortest=1:stats_file=tempenc-psnr-10.txt"),
              std::string::npos);
    EXPECT_TRUE(filters.ends_with("tempenc-psnr-10.txt")) << filters;
    EXPECT_NE(filters.find("[u12]tpad=start_mode=clone:start_duration=0.020[t12]"),
              std::string::npos);
    EXPECT_NE(filters.find("[u10]tpad=start_mode=clone:start_duration=0.200[t10]"),
              std::string::npos);
    EXPECT_NE(text.find("<-xerror>"), std::string::npos);
    EXPECT_EQ(windowed.back(), "-");

    // A window near the start seeks no earlier than the start, and seeks all the same: a file
    // not seeked in is read with its picture's offset from its sound dropped.
    EXPECT_NE(joined(comparison_arguments(inputs, time_span{5'000, 2'000}))
                  .find("<-ss><0.001><-t><8.019><-i><file:/lib/a;b[0:v]:c'd,e.ts>"),
              std::string::npos);
    // Every picture: no seeking and no trimming.
    const std::string whole = joined(comparison_arguments(inputs, std::nullopt));
    EXPECT_EQ(whole.find("<-ss>"), std::string::npos);
    EXPECT_EQ(whole.find("trim="), std::string::npos);
    EXPECT_NE(whole.find("[1:V:0]setpts=PTS-STARTPTS,scale=160:90"), std::string::npos);
}

TEST(Compare, EachPictureScoresItsBestShift) {
    EXPECT_EQ(best_of_shifts({{0.5, 0.9, 0.7}, {0.8, 0.6, 0.7, 0.99}, {0.1, 0.1, 0.95}}),
              (std::vector<double>{0.8, 0.9, 0.95}));
    EXPECT_TRUE(best_of_shifts({{0.5}, {}}).empty());
    EXPECT_TRUE(best_of_shifts({}).empty());
}

TEST(Compare, StatsLinesAreReadByTheirKeys) {
    const std::string ssim =
        "n:1 Y:0.993221 U:0.995060 V:0.995403 All:0.994012 (22.222)\n"
        "n:2 Y:1.000000 U:1.000000 V:1.000000 All:1.000000 (inf)\r\n"
        "garbage without figures\n"
        "n:3 Y:0.5 U:0.5 V:0.5 All:0.4101 (2.3)";
    EXPECT_EQ(read_stats_values(ssim, "All"), (std::vector<double>{0.994012, 1.0, 0.4101}));
    EXPECT_EQ(read_stats_values(ssim, "Y"), (std::vector<double>{0.993221, 1.0, 0.5}));
    const std::string psnr =
        "n:1 mse_avg:0.52 mse_y:0.66 psnr_avg:50.95 psnr_y:49.91 \n"
        "n:2 mse_avg:0.00 mse_y:0.00 psnr_avg:inf psnr_y:inf \n"
        "n:3 mse_avg:9.1 psnr_avg:nan psnr_y:nan\n"
        "n:4 mse_avg:9.1 psnr_avg:-\n";
    // "mse_avg" must not be taken for "avg", nor a figure that is no number for one.
    EXPECT_EQ(read_stats_values(psnr, "psnr_avg"), (std::vector<double>{50.95, psnr_ceiling}));
    EXPECT_TRUE(read_stats_values(psnr, "avg").empty());
    EXPECT_TRUE(read_stats_values("", "All").empty());
}

window_figures steady(std::int64_t start_ms, std::size_t pictures, double ssim, double psnr) {
    window_figures figures;
    figures.window = {start_ms, static_cast<std::int64_t>(pictures) * 40};
    figures.ssim.assign(pictures, ssim);
    figures.psnr.assign(pictures, psnr);
    return figures;
}

TEST(Compare, VerdictNamesTheMeasureThePlaceAndTheFloor) {
    const window_figures honest = steady(0, 50, 0.975, 42.0);
    struct row {
        const char* what;
        std::vector<window_figures> windows;
        std::string reason;
    };
    std::vector<row> rows;
    rows.push_back({"honest", {honest, steady(12'000, 50, 0.96, 38.0)}, ""});
    rows.push_back({"an unchanged copy", {steady(0, 50, 1.0, psnr_ceiling)}, ""});
    rows.push_back({"structure lost",
                    {honest, steady(12'000, 50, 0.41, 20.0)},
                    "the picture differs from the source at 0:00:12 (SSIM 0.410; at least 0.93 "
                    "needed)"});
    rows.push_back({"structure kept, detail lost",
                    {steady(3'723'000, 50, 0.95, 27.99)},
                    "the picture differs from the source at 1:02:03 (PSNR 27.9 dB; at least 30.0 "
                    "dB needed)"});
    // Every picture of a long comparison: the bad stretch is not averaged away.
    window_figures full = steady(0, 3000, 0.98, 45.0);
    std::fill(full.ssim.begin() + 1500, full.ssim.begin() + 1560, 0.5);
    rows.push_back({"a bad stretch of every picture",
                    {full},
                    "the picture differs from the source at 0:01:00 (SSIM 0.500; at least 0.93 "
                    "needed)"});
    // Steady figures with picture `index` far below the rest by both measures.
    const auto broken_at = [](std::int64_t start_ms, double psnr, std::size_t index,
                              double broken_psnr, double broken_ssim) {
        window_figures figures = steady(start_ms, 50, 0.99, psnr);
        figures.psnr[index] = broken_psnr;
        figures.ssim[index] = broken_ssim;
        return figures;
    };
    rows.push_back({"one broken picture",
                    {honest, broken_at(24'000, 46.0, 25, 28.3, 0.80)},
                    "a picture of the result is broken at 0:00:25 (PSNR 28.3 dB, the others "
                    "about 42.0 dB)"});
    // A window's first picture after the start: the source's seek may land a picture later than
    // the result's, leaving that one picture nothing to be compared with.
    const window_figures seek_apart = broken_at(13'500, 54.7, 0, 22.2, 0.60);
    rows.push_back({"a window's first picture, a seek apart", {honest, seek_apart}, ""});
    rows.push_back({"the file's first picture broken",
                    {broken_at(0, 46.0, 0, 22.2, 0.60), seek_apart},
                    "a picture of the result is broken at 0:00:00 (PSNR 22.2 dB, the others "
                    "about 46.0 dB)"});
    window_figures flash = steady(24'000, 50, 0.99, 46.0);
    flash.psnr[25] = 31.0;  // a hard cut the encoder smooths: far in PSNR, close in SSIM
    rows.push_back({"a picture lower by one measure only", {honest, flash}, ""});
    window_figures undecoded = honest;
    undecoded.window.start_ms = 90'000;
    undecoded.decoded = false;
    rows.push_back({"a window that did not decode",
                    {honest, undecoded},
                    "the pictures at 0:01:30 could not be decoded and compared without errors"});
    rows.push_back({"nothing compared",
                    {honest, steady(6'000, 0, 0, 0)},
                    "no picture of the result at 0:00:06 could be compared with the source"});
    for (const row& r : rows) {
        EXPECT_EQ(judge_pictures(r.windows), r.reason) << r.what;
    }
}

TEST(Compare, ClockText) {
    EXPECT_EQ(clock_text(0), "0:00:00");
    EXPECT_EQ(clock_text(12'999), "0:00:12");
    EXPECT_EQ(clock_text(3'723'000), "1:02:03");
    EXPECT_EQ(clock_text(-5), "0:00:00");
}

}  // namespace
}  // namespace brindle
