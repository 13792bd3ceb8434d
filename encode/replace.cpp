#include "encode/replace.h"

#include "platform/platform.h"

namespace brindle {

std::string target_path_for(const std::string& source) {
    std::string target = source;
    const std::size_t at = target.find("264");
    if (at != std::string::npos) target[at + 2] = '5';
    return target;
}

std::string backup_path_for(const std::string& source) { return source + ".bak"; }

std::string staging_path_for(const std::string& target, char separator, unsigned long pid) {
    const std::size_t last_separator = target.rfind(separator);
    const std::string directory =
        last_separator == std::string::npos ? std::string() : target.substr(0, last_separator + 1);
    return directory + ".brindle-" + std::to_string(pid) + ".part";
}

namespace {

struct system_ops final : file_ops {
    long long file_size(const std::string& path) override { return platform::file_size(path); }
    bool remove_file(const std::string& path) override { return platform::remove_file(path); }
    bool flush_file(const std::string& path) override { return platform::flush_file(path); }
    move rename_replace(const std::string& from, const std::string& to) override {
        switch (platform::rename_replace(from, to)) {
            case platform::move_result::done:
                return move::done;
            case platform::move_result::cross_device:
                return move::cross_device;
            case platform::move_result::failed:
                break;
        }
        return move::failed;
    }
    bool rename_no_replace(const std::string& from, const std::string& to) override {
        return platform::rename_no_replace(from, to);
    }
    bool copy_file_durably(const std::string& from, const std::string& to) override {
        return platform::copy_file_durably(from, to);
    }
};

// Puts the complete, flushed result at `staging`, beside the target. A rename when both lie on
// one volume; otherwise (or when the rename fails for another reason) a copy that is flushed.
// A flush that fails means the system could not vouch for the result's bytes, so it is not used.
bool stage_result(file_ops& ops, const std::string& temp_output, const std::string& staging) {
    if (!ops.flush_file(temp_output)) return false;
    if (ops.rename_replace(temp_output, staging) == file_ops::move::done) return true;
    if (ops.copy_file_durably(temp_output, staging)) return true;
    ops.remove_file(staging);
    return false;
}

replace_outcome replace_steps(file_ops& ops, const std::string& source, const std::string& target,
                              const std::string& temp_output, const std::string& staging) {
    if (ops.file_size(temp_output) <= 0) return replace_outcome::no_output;
    if (!stage_result(ops, temp_output, staging)) return replace_outcome::staging_failed;

    // From here until the install the source stands under its backup name: two renames.
    const std::string backup = backup_path_for(source);
    if (!ops.rename_no_replace(source, backup)) {
        ops.remove_file(staging);
        return replace_outcome::backup_failed;
    }
    if (ops.rename_replace(staging, target) != file_ops::move::done) {
        // Should the way back fail too, the source stays whole under its backup name and the
        // whole result stays staged beside it, as a crash at this moment would leave them.
        if (ops.rename_no_replace(backup, source)) ops.remove_file(staging);
        return replace_outcome::install_failed;
    }
    ops.remove_file(backup);
    return replace_outcome::replaced;
}

}  // namespace

file_ops& system_file_ops() {
    static system_ops ops;
    return ops;
}

replace_outcome replace_with_result(file_ops& ops, const std::string& source,
                                    const std::string& target, const std::string& temp_output,
                                    const std::string& staging) {
    const replace_outcome outcome = replace_steps(ops, source, target, temp_output, staging);
    // Whatever happened, the encoder's output must not be taken for the next encode's.
    // A missing file is no failure here: a rename may have taken it away.
    ops.remove_file(temp_output);
    return outcome;
}

}  // namespace brindle
