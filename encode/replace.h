#pragma once

// Putting an encoder's result in place of its source without ever losing the source.

#include <string>

namespace brindle {

// The source path with its first "264" turned into "265".
std::string target_path_for(const std::string& source);
// The source path and ".bak".
std::string backup_path_for(const std::string& source);
// A dot-named file in the target's directory that holds the result until it is renamed over
// the target: the directory part of `target`, separator, ".brindle-<pid>.part".
std::string staging_path_for(const std::string& target, char separator, unsigned long pid);

// The file operations the replace sequence needs: real ones in production, a recording fake
// that can fail at any step in tests.
struct file_ops {
    virtual ~file_ops() = default;
    virtual long long file_size(const std::string& path) = 0;  // -1 when missing
    virtual bool remove_file(const std::string& path) = 0;
    virtual bool flush_file(const std::string& path) = 0;
    // Replaces an existing `to`; cross_device when a copy is needed instead.
    enum class move { done, cross_device, failed };
    virtual move rename_replace(const std::string& from, const std::string& to) = 0;
    virtual bool rename_no_replace(const std::string& from, const std::string& to) = 0;
    virtual bool copy_file_durably(const std::string& from, const std::string& to) = 0;
};

file_ops& system_file_ops();

enum class replace_outcome {
    replaced,          // the result stands at the target path; backup and temporary file gone
    no_output,         // the encoder left no non-empty output; nothing touched
    staging_failed,    // the result could not be put beside the target; source untouched
    backup_failed,     // the source could not be moved aside; source untouched
    install_failed,    // the result could not be renamed over the target; source restored
};

// The whole sequence: check the output, stage it beside the target and flush it, move the source
// to its backup name, rename the staged result over the target, delete the backup. Every
// failure undoes what was done; the temporary output is deleted in every case.
replace_outcome replace_with_result(file_ops& ops, const std::string& source,
                                    const std::string& target, const std::string& temp_output,
                                    const std::string& staging);

}  // namespace brindle
