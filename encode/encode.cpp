#include "encode/encode.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "encode/command.h"
#include "encode/journal.h"
#include "encode/kept.h"
#include "encode/marks.h"
#include "encode/picture_check.h"
#include "encode/quality.h"
#include "encode/replace.h"
#include "encode/sidecars.h"
#include "encode/size_watch.h"
#include "encode/sound.h"
#include "encode/staging.h"
#include "media/file_source.h"
#include "media/probe.h"
#include "media/result_format.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "vocabulary/size_text.h"

namespace brindle {

namespace {

shell_syntax current_shell() {
    return platform::command_interpreter() == platform::interpreter_kind::windows_cmd
               ? shell_syntax::windows_cmd
               : shell_syntax::posix_sh;
}

// An encoder that failed on the file itself, rather than one that could not run at all (sh and
// cmd.exe answer 126, 127 and 9009 for a program they cannot find or start) or that was killed.
bool failed_on_the_file(const platform::command_result& ran) {
    return ran.how == platform::command_result::ending::exited && ran.code != 126 &&
           ran.code != 127 && ran.code != 9009;
}

std::string encoder_failure(const platform::command_result& ran) {
    switch (ran.how) {
        case platform::command_result::ending::exited:
            return "the encoder failed with exit code " + std::to_string(ran.code);
        case platform::command_result::ending::signalled:
            return "the encoder was ended by signal " + std::to_string(ran.code);
        case platform::command_result::ending::unseen:
            return "the encoder's end could not be seen, so it was killed";
        case platform::command_result::ending::not_started:
            break;
    }
    return "the encoder could not be started: " + ran.error;
}

std::string stop_note_for(platform::stop_kill killed) {
    switch (killed) {
        case platform::stop_kill::after_wait:
            return "the encoder did not stop within " +
                   std::to_string(platform::stop_wait_seconds) + " s and was killed";
        case platform::stop_kill::at_second_stop:
            return "the encoder was killed at the second stop";
        case platform::stop_kill::none:
            break;
    }
    return {};
}

// Why a whole result must not replace its source, when it must not: it is not smaller, it lacks
// a track the default line keeps, its picture differs from the source's where the default line
// keeps it, or it has lost the colour.
std::string refusal_of_whole_result(const candidate_entry& entry, const prepared_encode& prepared,
                                    const result_verdict& verdict, std::uint64_t output_size,
                                    const picture_changes& picture) {
    if (output_size >= entry.stamp.size) {
        return "the result (" + size_text(output_size) + ") is not smaller than the source (" +
               size_text(entry.stamp.size) + ")";
    }
    if (prepared.default_line &&
        lacks_kept_track(kept_by_default_line(prepared.source_tracks, prepared.source_is_matroska),
                         verdict.tracks)) {
        return missing_tracks_text(prepared.source_tracks, verdict.tracks);
    }
    if (picture.colour_lost || prepared.default_line) return changes_text(picture);
    return {};
}

// What the outcome line adds about the result's tracks and the sidecars.
std::string converted_note(const prepared_encode& prepared, const result_verdict& verdict,
                           const picture_changes& picture, const std::vector<std::string>& sound,
                           const std::string& quality, const std::string& replace_note,
                           const std::string& sidecars) {
    std::string note;
    const auto add = [&note](const std::string& part) {
        if (part.empty()) return;
        if (!note.empty()) note += "; ";
        note += part;
    };
    add(quality);
    add(replace_note);
    add(missing_tracks_text(prepared.source_tracks, verdict.tracks));
    add(changes_text(picture));
    for (const std::string& change : sound) add(change);
    if (prepared.default_line && verdict.tracks.subtitle < prepared.source_tracks.subtitle) {
        add(left_out_text(prepared.source_tracks));
    }
    add(sidecars);
    return note;
}

std::string encoder_missing_line(const platform::command_result& ran) {
    if (ran.how == platform::command_result::ending::not_started) {
        return "The encoder could not be started (" + ran.error + "); no other file was tried";
    }
    return "The encoder could not be found (exit code " + std::to_string(ran.code) +
           "); no other file was tried";
}

// A working directory this close to full explains an encoder's failure better than the file does.
constexpr std::uint64_t nearly_full_bytes = 64ULL << 20;

// Read while the encoder's output still stands: deleting it frees what it took.
bool working_directory_nearly_full() {
    const std::optional<std::uint64_t> free = platform::free_bytes_in(".");
    return free && *free < nearly_full_bytes;
}

// Notes a failure of the encoder or of its result on the file, unless the working directory was
// nearly full, and says in `reason` when the next run tries the file again.
void note_failure(const candidate_entry& entry, const prepared_encode& prepared, bool nearly_full,
                  std::string& reason) {
    if (nearly_full) return;
    if (note_encode_failure(entry.path, entry.stamp, prepared.marked_as, reason)) {
        reason += "; it will be tried again on the next run";
    }
}

// How long one of the source's pictures is shown as the line makes them, when its headers tell
// its rate: a deinterlaced source's fields are pictures of their own, shown half as long.
std::optional<std::int64_t> shown_ms_of(const prepared_encode& prepared) {
    const media::picture_properties& picture = prepared.source_picture;
    if (picture.rate_num == 0 || picture.rate_den == 0) return std::nullopt;
    const std::uint64_t shown_ms =
        picture.rate_den * 1000 / picture.rate_num / (prepared.deinterlaced ? 2 : 1);
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(shown_ms));
}

// Compares the whole result's picture with the source's. Answers false when the result must not
// be installed, with `outcome` saying why; the output's owner deletes the temporary output.
bool shows_the_sources_picture(const candidate_entry& entry, const prepared_encode& prepared,
                               const result_verdict& verdict, bool low_priority, bool nearly_full,
                               encode_outcome& outcome) {
    if (prepared.verify == verify_level::headers) return true;
    comparison_request request;
    request.ffmpeg = prepared.comparer;
    request.ffmpeg_missing = prepared.comparer_missing;
    request.level = prepared.verify;
    request.source = entry.path;
    request.result = temp_output_name;
    request.duration_ms = prepared.source_duration_ms.value_or(verdict.duration_ms.value_or(0));
    request.source_width = prepared.source_picture.width;
    request.source_height = prepared.source_picture.height;
    request.frame_ms = shown_ms_of(prepared).value_or(request.frame_ms);
    request.low_priority = low_priority;
    const comparison_outcome compared = compare_pictures(request);
    if (compared.stop_signal == 0 && compared.cannot_start.empty() && compared.refusal.empty()) {
        return true;
    }
    outcome.stop_signal = compared.stop_signal;
    outcome.stop_note = stop_note_for(compared.killed);
    outcome.encoder_missing = compared.cannot_start;
    if (compared.stop_signal == 0 && compared.cannot_start.empty()) {
        outcome.reason = compared.refusal;
        outcome.encoder_output = compared.output;
        note_failure(entry, prepared, nearly_full, outcome.reason);
    }
    return false;
}

// Compares the whole result's sound with the source's in the picture comparison's windows.
// Answers false when the result must not be installed, with `outcome` saying why: a track silent
// where the source's sounds, or with the default lines, which copy the sound, any change. Else
// `changes` names the changes of channels and sample rate for the line.
bool plays_the_sources_sound(const candidate_entry& entry, const prepared_encode& prepared,
                             const result_verdict& verdict, bool low_priority, bool nearly_full,
                             std::vector<std::string>& changes, encode_outcome& outcome) {
    if (prepared.verify == verify_level::headers) return true;
    sound_request request;
    request.ffmpeg = prepared.comparer;
    request.source = entry.path;
    request.result = temp_output_name;
    request.source_kind = prepared.source_container;
    request.duration_ms = prepared.source_duration_ms.value_or(verdict.duration_ms.value_or(0));
    request.tracks = std::min(prepared.source_tracks.audio, verdict.tracks.audio);
    request.low_priority = low_priority;
    const sound_outcome heard = compare_sound(request);
    if (heard.stop_signal != 0) {
        outcome.stop_signal = heard.stop_signal;
        outcome.stop_note = stop_note_for(heard.killed);
        return false;
    }
    outcome.encoder_missing = heard.cannot_start;
    if (!heard.cannot_start.empty()) return false;
    std::string refusal = heard.silent;
    if (refusal.empty() && prepared.default_line) {
        for (const std::string& change : heard.changes) {
            refusal += (refusal.empty() ? "" : "; ") + change;
        }
    }
    if (refusal.empty()) {
        changes = heard.changes;
        return true;
    }
    outcome.reason = std::move(refusal);
    note_failure(entry, prepared, nearly_full, outcome.reason);
    return false;
}

// The longest name of one file or folder that the file systems we meet take, counted as
// native_length counts.
constexpr std::size_t longest_name = 255;

// The installs this run keeps in the journal: those it could not finish, of its own or of a
// killed run before it.
install_journal& run_journal() {
    static install_journal journal;
    return journal;
}

std::string read_journal() {
    platform::file_reader reader;
    // Through the checked working directory, as it is written, never through a link planted there.
    if (reader.open_in_working_directory(journal_file_name) !=
        platform::file_reader::outcome::opened) {
        return {};
    }
    constexpr std::uint64_t most_journal_size = 1 << 20;
    std::string text(static_cast<std::size_t>(std::min(reader.size(), most_journal_size)), '\0');
    text.resize(reader.read_at(0, text.data(), text.size()));
    return text;
}

}  // namespace

std::vector<std::string> finish_interrupted_work() {
    std::vector<std::string> lines;
    install_journal& journal = run_journal();
    journal.unfinished.clear();
    for (const install_intent& intent : parse_journal(read_journal())) {
        const settled_install settled = settle_install(system_file_ops(), intent, true);
        if (!settled.line.empty()) lines.push_back(settled.line);
        // Only once every file of the install is where it belongs: until then the staged file
        // may be the result's one whole copy.
        if (settled.finished) {
            remove_abandoned_staging(intent.staging, intent.result);
        } else {
            journal.unfinished.push_back(intent);
        }
    }
    system_file_ops().write_journal(journal_text(journal.unfinished));
    // A run killed during its quality search leaves sample windows of a source, megabytes each.
    remove_search_leftovers();
    return lines;
}

std::string prepare_encode(const candidate_entry& entry, const std::string& command_template,
                           bool retry, double quality, prepared_encode& prepared,
                           bool write_notes) {
    const std::string& path = entry.path;
    const shell_syntax shell = current_shell();
    if (!path_can_be_quoted(path, shell)) {
        return "the name holds two or more % signs, which cmd.exe could expand into a command";
    }

    // The backup's path is Brindle's own, never handed to the interpreter, so only its name must
    // fit the file system's limit on a name.
    if (platform::native_length(name_of(backup_path_for(path), platform::path_separators())) >
        longest_name) {
        return "the path is too long to add \".bak\" to it";
    }
    const std::optional<std::string> command = build_encode_command(command_template, path, shell);
    if (!command) return "the encoder command line cannot be composed for it";
    // A quality target makes another line of it: what fails at one target may pass at another.
    const std::string marked_as =
        quality > 0 ? *command + " -quality " + target_text(quality) : *command;

    if (!retry) {
        if (const auto mark = matching_mark(path, entry.stamp, marked_as);
            mark && mark->kind == mark_kind::failed) {
            return skipped_failure_text(*mark, quality);
        }
    }
    // The very file the scan chose, unchanged: a better release renamed over it, or a download
    // still growing, is left for a later run.
    const path_state now = system_file_ops().stamp_of(path);
    if (now.what != path_state::kind::regular || !(now.stamp == entry.stamp)) {
        return "it changed after the scan";
    }
    const source_headers source = read_source_headers(path);
    const source_probe& probe = source.probe;
    if (!probe.is_video_container) {
        if (write_notes) mark_failure(path, entry.stamp, marked_as, probe.fault);
        return probe.fault;
    }
    prepared.default_line = command_template == default_command_template;
    std::string target = target_path_for(path, platform::path_separators());
    // The default line's result is Matroska: its name is known before the encoder starts.
    if (prepared.default_line) {
        target = installed_path_for(path, target, platform::path_separators(),
                                    media::container::matroska, false);
    }
    if (std::string fault = check_target_before_encode(system_file_ops(), path, target);
        !fault.empty()) {
        return fault;
    }
    if (platform::is_open_elsewhere(path)) return "the source is open in another program";
    // The folder's permissions and ACLs tell for sure only when a name is made in it; a dry run
    // changes nothing, not even the folder's last-write time, so it asks the system instead.
    const std::string staging = staging_path(target);
    if (const op_result made = write_notes ? platform::create_and_remove(staging)
                                           : platform::may_make_names_beside(staging);
        !made.ok()) {
        prepared.cannot_be_replaced = true;
        return made.why == op_result::fault::outside
                   ? made.error
                   : "its folder cannot be written: " + made.error;
    }

    prepared.source_picture = source.picture;
    prepared.line = command_template;
    if (prepared.default_line) {
        prepared.deinterlaced = is_interlaced(prepared.source_picture.fields);
        prepared.line = default_template_for(probe.tracks.has_mov_text, prepared.deinterlaced);
    }
    // Without a target, %q takes the CRF the default lines have always had.
    prepared.command =
        build_encode_command(line_with_crf(prepared.line, prepared.default_line, built_in_crf),
                             path, shell)
            .value_or(*command);
    prepared.quality = quality;
    prepared.marked_as = marked_as;
    prepared.target = target;
    prepared.source_duration_ms = probe.duration_ms;
    prepared.source_tracks = probe.tracks;
    prepared.source_container = source.kind;
    prepared.source_is_matroska = source.kind == media::container::matroska;
    return {};
}

namespace {

quality_request quality_request_for(const candidate_entry& entry, const prepared_encode& prepared,
                                    bool low_priority) {
    quality_request request;
    request.ffmpeg = prepared.comparer;
    request.ffmpeg_missing = prepared.comparer_missing;
    request.source = entry.path;
    request.duration_ms = prepared.source_duration_ms.value_or(0);
    request.source_kind = prepared.source_container;
    request.line = prepared.line;
    request.default_line = prepared.default_line;
    request.deinterlaced = prepared.deinterlaced;
    request.frame_ms = shown_ms_of(prepared).value_or(request.frame_ms);
    request.shell = current_shell();
    request.target = prepared.quality;
    request.low_priority = low_priority;
    return request;
}

// Passes a stop, or an ffmpeg that could not be started, from the search or the measurement on
// to `outcome`; true when there was either.
template <typename Measured>
bool ended_the_run(const Measured& measured, encode_outcome& outcome) {
    if (measured.stop_signal != 0) {
        outcome.stop_signal = measured.stop_signal;
        outcome.stop_note = stop_note_for(measured.killed);
        return true;
    }
    outcome.encoder_missing = measured.cannot_start;
    return !measured.cannot_start.empty();
}

// With -quality: the CRF the sample windows choose, and the command that encodes at it. False
// when the file is not to be encoded, with `outcome` saying why.
bool choose_crf(const candidate_entry& entry, const prepared_encode& prepared,
                const quality_request& request, std::string& command, crf_probe& chosen,
                std::vector<window_bytes>& windows, encode_outcome& outcome) {
    const quality_search found = search_quality(request);
    if (ended_the_run(found, outcome)) return false;
    if (found.encoder_failed) {
        const platform::command_result& ran = *found.encoder_failed;
        outcome.reason =
            encoder_failure(ran) + " on a sample window at CRF " + std::to_string(found.failed_crf);
        outcome.encoder_output = ran.output_tail;
        if (ran.how == platform::command_result::ending::not_started ||
            (ran.how == platform::command_result::ending::exited && !failed_on_the_file(ran))) {
            outcome.encoder_missing = encoder_missing_line(ran);
        } else if (failed_on_the_file(ran)) {
            note_failure(entry, prepared, working_directory_nearly_full(), outcome.reason);
        }
        return false;
    }
    if (!found.refusal.empty()) {
        outcome.reason = found.refusal;
        outcome.encoder_output = found.output;
        note_failure(entry, prepared, working_directory_nearly_full(), outcome.reason);
        return false;
    }
    chosen = *found.chosen;
    windows = found.chosen_bytes;
    command = build_encode_command(line_with_crf(prepared.line, prepared.default_line, chosen.crf),
                                   entry.path, request.shell)
                  .value_or(prepared.command);
    return true;
}

// With -quality, after every other check passed: the whole result's SSIM on the sample windows,
// its words for the line in `measured`. False when it falls short of the target by more than
// the sampling allows, or cannot be measured, with `outcome` saying why.
bool keeps_the_quality(const candidate_entry& entry, const prepared_encode& prepared,
                       const quality_request& request, const crf_probe& chosen, bool nearly_full,
                       std::string& measured, encode_outcome& outcome) {
    const quality_measure measure = measure_quality(request, temp_output_name);
    if (ended_the_run(measure, outcome)) return false;
    if (!measure.ssim) {
        outcome.reason = measure.refusal;
        outcome.encoder_output = measure.output;
    } else if (*measure.ssim < prepared.quality - quality_allowance) {
        outcome.reason = "the result's SSIM is " + ssim_text(*measure.ssim) + " at CRF " +
                         std::to_string(chosen.crf) + ", below the -quality " +
                         target_text(prepared.quality) + " asked for";
    } else {
        measured = quality_text(chosen.crf, *measure.ssim);
        return true;
    }
    note_failure(entry, prepared, nearly_full, outcome.reason);
    return false;
}

// Whether the sample windows' encodes foretell a result that would not be smaller than its
// source, with `outcome` saying so and the file noted: it is then not encoded at all.
bool foreseen_not_smaller(const candidate_entry& entry, const prepared_encode& prepared,
                          const std::vector<window_bytes>& windows, encode_outcome& outcome) {
    const std::optional<foreseen> sizes =
        foreseen_size(windows, entry.stamp.size, prepared.source_duration_ms.value_or(0));
    if (!sizes || !foreseen_larger(*sizes, entry.stamp.size)) return false;
    outcome.reason = "the result would not be smaller than the source (about " +
                     size_text(sizes->size) + " of " + size_text(entry.stamp.size) + ", from " +
                     std::to_string(windows.size()) + " sample windows)";
    mark_failure(entry.path, entry.stamp, prepared.marked_as, outcome.reason);
    outcome.reason += "; " + std::string(size_refusal_advice_for(prepared.quality));
    return true;
}

// Before the whole encode, the sample windows: under -quality they choose the CRF and `command`
// takes it; a source long enough has them encoded once with its line. Either way they may foretell
// a result not smaller than the source. False when the file is not to be encoded, with `outcome`
// saying why.
bool foresee_the_result(const candidate_entry& entry, const prepared_encode& prepared,
                        const quality_request& quality, encoder_output& output,
                        std::string& command, crf_probe& chosen, encode_outcome& outcome) {
    std::vector<window_bytes> windows;
    const bool foreseen = prepared.source_duration_ms.value_or(0) >= foreseen_from_ms;
    if (prepared.quality > 0) {
        if (!choose_crf(entry, prepared, quality, command, chosen, windows, outcome)) return false;
    } else if (foreseen) {
        const window_encodes encoded = encode_windows(quality);
        if (encoded.stop_signal != 0) {
            outcome.stop_signal = encoded.stop_signal;
            outcome.stop_note = stop_note_for(encoded.killed);
            return false;
        }
        windows = encoded.bytes;
    } else {
        return true;
    }
    if (foreseen_not_smaller(entry, prepared, windows, outcome)) return false;
    // The windows' encodes wrote under the output's name; nothing of theirs may stand there.
    if (std::string fault = output.clear(); !fault.empty()) {
        outcome.reason = std::move(fault);
        return false;
    }
    return true;
}

// Runs the encoder at the run's priority, with `growth` watching its output.
platform::command_result run_encoder(const std::string& command, bool low_priority,
                                     size_watch& growth) {
    // The encoder writes to the same console; what was printed before it must come first.
    platform::flush_out();
    platform::command_settings settings;
    settings.low_priority = low_priority;
    // A log that is not watched gets the encoder's last words when it fails, not its every line.
    settings.capture_output = !platform::output_is_terminal();
    settings.keep_running = [&growth] { return growth.keep_running(); };
    return platform::run_command(command, settings);
}

// Whether the encoder ended without a result to judge, with `outcome` saying how: a stop, an
// output that passed what the source allows (`growth` says why), a failure, or no encoder at all.
bool ended_without_result(const candidate_entry& entry, const prepared_encode& prepared,
                          const platform::command_result& ran, const size_watch& growth,
                          bool nearly_full, encode_outcome& outcome) {
    if (ran.stop_signal != 0) {
        outcome.stop_signal = ran.stop_signal;
        outcome.stop_note = stop_note_for(ran.killed);
        return true;
    }
    if (ran.cut_short) {
        outcome.reason = growth.refusal();
        mark_failure(entry.path, entry.stamp, prepared.marked_as, outcome.reason);
        outcome.reason += "; " + std::string(size_refusal_advice_for(prepared.quality));
        return true;
    }
    if (ran.how == platform::command_result::ending::exited && ran.code == 0) return false;
    outcome.reason = encoder_failure(ran);
    outcome.encoder_output = ran.output_tail;
    if (ran.how == platform::command_result::ending::not_started ||
        (ran.how == platform::command_result::ending::exited && !failed_on_the_file(ran))) {
        outcome.encoder_missing = encoder_missing_line(ran);
        return true;
    }
    if (failed_on_the_file(ran)) note_failure(entry, prepared, nearly_full, outcome.reason);
    return true;
}

// How the encode that made a result ran, for judging it.
struct judging {
    const quality_request& quality;
    const crf_probe& chosen;
    std::uint64_t started;
    const std::vector<std::string>& encoder_output;
    bool nearly_full;
    bool low_priority;
};

// What the checks of a whole result found, for its install and its line.
struct judged_result {
    result_verdict verdict;
    std::uint64_t size = 0;
    picture_changes picture;
    std::vector<std::string> sound;
    std::string measured;
};

// Opens the encoder's output and judges it: whole to its last frame, the source's tracks and
// picture, smaller, the source's sound, and the quality asked for. Answers false, with the
// refusal in `outcome`, when it may not replace the source.
bool judge_result(const candidate_entry& entry, const prepared_encode& prepared, const judging& how,
                  encoder_output& output, judged_result& judged, encode_outcome& outcome) {
    if (std::string refusal = output.open(how.started); !refusal.empty()) {
        outcome.reason = std::move(refusal);
        if (output.left_nothing()) outcome.encoder_output = how.encoder_output;
        return false;
    }
    judged.size = output.file().size();
    media::file_source read_output(output.file());
    judged.verdict = check_result(read_output, prepared.source_duration_ms);
    const result_verdict& verdict = judged.verdict;
    if (!verdict.whole) {
        outcome.reason = verdict.fault;
        // A result cut short by a full disk is no fault of the file; one that declares its
        // duration but falls short of the source's (an unfinished download) is.
        if (verdict.duration_ms &&
            !judge_result_duration(verdict.duration_ms, prepared.source_duration_ms).empty()) {
            note_failure(entry, prepared, how.nearly_full, outcome.reason);
        }
        return false;
    }
    media::block_reader read_picture(read_output);
    judged.picture =
        compare_pictures(prepared.source_picture, media::read_picture_properties(read_picture),
                         prepared.deinterlaced);
    if (std::string refusal =
            refusal_of_whole_result(entry, prepared, verdict, judged.size, judged.picture);
        !refusal.empty()) {
        mark_failure(entry.path, entry.stamp, prepared.marked_as, refusal);
        outcome.reason =
            is_size_refusal(refusal)
                ? refusal + "; " + std::string(size_refusal_advice_for(prepared.quality))
                : std::move(refusal);
        return false;
    }
    if (!shows_the_sources_picture(entry, prepared, verdict, how.low_priority, how.nearly_full,
                                   outcome)) {
        return false;
    }
    if (!plays_the_sources_sound(entry, prepared, verdict, how.low_priority, how.nearly_full,
                                 judged.sound, outcome)) {
        return false;
    }
    return prepared.quality <= 0 || keeps_the_quality(entry, prepared, how.quality, how.chosen,
                                                      how.nearly_full, judged.measured, outcome);
}

// Puts a judged result in place of its source, its sidecars renamed with it.
void install_result(const candidate_entry& entry, const prepared_encode& prepared,
                    encoder_output& output, const judged_result& judged, encode_outcome& outcome) {
    // A configuration line's result is named once it is read; the replace checks that name again.
    const std::string target =
        installed_path_for(entry.path, prepared.target, platform::path_separators(),
                           judged.verdict.format.kind, judged.verdict.format.valid_webm);
    const platform::stop_deferral replace_finishes_first;
    const std::string staging = staging_path(target);
    const replace_report replaced =
        replace_with_result(output.ops(system_file_ops()), entry.path, target, temp_output_name,
                            staging, entry.stamp, &run_journal());
    if (replaced.outcome != replace_outcome::replaced &&
        replaced.outcome != replace_outcome::replaced_old_kept) {
        outcome.reason = replaced.reason;
        return;
    }
    const std::string sidecars = target == entry.path
                                     ? std::string()
                                     : rename_sidecars(system_file_ops(), entry.path, target);
    outcome.converted = true;
    outcome.installed = target;
    outcome.note = converted_note(prepared, judged.verdict, judged.picture, judged.sound,
                                  judged.measured, replaced.reason, sidecars);
    outcome.size_after = judged.size;
}

}  // namespace

encode_outcome run_encode(const candidate_entry& entry, const prepared_encode& prepared,
                          encoder_output& output, bool low_priority) {
    encode_outcome outcome;
    const quality_request quality = quality_request_for(entry, prepared, low_priority);
    std::string command = prepared.command;
    crf_probe chosen;
    if (!foresee_the_result(entry, prepared, quality, output, command, chosen, outcome)) {
        return outcome;
    }
    size_watch growth(entry.stamp.size, prepared.source_duration_ms);
    const std::uint64_t started = platform::now_ticks();
    const platform::command_result ran = run_encoder(command, low_priority, growth);
    const bool nearly_full = working_directory_nearly_full();
    if (ended_without_result(entry, prepared, ran, growth, nearly_full, outcome)) return outcome;
    judged_result judged;
    const judging how{quality, chosen, started, ran.output_tail, nearly_full, low_priority};
    if (!judge_result(entry, prepared, how, output, judged, outcome)) return outcome;
    install_result(entry, prepared, output, judged, outcome);
    return outcome;
}

}  // namespace brindle
