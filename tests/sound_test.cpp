#include "encode/sound.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle {
namespace {

// What ametadata writes for the last frames of a window, as ffmpeg writes it.
std::string stats(const std::vector<std::string>& channels, const std::string& overall,
                  const std::string& last_frame) {
    std::string text =
        "frame:93   pts:1000   pts_time:1.0\n"
        "lavfi.astats.1.RMS_level=-30.0\n"
        "lavfi.astats.Overall.RMS_level=-30.0\n" +
        last_frame + "\n";
    for (std::size_t i = 0; i < channels.size(); ++i) {
        text += "lavfi.astats." + std::to_string(i + 1) + ".RMS_level=" + channels[i] + "\n";
    }
    return text + "lavfi.astats.Overall.RMS_level=" + overall + "\n";
}

TEST(Sound, FiguresAreReadFromTheLastFrame) {
    struct row {
        std::string text;
        sound_figures want;
    };
    const row rows[] = {
        {stats({"-24.1", "-24.1"}, "-24.100826", "frame:94   pts:95352   pts_time:1.9865"),
         {true, 2, 48000, -24.100826}},
        // A window far into the file, of a track that starts late.
        {stats({"-inf"}, "-inf", "frame:40   pts:22491000   pts_time:509.977"),
         {true, 1, 44100, -200}},
        {stats({"-60", "-61", "-62", "-63", "-64", "-65"}, "-62",
               "frame:9   pts:1102   pts_time:0.05"),
         {true, 6, 22050, -62}},
        {"", {}},
        {"lavfi.astats.Overall.RMS_level=-20\n", {}},
        {stats({"-20"}, "-20", "frame:0   pts:0   pts_time:0"), {}},
    };
    for (const row& r : rows) {
        const sound_figures got = read_sound_figures(r.text);
        EXPECT_EQ(got.measured, r.want.measured) << r.text;
        if (!r.want.measured) continue;
        EXPECT_EQ(got.channels, r.want.channels) << r.text;
        EXPECT_EQ(got.sample_rate, r.want.sample_rate) << r.text;
        EXPECT_DOUBLE_EQ(got.level_dB, r.want.level_dB) << r.text;
    }
}

TEST(Sound, SilenceIsRefusedAndChangesAreNamed) {
    const sound_figures stereo{true, 2, 48000, -21};
    const sound_figures quiet_source{true, 2, 48000, -65};
    const sound_figures silence{true, 2, 48000, -200};
    const sound_figures hiss{true, 2, 48000, -91};
    const sound_figures mono{true, 1, 48000, -21};
    const sound_figures low_rate{true, 2, 16000, -21};
    const sound_figures unmeasured{};
    const time_span at_12{12'000, 2'000};
    struct row {
        std::vector<sound_window> windows;
        std::string silent;
        std::vector<std::string> changes;
    };
    const row rows[] = {
        {{{0, at_12, stereo, stereo}}, "", {}},
        {{{0, at_12, stereo, silence}},
         "the result's audio track 1 is silent at 0:00:12 (no sound at all, the source -21 dB)",
         {}},
        {{{0, {}, stereo, stereo}, {1, at_12, stereo, hiss}},
         "the result's audio track 2 is silent at 0:00:12 (-91 dB, the source -21 dB)",
         {}},
        // A quiet passage of the source says nothing of its result.
        {{{0, at_12, quiet_source, silence}}, "", {}},
        {{{0, at_12, unmeasured, silence}, {0, at_12, stereo, unmeasured}}, "", {}},
        {{{0, {}, stereo, mono}, {0, at_12, stereo, mono}, {1, at_12, stereo, low_rate}},
         "",
         {"audio track 1 has 1 channel, the source 2",
          "audio track 2 plays at 16000 Hz, the source at 48000 Hz"}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(silent_track(r.windows), r.silent);
        EXPECT_EQ(sound_changes(r.windows), r.changes);
    }
}

}  // namespace
}  // namespace brindle
