#include "encode/encoder_output.h"

#include "encode/command.h"
#include "platform/clock.h"

namespace brindle {

namespace {

// File systems stamp times with a coarser clock than the one read before the encoder starts,
// and FAT keeps them to two seconds: a result finished at once may seem a little older.
constexpr std::uint64_t clock_allowance = 2 * platform::ticks_per_second;

bool is_output(const std::string& path) { return path == temp_output_name; }

}  // namespace

encoder_output::~encoder_output() {
    file_.close();  // Windows removes no name of a file that is still open
    if (cleared_) platform::clear_in_working_directory(temp_output_name);
}

std::string encoder_output::clear() {
    const op_result cleared = platform::clear_in_working_directory(temp_output_name);
    cleared_ = true;
    if (cleared.ok()) return {};
    if (cleared.why == op_result::fault::outside) {
        return "the working directory cannot be checked: " + cleared.error;
    }
    return std::string(temp_output_name) +
           " cannot be removed from the working directory: " + cleared.error;
}

std::string encoder_output::open(std::uint64_t encoder_started) {
    const auto opened = file_.open_in_working_directory(temp_output_name);
    left_nothing_ = opened == platform::file_reader::outcome::missing ||
                    (opened == platform::file_reader::outcome::opened && file_.size() == 0);
    switch (opened) {
        case platform::file_reader::outcome::opened:
            break;
        case platform::file_reader::outcome::missing:
            return "the encoder left no output";
        case platform::file_reader::outcome::not_regular:
            return "the result is not a regular file";
        case platform::file_reader::outcome::failed:
            return "the result cannot be read: " + file_.error();
    }
    if (file_.size() == 0) return "the encoder left an empty output";
    // Nothing stood under the name when the encoder started, so an older file was put there
    // by something else: the previous file's result, say.
    if (file_.changed_ticks() + clock_allowance < encoder_started) {
        return "the result was made before its encoder started, so it is not the encoder's own "
               "new file";
    }
    return {};
}

file_ops& encoder_output::ops(file_ops& others) {
    ops_.others = &others;
    return ops_;
}

path_state encoder_output::output_ops::stamp_of(const std::string& path) {
    return is_output(path) ? file.status() : others->stamp_of(path);
}

op_result encoder_output::output_ops::remove_file(const std::string& path) {
    return is_output(path) ? op_result{} : others->remove_file(path);
}

op_result encoder_output::output_ops::flush_file(const std::string& path) {
    return is_output(path) ? file.flush() : others->flush_file(path);
}

op_result encoder_output::output_ops::rename_replace(const std::string& from,
                                                     const std::string& to) {
    return others->rename_replace(from, to);
}

op_result encoder_output::output_ops::rename_no_replace(const std::string& from,
                                                        const std::string& to) {
    return is_output(from) ? file.move_to(to) : others->rename_no_replace(from, to);
}

op_result encoder_output::output_ops::hard_link(const std::string& from, const std::string& to) {
    return others->hard_link(from, to);
}

op_result encoder_output::output_ops::copy_to_new_file(const std::string& from,
                                                       const std::string& to) {
    return is_output(from) ? file.copy_to_new_file(to) : others->copy_to_new_file(from, to);
}

op_result encoder_output::output_ops::copy_attributes(const std::string& from,
                                                      const std::string& to) {
    return others->copy_attributes(from, to);
}

op_result encoder_output::output_ops::clear_read_only(const std::string& path) {
    return others->clear_read_only(path);
}

op_result encoder_output::output_ops::exchange_names(const std::string& a, const std::string& b) {
    return others->exchange_names(a, b);
}

op_result encoder_output::output_ops::write_journal(const std::string& text) {
    return others->write_journal(text);
}

}  // namespace brindle
