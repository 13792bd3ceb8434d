#pragma once

// The encoder's output, tempenc.mkv in the working directory, from before its encoder starts
// until its result is installed or thrown away.

#include <cstdint>
#include <string>

#include "encode/replace.h"
#include "platform/files.h"

namespace brindle {

// The output's one owner, which removes it when the encode is over however it ends, and the one
// open file that every read, flush and copy of it goes through once the encoder has exited: the
// name is never looked up again, so nothing put under it meanwhile is taken for the result.
class encoder_output {
public:
    encoder_output() = default;
    ~encoder_output();
    encoder_output(const encoder_output&) = delete;
    encoder_output& operator=(const encoder_output&) = delete;

    // Before the encoder starts: nothing stands under the name in the working directory, which
    // is still the process's current folder. Empty when so; otherwise why not, in words for a
    // "Not converted" line.
    std::string clear();
    // After the encoder exited 0: opens the output and checks that it is the encoder's own new
    // file, changed no earlier than `encoder_started` (ticks). Empty when so; otherwise why not.
    std::string open(std::uint64_t encoder_started);
    // The encoder left no output under the name, or an empty one.
    bool left_nothing() const { return left_nothing_; }
    platform::file_reader& file() { return file_; }
    // The replace's file operations, with those on the output answered from the open file and
    // its removal left to this owner.
    file_ops& ops(file_ops& others);

private:
    // The operations on the output's name go to the open file; all others to `others`.
    struct output_ops final : file_ops {
        explicit output_ops(platform::file_reader& output) : file(output) {}
        path_state stamp_of(const std::string& path) override;
        op_result remove_file(const std::string& path) override;
        op_result flush_file(const std::string& path) override;
        op_result rename_replace(const std::string& from, const std::string& to) override;
        op_result rename_no_replace(const std::string& from, const std::string& to) override;
        op_result hard_link(const std::string& from, const std::string& to) override;
        op_result copy_to_new_file(const std::string& from, const std::string& to) override;
        op_result copy_attributes(const std::string& from, const std::string& to) override;
        op_result clear_read_only(const std::string& path) override;
        op_result exchange_names(const std::string& a, const std::string& b) override;
        op_result write_journal(const std::string& text) override;
        platform::file_reader& file;
        file_ops* others = nullptr;
    };

    platform::file_reader file_;
    output_ops ops_{file_};
    bool cleared_ = false;
    bool left_nothing_ = false;
};

}  // namespace brindle
