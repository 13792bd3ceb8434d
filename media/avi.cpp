#include <algorithm>
#include <limits>

#include "media/cursor.h"
#include "media/readers.h"

namespace brindle::media {

namespace {

// The header list is a few kilobytes; one larger than this is taken for damage.
constexpr std::uint64_t largest_header_list = std::uint64_t{1} << 20;

// Calls `visit(id, body)` for each RIFF chunk in `bytes`: a four-character id, a little-endian
// size, the body and a pad byte to an even length. Stops at the first chunk that does not fit.
template <typename Visit>
void for_each_chunk(std::string_view bytes, Visit visit) {
    cursor at(bytes);
    while (at.left() >= 8) {
        const auto id = *at.take(4);
        const auto size = *at.little_endian(4);
        const auto body = at.take(static_cast<std::size_t>(size));
        if (!body) return;
        visit(id, *body);
        if (size % 2 == 1) at.skip(1);
    }
}

struct frame_counts {
    std::optional<std::uint64_t> microseconds_per_frame;
    std::optional<std::uint64_t> main_frames;   // avih: counts the first RIFF only
    std::optional<std::uint64_t> total_frames;  // odml/dmlh: counts every RIFF
};

void read_header_list(std::string_view list, frame_counts& counts) {
    for_each_chunk(list, [&](std::string_view id, std::string_view body) {
        cursor at(body);
        if (id == "avih") {
            counts.microseconds_per_frame = at.little_endian(4);
            if (at.skip(12)) counts.main_frames = at.little_endian(4);
        } else if (id == "LIST" && body.substr(0, 4) == "odml") {
            for_each_chunk(body.substr(4), [&](std::string_view inner, std::string_view value) {
                cursor frames(value);
                if (inner == "dmlh") counts.total_frames = frames.little_endian(4);
            });
        }
    });
}

}  // namespace

std::optional<std::int64_t> read_avi_duration(block_reader& reader) {
    // RIFF, its size, "AVI ", then the chunks; the header list "hdrl" comes first.
    cursor riff(reader.bytes(0, 24));
    if (!riff.skip(12)) return std::nullopt;
    const auto list = riff.take(4);
    const auto list_size = riff.little_endian(4);
    const auto list_type = riff.take(4);
    if (!list_type || *list != "LIST" || *list_type != "hdrl" || *list_size < 4 ||
        *list_size > largest_header_list) {
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(*list_size - 4);
    const auto body = reader.bytes(24, size);
    if (body.size() != size) return std::nullopt;
    frame_counts counts;
    read_header_list(body, counts);
    const auto frames = std::max(counts.main_frames.value_or(0), counts.total_frames.value_or(0));
    const auto frame_time = counts.microseconds_per_frame.value_or(0);
    if (frames == 0 || frame_time == 0) return std::nullopt;
    if (frames > static_cast<std::uint64_t>(longest_duration_ms) * 1000 / frame_time) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(frames * frame_time / 1000);
}

}  // namespace brindle::media
