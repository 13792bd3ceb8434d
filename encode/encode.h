#pragma once

// Encoding one candidate: the checks before its encoder starts, the encoder run, the checks of
// its result and the replace.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "encode/compare.h"
#include "encode/encoder_output.h"
#include "media/picture.h"
#include "media/tracks.h"
#include "vocabulary/candidates.h"

namespace brindle {

// What the checks before an encode found: the command to run and where its result goes.
struct prepared_encode {
    std::string command;
    std::string target;
    std::optional<std::int64_t> source_duration_ms;
    // The command line a failure is noted under: the configured or the general default line,
    // whichever default line ran.
    std::string marked_as;
    // The source's tracks as its headers list them, to compare the result's with.
    media::track_inventory source_tracks;
    // The line is a default line, which must keep every track Matroska can hold.
    bool default_line = false;
    bool source_is_matroska = false;
    media::container source_container = media::container::none;
    // The source's picture, to compare the result's with, and whether the line deinterlaces it.
    media::picture_properties source_picture;
    bool deinterlaced = false;
    // Set with the refusal when the file could not be replaced however the encode went (its
    // folder cannot be written): something a person must mend, which the exit code tells.
    bool cannot_be_replaced = false;
    // How the result's picture is compared with the source's before it is installed, and the
    // ffmpeg that compares it: the run's choice, the same for every file.
    verify_level verify = verify_level::headers;
    // With -quality, the SSIM the result must keep and the line its CRF goes into; 0 without.
    double quality = 0;
    std::string line;
    std::string comparer;
    std::string comparer_missing;  // where ffmpeg was looked for, when it was not found
};

// Checks that `entry` may be encoded now. Answers why not, in plain words for a
// "Not converted: PATH: REASON" line, or an empty text and the prepared encode. A file that failed
// before and has not changed since is tried again only when `retry` is set.
// With `quality` (an SSIM above 0), the CRF is searched for, and failures are noted apart from
// the line's own. With `write_notes` false (a dry run) nothing is noted on the file.
std::string prepare_encode(const candidate_entry& entry, const std::string& command_template,
                           bool retry, double quality, prepared_encode& prepared,
                           bool write_notes = true);

struct encode_outcome {
    bool converted = false;
    std::string reason;            // when not converted: the words after "Not converted: PATH: "
    std::uint64_t size_after = 0;  // the result's size, when converted
    std::string note;              // converted, but what could not be cleaned up afterwards
    std::string installed;         // where the result stands, when converted
    // A stop was asked for while the encoder ran: it has ended, its output is deleted and the
    // source stands as it was.
    int stop_signal = 0;
    // After a stop: how the encoder was killed, when it was, in words for the stop line.
    std::string stop_note;
    // When Brindle's output is not a terminal: the last lines the encoder wrote, when it failed
    // or left no output.
    std::vector<std::string> encoder_output;
    // The encoder could not be found or started, so no other file can fare better: the line that
    // says so, and the run stops. Empty otherwise.
    std::string encoder_missing;
};

// At the start of an encoding run, once the lock is held: finishes or undoes each install that a
// killed run left in the journal, then removes that run's stage files and the sample windows
// of its quality search. Answers a line for each install it finished or undid, or could not.
std::vector<std::string> finish_interrupted_work();

// Runs the prepared encoder, checks its result and puts it in place of the source. `output` has
// been cleared; it removes the temporary output whatever the outcome.
encode_outcome run_encode(const candidate_entry& entry, const prepared_encode& prepared,
                          encoder_output& output, bool low_priority);

}  // namespace brindle
