#include "encode/size_watch.h"

#include <algorithm>
#include <vector>

#include "encode/command.h"
#include "media/file_source.h"
#include "media/wholeness.h"
#include "platform/files.h"

namespace brindle {

size_watch::size_watch(std::uint64_t source_size, std::optional<std::int64_t> source_duration_ms)
    : source_size_(source_size), duration_ms_(source_duration_ms.value_or(0)) {}

namespace {

// How far the output's Clusters reach, in milliseconds; 0 when they cannot be read.
std::int64_t output_reach_ms() {
    platform::file_reader output;
    if (output.open_in_working_directory(std::string(temp_output_name)) !=
        platform::file_reader::outcome::opened) {
        return 0;
    }
    media::file_source bytes(output);
    media::block_reader reader(bytes);
    const std::vector<media::written_mark> marks = media::matroska_written_marks(reader);
    return marks.empty() ? 0 : marks.back().ms;
}

}  // namespace

bool size_watch::keep_running() {
    const path_state now = platform::status_of(std::string(temp_output_name));
    if (now.what != path_state::kind::regular || now.stamp.size <= source_size_) return true;
    refusal_ = "the result passed the source's size";
    const std::int64_t reach_ms = output_reach_ms();
    if (duration_ms_ <= 0 || reach_ms <= 0) {
        refusal_ += " during the encode";
    } else {
        const std::int64_t share = std::min<std::int64_t>(100, reach_ms * 100 / duration_ms_);
        refusal_ += " at " + std::to_string(share) + " % of the encode";
    }
    return false;
}

}  // namespace brindle
