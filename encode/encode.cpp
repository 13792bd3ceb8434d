#include "encode/encode.h"

#include <cstddef>
#include <optional>

#include "encode/command.h"
#include "encode/replace.h"
#include "platform/platform.h"

namespace brindle {

namespace {

constexpr std::size_t max_path_length = 255;

shell_syntax current_shell() {
    return platform::command_interpreter() == platform::interpreter_kind::windows_cmd
               ? shell_syntax::windows_cmd
               : shell_syntax::posix_sh;
}

}  // namespace

int encode_candidate(const std::string& path, const std::string& command_template) {
    const shell_syntax shell = current_shell();
    template_pieces pieces;
    if (split_command_template(command_template, pieces) != template_fault::none) return 0;
    if (!path_can_be_quoted(path, shell)) {
        platform::write_out("Not encoded: " + path +
                            " holds two or more % signs, which cmd.exe could expand into a "
                            "command.\n");
        return 0;
    }
    if (platform::native_length(backup_path_for(path)) > max_path_length) return 0;
    const std::optional<std::string> command = build_encode_command(command_template, path, shell);
    if (!command) return 0;

    // The run holds the working directory's lock, so whatever stands under the temporary name is
    // left over from an earlier encode of ours and must not be taken for this one's output.
    platform::remove_file(temp_output_name);
    // The encoder writes to the same console; what was printed before it must come first.
    platform::flush_out();
    const file_stamp started = system_file_ops().stamp_of(path).stamp;
    const platform::command_result ran = platform::run_command(*command);
    if (ran.how != platform::command_result::ending::exited || ran.code != 0) return 0;

    const std::string target = target_path_for(path, 0);
    replace_with_result(
        system_file_ops(), path, target, temp_output_name,
        staging_path_for(target, platform::path_separator(), platform::process_id()), started);
    return 1;
}

}  // namespace brindle
