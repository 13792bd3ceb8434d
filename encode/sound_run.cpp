// Running the sound comparison: ffmpeg once per window and side, started from an argument list by
// the process layer, and its metadata files read back.

#include <string>
#include <vector>

#include "encode/sound.h"
#include "media/result_format.h"
#include "platform/files.h"
#include "platform/process.h"

namespace brindle {

namespace {

void remove_sound_stats(int tracks) {
    for (int side = 0; side < 2; ++side) {
        for (int track = 0; track < tracks; ++track) {
            platform::clear_in_working_directory(sound_stats_name(side, track));
        }
    }
}

}  // namespace

sound_outcome compare_sound(const sound_request& request) {
    sound_outcome outcome;
    if (request.tracks <= 0 || request.ffmpeg.empty()) return outcome;
    const std::string paths[2] = {request.source, request.result};
    const std::int64_t prerolls[2] = {
        preroll_ms_for(request.source_kind),
        preroll_ms_for(media::read_result_format(request.result).kind)};
    platform::command_settings settings;
    settings.low_priority = request.low_priority;
    settings.capture_output = true;
    std::vector<sound_window> measured;
    for (const time_span& window : choose_windows(request.duration_ms)) {
        std::vector<sound_figures> sides[2];
        for (int side = 0; side < 2; ++side) {
            remove_sound_stats(request.tracks);
            const platform::command_result ran = platform::run_program(
                request.ffmpeg,
                sound_arguments(paths[side], prerolls[side], window, request.tracks, side),
                settings);
            if (ran.stop_signal != 0) {
                remove_sound_stats(request.tracks);
                outcome.stop_signal = ran.stop_signal;
                outcome.killed = ran.killed;
                return outcome;
            }
            if (could_not_start(ran)) {
                remove_sound_stats(request.tracks);
                outcome.cannot_start = comparison_missing_line(ffmpeg_start_failure(ran));
                return outcome;
            }
            for (int track = 0; track < request.tracks; ++track) {
                sides[side].push_back(
                    read_sound_figures(read_small_file(sound_stats_name(side, track))));
            }
        }
        for (int track = 0; track < request.tracks; ++track) {
            measured.push_back({track, window, sides[0][track], sides[1][track]});
        }
    }
    remove_sound_stats(request.tracks);
    outcome.silent = silent_track(measured);
    outcome.changes = sound_changes(measured);
    return outcome;
}

}  // namespace brindle
