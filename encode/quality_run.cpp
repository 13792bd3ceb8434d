// Running the quality search: the windows cut from the source by ffmpeg, each encoded by the
// file's own line through the command interpreter, and each measured against its cut by ffmpeg.

#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "encode/encoder_output.h"
#include "encode/quality.h"
#include "media/byte_source.h"
#include "media/file_source.h"
#include "media/result_format.h"
#include "media/wholeness.h"
#include "platform/files.h"
#include "platform/process.h"

namespace brindle {

namespace {

std::string cut_name(std::size_t index, cut_kind kind) {
    return "tempenc-window-" + std::to_string(index) + (kind == cut_kind::mp4 ? ".mp4" : ".mkv");
}

std::string sound_cut_name(std::size_t index) {
    return "tempenc-sound-" + std::to_string(index) + ".mkv";
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

// The last of the written marks of a file in the working directory, in whatever container its
// first bytes announce: its bytes (a cut's or a window's encode's picture, a sound cut's sound)
// and how long they last. Nothing when it tells neither.
std::optional<media::written_mark> written_bytes_of(const std::string& name) {
    platform::file_reader file;
    if (file.open_in_working_directory(name) != platform::file_reader::outcome::opened) {
        return std::nullopt;
    }
    media::file_source bytes(file);
    media::block_reader reader(bytes);
    const std::vector<media::written_mark> marks =
        media::written_marks_of(reader, media::read_result_format(reader).kind);
    if (marks.empty() || marks.back().ms <= 0 || marks.back().bytes == 0) return std::nullopt;
    return marks.back();
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
// The bytes of each window it encoded go to `bytes`, by the window's place; a window whose bytes
// could not be read keeps a zero time there.
bool probe_crf(const quality_request& request, int crf, std::vector<std::size_t>& order,
               quality_search& found, std::vector<window_bytes>& bytes) {
    bytes.assign(found.cuts.size(), window_bytes{});
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
        // The window's output has the owner the whole file's has, which removes it however the
        // window ends.
        encoder_output output;
        if (std::string fault = output.clear(); !fault.empty()) {
            found.refusal = std::move(fault);
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
        if (platform::file_size(temp_output_name).value_or(0) == 0) {
            found.refusal =
                "the encoder left no output for a sample window at CRF " + std::to_string(crf);
            return false;
        }
        if (const auto encoded = written_bytes_of(temp_output_name)) {
            bytes[index].encoded_bytes = encoded->bytes;
            bytes[index].encoded_ms = encoded->ms;
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
        platform::clear_in_working_directory(sound_cut_name(index));
    }
    remove_quality_stats();
}

enum class cut_result { cut, failed, ended };

// Cuts `window` of the source as window number `index`, into the first container that takes it,
// onto `found.cuts`; `ended` when the search must end, with `found` saying why.
cut_result cut_window(const quality_request& request, std::size_t index, const time_span& window,
                      quality_search& found) {
    platform::command_result ran;
    for (const cut_kind kind : {cut_kind::mp4, cut_kind::matroska}) {
        const std::string cut = cut_name(index, kind);
        // ffmpeg writes through whatever stands under the name, a link among them.
        if (const op_result cleared = platform::clear_in_working_directory(cut); !cleared.ok()) {
            found.refusal = cut + " cannot be removed from the working directory: " + cleared.error;
            return cut_result::ended;
        }
        ran =
            platform::run_program(request.ffmpeg, cut_arguments(request.source, cut, window, kind),
                                  measuring_settings(request));
        if (ended_the_run(ran, found)) return cut_result::ended;
        // A cut that holds no picture is no cut: ffmpeg makes one, and exits 0, when no keyframe
        // lies within the window of a source without an index.
        if (ran.how == platform::command_result::ending::exited && ran.code == 0 &&
            written_bytes_of(cut)) {
            found.cuts.push_back(cut);
            return cut_result::cut;
        }
        platform::clear_in_working_directory(cut);
    }
    found.output = ran.output_tail;
    return cut_result::failed;
}

// Under the built-in line, which copies the sound: the sound of `window` alone, its bytes and how
// long it lasts onto `found.sounds` (nothing of it where the source has none or it cannot be
// cut), the cut itself removed at once. False when the search must end, with `found` saying why.
bool cut_sound(const quality_request& request, std::size_t index, const time_span& window,
               quality_search& found) {
    const std::string cut = sound_cut_name(index);
    if (const op_result cleared = platform::clear_in_working_directory(cut); !cleared.ok()) {
        found.refusal = cut + " cannot be removed from the working directory: " + cleared.error;
        remove_search_files(found.windows);
        return false;
    }
    const platform::command_result ran =
        platform::run_program(request.ffmpeg, sound_cut_arguments(request.source, cut, window),
                              measuring_settings(request));
    if (ended_the_run(ran, found)) {
        remove_search_files(found.windows);
        return false;
    }
    found.sounds.resize(found.cuts.size());
    if (ran.how == platform::command_result::ending::exited && ran.code == 0) {
        found.sounds.back() = written_bytes_of(cut).value_or(media::written_mark{});
    }
    platform::clear_in_working_directory(cut);
    return true;
}

// Cuts the sample windows from the source into the working directory, as `found.cuts`; false,
// with `found` saying why and nothing of them left, when one could not be cut.
bool cut_windows(const quality_request& request, quality_search& found) {
    for (const time_span& window : windows_of(request)) {
        const std::size_t index = found.windows++;
        cut_result cut = cut_window(request, index, window, found);
        // A source without an index is cut from the first keyframe after the time asked for,
        // which may lie past the window's end; the window is then cut from as far before it as
        // such a source is decoded from for a comparison, and from twice as far each time after,
        // up to the source's start.
        for (std::int64_t before = preroll_ms_for(request.source_kind);
             cut == cut_result::failed && before > 0 && window.start_ms > 0; before *= 2) {
            const std::int64_t from = std::max<std::int64_t>(0, window.start_ms - before);
            cut = cut_window(request, index, {from, window.length_ms + window.start_ms - from},
                             found);
            if (from == 0) break;
        }
        if (cut == cut_result::cut) {
            if (request.default_line && !cut_sound(request, index, window, found)) return false;
            continue;
        }
        if (cut == cut_result::failed) {
            found.refusal = "the sample windows for -quality could not be cut from the source";
        }
        remove_search_files(found.windows);
        return false;
    }
    return true;
}

// Each cut's picture bytes and how long they last, by the cut's place, and its sound's where it
// was cut; a zero time for a cut that tells neither.
std::vector<window_bytes> cuts_bytes(const quality_search& found) {
    std::vector<window_bytes> bytes(found.cuts.size());
    for (std::size_t index = 0; index < found.cuts.size(); ++index) {
        if (const auto cut = written_bytes_of(found.cuts[index])) {
            bytes[index].cut_bytes = cut->bytes;
            bytes[index].cut_ms = cut->ms;
        }
        if (index < found.sounds.size()) {
            bytes[index].sound_bytes = found.sounds[index].bytes;
            bytes[index].sound_ms = found.sounds[index].ms;
        }
    }
    return bytes;
}

// The encodes' bytes joined with their cuts'; empty when any window lacks either.
std::vector<window_bytes> with_cut_bytes(std::vector<window_bytes> encoded,
                                         const std::vector<window_bytes>& cuts) {
    if (encoded.size() != cuts.size()) return {};
    for (std::size_t index = 0; index < cuts.size(); ++index) {
        encoded[index].cut_bytes = cuts[index].cut_bytes;
        encoded[index].cut_ms = cuts[index].cut_ms;
        encoded[index].sound_bytes = cuts[index].sound_bytes;
        encoded[index].sound_ms = cuts[index].sound_ms;
        if (encoded[index].cut_ms <= 0 || encoded[index].encoded_ms <= 0) return {};
    }
    return encoded;
}

}  // namespace

void remove_search_leftovers() {
    for (std::size_t index = 0; index < most_sample_windows; ++index) {
        for (const cut_kind kind : {cut_kind::mp4, cut_kind::matroska}) {
            const std::string cut = cut_name(index, kind);
            if (platform::file_size(cut)) platform::clear_in_working_directory(cut);
        }
        const std::string sound = sound_cut_name(index);
        if (platform::file_size(sound)) platform::clear_in_working_directory(sound);
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
    if (!cut_windows(request, found)) return found;
    const std::vector<window_bytes> cut_bytes = cuts_bytes(found);
    std::vector<std::size_t> order(found.windows);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::vector<std::pair<int, std::vector<window_bytes>>> passed;
    while (const std::optional<int> crf = next_crf(found.probes, request.target)) {
        std::vector<window_bytes> bytes;
        if (!probe_crf(request, *crf, order, found, bytes)) {
            remove_search_files(found.windows);
            return found;
        }
        if (found.probes.back().ssim >= request.target) passed.emplace_back(*crf, bytes);
    }
    remove_search_files(found.windows);
    found.chosen = chosen_probe(found.probes, request.target);
    for (auto& [crf, bytes] : passed) {
        if (found.chosen && crf == found.chosen->crf) {
            found.chosen_bytes = with_cut_bytes(std::move(bytes), cut_bytes);
        }
    }
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

window_encodes encode_windows(const quality_request& request) {
    window_encodes encoded;
    if (request.ffmpeg.empty()) return encoded;
    quality_search cut;
    if (!cut_windows(request, cut)) {
        encoded.stop_signal = cut.stop_signal;
        encoded.killed = cut.killed;
        return encoded;
    }
    const std::string line = line_with_crf(request.line, request.default_line, built_in_crf);
    std::vector<window_bytes> bytes(cut.cuts.size());
    for (std::size_t index = 0; index < cut.cuts.size(); ++index) {
        const std::optional<std::string> command =
            build_encode_command(line, cut.cuts[index], request.shell);
        encoder_output output;
        if (!command || !output.clear().empty()) break;
        const platform::command_result ran =
            platform::run_command(*command, measuring_settings(request));
        if (ran.stop_signal != 0) {
            encoded.stop_signal = ran.stop_signal;
            encoded.killed = ran.killed;
            break;
        }
        if (ran.how != platform::command_result::ending::exited || ran.code != 0) break;
        const auto written = written_bytes_of(temp_output_name);
        if (!written) break;
        bytes[index].encoded_bytes = written->bytes;
        bytes[index].encoded_ms = written->ms;
    }
    encoded.bytes = with_cut_bytes(std::move(bytes), cuts_bytes(cut));
    remove_search_files(cut.windows);
    return encoded;
}

quality_measure measure_quality(const quality_request& request, const std::string& result) {
    quality_measure measure;
    const quality_inputs inputs = inputs_for(request, result, request.source,
                                             preroll_ms_for(media::read_result_format(result).kind),
                                             preroll_ms_for(request.source_kind));
    std::vector<double> all;
    for (const time_span& window : windows_of(request)) {
        quality_inputs tried = inputs;
        measured_run measured = run_measurement(request, tried, window);
        // A source without an index may have been read from a seek between keyframes.
        for (std::optional<std::int64_t> longer =
                 longer_preroll(tried.reference_preroll_ms, window);
             longer && measured.decoded &&
             (measured.ssim.empty() || mean_of(measured.ssim) < request.target - quality_allowance);
             longer = longer_preroll(tried.reference_preroll_ms, window)) {
            tried.reference_preroll_ms = *longer;
            measured = run_measurement(request, tried, window);
        }
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
