#include "encode/size_watch.h"

#include <algorithm>

#include "encode/command.h"
#include "media/file_source.h"
#include "platform/files.h"
#include "vocabulary/size_text.h"

namespace brindle {

std::optional<std::uint64_t> foretold_size(const std::vector<media::written_mark>& source,
                                           std::uint64_t source_size,
                                           const media::written_mark& written) {
    const auto reached = std::find_if(source.begin(), source.end(),
                                      [&](const auto& mark) { return mark.ms >= written.ms; });
    if (reached == source.end() || written.ms <= 0) return std::nullopt;
    const media::written_mark before =
        reached == source.begin() ? media::written_mark{} : *(reached - 1);
    // Within the Cluster that reaches the time, its bytes are taken as spread evenly over it.
    const double share = reached->ms > before.ms ? static_cast<double>(written.ms - before.ms) /
                                                       static_cast<double>(reached->ms - before.ms)
                                                 : 1.0;
    const double source_bytes = static_cast<double>(before.bytes) +
                                share * static_cast<double>(reached->bytes - before.bytes);
    if (source_bytes <= 0) return std::nullopt;
    return static_cast<std::uint64_t>(static_cast<double>(written.bytes) / source_bytes *
                                      static_cast<double>(source_size));
}

std::optional<std::uint64_t> larger_result_foretold(const std::vector<media::written_mark>& source,
                                                    std::uint64_t source_size,
                                                    std::int64_t source_duration_ms,
                                                    const media::written_mark& written) {
    if (source_duration_ms < foretold_from_ms ||
        written.ms * 100 < source_duration_ms * foretold_from_percent) {
        return std::nullopt;
    }
    const auto size = foretold_size(source, source_size, written);
    if (!size || *size * 100 <= source_size * (100 + foretold_margin_percent)) return std::nullopt;
    return size;
}

size_watch::size_watch(std::string source, std::uint64_t source_size,
                       std::optional<std::int64_t> source_duration_ms, media::container source_kind)
    : source_(std::move(source)),
      source_size_(source_size),
      duration_ms_(source_duration_ms.value_or(0)),
      source_kind_(source_kind),
      foretells_(media::has_written_marks(source_kind) && duration_ms_ >= foretold_from_ms) {}

std::vector<media::written_mark> size_watch::output_marks() const {
    platform::file_reader output;
    if (output.open_in_working_directory(std::string(temp_output_name)) !=
        platform::file_reader::outcome::opened) {
        return {};
    }
    media::file_source bytes(output);
    media::block_reader reader(bytes);
    return media::matroska_written_marks(reader);
}

bool size_watch::keep_running() {
    const path_state now = platform::status_of(std::string(temp_output_name));
    if (now.what != path_state::kind::regular) return true;
    if (now.stamp.size > source_size_) {
        refusal_ = "the result passed the source's size";
        const auto marks = output_marks();
        if (duration_ms_ <= 0 || marks.empty() || marks.back().ms <= 0) {
            refusal_ += " during the encode";
        } else {
            const std::int64_t share =
                std::min<std::int64_t>(100, marks.back().ms * 100 / duration_ms_);
            refusal_ += " at " + std::to_string(share) + " % of the encode";
        }
        return false;
    }
    if (!foretells_ || ++asked_ % foretold_every != 0) return true;
    const auto marks = output_marks();
    if (marks.empty()) return true;
    const std::int64_t share = marks.back().ms * 100 / duration_ms_;
    if (share < next_percent_) return true;
    next_percent_ = share / 10 * 10 + 10;
    foretells_ = next_percent_ <= foretold_until_percent;
    if (!source_read_) {
        source_read_ = true;
        source_marks_ = media::read_headers_of(
            source_, std::vector<media::written_mark>{}, [this](media::block_reader& reader) {
                return media::written_marks_of(reader, source_kind_);
            });
    }
    const auto size =
        larger_result_foretold(source_marks_, source_size_, duration_ms_, marks.back());
    if (!size) return true;
    refusal_ = "the result would not be smaller than the source (about " + size_text(*size) +
               " of " + size_text(source_size_) + ", from the first " + std::to_string(share) +
               " % of the encode)";
    return false;
}

}  // namespace brindle
