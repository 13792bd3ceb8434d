#pragma once

// A quality target (-quality): each file is encoded at the largest CRF whose sample windows still
// show the source's picture at that SSIM, measured at the picture's full size. The windows are
// cut from the source by stream copy, each is encoded with the file's own line at a few CRFs, and
// each encoded window is compared with its cut. The search, the lines and the arguments are pure;
// quality_run.cpp runs them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "encode/command.h"
#include "encode/compare.h"
#include "media/container.h"
#include "media/wholeness.h"
#include "platform/process.h"

namespace brindle {

// Where a configuration line takes the CRF; the default lines take it at their "-crf 19", which
// stays 19 without -quality.
inline constexpr const char* crf_placeholder = "%q";
inline constexpr int built_in_crf = 19;
inline constexpr int lowest_crf = 0;
inline constexpr int highest_crf = 51;
inline constexpr int first_crf_probe = 24;
inline constexpr int most_crf_probes = 5;
// How far the whole result's SSIM, measured on the sample windows, may fall below the target
// before it is refused: the windows are encoded apart from the rest of the file, and the whole
// encode's rate control and look-ahead see more.
inline constexpr double quality_allowance = 0.005;

bool has_crf_placeholder(const std::string& line);

// `line` with `crf` where the CRF goes: at every %q, or, when there is none and `default_line`,
// in place of the default line's "-crf 19".
std::string line_with_crf(const std::string& line, bool default_line, int crf);

// What one CRF gave on the windows: the worst window's mean SSIM; for a CRF that failed, the
// mean SSIM of the first window found below the target.
struct crf_probe {
    int crf = 0;
    double ssim = 0;
};

// The next CRF to try after `probes`, or nothing when the search is over: the largest passing
// and the smallest failing CRF lie next to each other, an end of the CRF scale is reached, or
// most_crf_probes were tried. Between a passing and a failing CRF the next is interpolated from
// their SSIMs; beyond all probes on one side it is extrapolated from the last two, or after the
// first from the slope typical of the encodes measured.
std::optional<int> next_crf(const std::vector<crf_probe>& probes, double target);

// The probe of the largest CRF whose windows meet `target`; nothing when none does.
std::optional<crf_probe> chosen_probe(const std::vector<crf_probe>& probes, double target);

// The two pictures one quality measurement compares: the encoded one and the one it came from.
struct quality_inputs {
    std::string encoded;
    std::string reference;
    std::int64_t encoded_preroll_ms = 0;
    std::int64_t reference_preroll_ms = 0;
    // The line turns the reference's fields into pictures; the reference's are turned alike.
    bool deinterlaced = false;
    // How long one of the reference's pictures is shown, in milliseconds.
    std::int64_t frame_ms = 40;
};

// A window of two files seeked apart may start a picture apart (their first pictures lie at
// other times, and a seek takes the first picture at or after the time asked for), so each
// window is compared with the reference a picture earlier, as it is and a picture later, and the
// best of them counts. An encoded cut and its cut start together and are compared once.
inline constexpr int quality_offsets = 3;

// The stats file of a quality measurement at offset number `offset`, in the working directory
// beside tempenc.mkv.
std::string quality_stats_name(int offset);

// ffmpeg's arguments (its own name not among them) that compare the encoded picture with the
// reference at the encoded picture's size, over `window` of both at each offset, or their whole
// length once, and write the SSIM of each picture to the offsets' stats files.
std::vector<std::string> quality_arguments(const quality_inputs& inputs,
                                           const std::optional<time_span>& window);

// The container a window is cut into: MP4 first, whose edit list makes its readers skip the
// pictures from the keyframe before the window up to its start, so that only the window is
// encoded; Matroska for a picture MP4 cannot hold, with those pictures encoded too.
enum class cut_kind { mp4, matroska };

// ffmpeg's arguments that copy `window` of the source's first video track to `cut`, from the
// keyframe at or before the window's start (after it, in a source without an index).
std::vector<std::string> cut_arguments(const std::string& source, const std::string& cut,
                                       const time_span& window, cut_kind kind);
// The same for the source's sound tracks alone, into Matroska, which takes any of them: how many
// bytes a second of sound the built-in line, which copies it, keeps in the result.
std::vector<std::string> sound_cut_arguments(const std::string& source, const std::string& cut,
                                             const time_span& window);

// "CRF 26 for SSIM 0.981".
std::string quality_text(int crf, double ssim);

// A figure with three decimals, cut rather than rounded, so that a value just below a floor
// never prints as the floor itself.
std::string ssim_text(double ssim);
// The target as it was asked for: "0.98".
std::string target_text(double target);

// One sample window's picture before and after the file's own line: the bytes of the cut's
// picture and how long it lasts, and the same of the window's encode, as their own marks count
// them.
struct window_bytes {
    std::uint64_t cut_bytes = 0;
    std::int64_t cut_ms = 0;
    std::uint64_t encoded_bytes = 0;
    std::int64_t encoded_ms = 0;
    // The window's sound as the line keeps it, where that is known (the built-in line copies it);
    // a zero time where it is not, or there is none.
    std::uint64_t sound_bytes = 0;
    std::int64_t sound_ms = 0;
};

// The result's size foreseen from its sample windows, before the whole encode, from what the
// windows' encodes made of their cuts' pictures: the smaller of their bytes a second against the
// cuts', applied to the source, and their own bytes a second over the duration (quality.cpp says
// why both). The windows lie evenly from the start to the end, so the first and the last count
// half as much as any other: each stands for half the time. `least` is the smallest of the sizes
// foreseen with any one window left out, and with four windows or more with the first and the last
// left out together, so that no window alone (a noisy opening scene among quiet ones), nor the
// opening and the closing together, refuses a file. Nothing when a window tells no time or no
// bytes.
struct foreseen {
    std::uint64_t size = 0;
    std::uint64_t least = 0;
};
std::optional<foreseen> foreseen_size(const std::vector<window_bytes>& windows,
                                      std::uint64_t source_size, std::int64_t duration_ms);

// The size is foreseen for sources of foreseen_from_ms or more, where the windows' cuts and
// encodes cost about 3 % of the whole encode or less (4 % and more, at worst 5 %, for sources of
// five minutes, on the kinds bench/foresee_bench.py makes); shorter ones are stopped once their
// output passes their size. A result is refused before its encode when even the least size
// foreseen with a window left out passes the source's by the margin, so that it errs on the side
// of encoding. Under -quality the chosen CRF's windows are the search's own, and every source is
// foreseen.
inline constexpr std::int64_t foreseen_from_ms = 600'000;
inline constexpr int foreseen_margin_percent = 10;

// Whether what the windows foresaw says a result would not be smaller than a source of
// `source_size`: even its `least` passes the source's size by the margin.
bool foreseen_larger(const foreseen& sizes, std::uint64_t source_size);

// One file's search, and the measurement of its whole result.
struct quality_request {
    std::string ffmpeg;          // the comparison's
    std::string ffmpeg_missing;  // where it was looked for, when it was not found
    std::string source;
    std::int64_t duration_ms = 0;
    media::container source_kind = media::container::none;
    std::string line;  // the encoder line, with the CRF where line_with_crf puts it
    bool default_line = false;
    bool deinterlaced = false;
    std::int64_t frame_ms =
        40;  // how long one of the source's pictures is shown, as the line makes them
    shell_syntax shell = shell_syntax::posix_sh;
    double target = 0;
    bool low_priority = true;
};

// What the search found, or why it found nothing.
struct quality_search {
    std::vector<crf_probe> probes;
    std::optional<crf_probe> chosen;
    std::size_t windows = 0;
    std::vector<std::string> cuts;  // their names in the working directory
    // Each cut window's sound, cut alone, under the built-in line: its bytes and how long it lasts.
    std::vector<media::written_mark> sounds;
    // Why no CRF was chosen, in words for a "Not converted: PATH: " line; empty when one was.
    std::string refusal;
    // A window's encode that did not end well, and the CRF it ran at.
    std::optional<platform::command_result> encoder_failed;
    int failed_crf = 0;
    // ffmpeg could not be started: the line that says so, and the run stops.
    std::string cannot_start;
    int stop_signal = 0;
    platform::stop_kill killed = platform::stop_kill::none;
    std::vector<std::string> output;  // ffmpeg's last lines, when a window could not be cut
    // The bytes of every window at the chosen CRF; empty when one could not be read.
    std::vector<window_bytes> chosen_bytes;
};

// Cuts the sample windows, encodes them at the CRFs next_crf asks for and measures each, at the
// encoder's priority and under the same stop handling. tempenc.mkv is reused for each window's
// encode and removed with the cuts and stats files whatever the outcome.
quality_search search_quality(const quality_request& request);

// Without -quality: the sample windows cut and encoded once with the file's own line, their
// bytes read, for foreseen_size. Nothing is foreseen (`bytes` empty) when a window could not be
// cut, encoded or read: the whole encode then tells. A stop is passed on.
struct window_encodes {
    std::vector<window_bytes> bytes;
    int stop_signal = 0;
    platform::stop_kill killed = platform::stop_kill::none;
};
window_encodes encode_windows(const quality_request& request);

// Removes the windows and stats files a killed run's search left in the working directory.
void remove_search_leftovers();

// The line that stops a run when the search cannot start ffmpeg.
std::string quality_missing_line(const std::string& why);

// The whole result's SSIM on the sample windows, every picture's together; nothing with
// `refusal` or `cannot_start` saying why when it could not be measured.
struct quality_measure {
    std::optional<double> ssim;
    std::string refusal;
    std::string cannot_start;
    int stop_signal = 0;
    platform::stop_kill killed = platform::stop_kill::none;
    std::vector<std::string> output;
};
quality_measure measure_quality(const quality_request& request, const std::string& result);

}  // namespace brindle
