#pragma once

// Putting an encoder's result in place of its source without ever losing the source, and never
// over any other file.

#include <string>

#include "encode/journal.h"
#include "encode/naming.h"
#include "vocabulary/file_stamp.h"
#include "vocabulary/op_result.h"

namespace brindle {

// The file operations the replace sequence needs: the platform's in production, a recording fake
// that can fail at any step in tests. Each answers the platform's own result types.
struct file_ops {
    virtual ~file_ops() = default;
    virtual path_state stamp_of(const std::string& path) = 0;
    virtual op_result remove_file(const std::string& path) = 0;
    virtual op_result flush_file(const std::string& path) = 0;
    // Replaces an existing `to` in one step, durably.
    virtual op_result rename_replace(const std::string& from, const std::string& to) = 0;
    // Never replaces: `exists` when `to` stands. `cross_device` between volumes.
    virtual op_result rename_no_replace(const std::string& from, const std::string& to) = 0;
    // A second name for the file; `not_supported` where the file system has none.
    virtual op_result hard_link(const std::string& from, const std::string& to) = 0;
    // A flushed copy in a file created exclusively, never through a link; removes its own partial
    // file when it fails.
    virtual op_result copy_to_new_file(const std::string& from, const std::string& to) = 0;
    virtual op_result copy_attributes(const std::string& from, const std::string& to) = 0;
    // Windows deletes no read-only file. Answers ok only when there was an attribute to clear.
    virtual op_result clear_read_only(const std::string& path) = 0;
    // Swaps the files of two existing names in one step, durably; `not_supported` where the
    // system or the file system cannot.
    virtual op_result exchange_names(const std::string& a, const std::string& b) = 0;
    // Makes `text` the journal's content, durably, in one step; an empty text removes it.
    virtual op_result write_journal(const std::string& text) = 0;
};

file_ops& system_file_ops();

enum class replace_outcome {
    replaced,           // the result stands at the target; backup, staged file and output gone
    replaced_old_kept,  // the result stands, but the old source (or its backup) could not be
                        // removed: `reason` names it and says why
    no_output,          // the encoder left no non-empty output; nothing touched
    not_own_file,       // the output has a second name, perhaps outside the library; nothing
                        // touched
    staging_failed,     // the result could not be put beside the target; source untouched
    source_changed,     // the source is not the file that was scanned; result thrown away
    backup_failed,      // the source could not be given its backup name; source untouched
    target_taken,       // the target's name is taken, or its folder is gone or a link; the
                        // source untouched
    install_failed,     // the result could not be put in place; source as it was
    source_replaced,    // another file took the source's name during the install: it keeps
                        // that name (or the one `reason` gives), the result is not installed
};

struct replace_report {
    replace_outcome outcome = replace_outcome::replaced;
    // Empty when replaced; otherwise the words printed after "Not converted: PATH: ", in plain
    // words with the system's error text, e.g. "the result could not be put in place: Permission
    // denied" or "the source changed while it was being encoded" or "TARGET already exists".
    std::string reason;
};

// The whole sequence: check the output; record the install in the journal; stage the output
// beside the target (exclusively, flushed); give it the source's permissions; check that the
// source still matches `scanned`, the stamp the scan recorded; then install. Every step that
// takes a name away makes sure the name still holds the checked file, and gives a file that
// replaced it meanwhile its name back. When the target is the source itself, the source gets a
// second name (its backup) and the staged result and the source swap names in one step where
// the system can, so that the source's name stands at every moment; elsewhere the source is
// renamed to its backup first. Otherwise the result takes the target's name without replacing
// anything and the source is moved aside and removed. Every failure undoes what was done; the
// temporary output is deleted in every case. With a `journal`, the install stays in it for the
// next run while anything of it is left half done.
replace_report replace_with_result(file_ops& ops, const std::string& source,
                                   const std::string& target, const std::string& temp_output,
                                   const std::string& staging, const file_stamp& scanned,
                                   install_journal* journal = nullptr);

// What the next run found of an install that a run left in the journal.
struct settled_install {
    bool finished = true;  // nothing of it is left to finish or undo
    std::string line;      // what was done, for a line of its own; empty when nothing
};

// Finishes an install that had put its result in place (the checked source's other names go),
// or undoes one that had not (the source back under its name, the staged result gone). Only a
// file that is provably the install's own, by its identity and stamp, is removed. With `act`
// false nothing is changed: the answer tells whether anything is left to do.
settled_install settle_install(file_ops& ops, const install_intent& intent, bool act);

// Before the encoder starts: is the target usable? Empty when yes (its folder exists and the
// target is free, or is the source itself and its backup name is free); otherwise the reason
// words, e.g. "the folder of TARGET does not exist", "TARGET already exists".
std::string check_target_before_encode(file_ops& ops, const std::string& source,
                                       const std::string& target);

}  // namespace brindle
