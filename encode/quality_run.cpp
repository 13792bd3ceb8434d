// Running the quality search: the windows cut from the source by ffmpeg, each encoded by the
// file's own line through the command interpreter, and each measured against its cut by ffmpeg.

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "encode/quality.h"
#include "media/result_format.h"
#include "platform/files.h"
#include "platform/process.h"

namespace brindle {

namespace {

std::string cut_name(std::size_t index, cut_kind kind) {
    return "tempenc-window-" + std::to_string(index) + (kind == cut_kind::mp4 ? ".mp4" : ".mkv");
}

platform::command_settings measuring_settings(const quality_request& request) {
    platform::command_settings settings;
    settings.low_priority = request.low_priority;
    settings.capture_output = true;
    return settings;
}

// The picture comparison's windows; the first 12 s of a source whose headers tell no duration.
std::vector<time_span> windows_of(const quality_request& request) {
    if (request.duration_ms <= 0) return {{0, 12'000}};
    return choose_windows(request.duration_ms);
}

void remove_quality_stats() {
    for (int offset = 0; offset < quality_offsets; ++offset) {
        platform::clear_in_working_directory(quality_stats_name(offset));
    }
}

// What one run of ffmpeg measuring a picture answered: the SSIM of each picture compared at the
// offset that compared best, or why there are none.
struct measured_run {
    std::vector<double> ssim;
    platform::command_result ran;
    bool decoded = false;
};

double mean_of(const std::vector<double>& values) {
    return values.empty() ? 0
                          : std::accumulate(values.begin(), values.end(), 0.0) /
                                static_cast<double>(values.size());
}

measured_run run_measurement(const quality_request& request, const quality_inputs& inputs,
                             const std::optional<time_span>& window) {
    remove_quality_stats();
    measured_run measured;
    measured.ran = platform::run_program(request.ffmpeg, quality_arguments(inputs, window),
                                         measuring_settings(request));
    measured.decoded =
        measured.ran.how == platform::command_result::ending::exited && measured.ran.code == 0;
    for (int offset = 0; offset < quality_offsets; ++offset) {
        std::vector<double> ssim =
            read_stats_values(read_small_file(quality_stats_name(offset)), "All");
        if (measured.ssim.empty() || mean_of(ssim) > mean_of(measured.ssim)) {
            measured.ssim = std::move(ssim);
        }
    }
    remove_quality_stats();
    return measured;
}

quality_inputs inputs_for(const quality_request& request, const std::string& encoded,
                          const std::string& reference, std::int64_t encoded_preroll_ms,
                          std::int64_t reference_preroll_ms) {
    return {
        encoded,         reference, encoded_preroll_ms, reference_preroll_ms, request.deinterlaced,
        request.frame_ms};
}

// Passes a stop, or an ffmpeg that cannot start, on to `outcome`; true when there was either.
template <typename Outcome>
bool ended_the_run(const platform::command_result& ran, Outcome& outcome) {
    if (ran.stop_signal != 0) {
        outcome.stop_signal = ran.stop_signal;
        outcome.killed = ran.killed;
        return true;
    }
    if (could_not_start(ran)) {
        outcome.cannot_start = quality_missing_line(ffmpeg_start_failure(ran));
        return true;
    }
    return false;
}

// Encodes the cuts at `crf` and measures each, in `order`, the window worst at the last CRF
// first; false when the search must end, with `found` saying why. The first window below the
// target fails the CRF, and the rest are not encoded at it: only a CRF that passes needs every
// window, and the worst window mostly fails a CRF too high at once. The probe's SSIM is then that
// window's, which is the worst one's as long as the windows keep their order from CRF to CRF.
bool probe_crf(const quality_request& request, int crf, std::vector<std::size_t>& order,
               quality_search& found) {
    crf_probe probe{crf, 1.0};
    const std::string line = line_with_crf(request.line, request.default_line, crf);
    std::vector<std::pair<double, std::size_t>> measured_windows;
    for (const std::size_t index : order) {
        const std::string& cut = found.cuts[index];
        const std::optional<std::string> command = build_encode_command(line, cut, request.shell);
        if (!command) {
            found.refusal = "the encoder command line cannot be composed for the sample windows";
            return false;
        }
        if (const op_result cleared = platform::clear_in_working_directory(temp_output_name);
            !cleared.ok()) {
            found.refusal = std::string(temp_output_name) +
                            " cannot be removed from the working directory: " + cleared.error;
            return false;
        }
        // The windows' encodes are Brindle's own business: their output is kept, not shown.
        const platform::command_result ran =
            platform::run_command(*command, measuring_settings(request));
        if (ran.stop_signal != 0) {
            found.stop_signal = ran.stop_signal;
            found.killed = ran.killed;
            return false;
        }
        if (ran.how != platform::command_result::ending::exited || ran.code != 0) {
            found.encoder_failed = ran;
            found.failed_crf = crf;
            return false;
        }
        if (platform::file_size(temp_output_name) <= 0) {
            found.refusal =
                "the encoder left no output for a sample window at CRF " + std::to_string(crf);
            return false;
        }
        const measured_run measured =
            run_measurement(request, inputs_for(request, temp_output_name, cut, 0, 0), {});
        if (ended_the_run(measured.ran, found)) return false;
        if (!measured.decoded || measured.ssim.empty()) {
            found.refusal = "a sample window encoded at CRF " + std::to_string(crf) +
                            " could not be compared with the source";
            found.output = measured.ran.output_tail;
            return false;
        }
        const double ssim = mean_of(measured.ssim);
        probe.ssim = std::min(probe.ssim, ssim);
        measured_windows.emplace_back(ssim, index);
        if (ssim < request.target) break;
    }
    found.probes.push_back(probe);
    // The windows measured at this CRF go first, worst first; those it did not reach keep
    // their places behind them.
    std::stable_sort(measured_windows.begin(), measured_windows.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::size_t> next;
    for (const auto& [ssim, index] : measured_windows) next.push_back(index);
    for (const std::size_t index : order) {
        if (std::find(next.begin(), next.end(), index) == next.end()) next.push_back(index);
    }
    order = std::move(next);
    return true;
}

void remove_search_files(std::size_t windows) {
    for (std::size_t index = 0; index < windows; ++index) {
        for (const cut_kind kind : {cut_kind::mp4, cut_kind::matroska}) {
            platform::clear_in_working_directory(cut_name(index, kind));
        }
    }
    remove_quality_stats();
    platform::clear_in_working_directory(temp_output_name);
}

}  // namespace

void remove_search_leftovers() {
    for (std::size_t index = 0; index < most_sample_windows; ++index) {
        for (const cut_kind kind : {cut_kind::mp4, cut_kind::matroska}) {
            const std::string cut = cut_name(index, kind);
            if (platform::file_size(cut) >= 0) platform::clear_in_working_directory(cut);
        }
    }
    remove_quality_stats();
}

std::string quality_missing_line(const std::string& why) {
    return "The quality search cannot run: " + why + "; no other file was tried";
}

quality_search search_quality(const quality_request& request) {
    quality_search found;
    if (request.ffmpeg.empty()) {
        found.cannot_start = quality_missing_line(request.ffmpeg_missing);
        return found;
    }
    const std::vector<time_span> windows = windows_of(request);
    for (const time_span& window : windows) {
        const std::size_t index = found.windows++;
        platform::command_result ran;
        std::string cut;
        for (const cut_kind kind : {cut_kind::mp4, cut_kind::matroska}) {
            cut = cut_name(index, kind);
            // ffmpeg writes through whatever stands under the name, a link among them.
            if (const op_result cleared = platform::clear_in_working_directory(cut);
                !cleared.ok()) {
                found.refusal =
                    cut + " cannot be removed from the working directory: " + cleared.error;
                remove_search_files(found.windows);
                return found;
            }
            ran = platform::run_program(request.ffmpeg,
                                        cut_arguments(request.source, cut, window, kind),
                                        measuring_settings(request));
            if (ended_the_run(ran, found)) {
                remove_search_files(found.windows);
                return found;
            }
            if (ran.how == platform::command_result::ending::exited && ran.code == 0 &&
                platform::file_size(cut) > 0) {
                break;
            }
            platform::clear_in_working_directory(cut);
        }
        if (ran.how != platform::command_result::ending::exited || ran.code != 0 ||
            platform::file_size(cut) <= 0) {
            found.refusal = "the sample windows for -quality could not be cut from the source";
            found.output = ran.output_tail;
            remove_search_files(found.windows);
            return found;
        }
        found.cuts.push_back(cut);
    }
    std::vector<std::size_t> order(found.windows);
    std::iota(order.begin(), order.end(), std::size_t{0});
    while (const std::optional<int> crf = next_crf(found.probes, request.target)) {
        if (!probe_crf(request, *crf, order, found)) {
            remove_search_files(found.windows);
            return found;
        }
    }
    remove_search_files(found.windows);
    found.chosen = chosen_probe(found.probes, request.target);
    if (!found.chosen) {
        int lowest = highest_crf;
        double best = 0;
        for (const crf_probe& probe : found.probes) {
            if (probe.crf <= lowest) lowest = probe.crf, best = probe.ssim;
        }
        found.refusal = "no CRF tried meets -quality " + target_text(request.target) +
                        " in the sample windows (CRF " + std::to_string(lowest) + " gave SSIM " +
                        ssim_text(best) + ")";
    }
    return found;
}

quality_measure measure_quality(const quality_request& request, const std::string& result) {
    quality_measure measure;
    const quality_inputs inputs = inputs_for(request, result, request.source,
                                             preroll_ms_for(media::read_result_format(result).kind),
                                             preroll_ms_for(request.source_kind));
    std::vector<double> all;
    for (const time_span& window : windows_of(request)) {
        const measured_run measured = run_measurement(request, inputs, window);
        if (ended_the_run(measured.ran, measure)) return measure;
        if (!measured.decoded || measured.ssim.empty()) {
            measure.refusal =
                "the result's quality could not be measured at " + clock_text(window.start_ms);
            measure.output = measured.ran.output_tail;
            return measure;
        }
        all.insert(all.end(), measured.ssim.begin(), measured.ssim.end());
    }
    measure.ssim = mean_of(all);
    return measure;
}

}  // namespace brindle
