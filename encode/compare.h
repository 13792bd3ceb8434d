#pragma once

// The picture comparison: a result replaces its source only when it shows the same picture.
// Short windows of both files are decoded at the same times, scaled to a small size where noise
// and grain vanish and the structure stays, and compared picture by picture with ffmpeg's ssim and
// psnr filters, whose stats files hold one line per picture. The windows, the arguments, the
// reading of the figures and the verdict are pure; compare_pictures runs them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/container.h"
#include "platform/process.h"

namespace brindle {

// How much of a result is looked at before it replaces its source: the headers' checks only,
// sample windows of the picture (the default), or every picture.
enum class verify_level { headers, samples, full };

// A stretch of the source's timeline, in milliseconds from its start.
struct time_span {
    std::int64_t start_ms = 0;
    std::int64_t length_ms = 0;
    bool operator==(const time_span&) const = default;
};

// A time as ffmpeg's options and filters take it: "12.345" seconds.
std::string seconds_text(std::int64_t ms);
// How far past a window each measurement reads, so that its last pictures and sound decode whole;
// the last window also ends this long before the source's end.
inline constexpr std::int64_t window_read_past_ms = 1'000;

// The windows that -verify samples compares for a source of `duration_ms`: at least three, the
// first at the start and the last ending a second before the end, the rest spread evenly
// between, together at least 1 % of the duration. A source of up to 12 s is one window, whole.
std::vector<time_span> choose_windows(std::int64_t duration_ms);
// The most windows choose_windows gives, however long the source.
inline constexpr std::size_t most_sample_windows = 12;

// How long before a window the decoding of a file in `kind` starts: a container without an
// index (MPEG-TS, MPEG-PS, ...) seeks to the next keyframe after the time asked for, which may
// lie seconds into the window, so the window is reached by decoding from earlier.
std::int64_t preroll_ms_for(media::container kind);

// The side both pictures are scaled to before they are compared: an eighth of the source's as
// displayed, where noise and grain vanish and the structure stays whatever the source's size (a
// fixed size left a small source's grain in, and an encoder that removes grain looked like a
// broken one). A result scaled on purpose still compares, a cropped one does not. At most 320x180
// (a larger source is scaled further, keeping its shape), at least 16 a side, and 160x90 when the
// source's headers tell no size.
struct compared_size {
    int width = 160;
    int height = 90;
    bool operator==(const compared_size&) const = default;
};
compared_size compared_size_for(int source_width, int source_height);

// The two files compared, as ffmpeg is to open them.
struct comparison_inputs {
    std::string source;
    std::string result;
    std::int64_t source_preroll_ms = 0;
    std::int64_t result_preroll_ms = 0;
    compared_size size;
    // How long one of the source's pictures is shown as the line makes them, in milliseconds. A
    // window after the start is read from the source half as long after the result's time: an
    // encoder may move the picture's times a little earlier (a first picture at 0.046 s becomes
    // 0.040 s), and a seek to a time between a picture's two times would take the result's next
    // picture against the source's own, which the shifts, looking back, never match.
    std::int64_t frame_ms = 40;
};

// A result made at a lower frame rate (-r 5) shows, at each of its times, a source picture up to
// a fifth of a second earlier, as ffmpeg picks them. Each picture is compared with the source
// at its own time and at each step of this many milliseconds before, up to the last, and scores
// its best: no shift that small makes a frozen, broken or different picture the source's.
inline constexpr int shift_step_ms = 20;
inline constexpr int shift_count = 11;

// The stats file ffmpeg writes for `measure` ("ssim", "psnr") at shift number `shift`, in the
// working directory beside tempenc.mkv.
std::string stats_file_name(const char* measure, int shift);

// ffmpeg's arguments (its own name not among them) that compare `window` of both files, or
// every picture when there is no window. The result drives the comparison: each of its pictures
// is compared with the source's pictures of the same time and of each shift before it, both
// timelines counted from the window's first picture. Paths are passed as file: URLs, so no name is
// taken for a protocol.
std::vector<std::string> comparison_arguments(const comparison_inputs& inputs,
                                              const std::optional<time_span>& window);

// The per-picture values of `key` ("All" in an ssim stats file, "psnr_avg" in a psnr one), in
// order; "inf" (identical pictures) reads as psnr_ceiling. Lines without the key are passed over.
inline constexpr double psnr_ceiling = 100.0;
std::vector<double> read_stats_values(std::string_view stats, std::string_view key);

// Per picture, the best value any shift scored, over the pictures every shift compared.
std::vector<double> best_of_shifts(const std::vector<std::vector<double>>& per_shift);

// What one comparison of a window found.
struct window_figures {
    time_span window;     // in the source's timeline; the whole duration for -verify full
    bool decoded = true;  // ffmpeg decoded and compared it without an error
    std::vector<double> ssim;
    std::vector<double> psnr;
};

// The floors a result must meet, chosen so that honest encodes (noise, grain and all) pass with
// room to spare and the broken ones the benchmark tries fail; see the README.
struct picture_floors {
    double mean_ssim = 0.93;         // the mean over any stretch of about two seconds
    double mean_psnr = 30.0;         // dB, the same
    double broken_below_dB = 12.0;   // a picture this far below the median of all is broken
    double broken_ssim_drop = 0.15;  // ... and its SSIM this far below their median
};

// Why the figures say the result is not the source's picture, in plain words for a
// "Not converted: PATH: REASON" line; empty when they say it is.
std::string judge_pictures(const std::vector<window_figures>& windows,
                           const picture_floors& floors = {});

// A source without an index (MPEG-TS, MPEG-PS) is read from wherever ffmpeg's seek lands, which
// may lie between keyframes: the pictures from there to the next keyframe are decoded from
// references that were never read, and look like a result that differs. A window of such a source
// whose figures are missing or fall short is read again from twice as far before it: the preroll
// for that, or nothing once the window was read from the source's start or the source has an
// index. Reading from further back is never worse: a keyframe passed on the way makes the window's
// pictures the source's own, and from the start they are what the encoder saw.
std::optional<std::int64_t> longer_preroll(std::int64_t preroll_ms, const time_span& window);

// "H:MM:SS" for a time in the source.
std::string clock_text(std::int64_t ms);

// What compare_pictures found.
struct comparison_outcome {
    std::string refusal;  // why the result is not the source's picture; empty when it is
    // ffmpeg could not be started: the line that says so, and the run stops.
    std::string cannot_start;
    int stop_signal = 0;  // a stop was asked for while ffmpeg ran; it has ended
    platform::stop_kill killed = platform::stop_kill::none;
    std::vector<std::string> output;      // ffmpeg's last lines, when a window could not be decoded
    std::vector<window_figures> figures;  // what each window's comparison found
};

struct comparison_request {
    std::string ffmpeg;  // the program, as find_program found it; empty when it was not found
    std::string ffmpeg_missing;  // then: where it was looked for, in words for the line
    verify_level level = verify_level::samples;
    std::string source;
    std::string result;
    std::int64_t duration_ms = 0;
    // The source's picture as displayed, when its headers tell (0 when not).
    int source_width = 0;
    int source_height = 0;
    std::int64_t frame_ms = 40;  // as comparison_inputs has it
    bool low_priority = true;
};

// Decodes and compares the windows of `request` (every picture for verify_level::full) with
// ffmpeg, at the encoder's priority and under the same stop handling, and judges the figures. Its
// stats files are removed whatever the outcome.
comparison_outcome compare_pictures(const comparison_request& request);

// The line that stops a run when the comparison cannot be started.
std::string comparison_missing_line(const std::string& why);

// For the runs of ffmpeg that measure pictures: the whole of a small text file (empty when it
// cannot be read), whether ffmpeg could not be started at all, and then why in words.
std::string read_small_file(const std::string& path);
bool could_not_start(const platform::command_result& ran);
std::string ffmpeg_start_failure(const platform::command_result& ran);

}  // namespace brindle
