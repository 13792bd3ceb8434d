#pragma once

// The note a file carries when it could not be converted for a reason that lies in the file
// itself, so that later runs do not spend another night on it while it stays the same.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vocabulary/file_stamp.h"

namespace brindle {

// What a note says of its file. A note written before notes had kinds reads as `failed`.
enum class mark_kind {
    failed,       // skipped until it changes, or -retry
    failed_once,  // failed on one day; tried again, and skipped after a failure on another day
    pending,      // left over by -until: taken by later runs whatever its age
};

struct failure_mark {
    mark_kind kind = mark_kind::failed;
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
// The kind of note a failure of the encoder or of its result leaves, given the note the file
// carries (matching or not) and today's date: a file is skipped only after failures on two days.
mark_kind kind_after_failure(const std::optional<failure_mark>& earlier, const file_stamp& stamp,
                             std::uint64_t command_hash, const std::string& today);

// Notes that the encoder or its result failed on `path`; answers true when the file is to be
// tried again by the next run (its first failure), false when it is skipped from now on.
bool note_encode_failure(const std::string& path, const file_stamp& stamp,
                         const std::string& command_line, const std::string& reason);

// Notes that `path` was left over by -until, unless a failure note of the same stamp stands.
void note_pending(const std::string& path, const file_stamp& stamp);
// Does `path` carry a pending note that still speaks of the file as it is now?
bool is_pending(const std::string& path, const file_stamp& stamp);

// What every line refusing a file for its result's size adds, the night it is refused and later;
// under -quality (`quality` above 0), whose search chooses the CRF, a lower target is what helps.
inline constexpr std::string_view size_refusal_advice =
    "it will not be tried again with this encoder line (-quality, or a configuration line with a "
    "higher CRF, may make it smaller)";
inline constexpr std::string_view size_refusal_advice_under_quality =
    "it will not be tried again with this encoder line and -quality (a lower -quality may make "
    "it smaller)";
std::string_view size_refusal_advice_for(double quality);
// Does a note's reason refuse the file because its result could not be smaller than the source?
bool is_size_refusal(std::string_view reason);
// The line's words for a file skipped because `mark` still matches it: a size refusal is not
// undone by -retry's whole encode, so it says what would help instead.
std::string skipped_failure_text(const failure_mark& mark, double quality = 0);

// Marks `path`, whose stamp is `stamp`, as failing for `reason` today with `command_line`.
// Where the file system keeps no such notes nothing is remembered, and that is no failure.
void mark_failure(const std::string& path, const file_stamp& stamp, const std::string& command_line,
                  const std::string& reason);

}  // namespace brindle
