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
    op_result exchange_names(const std::string& a, const std::string& b) override {
        return platform::exchange_names(a, b);
    }
    op_result write_journal(const std::string& text) override {
        return platform::write_small_file(journal_file_name, text);
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

// The very file whose stamp was taken: the same file, unchanged since.
bool holds(const path_state& state, const file_stamp& stamp) {
    return state.what == path_state::kind::regular && state.stamp == stamp;
}

bool holds(file_ops& ops, const std::string& name, const file_stamp& stamp) {
    return holds(ops.stamp_of(name), stamp);
}

constexpr const char* replaced_text = "the source was replaced during the install";

// The answer when another file took the source's name during the install. It names where the
// checked file stands, while it still does, and where the newer one, when it lost its name.
replace_report replaced_meanwhile(file_ops& ops, const install_intent& intent,
                                  const std::string& newer_at = {}) {
    std::string reason = replaced_text;
    if (!newer_at.empty()) reason += "; the newer file stands as " + newer_at;
    for (const std::string* name : {&intent.backup, &intent.aside}) {
        if (holds(ops, *name, intent.source_stamp)) {
            reason += "; the file it replaced stands as " + *name;
            break;
        }
    }
    return refused(replace_outcome::source_replaced, std::move(reason));
}

// Removes `name` only while it holds the file of `stamp`: whatever else stands there is not
// ours. A name that holds nothing of ours answers ok.
op_result remove_if_holds(file_ops& ops, const std::string& name, const file_stamp& stamp) {
    if (!holds(ops, name, stamp)) return {};
    return remove_even_read_only(ops, name);
}

enum class retired { removed, kept, other_file, other_file_aside };

// Takes `name` away only when it holds the file of `stamp`: the file is moved to the free name
// `aside` first, never replacing, and what was moved is checked there, where nobody else puts
// files. Anything else goes back to its name (`other_file`), or stays at `aside` when the name
// was taken again meanwhile (`other_file_aside`). `kept` when the file stays under its name,
// with the reason in `fault`.
retired retire_if_holds(file_ops& ops, const std::string& name, const std::string& aside,
                        const file_stamp& stamp, op_result& fault) {
    fault = ops.rename_no_replace(name, aside);
    if (!fault.ok()) return retired::kept;
    if (!holds(ops, aside, stamp)) {
        return ops.rename_no_replace(aside, name).ok() ? retired::other_file
                                                       : retired::other_file_aside;
    }
    fault = remove_even_read_only(ops, aside);
    if (fault.ok()) return retired::removed;
    ops.rename_no_replace(aside, name);  // under its own name the next run finds it
    return retired::kept;
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

// Where the system cannot swap two names: the source moves to `aside` (its backup name, or a
// private name while the backup is a second name of it), the result takes the source's name
// without replacing, and the source's other names go. Until the install the source lies under
// `aside`, with the whole result staged beside it.
replace_report install_by_renames(file_ops& ops, const install_intent& intent,
                                  const std::string& aside) {
    const std::string &source = intent.source, &staging = intent.staging;
    const op_result moved = ops.rename_no_replace(source, aside);
    if (!moved.ok()) {
        remove_even_read_only(ops, staging);
        return backup_refused(moved, aside);
    }
    if (!holds(ops, aside, intent.source_stamp)) {
        // A newer file had taken the source's name just before: it gets it back.
        const bool back = ops.rename_no_replace(aside, source).ok();
        remove_even_read_only(ops, staging);
        return replaced_meanwhile(ops, intent, back ? "" : aside);
    }
    const op_result installed = ops.rename_no_replace(staging, source);
    if (installed.why == op_result::fault::exists) {
        remove_even_read_only(ops, staging);
        // The backup, a second name of the checked file, is the one the line gives.
        if (aside != intent.backup && holds(ops, intent.backup, intent.source_stamp)) {
            remove_even_read_only(ops, aside);
        }
        return replaced_meanwhile(ops, intent);
    }
    if (!installed.ok()) {
        const std::string reason = "the result could not be put in place: " + installed.error;
        const op_result restored = ops.rename_no_replace(aside, source);
        if (!restored.ok()) {
            // The source stays whole under its backup name and the whole result stays staged
            // beside it, as a crash at this moment would leave them.
            return refused(replace_outcome::install_failed,
                           reason + ", and the source could not be renamed back from " + aside +
                               ": " + restored.error);
        }
        if (aside != intent.backup) remove_if_holds(ops, intent.backup, intent.source_stamp);
        remove_even_read_only(ops, staging);
        return refused(replace_outcome::install_failed, reason);
    }
    for (const std::string* name : {&aside, &intent.backup}) {
        const op_result removed = remove_if_holds(ops, *name, intent.source_stamp);
        if (!removed.ok()) return old_name_kept(*name, removed);
    }
    return {};
}

// Takes away the source's second name, its backup. Should a read-only attribute have been
// cleared for that, the source gets it back from the staged result, which carries the source's
// attributes.
op_result drop_second_name(file_ops& ops, const install_intent& intent) {
    bool cleared = false;
    const op_result unlinked = remove_even_read_only(ops, intent.backup, &cleared);
    if (cleared) ops.copy_attributes(intent.staging, intent.source);
    return unlinked;
}

// The exchange brought back a newer file that had been moved onto the source's name: a second
// swap gives it its name back, and the result goes.
replace_report undo_exchange(file_ops& ops, const install_intent& intent) {
    const op_result back = ops.exchange_names(intent.staging, intent.source);
    if (!back.ok()) {
        return refused(replace_outcome::source_replaced,
                       std::string(replaced_text) + "; the newer file stands as " + intent.staging +
                           ", the result as " + intent.source + ": " + back.error);
    }
    remove_if_holds(ops, intent.staging, intent.result);
    return replaced_meanwhile(ops, intent);
}

// The target is the source itself. The backup is a second name of the source, so the source's
// name holds the source until the result takes its place in one swap, which also tells what
// stood there.
replace_report install_over_source(file_ops& ops, const install_intent& intent) {
    const std::string &source = intent.source, &staging = intent.staging, &backup = intent.backup;
    const op_result linked = ops.hard_link(source, backup);
    if (linked.why == op_result::fault::not_supported) {
        return install_by_renames(ops, intent, backup);
    }
    if (!linked.ok() && !(linked.why == op_result::fault::exists &&
                          same_file(ops.stamp_of(backup), ops.stamp_of(source)))) {
        remove_even_read_only(ops, staging);
        return backup_refused(linked, backup);
    }
    if (!holds(ops, backup, intent.source_stamp)) {
        // A newer file had taken the source's name: it keeps it, and loses its second name.
        ops.remove_file(backup);
        remove_even_read_only(ops, staging);
        return replaced_meanwhile(ops, intent);
    }
    const op_result installed = ops.exchange_names(staging, source);
    // The backup stays a second name of the source meanwhile, which no step takes away.
    if (installed.why == op_result::fault::not_supported) {
        return install_by_renames(ops, intent, intent.aside);
    }
    if (!installed.ok()) {
        // The source never left its name; only its second name goes.
        const op_result unlinked = drop_second_name(ops, intent);
        remove_even_read_only(ops, staging);
        std::string reason = "the result could not be put in place: " + installed.error;
        if (!unlinked.ok()) {
            reason += ", and " + backup +
                      ", a second name of the source, could not be removed: " + unlinked.error;
        }
        return refused(replace_outcome::install_failed, reason);
    }
    if (!holds(ops, staging, intent.source_stamp)) return undo_exchange(ops, intent);
    // The source now has two names left, the backup and the staged file's.
    const op_result removed = remove_even_read_only(ops, backup);
    const op_result unstaged = remove_even_read_only(ops, staging);
    if (!removed.ok()) return old_name_kept(backup, removed);
    if (!unstaged.ok()) return old_name_kept(staging, unstaged);
    return {};
}

// The target is another name: the result takes it without replacing anything, and then the
// source goes, checked once it is moved aside. Should a newer file have taken the source's name,
// the result of the old one goes instead.
replace_report install_beside(file_ops& ops, const install_intent& intent) {
    const op_result installed = ops.rename_no_replace(intent.staging, intent.target);
    if (!installed.ok()) {
        remove_even_read_only(ops, intent.staging);
        if (installed.why == op_result::fault::exists) {
            return refused(replace_outcome::target_taken, intent.target + " already exists");
        }
        return refused(replace_outcome::install_failed,
                       "the result could not be put in place: " + installed.error);
    }
    op_result fault;
    const retired source =
        retire_if_holds(ops, intent.source, intent.aside, intent.source_stamp, fault);
    if (source == retired::removed) return {};
    if (source == retired::kept) return old_name_kept(intent.source, fault);
    replace_report report =
        replaced_meanwhile(ops, intent, source == retired::other_file_aside ? intent.aside : "");
    if (retire_if_holds(ops, intent.target, intent.staging, intent.result, fault) !=
        retired::removed) {
        report.reason += "; the result stands as " + intent.target;
    }
    return report;
}

// Empty when `now` is the very file the scan saw; otherwise why not.
std::string source_changed_reason(const path_state& now, const file_stamp& scanned) {
    if (now.what == path_state::kind::unknown) return "the source cannot be examined: " + now.error;
    if (now.what != path_state::kind::regular || !(now.stamp == scanned)) {
        return "the source changed while it was being encoded";
    }
    return {};
}

// The journal holds the installs left unfinished and, while it runs, `current`.
op_result record_install(file_ops& ops, const install_journal* journal,
                         const install_intent* current) {
    if (journal == nullptr) return {};
    std::vector<install_intent> intents = journal->unfinished;
    if (current != nullptr) intents.push_back(*current);
    return ops.write_journal(journal_text(intents));
}

// Whether the output may be installed at all; empty when yes.
replace_report refusal_of_output(const path_state& output) {
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
    return {};
}

replace_report replace_steps(file_ops& ops, install_intent& intent, const std::string& temp_output,
                             install_journal* journal) {
    const std::string &source = intent.source, &target = intent.target;
    const path_state output = ops.stamp_of(temp_output);
    if (replace_report refusal = refusal_of_output(output); !refusal.reason.empty()) {
        return refusal;
    }
    // Again at install time: a folder that became a link would take the result out of the
    // library, and a name taken meanwhile is someone else's.
    if (target != source) {
        if (std::string fault = check_target_before_encode(ops, source, target); !fault.empty()) {
            return refused(replace_outcome::target_taken, std::move(fault));
        }
    }
    // Before the library's first change, so that a run killed at any later moment leaves what
    // the next run needs to finish or undo the install.
    intent.result = output.stamp;
    if (const op_result noted = record_install(ops, journal, &intent); !noted.ok()) {
        return refused(replace_outcome::staging_failed,
                       std::string("the install could not be recorded in ") + journal_file_name +
                           ": " + noted.error);
    }
    if (std::string fault = stage_result(ops, temp_output, intent.staging); !fault.empty()) {
        return refused(replace_outcome::staging_failed, std::move(fault));
    }
    // A copy is a file of its own. Should this record fail, a killed run leaves the staged file
    // to the removal of stage files by their names.
    if (const path_state staged = ops.stamp_of(intent.staging);
        staged.what == path_state::kind::regular && !(staged.stamp == intent.result)) {
        intent.result = staged.stamp;
        record_install(ops, journal, &intent);
    }
    // As late as can be: what stands under the source's name now is what the install replaces.
    // A source that went away meanwhile is told as such, not as the permissions it took along.
    const op_result carried = ops.copy_attributes(source, intent.staging);
    const path_state now = ops.stamp_of(source);
    std::string changed = source_changed_reason(now, intent.source_stamp);
    if (changed.empty() && !carried.ok()) {
        remove_even_read_only(ops, intent.staging);
        return refused(
            replace_outcome::staging_failed,
            "the source's permissions could not be given to the result: " + carried.error);
    }
    if (!changed.empty()) {
        remove_even_read_only(ops, intent.staging);
        return refused(replace_outcome::source_changed, std::move(changed));
    }
    if (target == source) return install_over_source(ops, intent);
    return install_beside(ops, intent);
}

// Where the source stands while it is taken away: a private name beside the staged file, which
// lies in the source's folder too (a result never changes folder), and which no stage-file
// removal takes for its own.
std::string aside_path_for(const std::string& staging) {
    std::string aside = staging;
    if (aside.ends_with(".part")) aside.resize(aside.size() - 5);
    return aside + ".old";
}

}  // namespace

file_ops& system_file_ops() {
    static system_ops ops;
    return ops;
}

replace_report replace_with_result(file_ops& ops, const std::string& source,
                                   const std::string& target, const std::string& temp_output,
                                   const std::string& staging, const file_stamp& scanned,
                                   install_journal* journal) {
    install_intent intent{
        source, target, staging, aside_path_for(staging), backup_path_for(source), scanned, {}};
    replace_report report = replace_steps(ops, intent, temp_output, journal);
    // Whatever happened, the encoder's output must not be taken for the next encode's.
    // A missing file is no failure here: a rename may have taken it away.
    ops.remove_file(temp_output);
    if (journal != nullptr) {
        // An old name that could not be removed now (on Windows, a source another program
        // opened meanwhile) is the next run's to remove.
        if (intent.result.index != 0 && !settle_install(ops, intent, false).finished) {
            journal->unfinished.push_back(intent);
        }
        record_install(ops, journal, nullptr);
    }
    return report;
}

namespace {

// One step of settling an install: `from` is removed, or renamed to `to`.
struct settle_step {
    std::string from, to;
    file_stamp stamp;     // what `from` must hold at that moment
    bool retire = false;  // moved aside to `to` and checked there before it is removed
};

// The steps that finish an install whose result stands: the checked source's other names go.
std::vector<settle_step> finishing_steps(file_ops& ops, const install_intent& intent) {
    std::vector<settle_step> steps;
    const file_stamp& old = intent.source_stamp;
    if (intent.target != intent.source && holds(ops, intent.source, old)) {
        steps.push_back({intent.source, intent.aside, old, true});
    }
    for (const std::string* name : {&intent.backup, &intent.aside, &intent.staging}) {
        if (holds(ops, *name, old)) steps.push_back({*name, {}, old});
    }
    return steps;
}

// The steps that undo an install whose result does not stand: the source back under its name,
// its second names and the staged result gone.
std::vector<settle_step> undoing_steps(file_ops& ops, const install_intent& intent) {
    std::vector<settle_step> steps;
    const file_stamp& old = intent.source_stamp;
    bool source_there = holds(ops, intent.source, old);
    for (const std::string* name : {&intent.aside, &intent.backup, &intent.staging}) {
        if (!holds(ops, *name, old)) continue;
        if (!source_there && ops.stamp_of(intent.source).what == path_state::kind::missing) {
            steps.push_back({*name, intent.source, old});
            source_there = true;
        } else if (source_there) {
            steps.push_back({*name, {}, old});
        }
    }
    if (holds(ops, intent.staging, intent.result))
        steps.push_back({intent.staging, {}, intent.result});
    return steps;
}

op_result take_step(file_ops& ops, const settle_step& step) {
    if (step.retire) {
        op_result fault;
        const retired done = retire_if_holds(ops, step.from, step.to, step.stamp, fault);
        return done == retired::kept ? fault : op_result{};
    }
    if (!holds(ops, step.from, step.stamp)) return {};
    if (!step.to.empty()) return ops.rename_no_replace(step.from, step.to);
    return remove_even_read_only(ops, step.from);
}

}  // namespace

settled_install settle_install(file_ops& ops, const install_intent& intent, bool act) {
    const path_state at_target = ops.stamp_of(intent.target);
    const bool installed = at_target.what == path_state::kind::regular &&
                           at_target.stamp.volume == intent.result.volume &&
                           at_target.stamp.index == intent.result.index;
    const std::vector<settle_step> steps =
        installed ? finishing_steps(ops, intent) : undoing_steps(ops, intent);
    settled_install settled;
    if (steps.empty()) return settled;
    settled.finished = false;
    if (!act) return settled;
    for (const settle_step& step : steps) {
        if (const op_result done = take_step(ops, step); !done.ok()) {
            settled.line = "An interrupted install of " + intent.source +
                           " could not be completed: " + step.from + ": " + done.error;
            return settled;
        }
    }
    settled.finished = true;
    settled.line = installed ? "Completed an interrupted install: " + intent.source +
                                   (intent.target == intent.source ? "" : " -> " + intent.target)
                             : "Undid an interrupted install: " + intent.source;
    return settled;
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
    const std::string folder = folder_of(target, platform::path_separators());
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
