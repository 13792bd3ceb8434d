#include "encode/compare.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace brindle {

namespace {

// A source this short is compared whole: its windows would overlap anyway.
constexpr std::int64_t whole_up_to_ms = 12'000;
constexpr std::int64_t least_window_ms = 2'000;
constexpr std::int64_t minutes_per_extra_window = 10;
// Longer than the keyframe interval of any broadcast or camera stream met so far (8 s).
constexpr std::int64_t unindexed_preroll_ms = 12'000;
// The pictures of a window are judged in stretches of at most this many (about two seconds), so
// that a bad stretch of a long -verify full comparison is not averaged away.
constexpr std::size_t stretch_pictures = 60;

// A figure cut, not rounded, to `decimals`, so that a value just below a floor never prints as
// the floor itself.
std::string figure_text(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, std::floor(value * scale) / scale);
    return text;
}

double mean_of(const std::vector<double>& values, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += values[i];
    return to > from ? sum / static_cast<double>(to - from) : 0;
}

double median_of(std::vector<double> values) {
    if (values.empty()) return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Where picture `index` of a window's `count` lies in the source's timeline.
std::int64_t time_of_picture(const window_figures& figures, std::size_t index, std::size_t count) {
    if (count == 0) return figures.window.start_ms;
    return figures.window.start_ms + figures.window.length_ms * static_cast<std::int64_t>(index) /
                                         static_cast<std::int64_t>(count);
}

// The worst stretch of all windows by one measure: its mean and where it starts.
struct worst_stretch {
    double mean = std::numeric_limits<double>::infinity();
    std::int64_t at_ms = 0;
};

worst_stretch worst_of(const std::vector<window_figures>& windows,
                       std::vector<double> window_figures::*measure) {
    worst_stretch worst;
    for (const window_figures& figures : windows) {
        const std::vector<double>& values = figures.*measure;
        for (std::size_t from = 0; from < values.size(); from += stretch_pictures) {
            const std::size_t to = std::min(values.size(), from + stretch_pictures);
            const double mean = mean_of(values, from, to);
            if (mean < worst.mean) worst = {mean, time_of_picture(figures, from, values.size())};
        }
    }
    return worst;
}

// A picture far below the rest of the result by both measures: a frame the encoder or something
// after it broke, which the decoder does not report.
std::string broken_picture(const std::vector<window_figures>& windows,
                           const picture_floors& floors) {
    std::vector<double> all_psnr, all_ssim;
    for (const window_figures& figures : windows) {
        all_psnr.insert(all_psnr.end(), figures.psnr.begin(), figures.psnr.end());
        all_ssim.insert(all_ssim.end(), figures.ssim.begin(), figures.ssim.end());
    }
    const double typical_psnr = median_of(all_psnr);
    const double typical_ssim = median_of(all_ssim);
    for (const window_figures& figures : windows) {
        const std::size_t count = std::min(figures.psnr.size(), figures.ssim.size());
        // Both files are seeked to a window after the start, and the source's seek may land a
        // picture later than the result's: the result's first picture then has no source picture
        // of its own to be compared with (the shifts look back, not forward), and scores as a
        // broken one. The means still count it; at the files' start both begin together.
        const std::size_t first = figures.window.start_ms > 0 ? 1 : 0;
        for (std::size_t i = first; i < count; ++i) {
            if (figures.psnr[i] < typical_psnr - floors.broken_below_dB &&
                figures.ssim[i] < typical_ssim - floors.broken_ssim_drop) {
                return "a picture of the result is broken at " +
                       clock_text(time_of_picture(figures, i, count)) + " (PSNR " +
                       figure_text(figures.psnr[i], 1) + " dB, the others about " +
                       figure_text(typical_psnr, 1) + " dB)";
            }
        }
    }
    return {};
}

// The split source's copies, each later by its shift: its first picture is shown for the
// shift's length, so that every picture of the result has one to be compared with.
std::string shifted_sources() {
    std::string labels, copies;
    for (int link = 0; link < 2 * shift_count; ++link) {
        const std::string n = std::to_string(link);
        const int shift_ms = link % shift_count * shift_step_ms;
        if (shift_ms == 0) {
            labels += "[t" + n + "]";
            continue;
        }
        labels += "[u" + n + "]";
        copies += ";[u" + n + "]tpad=start_mode=clone:start_duration=" + seconds_text(shift_ms) +
                  "[t" + n + "]";
    }
    return labels + copies;
}

}  // namespace

std::string seconds_text(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text;
}

std::string stats_file_name(const char* measure, int shift) {
    return std::string("tempenc-") + measure + "-" + std::to_string(shift) + ".txt";
}

std::vector<double> best_of_shifts(const std::vector<std::vector<double>>& per_shift) {
    if (per_shift.empty()) return {};
    std::size_t count = per_shift.front().size();
    for (const std::vector<double>& values : per_shift) count = std::min(count, values.size());
    std::vector<double> best(per_shift.front().begin(),
                             per_shift.front().begin() + static_cast<std::ptrdiff_t>(count));
    for (const std::vector<double>& values : per_shift) {
        for (std::size_t i = 0; i < count; ++i) best[i] = std::max(best[i], values[i]);
    }
    return best;
}

std::vector<time_span> choose_windows(std::int64_t duration_ms) {
    if (duration_ms <= whole_up_to_ms) return {{0, std::max<std::int64_t>(duration_ms, 0)}};
    const std::int64_t count =
        std::clamp<std::int64_t>(3 + duration_ms / (minutes_per_extra_window * 60'000), 3,
                                 static_cast<std::int64_t>(most_sample_windows));
    // Together at least 1 % of the duration, rounded up.
    const std::int64_t length =
        std::max(least_window_ms, (duration_ms + 100 * count - 1) / (100 * count));
    const std::int64_t last_start = duration_ms - length - window_read_past_ms;
    std::vector<time_span> windows;
    for (std::int64_t i = 0; i < count; ++i) {
        windows.push_back({last_start * i / (count - 1), length});
    }
    return windows;
}

std::int64_t preroll_ms_for(media::container kind) {
    switch (kind) {
        case media::container::matroska:
        case media::container::mp4:
        case media::container::avi:
            return 0;
        default:
            return unindexed_preroll_ms;
    }
}

std::optional<std::int64_t> longer_preroll(std::int64_t preroll_ms, const time_span& window) {
    if (preroll_ms <= 0 || preroll_ms >= window.start_ms) return std::nullopt;
    return 2 * preroll_ms;
}

compared_size compared_size_for(int source_width, int source_height) {
    if (source_width <= 0 || source_height <= 0) return {};
    const double scale = std::min({1.0 / 8, 320.0 / source_width, 180.0 / source_height});
    const auto side = [scale](int source) {
        return std::max(16, static_cast<int>(std::lround(source * scale)));
    };
    return {side(source_width), side(source_height)};
}

std::vector<std::string> comparison_arguments(const comparison_inputs& inputs,
                                              const std::optional<time_span>& window) {
    std::vector<std::string> args{"-nostdin", "-hide_banner", "-nostats", "-v", "error", "-xerror"};
    std::string graph;
    const auto add_input = [&](const std::string& path, std::int64_t preroll_ms, int index) {
        const std::string label = std::to_string(index);
        graph += "[" + label + ":V:0]";
        if (window) {
            const std::int64_t from =
                window->start_ms + (index == 1 && window->start_ms > 0
                                        ? std::max<std::int64_t>(0, inputs.frame_ms) / 2
                                        : 0);
            // A window after the start is always reached by a seek, if only to the first
            // millisecond: ffmpeg reads a file that it is not asked to seek in (or asked to seek to
            // zero) beside another with its picture's offset from its sound dropped, and an MPEG-TS
            // source decoded from its start would then run that offset (half a second, say) ahead.
            const std::int64_t seek =
                std::max<std::int64_t>(window->start_ms > 0 ? 1 : 0, from - preroll_ms);
            const std::int64_t skip = from - seek;
            args.insert(args.end(), {"-ss", seconds_text(seek), "-t",
                                     seconds_text(skip + window->length_ms + window_read_past_ms)});
            graph += "trim=start=" + seconds_text(skip) +
                     ":duration=" + seconds_text(window->length_ms) + ",";
        }
        args.insert(args.end(), {"-i", "file:" + path});
        graph += "setpts=PTS-STARTPTS,scale=" + std::to_string(inputs.size.width) + ":" +
                 std::to_string(inputs.size.height) + ":flags=area,format=yuv444p";
        graph += index == 0 ? "[c0];" : ",split=" + std::to_string(2 * shift_count);
    };
    add_input(inputs.result, inputs.result_preroll_ms, 0);
    add_input(inputs.source, inputs.source_preroll_ms, 1);
    graph += shifted_sources();
    // One chain, so the null output gets one stream: each filter passes the result's pictures on
    // to the next. shortest=1 ends each with the shorter input instead of comparing its last
    // picture again.
    int link = 0;
    for (const char* measure : {"ssim", "psnr"}) {
        for (int shift = 0; shift < shift_count; ++shift, ++link) {
            graph += ";[c" + std::to_string(link) + "][t" + std::to_string(link) + "]" + measure +
                     "=shortest=1:stats_file=" + stats_file_name(measure, shift);
            if (link + 1 < 2 * shift_count) graph += "[c" + std::to_string(link + 1) + "]";
        }
    }
    args.insert(args.end(), {"-lavfi", graph, "-an", "-sn", "-dn", "-f", "null", "-"});
    return args;
}

std::vector<double> read_stats_values(std::string_view stats, std::string_view key) {
    std::vector<double> values;
    const std::string field = std::string(key) + ":";
    while (!stats.empty()) {
        const std::size_t end = std::min(stats.find('\n'), stats.size());
        const std::string_view line = stats.substr(0, end);
        stats.remove_prefix(std::min(end + 1, stats.size()));
        std::size_t at = line.find(field);
        while (at != std::string_view::npos && at != 0 && line[at - 1] != ' ') {
            at = line.find(field, at + 1);
        }
        if (at == std::string_view::npos) continue;
        const std::string_view number = line.substr(at + field.size());
        if (number.starts_with("inf")) {
            values.push_back(psnr_ceiling);
            continue;
        }
        double value = 0;
        const auto [last, error] =
            std::from_chars(number.data(), number.data() + number.size(), value);
        if (error == std::errc() && last != number.data() && std::isfinite(value)) {
            values.push_back(std::min(value, psnr_ceiling));
        }
    }
    return values;
}

std::string judge_pictures(const std::vector<window_figures>& windows,
                           const picture_floors& floors) {
    for (const window_figures& figures : windows) {
        const std::string at = clock_text(figures.window.start_ms);
        if (!figures.decoded) {
            return "the pictures at " + at + " could not be decoded and compared without errors";
        }
        if (figures.ssim.empty() || figures.psnr.empty()) {
            return "no picture of the result at " + at + " could be compared with the source";
        }
    }
    if (const worst_stretch ssim = worst_of(windows, &window_figures::ssim);
        ssim.mean < floors.mean_ssim) {
        return "the picture differs from the source at " + clock_text(ssim.at_ms) + " (SSIM " +
               figure_text(ssim.mean, 3) + "; at least " + figure_text(floors.mean_ssim, 2) +
               " needed)";
    }
    if (const worst_stretch psnr = worst_of(windows, &window_figures::psnr);
        psnr.mean < floors.mean_psnr) {
        return "the picture differs from the source at " + clock_text(psnr.at_ms) + " (PSNR " +
               figure_text(psnr.mean, 1) + " dB; at least " + figure_text(floors.mean_psnr, 1) +
               " dB needed)";
    }
    return broken_picture(windows, floors);
}

std::string clock_text(std::int64_t ms) {
    const std::int64_t seconds = std::max<std::int64_t>(ms, 0) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

}  // namespace brindle
