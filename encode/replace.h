#pragma once

// Putting an encoder's result in place of its source without ever losing the source, and never
// over any other file.

#include <string>

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
};

struct replace_report {
    replace_outcome outcome = replace_outcome::replaced;
    // Empty when replaced; otherwise the words printed after "Not converted: PATH: ", in plain
    // words with the system's error text, e.g. "the result could not be put in place: Permission
    // denied" or "the source changed while it was being encoded" or "TARGET already exists".
    std::string reason;
};

// The whole sequence: check the output; stage it beside the target (exclusively, flushed); give
// it the source's permissions; check that the source still matches `scanned`, the stamp the scan
// recorded; then install. When the target is the source itself, the backup is a second name of
// the source (a hard link), the staged result is renamed over the source in one step and the
// backup removed, so the source's name stands at every moment; without hard links the source is
// renamed to its backup first. Otherwise the result takes the target's name without replacing
// anything and the source is removed. Every failure undoes what was done; the temporary output
// is deleted in every case.
replace_report replace_with_result(file_ops& ops, const std::string& source,
                                   const std::string& target, const std::string& temp_output,
                                   const std::string& staging, const file_stamp& scanned);

// Before the encoder starts: is the target usable? Empty when yes (its folder exists and the
// target is free, or is the source itself and its backup name is free); otherwise the reason
// words, e.g. "the folder of TARGET does not exist", "TARGET already exists".
std::string check_target_before_encode(file_ops& ops, const std::string& source,
                                       const std::string& target);

}  // namespace brindle
