// Running the picture comparison: ffmpeg once per window, started from an argument list by the
// process layer, and its stats files read back.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encode/compare.h"
#include "media/result_format.h"
#include "platform/files.h"
#include "platform/process.h"

namespace brindle {

namespace {

void remove_stats_files() {
    for (int shift = 0; shift < shift_count; ++shift) {
        platform::remove_file(stats_file_name("ssim", shift));
        platform::remove_file(stats_file_name("psnr", shift));
    }
}

// The best figures of each picture over the shifts, from the stats files of `measure`.
std::vector<double> read_best_figures(const char* measure, std::string_view key) {
    std::vector<std::vector<double>> per_shift;
    for (int shift = 0; shift < shift_count; ++shift) {
        per_shift.push_back(
            read_stats_values(read_small_file(stats_file_name(measure, shift)), key));
    }
    return best_of_shifts(per_shift);
}

}  // namespace

std::string read_small_file(const std::string& path) {
    const std::uint64_t size = platform::file_size(path).value_or(0);
    if (size == 0) return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    text.resize(platform::read_file_start(path, text.data(), text.size()).value_or(0));
    return text;
}

bool could_not_start(const platform::command_result& ran) {
    // sh answers 126 and 127 for a program it cannot start; run_program's child does the same.
    return ran.how == platform::command_result::ending::not_started ||
           (ran.how == platform::command_result::ending::exited &&
            (ran.code == 126 || ran.code == 127));
}

std::string ffmpeg_start_failure(const platform::command_result& ran) {
    if (ran.how == platform::command_result::ending::not_started) {
        return "ffmpeg could not be started: " + ran.error;
    }
    return "ffmpeg could not be started (exit code " + std::to_string(ran.code) + ")";
}

std::string comparison_missing_line(const std::string& why) {
    return "The picture comparison cannot run: " + why +
           "; no other file was tried (-verify headers converts without it)";
}

comparison_outcome compare_pictures(const comparison_request& request) {
    comparison_outcome outcome;
    if (request.ffmpeg.empty()) {
        outcome.cannot_start = comparison_missing_line(
            request.ffmpeg_missing.empty() ? "ffmpeg was not found" : request.ffmpeg_missing);
        return outcome;
    }
    const comparison_inputs inputs{request.source,
                                   request.result,
                                   preroll_ms_for(media::read_result_format(request.source).kind),
                                   preroll_ms_for(media::read_result_format(request.result).kind),
                                   compared_size_for(request.source_width, request.source_height),
                                   request.frame_ms};
    std::vector<std::optional<time_span>> spans;
    if (request.level == verify_level::full) {
        spans.push_back(std::nullopt);
    } else {
        for (const time_span& window : choose_windows(request.duration_ms)) spans.push_back(window);
    }
    platform::command_settings settings;
    settings.low_priority = request.low_priority;
    settings.capture_output = true;
    std::vector<window_figures> figures;
    for (const std::optional<time_span>& span : spans) {
        comparison_inputs tried = inputs;
        platform::command_result ran;
        window_figures found;
        found.window = span.value_or(time_span{0, request.duration_ms});
        while (true) {
            remove_stats_files();
            ran =
                platform::run_program(request.ffmpeg, comparison_arguments(tried, span), settings);
            found.decoded = ran.how == platform::command_result::ending::exited && ran.code == 0;
            found.ssim = read_best_figures("ssim", "All");
            found.psnr = read_best_figures("psnr", "psnr_avg");
            // A source without an index may have been read from a seek between keyframes, or
            // from its first keyframe after the time asked for, past the window.
            const std::optional<std::int64_t> longer =
                span ? longer_preroll(tried.source_preroll_ms, *span) : std::nullopt;
            if (!found.decoded || !longer || judge_pictures({found}).empty()) break;
            tried.source_preroll_ms = *longer;
        }
        if (ran.stop_signal != 0) {
            remove_stats_files();
            outcome.stop_signal = ran.stop_signal;
            outcome.killed = ran.killed;
            return outcome;
        }
        if (could_not_start(ran)) {
            remove_stats_files();
            outcome.cannot_start = comparison_missing_line(ffmpeg_start_failure(ran));
            return outcome;
        }
        figures.push_back(std::move(found));
        if (!figures.back().decoded) {
            outcome.output = ran.output_tail;
            break;
        }
    }
    remove_stats_files();
    outcome.refusal = judge_pictures(figures);
    outcome.figures = std::move(figures);
    return outcome;
}

}  // namespace brindle
