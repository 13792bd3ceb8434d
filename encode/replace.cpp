#include "encode/replace.h"

#include <utility>

#include "platform/files.h"
#include "platform/paths.h"

namespace brindle {

namespace {

struct system_ops final : file_ops {
    path_state stamp_of(const std::string& path) override { return platform::status_of(path); }
    op_result remove_file(const std::string& path) override { return platform::remove_file(path); }
    op_result flush_file(const std::string& path) override { return platform::flush_file(path); }
    op_result rename_replace(const std::string& from, const std::string& to) override {
        return platform::rename_replace(from, to);
    }
    op_result rename_no_replace(const std::string& from, const std::string& to) override {
        return platform::rename_no_replace(from, to);
    }
    op_result hard_link(const std::string& from, const std::string& to) override {
        return platform::hard_link(from, to);
    }
    op_result copy_to_new_file(const std::string& from, const std::string& to) override {
        return platform::copy_to_new_file(from, to);
    }
    op_result copy_attributes(const std::string& from, const std::string& to) override {
        return platform::copy_attributes(from, to);
    }
    op_result clear_read_only(const std::string& path) override {
        return platform::clear_read_only(path);
    }
};

replace_report refused(replace_outcome outcome, std::string reason) {
    return {outcome, std::move(reason)};
}

// Windows deletes no read-only file. The attribute belongs to the file, not to one of its names,
// so it is cleared only when it stood in the way; `cleared` tells the caller it was.
op_result remove_even_read_only(file_ops& ops, const std::string& path, bool* cleared = nullptr) {
    const op_result removed = ops.remove_file(path);
    if (removed.ok() || !ops.clear_read_only(path).ok()) return removed;
    const op_result again = ops.remove_file(path);
    if (cleared != nullptr) *cleared = true;
    return again;
}

// Two names of one file: a backup left by an earlier run that stopped between making the second
// name and the install holds nothing the source does not.
bool same_file(const path_state& a, const path_state& b) {
    return a.what == path_state::kind::regular && b.what == path_state::kind::regular &&
           a.stamp.volume == b.stamp.volume && a.stamp.index == b.stamp.index;
}

// Puts the complete, flushed result at `staging`, beside the target: a rename when both lie on
// one volume, otherwise a copy. A flush that fails means the system could not vouch for the
// result's bytes, so it is not used. Empty when staged; otherwise why not.
std::string stage_result(file_ops& ops, const std::string& temp_output,
                         const std::string& staging) {
    const op_result flushed = ops.flush_file(temp_output);
    if (!flushed.ok()) return "the encoder's output could not be flushed to disk: " + flushed.error;
    op_result staged = ops.rename_no_replace(temp_output, staging);
    // A name already taken refuses a copy just the same, and is never written through.
    if (!staged.ok() && staged.why != op_result::fault::exists) {
        staged = ops.copy_to_new_file(temp_output, staging);
    }
    if (!staged.ok()) return "the result could not be written to " + staging + ": " + staged.error;
    return {};
}

replace_report backup_refused(const op_result& result, const std::string& backup) {
    if (result.why == op_result::fault::exists) {
        return refused(replace_outcome::backup_failed, backup + " already exists");
    }
    return refused(replace_outcome::backup_failed,
                   "the source could not be given its backup name " + backup + ": " + result.error);
}

replace_report old_name_kept(const std::string& name, const op_result& removed) {
    return refused(replace_outcome::replaced_old_kept,
                   "the result stands, but " + name + " could not be removed: " + removed.error);
}

// Where the file system keeps one name per file: the source moves to its backup name, the result
// takes the source's name, the backup goes. Until the install the source lies under its backup
// name alone, with the whole result staged beside it.
replace_report install_by_renames(file_ops& ops, const std::string& source,
                                  const std::string& staging, const std::string& backup) {
    const op_result moved = ops.rename_no_replace(source, backup);
    if (!moved.ok()) {
        remove_even_read_only(ops, staging);
        return backup_refused(moved, backup);
    }
    // Without replacing: a file that took the free name meanwhile is not ours.
    const op_result installed = ops.rename_no_replace(staging, source);
    if (!installed.ok()) {
        const std::string reason = "the result could not be put in place: " + installed.error;
        const op_result restored = ops.rename_no_replace(backup, source);
        if (!restored.ok()) {
            // The source stays whole under its backup name and the whole result stays staged
            // beside it, as a crash at this moment would leave them.
            return refused(replace_outcome::install_failed,
                           reason + ", and the source could not be renamed back from " + backup +
                               ": " + restored.error);
        }
        remove_even_read_only(ops, staging);
        return refused(replace_outcome::install_failed, reason);
    }
    const op_result removed = remove_even_read_only(ops, backup);
    if (!removed.ok()) return old_name_kept(backup, removed);
    return {};
}

// The target is the source itself. The backup is a second name of the source, so the source's
// name holds the source until the result replaces it in one step.
replace_report install_over_source(file_ops& ops, const std::string& source,
                                   const std::string& staging, const path_state& source_state) {
    const std::string backup = backup_path_for(source);
    const op_result linked = ops.hard_link(source, backup);
    if (linked.why == op_result::fault::not_supported) {
        return install_by_renames(ops, source, staging, backup);
    }
    if (!linked.ok() && !(linked.why == op_result::fault::exists &&
                          same_file(ops.stamp_of(backup), source_state))) {
        remove_even_read_only(ops, staging);
        return backup_refused(linked, backup);
    }
    const op_result installed = ops.rename_replace(staging, source);
    if (!installed.ok()) {
        // The source never left its name; only its second name goes. Should a read-only
        // attribute have been cleared for that, the source gets it back from the staged
        // result, which carries the source's attributes.
        bool cleared = false;
        const op_result unlinked = remove_even_read_only(ops, backup, &cleared);
        if (cleared) ops.copy_attributes(staging, source);
        remove_even_read_only(ops, staging);
        std::string reason = "the result could not be put in place: " + installed.error;
        if (!unlinked.ok()) {
            reason += ", and " + backup +
                      ", a second name of the source, could not be removed: " + unlinked.error;
        }
        return refused(replace_outcome::install_failed, reason);
    }
    const op_result removed = remove_even_read_only(ops, backup);
    if (!removed.ok()) return old_name_kept(backup, removed);
    return {};
}

// The target is another name: the result takes it without replacing anything, and then the
// source goes. Its backup is not needed: the result already stands under the new name.
replace_report install_beside(file_ops& ops, const std::string& source, const std::string& target,
                              const std::string& staging) {
    const op_result installed = ops.rename_no_replace(staging, target);
    if (!installed.ok()) {
        remove_even_read_only(ops, staging);
        if (installed.why == op_result::fault::exists) {
            return refused(replace_outcome::target_taken, target + " already exists");
        }
        return refused(replace_outcome::install_failed,
                       "the result could not be put in place: " + installed.error);
    }
    const op_result removed = remove_even_read_only(ops, source);
    if (!removed.ok()) return old_name_kept(source, removed);
    return {};
}

// Empty when `now` is the very file the scan saw; otherwise why not.
std::string source_changed_reason(const path_state& now, const file_stamp& scanned) {
    if (now.what == path_state::kind::unknown) return "the source cannot be examined: " + now.error;
    if (now.what != path_state::kind::regular || !(now.stamp == scanned)) {
        return "the source changed while it was being encoded";
    }
    return {};
}

replace_report replace_steps(file_ops& ops, const std::string& source, const std::string& target,
                             const std::string& temp_output, const std::string& staging,
                             const file_stamp& scanned) {
    const path_state output = ops.stamp_of(temp_output);
    if (output.what == path_state::kind::unknown) {
        return refused(replace_outcome::no_output,
                       "the encoder's output cannot be examined: " + output.error);
    }
    if (output.what != path_state::kind::regular || output.stamp.size == 0) {
        return refused(replace_outcome::no_output, "the encoder left no output");
    }
    // A second name could lie anywhere, outside the library too: installing that file would
    // give it the source's owner and make it part of the library.
    if (output.names > 1) {
        return refused(
            replace_outcome::not_own_file,
            "the result has more than one name, so it is not the encoder's own new file");
    }
    // Again at install time: a folder that became a link would take the result out of the
    // library, and a name taken meanwhile is someone else's.
    if (target != source) {
        if (std::string fault = check_target_before_encode(ops, source, target); !fault.empty()) {
            return refused(replace_outcome::target_taken, std::move(fault));
        }
    }
    if (std::string fault = stage_result(ops, temp_output, staging); !fault.empty()) {
        return refused(replace_outcome::staging_failed, std::move(fault));
    }
    // As late as can be: what stands under the source's name now is what the install replaces.
    // A source that went away meanwhile is told as such, not as the permissions it took along.
    const op_result carried = ops.copy_attributes(source, staging);
    const path_state now = ops.stamp_of(source);
    std::string changed = source_changed_reason(now, scanned);
    if (changed.empty() && !carried.ok()) {
        remove_even_read_only(ops, staging);
        return refused(
            replace_outcome::staging_failed,
            "the source's permissions could not be given to the result: " + carried.error);
    }
    if (!changed.empty()) {
        remove_even_read_only(ops, staging);
        return refused(replace_outcome::source_changed, std::move(changed));
    }
    if (target == source) return install_over_source(ops, source, staging, now);
    return install_beside(ops, source, target, staging);
}

// The folder part of `path`, keeping the separator when it is all there is ("/", "C:\");
// empty for a bare name, which lies in the working directory.
std::string folder_of(const std::string& path) {
    const char separator = platform::path_separator();
    const std::size_t last = separator == '/' ? path.rfind('/') : path.find_last_of("\\/");
    if (last == std::string::npos) return {};
    if (last == 0 || path[last - 1] == ':') return path.substr(0, last + 1);
    return path.substr(0, last);
}

}  // namespace

file_ops& system_file_ops() {
    static system_ops ops;
    return ops;
}

replace_report replace_with_result(file_ops& ops, const std::string& source,
                                   const std::string& target, const std::string& temp_output,
                                   const std::string& staging, const file_stamp& scanned) {
    replace_report report = replace_steps(ops, source, target, temp_output, staging, scanned);
    // Whatever happened, the encoder's output must not be taken for the next encode's.
    // A missing file is no failure here: a rename may have taken it away.
    ops.remove_file(temp_output);
    return report;
}

std::string check_target_before_encode(file_ops& ops, const std::string& source,
                                       const std::string& target) {
    if (target == source) {
        const std::string backup = backup_path_for(source);
        const path_state held = ops.stamp_of(backup);
        if (held.what == path_state::kind::missing || same_file(held, ops.stamp_of(source))) {
            return {};
        }
        if (held.what == path_state::kind::unknown) {
            return backup + " cannot be examined: " + held.error;
        }
        return backup + " already exists";
    }
    const path_state taken = ops.stamp_of(target);
    if (taken.what == path_state::kind::unknown) {
        return target + " cannot be examined: " + taken.error;
    }
    if (taken.what != path_state::kind::missing) return target + " already exists";
    const std::string folder = folder_of(target);
    if (folder.empty()) return {};
    const path_state place = ops.stamp_of(folder);
    switch (place.what) {
        case path_state::kind::directory:
            return {};
        case path_state::kind::unknown:
            return "the folder of " + target + " cannot be examined: " + place.error;
        case path_state::kind::missing:
            return "the folder of " + target + " does not exist";
        case path_state::kind::regular:
        case path_state::kind::other:
            break;
    }
    // A link to a folder is not followed: the result could land outside the library.
    return "the folder of " + target + " is not a folder";
}

}  // namespace brindle
