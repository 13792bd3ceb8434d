#include "encode/sound.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace brindle {

namespace {

constexpr int common_rates[] = {8000,  11025, 12000, 16000, 22050,  24000, 32000,
                                44100, 48000, 88200, 96000, 176400, 192000};

// The value after the last "KEY=" at the start of a line, when there is one.
std::optional<double> last_value(std::string_view stats, std::string_view key) {
    std::optional<double> found;
    std::size_t at = 0;
    while ((at = stats.find(key, at)) != std::string_view::npos) {
        const bool line_start = at == 0 || stats[at - 1] == '\n';
        at += key.size();
        if (!line_start) continue;
        const std::string_view rest = stats.substr(at);
        if (rest.starts_with("-inf")) {
            found = -HUGE_VAL;
            continue;
        }
        double value = 0;
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (error == std::errc() && end != rest.data()) found = value;
    }
    return found;
}

std::string track_text(int track) { return "audio track " + std::to_string(track + 1); }

}  // namespace

std::string sound_stats_name(int side, int track) {
    return "tempenc-sound-" + std::to_string(side) + "-" + std::to_string(track) + ".txt";
}

std::vector<std::string> sound_arguments(const std::string& path, std::int64_t preroll_ms,
                                         const time_span& window, int tracks, int side) {
    const std::int64_t seek = std::max<std::int64_t>(0, window.start_ms - preroll_ms);
    const std::int64_t skip = window.start_ms - seek;
    std::vector<std::string> args{"-nostdin",
                                  "-hide_banner",
                                  "-nostats",
                                  "-v",
                                  "error",
                                  "-ss",
                                  seconds_text(seek),
                                  "-t",
                                  seconds_text(skip + window.length_ms + window_read_past_ms),
                                  "-i",
                                  "file:" + path};
    for (int track = 0; track < tracks; ++track) {
        args.insert(args.end(), {"-map", "0:a:" + std::to_string(track), "-af",
                                 "atrim=start=" + seconds_text(skip) +
                                     ":duration=" + seconds_text(window.length_ms) +
                                     ",astats=metadata=1:reset=0:measure_perchannel=RMS_level:"
                                     "measure_overall=RMS_level,ametadata=mode=print:file=" +
                                     sound_stats_name(side, track),
                                 "-f", "null", "-"});
    }
    return args;
}

sound_figures read_sound_figures(std::string_view stats) {
    sound_figures figures;
    const std::optional<double> level = last_value(stats, "lavfi.astats.Overall.RMS_level=");
    // The filters count an audio frame's time in samples: its pts over its time in seconds is
    // the rate the decoder gave. The last frame's figures are the largest, the least rounded.
    const std::optional<double> frame = last_value(stats, "frame:");
    const std::size_t time_at = stats.rfind("pts_time:");
    if (!level || !frame || time_at == std::string_view::npos) return figures;
    const std::string_view time_text = stats.substr(time_at + 9);
    double seconds = 0;
    const auto [end, error] =
        std::from_chars(time_text.data(), time_text.data() + time_text.size(), seconds);
    if (error != std::errc() || !(seconds > 0)) return figures;
    figures.measured = true;
    figures.level_dB = std::isfinite(*level) ? *level : -200;
    for (int channel = 1;; ++channel) {
        const std::string key = "lavfi.astats." + std::to_string(channel) + ".RMS_level=";
        if (!last_value(stats, key)) break;
        figures.channels = channel;
    }
    const std::size_t pts_at = stats.rfind(" pts:");
    double samples = 0;
    if (pts_at != std::string_view::npos) {
        const std::string_view pts_text = stats.substr(pts_at + 5);
        std::from_chars(pts_text.data(), pts_text.data() + pts_text.size(), samples);
    }
    const double rate = samples / seconds;
    figures.sample_rate = common_rates[0];
    for (const int common : common_rates) {
        if (std::abs(common - rate) < std::abs(figures.sample_rate - rate)) {
            figures.sample_rate = common;
        }
    }
    return figures;
}

std::string silent_track(const std::vector<sound_window>& windows) {
    for (const sound_window& w : windows) {
        if (!w.source.measured || !w.result.measured) continue;
        if (w.source.level_dB > sounding_dB && w.result.level_dB < silent_dB) {
            char levels[64];
            if (w.result.level_dB <= -200) {
                std::snprintf(levels, sizeof levels, " (no sound at all, the source %.0f dB)",
                              w.source.level_dB);
            } else {
                std::snprintf(levels, sizeof levels, " (%.0f dB, the source %.0f dB)",
                              w.result.level_dB, w.source.level_dB);
            }
            return "the result's " + track_text(w.track) + " is silent at " +
                   clock_text(w.window.start_ms) + levels;
        }
    }
    return {};
}

std::vector<std::string> sound_changes(const std::vector<sound_window>& windows) {
    std::vector<std::string> changes;
    std::vector<int> told;
    for (const sound_window& w : windows) {
        if (!w.source.measured || !w.result.measured) continue;
        if (std::find(told.begin(), told.end(), w.track) != told.end()) continue;
        told.push_back(w.track);
        if (w.result.channels != w.source.channels) {
            changes.push_back(track_text(w.track) + " has " + std::to_string(w.result.channels) +
                              (w.result.channels == 1 ? " channel" : " channels") +
                              ", the source " + std::to_string(w.source.channels));
        }
        if (w.result.sample_rate != w.source.sample_rate) {
            changes.push_back(track_text(w.track) + " plays at " +
                              std::to_string(w.result.sample_rate) + " Hz, the source at " +
                              std::to_string(w.source.sample_rate) + " Hz");
        }
    }
    return changes;
}

}  // namespace brindle
