#include "encode/quality.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace brindle {

namespace {

// Where the default lines write their CRF, spaces and all, so that "-crf 190" is never taken.
constexpr std::string_view built_in_crf_option = " -crf 19 ";
// How much the SSIM falls for each CRF step near the targets people ask for, on the sources
// measured (0.001 on clean ones to 0.003 on grainy ones): the first step away from a single probe
// is estimated with it. The longest step an estimate takes.
constexpr double typical_slope = -0.0015;
constexpr int longest_step = 12;
// The step from `edge`, the outermost probe on the side every probe lies, towards the CRF where
// the SSIM meets `target`: from the slope to the probe nearest it, or from typical_slope without
// one.
int step_beyond(const std::vector<crf_probe>& probes, const crf_probe& edge, double target) {
    const crf_probe* nearest = nullptr;
    for (const crf_probe& probe : probes) {
        if (probe.crf == edge.crf) continue;
        if (!nearest || std::abs(probe.crf - edge.crf) < std::abs(nearest->crf - edge.crf)) {
            nearest = &probe;
        }
    }
    double slope = typical_slope;
    if (nearest) {
        slope = (edge.ssim - nearest->ssim) / (edge.crf - nearest->crf);
        // The SSIM falls as the CRF rises; where it does not, the next probe goes as far as it
        // may.
        if (!(slope < 0)) return longest_step;
    }
    const double distance = std::abs((target - edge.ssim) / slope);
    // Upwards the estimate is rounded down and downwards up, so that it lands on the side that
    // meets the target.
    const bool up = edge.ssim >= target;
    const int step = static_cast<int>(up ? std::floor(distance) : std::ceil(distance));
    return std::clamp(step, 1, longest_step);
}

}  // namespace

bool has_crf_placeholder(const std::string& line) {
    return line.find(crf_placeholder) != std::string::npos;
}

std::string line_with_crf(const std::string& line, bool default_line, int crf) {
    const std::string value = std::to_string(crf);
    std::string made = line;
    if (has_crf_placeholder(line)) {
        for (std::size_t at = made.find(crf_placeholder); at != std::string::npos;
             at = made.find(crf_placeholder, at + value.size())) {
            made.replace(at, 2, value);
        }
        return made;
    }
    if (!default_line) return made;
    if (const std::size_t at = made.find(built_in_crf_option); at != std::string::npos) {
        made.replace(at, built_in_crf_option.size(), " -crf " + value + " ");
    }
    return made;
}

std::optional<crf_probe> chosen_probe(const std::vector<crf_probe>& probes, double target) {
    std::optional<crf_probe> chosen;
    for (const crf_probe& probe : probes) {
        if (probe.ssim >= target && (!chosen || probe.crf > chosen->crf)) chosen = probe;
    }
    return chosen;
}

std::optional<int> next_crf(const std::vector<crf_probe>& probes, double target) {
    if (probes.empty()) return first_crf_probe;
    if (probes.size() >= static_cast<std::size_t>(most_crf_probes)) return std::nullopt;
    const std::optional<crf_probe> passed = chosen_probe(probes, target);
    std::optional<crf_probe> failed;
    for (const crf_probe& probe : probes) {
        if (probe.ssim < target && (!failed || probe.crf < failed->crf)) failed = probe;
    }
    if (passed && failed) {
        if (failed->crf - passed->crf <= 1) return std::nullopt;
        const double span = passed->ssim - failed->ssim;
        const double share = span > 0 ? (passed->ssim - target) / span : 0.5;
        const int between =
            passed->crf + static_cast<int>(std::lround(share * (failed->crf - passed->crf)));
        return std::clamp(between, passed->crf + 1, failed->crf - 1);
    }
    if (passed) {
        if (passed->crf >= highest_crf) return std::nullopt;
        return std::min(highest_crf, passed->crf + step_beyond(probes, *passed, target));
    }
    if (failed->crf <= lowest_crf) return std::nullopt;
    return std::max(lowest_crf, failed->crf - step_beyond(probes, *failed, target));
}

std::string quality_stats_name(int offset) {
    return "tempenc-quality-" + std::to_string(offset) + ".txt";
}

std::vector<std::string> quality_arguments(const quality_inputs& inputs,
                                           const std::optional<time_span>& window) {
    std::vector<std::string> args{"-nostdin", "-hide_banner", "-nostats", "-v", "error", "-xerror"};
    const int offsets = window ? quality_offsets : 1;
    const std::int64_t frame_ms = std::max<std::int64_t>(1, inputs.frame_ms);
    std::string graph;
    // The encoded window, or the whole encoded cut: a copy for each offset to take its size from.
    if (window) {
        const std::int64_t seek =
            std::max<std::int64_t>(0, window->start_ms - inputs.encoded_preroll_ms);
        args.insert(args.end(), {"-ss", seconds_text(seek), "-t",
                                 seconds_text(window->start_ms - seek + window->length_ms +
                                              window_read_past_ms)});
        graph += "[0:V:0]trim=start=" + seconds_text(window->start_ms - seek) +
                 ":duration=" + seconds_text(window->length_ms) + ",";
    } else {
        graph += "[0:V:0]";
    }
    args.insert(args.end(), {"-i", "file:" + inputs.encoded});
    graph += "setpts=PTS-STARTPTS,split=" + std::to_string(offsets + 1) + "[c0]";
    for (int k = 0; k < offsets; ++k) graph += "[s" + std::to_string(k) + "]";
    // The reference from a picture earlier, so that each offset finds its pictures.
    std::int64_t skip = 0;
    if (window) {
        const std::int64_t seek =
            std::max<std::int64_t>(0, window->start_ms - inputs.reference_preroll_ms - frame_ms);
        skip = window->start_ms - seek;
        args.insert(args.end(),
                    {"-ss", seconds_text(seek), "-t",
                     seconds_text(skip + window->length_ms + frame_ms + window_read_past_ms)});
    }
    args.insert(args.end(), {"-i", "file:" + inputs.reference});
    graph += ";[1:V:0]";
    if (inputs.deinterlaced) graph += "bwdif=mode=send_field:deint=interlaced,";
    graph += "split=" + std::to_string(offsets);
    for (int k = 0; k < offsets; ++k) graph += "[u" + std::to_string(k) + "]";
    for (int k = 0; k < offsets; ++k) {
        const std::string n = std::to_string(k);
        graph += ";[u" + n + "]";
        if (window) {
            const std::int64_t start = std::max<std::int64_t>(0, skip + (k - 1) * frame_ms);
            graph += "trim=start=" + seconds_text(start) +
                     ":duration=" + seconds_text(window->length_ms) + ",";
        }
        // The reference takes the encoded picture's size, so that a line that scales on purpose
        // is measured at what it made.
        graph += "setpts=PTS-STARTPTS[v" + n + "];[v" + n + "][s" + n +
                 "]scale2ref=flags=bicubic[r" + n + "][d" + n + "];[d" + n + "]nullsink";
    }
    // One chain, so the null output gets one stream: each ssim passes the encoded pictures on.
    for (int k = 0; k < offsets; ++k) {
        const std::string n = std::to_string(k);
        graph += ";[c" + n + "][r" + n + "]ssim=shortest=1:stats_file=" + quality_stats_name(k);
        if (k + 1 < offsets) graph += "[c" + std::to_string(k + 1) + "]";
    }
    args.insert(args.end(), {"-lavfi", graph, "-an", "-sn", "-dn", "-f", "null", "-"});
    return args;
}

namespace {

// ffmpeg's arguments that copy the streams `map` picks of `window` of the source to `cut`, in
// `format`.
std::vector<std::string> copy_arguments(const std::string& source, const std::string& cut,
                                        const time_span& window, const char* map,
                                        const char* format) {
    return {"-nostdin",   "-hide_banner",
            "-nostats",   "-v",
            "error",      "-y",
            "-ss",        seconds_text(window.start_ms),
            "-t",         seconds_text(window.length_ms),
            "-i",         "file:" + source,
            "-map",       map,
            "-c",         "copy",
            "-f",         format,
            "file:" + cut};
}

}  // namespace

std::vector<std::string> cut_arguments(const std::string& source, const std::string& cut,
                                       const time_span& window, cut_kind kind) {
    return copy_arguments(source, cut, window, "0:V:0", kind == cut_kind::mp4 ? "mp4" : "matroska");
}

std::vector<std::string> sound_cut_arguments(const std::string& source, const std::string& cut,
                                             const time_span& window) {
    return copy_arguments(source, cut, window, "0:a", "matroska");
}

std::string ssim_text(double ssim) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", std::floor(ssim * 1000) / 1000);
    return text;
}

std::string target_text(double target) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", target);
    return text;
}

std::string quality_text(int crf, double ssim) {
    return "CRF " + std::to_string(crf) + " for SSIM " + ssim_text(ssim);
}

namespace {

// The size foreseen from `windows` but those `left_out` marks. Two ways, and the smaller counts:
// each errs large where the other does not. The windows' picture bytes a second after the line
// against their cuts', applied to the source's picture (told from the cuts' rate over the
// duration) with the rest of the source taken to stay, errs large where the rest does not stay:
// an MPEG-TS file's padding, or sound that the line encodes smaller. The windows' own bytes a
// second over the duration, with the sound where the line is known to keep it (the built-in line
// copies it), leave the rest out, and err large only at a high CRF, where each window's first
// picture, always a keyframe, weighs more than the whole encode's keyframes do.
std::optional<std::uint64_t> size_from(const std::vector<window_bytes>& windows,
                                       const std::vector<bool>& left_out, std::uint64_t source_size,
                                       std::int64_t duration_ms) {
    double cut_rate = 0, encoded_rate = 0, sound_rate = 0;
    double count = 0;
    for (std::size_t index = 0; index < windows.size(); ++index) {
        const window_bytes& window = windows[index];
        if (window.cut_ms <= 0 || window.encoded_ms <= 0) return std::nullopt;
        if (left_out[index]) continue;
        // An opening unlike the rest weighs for the time it stands for, not a third of a file.
        const double weight = index == 0 || index + 1 == windows.size() ? 0.5 : 1.0;
        cut_rate +=
            weight * static_cast<double>(window.cut_bytes) / static_cast<double>(window.cut_ms);
        encoded_rate += weight * static_cast<double>(window.encoded_bytes) /
                        static_cast<double>(window.encoded_ms);
        if (window.sound_ms > 0) {
            sound_rate += weight * static_cast<double>(window.sound_bytes) /
                          static_cast<double>(window.sound_ms);
        }
        count += weight;
    }
    if (count <= 0 || cut_rate <= 0 || duration_ms <= 0) return std::nullopt;
    const double source = static_cast<double>(source_size);
    const double duration = static_cast<double>(duration_ms);
    // The source's picture can be no more than what its sound leaves of it.
    const double sound = std::min(source, sound_rate / count * duration);
    const double content = std::min(source - sound, cut_rate / count * duration);
    const double against_cuts = source + (encoded_rate / cut_rate - 1) * content;
    const double by_rate = (encoded_rate + sound_rate) / count * duration;
    return static_cast<std::uint64_t>(std::max(0.0, std::min(against_cuts, by_rate)));
}

}  // namespace

std::optional<foreseen> foreseen_size(const std::vector<window_bytes>& windows,
                                      std::uint64_t source_size, std::int64_t duration_ms) {
    const std::size_t count = windows.size();
    std::vector<bool> left_out(count, false);
    const auto all = size_from(windows, left_out, source_size, duration_ms);
    if (!all) return std::nullopt;
    foreseen sizes{*all, *all};
    const auto least_without = [&] {
        if (const auto size = size_from(windows, left_out, source_size, duration_ms)) {
            sizes.least = std::min(sizes.least, *size);
        }
    };
    for (std::size_t index = 0; count > 1 && index < count; ++index) {
        left_out.assign(count, false);
        left_out[index] = true;
        least_without();
    }
    // The first window is the opening and the last the closing: titles and credits, which may
    // both be harder to encode than the rest.
    if (count >= 4) {
        left_out.assign(count, false);
        left_out.front() = left_out.back() = true;
        least_without();
    }
    return sizes;
}

bool foreseen_larger(const foreseen& sizes, std::uint64_t source_size) {
    return static_cast<double>(sizes.least) * 100 >
           static_cast<double>(source_size) * (100 + foreseen_margin_percent);
}

}  // namespace brindle
