#include "encode/encode.h"

#include <cstddef>
#include <optional>

#include "encode/command.h"
#include "encode/marks.h"
#include "encode/replace.h"
#include "media/probe.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

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
        case platform::command_result::ending::not_started:
            break;
    }
    return "the encoder could not be started: " + ran.error;
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
    if (note_encode_failure(entry.path, entry.stamp, prepared.command, reason)) {
        reason += "; it will be tried again on the next run";
    }
}

// The process id and the run's start in seconds: no other run, earlier or at the same time, has
// both.
const std::string& run_id() {
    static const std::string id =
        std::to_string(platform::process_id()) + "-" +
        std::to_string(platform::now_ticks() / platform::ticks_per_second);
    return id;
}

}  // namespace

std::string prepare_encode(const candidate_entry& entry, const std::string& command_template,
                           bool retry, prepared_encode& prepared, bool write_notes) {
    const std::string& path = entry.path;
    const shell_syntax shell = current_shell();
    if (!path_can_be_quoted(path, shell)) {
        return "the name holds two or more % signs, which cmd.exe could expand into a command";
    }
    if (platform::native_length(backup_path_for(path)) > platform::longest_path()) {
        return "the path is too long to add \".bak\" to it";
    }
    const std::optional<std::string> command = build_encode_command(command_template, path, shell);
    if (!command) return "the encoder command line cannot be composed for it";

    if (!retry) {
        if (const auto mark = matching_mark(path, entry.stamp, *command);
            mark && mark->kind == mark_kind::failed) {
            return "it failed on " + mark->date + " (" + mark->reason +
                   ") and has not changed since; -retry tries it again";
        }
    }
    // The very file the scan chose, unchanged: a better release renamed over it, or a download
    // still growing, is left for a later run.
    const path_state now = system_file_ops().stamp_of(path);
    if (now.what != path_state::kind::regular || !(now.stamp == entry.stamp)) {
        return "it changed after the scan";
    }
    const source_probe probe = probe_source(path);
    if (!probe.is_video_container) {
        if (write_notes) mark_failure(path, entry.stamp, *command, probe.fault);
        return probe.fault;
    }
    const std::string target = target_path_for(path, entry.relative_start);
    if (std::string fault = check_target_before_encode(system_file_ops(), path, target);
        !fault.empty()) {
        return fault;
    }

    prepared.command = *command;
    prepared.target = target;
    prepared.source_duration_ms = probe.duration_ms;
    return {};
}

encode_outcome run_encode(const candidate_entry& entry, const prepared_encode& prepared,
                          bool low_priority) {
    encode_outcome outcome;
    // The run holds the working directory's lock, so whatever stands under the temporary name is
    // left over from an earlier encode of ours and must not be taken for this one's output.
    platform::remove_file(temp_output_name);
    // The encoder writes to the same console; what was printed before it must come first.
    platform::flush_out();
    platform::command_settings settings;
    settings.low_priority = low_priority;
    const platform::command_result ran = platform::run_command(prepared.command, settings);
    const bool nearly_full = working_directory_nearly_full();
    if (ran.stop_signal != 0) {
        platform::remove_file(temp_output_name);
        outcome.stop_signal = ran.stop_signal;
        return outcome;
    }
    if (ran.how != platform::command_result::ending::exited || ran.code != 0) {
        platform::remove_file(temp_output_name);
        outcome.reason = encoder_failure(ran);
        if (!failed_on_the_file(ran) && ran.how != platform::command_result::ending::signalled) {
            outcome.encoder_missing = encoder_missing_line(ran);
            return outcome;
        }
        if (failed_on_the_file(ran)) note_failure(entry, prepared, nearly_full, outcome.reason);
        return outcome;
    }
    const long long output_size = platform::file_size(temp_output_name);
    if (output_size <= 0) {
        platform::remove_file(temp_output_name);
        outcome.reason =
            output_size < 0 ? "the encoder left no output" : "the encoder left an empty output";
        return outcome;
    }
    const result_verdict verdict = check_result(temp_output_name, prepared.source_duration_ms);
    if (!verdict.whole) {
        platform::remove_file(temp_output_name);
        outcome.reason = verdict.fault;
        // A result cut short by a full disk is no fault of the file; one that declares its
        // duration but falls short of the source's (an unfinished download) is.
        if (verdict.duration_ms &&
            !judge_result_duration(verdict.duration_ms, prepared.source_duration_ms).empty()) {
            note_failure(entry, prepared, nearly_full, outcome.reason);
        }
        return outcome;
    }

    const platform::stop_deferral replace_finishes_first;
    const replace_report replaced = replace_with_result(
        system_file_ops(), entry.path, prepared.target, temp_output_name,
        staging_path_for(prepared.target, platform::path_separator(), run_id()), entry.stamp);
    if (replaced.outcome != replace_outcome::replaced &&
        replaced.outcome != replace_outcome::replaced_old_kept) {
        outcome.reason = replaced.reason;
        return outcome;
    }
    outcome.converted = true;
    outcome.note = replaced.reason;
    outcome.size_after = static_cast<std::uint64_t>(output_size);
    return outcome;
}

}  // namespace brindle
