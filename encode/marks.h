#pragma once

// The note a file carries when it could not be converted for a reason that lies in the file
// itself, so that later runs do not spend another night on it while it stays the same.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vocabulary/file_stamp.h"

namespace brindle {

struct failure_mark {
    std::uint64_t size = 0;         // the file's size when it failed
    std::uint64_t write_ticks = 0;  // and its last-write time
    // The encoder command line it failed with: another line (a mistyped option corrected) tries
    // the file again.
    std::uint64_t command_hash = 0;
    std::string date;    // the local date of the failure, YYYY-MM-DD
    std::string reason;  // the words of its "Not converted" line
};

std::string mark_text(const failure_mark& mark);
// Nothing when `text` is not a mark this program wrote.
std::optional<failure_mark> read_mark_text(std::string_view text);

// Does the mark still speak of the file as it is now, and of the same encoder command line?
bool mark_matches(const failure_mark& mark, const file_stamp& stamp,
                  const std::string& command_line);

// The mark `path` carries and that still matches, if any.
std::optional<failure_mark> matching_mark(const std::string& path, const file_stamp& stamp,
                                          const std::string& command_line);
// Marks `path`, whose stamp is `stamp`, as failing for `reason` today with `command_line`.
// Where the file system keeps no such notes nothing is remembered, and that is no failure.
void mark_failure(const std::string& path, const file_stamp& stamp, const std::string& command_line,
                  const std::string& reason);

}  // namespace brindle
