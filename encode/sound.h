#pragma once

// Whether a result plays the sound its source plays: in the picture comparison's windows, each
// audio track of both files is decoded and measured by ffmpeg's astats filter (its loudness and
// channels, and the rate its frames are timed in), read back from the metadata file ametadata
// writes. A track silent where the source's is not is refused whatever the line; a change of
// channels or sample rate is named, and refused with the default lines, which copy the audio. The
// arguments, the reading and the verdict are pure; compare_sound runs them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encode/compare.h"

namespace brindle {

// What a track's window measured.
struct sound_figures {
    bool measured = false;  // the stats file held the figures
    int channels = 0;
    int sample_rate = 0;     // Hz, the common rate nearest to what the decoder gave
    double level_dB = -200;  // the RMS level over all channels; -200 for digital silence
};

// Louder than this, a source's window is sound; quieter than this, a result's is silence.
inline constexpr double sounding_dB = -50;
inline constexpr double silent_dB = -70;

// The stats file of audio track `track` of one side (0 the source, 1 the result), in the working
// directory beside tempenc.mkv.
std::string sound_stats_name(int side, int track);

// ffmpeg's arguments that measure `window` of the first `tracks` audio tracks of `path` (opened
// `preroll_ms` earlier, as the picture comparison opens it), each into side `side`'s stats files.
std::vector<std::string> sound_arguments(const std::string& path, std::int64_t preroll_ms,
                                         const time_span& window, int tracks, int side);

// The figures of the last frame ametadata wrote.
sound_figures read_sound_figures(std::string_view stats);

// One window of one track, on both sides.
struct sound_window {
    int track = 0;  // counted from 0
    time_span window;
    sound_figures source;
    sound_figures result;
};

// A result's track silent where its source's sounds, in words for a "Not converted" line; empty
// when there is none.
std::string silent_track(const std::vector<sound_window>& windows);
// The changes of channels and sample rate, each in words, the result's value first: "audio track
// 1 has 1 channel, the source 2", "audio track 1 plays at 16000 Hz, the source at 48000 Hz".
std::vector<std::string> sound_changes(const std::vector<sound_window>& windows);

struct sound_outcome {
    std::string silent;                // silent_track's words
    std::vector<std::string> changes;  // sound_changes' words
    std::string cannot_start;          // ffmpeg could not be started: the line; the run stops
    int stop_signal = 0;
    platform::stop_kill killed = platform::stop_kill::none;
};

struct sound_request {
    std::string ffmpeg;
    std::string source;
    std::string result;
    media::container source_kind = media::container::none;
    std::int64_t duration_ms = 0;
    int tracks = 0;  // the audio tracks both files hold
    bool low_priority = true;
};

// Measures every window of every track on both sides, at the encoder's priority and under the
// same stop handling; its stats files are removed whatever the outcome. A window ffmpeg cannot
// measure is passed over: the picture comparison has already judged the files' decoding.
sound_outcome compare_sound(const sound_request& request);

}  // namespace brindle
