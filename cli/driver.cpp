#include "cli/driver.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/schedule.h"
#include "encode/command.h"
#include "encode/encode.h"
#include "encode/marks.h"
#include "encode/quality.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/walk.h"
#include "scan/filters.h"
#include "scan/scan.h"

namespace brindle {
namespace {

constexpr const char* lock_file_name = "brindle.lock";
using platform::ticks_per_second;

enum class run_lock { taken, held_elsewhere, cannot_create };

// Two runs encoding in one working directory would share tempenc.mkv, and one could install the
// other's half-written output. The lock is released by the system when the process ends, so it is
// never stale. A working directory that cannot hold it is a fault of the run's set-up, which a
// scheduler must see.
run_lock take_run_lock() {
    switch (platform::lock_working_directory(lock_file_name)) {
        case platform::lock_result::acquired:
            return run_lock::taken;
        case platform::lock_result::held_elsewhere:
            platform::write_out(
                "Another Brindle run is encoding in this working directory; this run does "
                "nothing.\n");
            return run_lock::held_elsewhere;
        case platform::lock_result::held_by_left_encoder:
            platform::write_out(
                "An encoder of an earlier run is still running in this working directory; this "
                "run does nothing.\n");
            return run_lock::held_elsewhere;
        case platform::lock_result::cannot_create:
            break;
    }
    platform::write_out(std::string("Cannot create the lock file ") + lock_file_name + " in " +
                        printable_path(platform::working_directory()) +
                        "; this run does nothing.\n");
    return run_lock::cannot_create;
}

// tempenc.mkv, the lock and the staged files live in the working directory: inside the library
// the scan would take them for library files.
std::string real_path_of_folder(const std::string& path) {
    platform::open_directory folder;
    if (!platform::open_top_directory(path, folder).ok()) return {};
    return platform::real_path(folder);
}

std::string working_directory_fault(const std::string& library) {
    const std::string here = real_path_of_folder(platform::working_directory());
    const std::string top = real_path_of_folder(library);
    if (here.empty() || top.empty()) return {};
    if (!platform::lies_inside(here, top, platform::path_separators())) return {};
    return "The working directory " + printable_path(here) + " lies inside the library folder " +
           printable_path(top) + "; run Brindle from a folder outside it.\n";
}

// The replace steps change names only inside the library and the working directory, however a
// folder is swapped for a link while a run goes on; the working directory is held open from here
// on. A working directory that cannot be held, or whose leftover temporary output cannot be
// removed, would refuse every encode.
bool hold_working_directory(const std::string& library) {
    const auto refuse = [](const std::string& what, const op_result& why) {
        platform::write_out(what + " " + printable_path(platform::working_directory()) + ": " +
                            printable_path(why.error) + "; this run does nothing.\n");
        return false;
    };
    if (const op_result held = platform::confine_changes_to(library, "."); !held.ok()) {
        return refuse("Cannot open the working directory", held);
    }
    if (const op_result cleared = platform::clear_in_working_directory(temp_output_name);
        !cleared.ok()) {
        return refuse(
            std::string("Cannot remove ") + temp_output_name + " from the working directory",
            cleared);
    }
    return true;
}

// Keeps only this run's shard of the candidates.
void keep_shard(const run_options& options, candidate_list& candidates) {
    if (options.shard_count <= 1) return;
    std::erase_if(candidates.entries, [&](const candidate_entry& entry) {
        const std::string_view below_library =
            std::string_view(entry.path).substr(entry.relative_start);
        return shard_of(below_library, platform::path_separators(), options.shard_count) !=
               options.shard_index;
    });
}

void report_candidates(const candidate_list& candidates) {
    platform::write_out("Scan found " + std::to_string(candidates.entries.size()) + " files\n");
    for (const candidate_entry& entry : candidates.entries) {
        platform::write_out("Found: " + printable_path(entry.path) + "\n");
    }
}

std::string now_text() {
    return date_time_text(platform::local_date(), platform::local_seconds_of_day());
}

struct run_tally {
    // An encoder failed, a result was refused or a file could not be replaced.
    bool failed = false;
    int converted = 0;
    int not_converted = 0;
    int left_over = 0;
    std::uint64_t bytes_before = 0;
    std::uint64_t bytes_after = 0;
};

std::uint64_t seconds_since(std::uint64_t start_ticks) {
    const std::uint64_t now = platform::now_ticks();
    return now > start_ticks ? (now - start_ticks) / ticks_per_second : 0;
}

void report_not_converted(const candidate_entry& entry, const std::string& reason,
                          run_tally& tally) {
    platform::write_out("Not converted: " + printable_path(entry.path) + ": " +
                        printable_path(reason) + "\n");
    ++tally.not_converted;
}

void report_converted(const candidate_entry& entry, const prepared_encode& prepared,
                      const encode_outcome& outcome, std::uint64_t started, run_tally& tally) {
    std::string line = "Converted: " + printable_path(entry.path);
    const std::string& installed = outcome.installed.empty() ? prepared.target : outcome.installed;
    if (installed != entry.path) line += " -> " + printable_path(installed);
    const std::uint64_t before = entry.stamp.size;
    line += " (" + size_text(before) + " -> " + size_text(outcome.size_after) + ", " +
            change_text(before, outcome.size_after) + ", " + elapsed_text(seconds_since(started)) +
            ")";
    if (!outcome.note.empty()) line += "; " + printable_path(outcome.note);
    line += "\n";
    platform::write_out(line);
    ++tally.converted;
    tally.bytes_before += before;
    tally.bytes_after += outcome.size_after;
}

void report_summary(const run_tally& tally, std::uint64_t run_started) {
    std::string line = "Finished " + now_text() + ": " + std::to_string(tally.converted) +
                       " converted, " + std::to_string(tally.not_converted) + " not converted";
    if (tally.left_over > 0) {
        line += ", " + std::to_string(tally.left_over) + " left for the next run";
    }
    line += "; " + size_text(tally.bytes_before) + " before, " + size_text(tally.bytes_after) +
            " after; " + elapsed_text(seconds_since(run_started)) + "\n";
    platform::write_out(line);
    platform::flush_out();
}

// The encoder's last lines under its failure, indented by a tab. Their tabs stay; other control
// characters are shown as they are in paths.
void report_encoder_output(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        std::string shown = "\t";
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos;
             start = tab + 1) {
            shown += printable_path(line.substr(start, tab - start)) + "\t";
        }
        platform::write_out(shown + printable_path(line.substr(start)) + "\n");
    }
}

int report_stop(int signal, const candidate_entry& entry, const run_tally& tally,
                std::uint64_t run_started, const std::string& stop_note = {}) {
    const std::string note = stop_note.empty() ? "" : "; " + stop_note;
    platform::write_out("Stopped by signal " + std::to_string(signal) + "; " +
                        printable_path(entry.path) + " was not converted" + note + "\n");
    report_summary(tally, run_started);
    return exit_for_signal(signal);
}

// How far the run has come, in source bytes: of the whole list, and of the encodes that converted
// a file, with the time they took.
struct run_pace {
    std::uint64_t total = 0;
    std::uint64_t done = 0;
    std::uint64_t measured_bytes = 0;
    std::uint64_t measured_ticks = 0;
};

// The encoder's output goes to the working directory first; a source larger than the room there
// would only fail after hours. What the source takes on its disk counts, not its declared size:
// a sparse file of terabytes holds a few blocks and must not stand in the others' way.
std::string free_space_fault(const candidate_entry& entry) {
    const std::optional<std::uint64_t> free = platform::free_bytes_in(".");
    const std::uint64_t takes =
        std::min(entry.stamp.size, platform::allocated_bytes_of(entry.path).value_or(~0ULL));
    if (!free || *free >= takes) return {};
    return "the working directory has " + rounded_size_text(*free) + " free, the source is " +
           rounded_size_text(takes);
}

// A fault of the working directory, which every later file would meet too, ends the run at
// `entry`: its line, the files left and why, the summary. Answers the exit code.
int end_run_at(const candidate_entry& entry, const std::string& fault, const std::string& why_left,
               std::size_t left, run_tally& tally, std::uint64_t run_started) {
    report_not_converted(entry, fault, tally);
    tally.left_over = static_cast<int>(left);
    if (left > 0) {
        platform::write_out("Left for the next run: " + std::to_string(left) + " files, " +
                            why_left + "\n");
    }
    report_summary(tally, run_started);
    return exit_not_converted;
}

// What a dry run can tell without an encoder: the files the encode run would refuse, and why.
void report_refusals(const run_options& options, const candidate_list& candidates,
                     const std::string& command_template) {
    for (const candidate_entry& entry : candidates.entries) {
        prepared_encode prepared;
        const std::string reason = prepare_encode(entry, command_template, options.retry,
                                                  options.quality, prepared, false);
        if (reason.empty()) continue;
        platform::write_out("Would not convert: " + printable_path(entry.path) + ": " +
                            printable_path(reason) + "\n");
    }
}

// Where the comparison looked for ffmpeg, in the words of the line that stops the run.
std::string comparer_missing_text() {
    if (platform::command_interpreter() == platform::interpreter_kind::windows_cmd) {
        return "ffmpeg.exe is not in the working directory, beside brindle.exe or on PATH";
    }
    return "ffmpeg is not on PATH";
}

// When -until ends the run, in ticks; nothing without -until.
std::optional<std::uint64_t> run_deadline(const run_options& options, std::uint64_t run_started) {
    if (options.until_minutes < 0) return std::nullopt;
    const auto left = seconds_until_clock(platform::local_seconds_of_day(), options.until_minutes);
    return run_started + static_cast<std::uint64_t>(left) * ticks_per_second;
}

// The -until time came before the candidate `first`: it and the rest are left, and noted as
// pending so that the next run takes them even when they have aged past -days by then.
void leave_for_next_run(const candidate_list& candidates, std::size_t first, run_tally& tally) {
    const std::size_t count = candidates.entries.size();
    tally.left_over = static_cast<int>(count - first);
    platform::write_out("Left for the next run: " + std::to_string(tally.left_over) +
                        " files, the -until time was reached\n");
    for (std::size_t left = first; left < count; ++left) {
        note_pending(candidates.entries[left].path, candidates.entries[left].stamp);
    }
}

// Whether `entry` may be encoded now, with `prepared` filled in for its encode: empty when so,
// else why not, its line already printed.
std::string prepare_in_run(const run_options& options, const candidate_entry& entry,
                           const std::string& command_template,
                           const std::optional<std::string>& comparer, prepared_encode& prepared,
                           run_tally& tally) {
    if (std::string reason =
            prepare_encode(entry, command_template, options.retry, options.quality, prepared);
        !reason.empty()) {
        report_not_converted(entry, reason, tally);
        if (prepared.cannot_be_replaced) tally.failed = true;
        return reason;
    }
    prepared.verify = options.verify;
    prepared.comparer = comparer.value_or(std::string());
    prepared.comparer_missing = comparer_missing_text();
    // A file that does not fit is passed over, without a note: it fits another night.
    if (std::string fault = free_space_fault(entry); !fault.empty()) {
        report_not_converted(entry, fault, tally);
        tally.failed = true;
        return fault;
    }
    return {};
}

// The line that starts the encode of the `number`th of `count` files, with the run's progress
// before it (`done_bytes` of the sources).
void report_converting(std::size_t number, std::size_t count, const candidate_entry& entry,
                       std::uint64_t done_bytes, const run_pace& pace) {
    platform::write_out(
        "Converting " + std::to_string(number) + " of " + std::to_string(count) + ": " +
        printable_path(entry.path) + " (started " + now_text() +
        progress_text(done_bytes, pace.total, pace.measured_bytes, pace.measured_ticks) + ")\n");
}

// The line of an encode that ended without stopping the run, and what the tally learns of it.
void report_outcome(const candidate_entry& entry, const prepared_encode& prepared,
                    const encode_outcome& outcome, std::uint64_t started, run_tally& tally,
                    run_pace& pace) {
    if (outcome.converted) {
        report_converted(entry, prepared, outcome, started, tally);
        pace.measured_bytes += entry.stamp.size;
        pace.measured_ticks += platform::now_ticks() - started;
        return;
    }
    report_not_converted(entry, outcome.reason, tally);
    report_encoder_output(outcome.encoder_output);
    tally.failed = true;
}

// The encode phase: one candidate after the other, in list order. Answers the exit code.
int encode_all(const run_options& options, const candidate_list& candidates,
               const std::string& command_template) {
    // Until now a stop ends the run at once, as it ends any program: nothing is under way that
    // could be left half done. From here on it is passed to the encoder and waited for.
    platform::install_stop_handlers();
    const std::uint64_t run_started = platform::now_ticks();
    const std::optional<std::uint64_t> deadline = run_deadline(options, run_started);
    run_tally tally;
    const std::size_t count = candidates.entries.size();
    // Found once: the comparison runs the ffmpeg the interpreter would find for the default line.
    // Without one, the first result that is to be compared stops the run before it is installed;
    // until then an encoder that is missing too says so itself.
    // -quality measures with it too, and it cuts the sample windows that foretell a result's size,
    // which without it is told by the encode alone.
    const std::optional<std::string> comparer = platform::find_program("ffmpeg");
    run_pace pace;
    for (const candidate_entry& entry : candidates.entries) pace.total += entry.stamp.size;
    for (std::size_t i = 0; i < count; ++i) {
        const candidate_entry& entry = candidates.entries[i];
        if (const int signal = platform::stop_requested(); signal != 0) {
            return report_stop(signal, entry, tally, run_started);
        }
        if (deadline && platform::now_ticks() >= *deadline) {
            leave_for_next_run(candidates, i, tally);
            break;
        }
        const std::uint64_t done_bytes = pace.done;
        pace.done += entry.stamp.size;
        prepared_encode prepared;
        if (!prepare_in_run(options, entry, command_template, comparer, prepared, tally).empty()) {
            continue;
        }
        // The run holds the working directory's lock, so whatever stands under the temporary
        // name is left over from an earlier encode of ours and must not be taken for this one's
        // output. Should it stay, no later file would fare better.
        encoder_output output;
        if (const std::string fault = output.clear(); !fault.empty()) {
            return end_run_at(entry, fault, "the working directory cannot be used", count - i - 1,
                              tally, run_started);
        }
        report_converting(i + 1, count, entry, done_bytes, pace);
        const std::uint64_t started = platform::now_ticks();
        const encode_outcome outcome = run_encode(entry, prepared, output, options.low_priority);
        if (outcome.stop_signal != 0) {
            return report_stop(outcome.stop_signal, entry, tally, run_started, outcome.stop_note);
        }
        if (!outcome.encoder_missing.empty()) {
            platform::write_out(outcome.encoder_missing + "\n");
            report_summary(tally, run_started);
            return exit_cannot_start;
        }
        report_outcome(entry, prepared, outcome, started, tally, pace);
    }
    report_summary(tally, run_started);
    if (const int signal = platform::stop_requested(); signal != 0) {
        return exit_for_signal(signal);
    }
    return tally.failed ? exit_not_converted : exit_success;
}

}  // namespace

int run(const std::vector<std::string>& args) {
    const parse_result parsed = parse_command_line(args);
    platform::write_out(parsed.output);
    if (!parsed.ok) return parsed.exit_code;
    run_options options = parsed.options;
    // On Windows a library written "\\?\D:\TV\" gives its files' paths no doubled separator.
    if (platform::path_separator() == '\\') {
        options.dir = std::string(platform::without_final_separators(options.dir));
    }

    // Under Wine with a locale that is not UTF-8, names outside ASCII reach Brindle with other
    // letters ("Café" as "CafC)"), and a result or note made from one gets that other name.
    if (!platform::keeps_names_outside_ascii()) {
        platform::write_out(
            "Wine's locale is not UTF-8, so names outside ASCII are not read or "
            "made as they are; run Wine with LC_ALL=C.UTF-8" +
            std::string(options.scanonly ? "\n" : " (nothing was converted)\n"));
        if (!options.scanonly) return exit_input_fault;
    }
    if (!options.scanonly) {
        // Before the lock, whose file would otherwise be left in the library.
        if (const std::string fault = working_directory_fault(options.dir); !fault.empty()) {
            platform::write_out(fault);
            return exit_input_fault;
        }
        switch (take_run_lock()) {
            case run_lock::taken:
                break;
            case run_lock::held_elsewhere:
                return exit_success;
            case run_lock::cannot_create:
                return exit_input_fault;
        }
        if (!hold_working_directory(options.dir)) return exit_input_fault;
        for (const std::string& line : finish_interrupted_work()) {
            platform::write_out(printable_path(line) + "\n");
        }
    }

    // A file that gives no usable encoder line is the user's mistake: encoding with the default
    // instead, or nothing at all every day, is not. Scan-only mode reads it only to recognise the
    // failure notes made with its line, and a fault in it changes nothing there.
    template_load loaded = load_command_template(options.config);
    if (options.scanonly && !loaded.fault.empty()) loaded = load_command_template({});
    if (!options.scanonly && !loaded.fault.empty()) {
        platform::write_out("Cannot use the configuration file " + options.config + ": " +
                            loaded.fault + "\n");
        return exit_input_fault;
    }
    // The search needs a place in the line for the CRF it chooses; the default lines have one.
    if (!options.scanonly && options.quality > 0 &&
        loaded.command_template != default_command_template &&
        !has_crf_placeholder(loaded.command_template)) {
        platform::write_out("Cannot use the configuration file " + options.config +
                            " with -quality: its first line has no %q for the CRF\n");
        return exit_input_fault;
    }

    candidate_list candidates;
    scan_filters filters{options.days, options.ext, options.minsize, options.docurrent, {}};
    filters.taken_whatever_its_age = [](const std::string& path, const file_stamp& stamp) {
        return is_pending(path, stamp);
    };
    const scan_result scanned = scan_directory(filters, options.dir, candidates);
    if (!scanned.library_listed) {
        platform::write_out("Cannot read the library folder " + printable_path(options.dir) + ": " +
                            scanned.top_error + "\n");
        return exit_input_fault;
    }
    keep_shard(options, candidates);
    report_candidates(candidates);
    if (options.scanonly) {
        report_refusals(options, candidates, loaded.command_template);
        return exit_success;
    }

    return encode_all(options, candidates, loaded.command_template);
}

}  // namespace brindle
