#pragma once

// The end of a command's output, kept in bounded memory while the command writes.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::platform {

// Keeps the last lines of a byte stream: at most `max_lines` lines of at most `max_bytes` bytes
// together. A line ends with LF, CRLF or a lone CR; a line ended by a lone CR is a progress
// update, which the next progress update replaces. A line longer than `max_bytes` keeps its start.
// Pure, so that it is tested on every platform.
class output_tail {
public:
    static constexpr std::size_t max_lines = 20;
    static constexpr std::size_t max_bytes = 4096;

    void add(std::string_view bytes);
    // The lines kept, oldest first, the unfinished last one included; without their line ends.
    std::vector<std::string> lines() const;

private:
    void end_line(bool progress);

    std::deque<std::string> lines_;
    std::size_t kept_bytes_ = 0;
    std::string current_;
    bool after_cr_ = false;  // the last byte was a CR: CRLF, or a progress update
    bool last_is_progress_ = false;
};

}  // namespace brindle::platform
