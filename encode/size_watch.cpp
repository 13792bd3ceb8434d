#include "encode/size_watch.h"

#include <algorithm>

#include "encode/command.h"
#include "media/file_source.h"
#include "platform/files.h"
#include "vocabulary/size_text.h"

namespace brindle {

namespace {

// The marks of a file in the working directory (`working`) or at `path`, read as `kind`; empty
// when it cannot be opened or read.
std::vector<media::written_mark> marks_of(const std::string& path, bool working,
                                          media::container kind) {
    platform::file_reader file;
    const auto opened = working ? file.open_in_working_directory(path) : file.open(path);
    if (opened != platform::file_reader::outcome::opened) return {};
    media::file_source bytes(file);
    media::block_reader reader(bytes);
    return media::written_marks_of(reader, kind);
}

}  // namespace

std::optional<std::uint64_t> size_foretold(const std::vector<media::written_mark>& source_marks,
                                           const media::written_mark& reach,
                                           std::uint64_t source_size) {
    const auto after =
        std::find_if(source_marks.begin(), source_marks.end(),
                     [&](const media::written_mark& mark) { return mark.ms >= reach.ms; });
    if (after == source_marks.end() || reach.ms <= 0) return std::nullopt;
    // The source's bytes by then, between the marks on either side of it.
    const media::written_mark before =
        after == source_marks.begin() ? media::written_mark{} : *(after - 1);
    const double span = static_cast<double>(after->ms - before.ms);
    const double share = span > 0 ? static_cast<double>(reach.ms - before.ms) / span : 1.0;
    const double source_bytes =
        static_cast<double>(before.bytes) +
        share * (static_cast<double>(after->bytes) - static_cast<double>(before.bytes));
    if (source_bytes <= 0) return std::nullopt;
    return static_cast<std::uint64_t>(static_cast<double>(reach.bytes) / source_bytes *
                                      static_cast<double>(source_size));
}

std::string not_smaller_reason(std::uint64_t foretold, std::uint64_t source_size,
                               const std::string& from) {
    return "the result would not be smaller than the source (about " + size_text(foretold) +
           " of " + size_text(source_size) + ", from " + from + ")";
}

size_watch::size_watch(const std::string& source, media::container kind, std::uint64_t source_size,
                       std::optional<std::int64_t> source_duration_ms)
    : source_size_(source_size), duration_ms_(source_duration_ms.value_or(0)) {
    if (duration_ms_ >= foretold_from_ms) source_marks_ = marks_of(source, false, kind);
}

bool size_watch::foretells_larger(std::uint64_t output_size) {
    // The marks are read again only once the output has grown.
    if (source_marks_.empty() || output_size == output_size_read_) return false;
    output_size_read_ = output_size;
    const std::vector<media::written_mark> marks =
        marks_of(std::string(temp_output_name), true, media::container::matroska);
    if (marks.empty() || marks.back().ms * 100 < duration_ms_ * foretold_first_percent) {
        return false;
    }
    const std::optional<std::uint64_t> size =
        size_foretold(source_marks_, marks.back(), source_size_);
    if (!size || static_cast<double>(*size) * 100 <=
                     static_cast<double>(source_size_) * (100 + foretold_margin_percent)) {
        source_marks_.clear();  // within the margin once: the encode goes on to its end
        return false;
    }
    if (marks.back().ms * 100 < duration_ms_ * foretold_last_percent) return false;
    const std::int64_t share = std::min<std::int64_t>(100, marks.back().ms * 100 / duration_ms_);
    refusal_ = not_smaller_reason(*size, source_size_, std::to_string(share) + " % of the encode");
    return true;
}

bool size_watch::keep_running() {
    const path_state now = platform::status_of(std::string(temp_output_name));
    if (now.what != path_state::kind::regular) return true;
    if (now.stamp.size <= source_size_) return !foretells_larger(now.stamp.size);
    refusal_ = "the result passed the source's size";
    const std::vector<media::written_mark> marks =
        marks_of(std::string(temp_output_name), true, media::container::matroska);
    const std::int64_t reach_ms = marks.empty() ? 0 : marks.back().ms;
    if (duration_ms_ <= 0 || reach_ms <= 0) {
        refusal_ += " during the encode";
    } else {
        const std::int64_t share = std::min<std::int64_t>(100, reach_ms * 100 / duration_ms_);
        refusal_ += " at " + std::to_string(share) + " % of the encode";
    }
    return false;
}

}  // namespace brindle
