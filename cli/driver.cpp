#include "cli/driver.h"

#include "cli/options.h"
#include "encode/command.h"
#include "encode/encode.h"
#include "platform/platform.h"
#include "scan/filters.h"
#include "scan/scan.h"

namespace brindle {
namespace {

constexpr const char* lock_file_name = "brindle.lock";

// Two runs encoding in one working directory would share tempenc.mkv, and one could install the
// other's half-written output. The lock is released by the system when the process ends, so it is
// never stale.
bool take_run_lock() {
    switch (platform::lock_working_directory(lock_file_name)) {
        case platform::lock_result::acquired:
            return true;
        case platform::lock_result::held_elsewhere:
            platform::write_out(
                "Another Brindle run is encoding in this working directory; this run does "
                "nothing.\n");
            return false;
        case platform::lock_result::cannot_create:
            platform::write_out(std::string("Cannot create the lock file ") + lock_file_name +
                                " in " + platform::working_directory() +
                                "; this run does nothing.\n");
            return false;
    }
    return false;
}

void report_candidates(const candidate_list& candidates) {
    platform::write_out("Scan found " + std::to_string(candidates.entries.size()) + " files\n");
    for (const candidate_entry& entry : candidates.entries) {
        platform::write_out("Found: " + printable_path(entry.path) + "\n");
    }
}

}  // namespace

int run(const std::vector<std::string>& args) {
    const parse_result parsed = parse_command_line(args);
    platform::write_out(parsed.output);
    if (!parsed.ok) return parsed.exit_code;
    const run_options& options = parsed.options;

    if (!options.scanonly && !take_run_lock()) return 0;

    // Scan-only mode reads no configuration file. A file that gives no usable encoder line is the
    // user's mistake: encoding with the default instead, or nothing at all every day, is not.
    const template_load loaded = load_command_template(options.config);
    if (!options.scanonly && !loaded.fault.empty()) {
        platform::write_out("Cannot use the configuration file " + options.config + ": " +
                            loaded.fault + "\n");
        return 1;
    }
    const std::string& command_template = loaded.command_template;

    candidate_list candidates;
    const scan_filters filters{options.days, options.ext, options.minsize, options.docurrent};
    const scan_result scanned = scan_directory(filters, options.dir, candidates);
    if (!scanned.library_listed) {
        platform::write_out("Cannot read the library folder " + printable_path(options.dir) + ": " +
                            scanned.top_error + "\n");
        return 1;
    }
    report_candidates(candidates);
    if (options.scanonly) return 0;

    // A failed encode leaves its source as it was and does not stop the run.
    for (const candidate_entry& entry : candidates.entries) {
        encode_candidate(entry.path, command_template);
    }
    return 0;
}

}  // namespace brindle
