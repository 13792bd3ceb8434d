#include <algorithm>

#include "media/byte_source.h"
#include "media/cursor.h"
#include "media/tracks.h"

namespace brindle::media {

namespace {

constexpr std::uint8_t video_tag = 9;
constexpr std::uint8_t ex_header_bit = 0x80;
// Tags looked at before giving up on a video tag: the metadata and a few audio tags come first.
constexpr int most_tags = 256;
constexpr std::uint64_t head_limit = std::uint64_t{256} << 10;
constexpr std::size_t tag_header = 11;
constexpr std::size_t previous_tag_size = 4;

// The coding of a video tag's data: the enhanced format sets the top bit of the first byte and
// names the coding by a FourCC after it; the classic one keeps a codec id in the low four bits.
track_entry video_entry(std::string_view data) {
    track_entry entry;
    entry.kind = track_kind::video;
    cursor at(data);
    const auto first = at.byte();
    if (!first) return entry;
    if (*first & ex_header_bit) {
        const auto fourcc = at.take(4);
        if (fourcc) entry.codec = std::string(*fourcc);
        entry.hevc = entry.codec == "hvc1";
    } else {
        entry.codec = "codec id " + std::to_string(*first & 0x0F);
    }
    return entry;
}

}  // namespace

track_list read_flv_tracks(block_reader& reader) {
    track_list list;
    // "FLV", the version, the flags, then the size of this header.
    cursor header(reader.bytes(0, 9));
    if (!header.skip(5)) return list;
    const auto header_size = header.big_endian(4);
    if (!header_size) return list;
    std::uint64_t offset = *header_size + previous_tag_size;
    const auto limit = std::min(reader.file_size(), head_limit);
    for (int count = 0; count < most_tags && offset < limit; ++count) {
        cursor tag(reader.bytes(offset, tag_header + 5));
        const auto type = tag.byte();
        const auto data_size = tag.big_endian(3);
        if (!data_size || !tag.skip(7)) return list;
        if ((*type & 0x1F) == video_tag) {
            const auto data = std::min<std::uint64_t>({5, *data_size, tag.left()});
            list.tracks.push_back(video_entry(*tag.take(static_cast<std::size_t>(data))));
            return list;
        }
        offset += tag_header + *data_size + previous_tag_size;
    }
    return list;
}

}  // namespace brindle::media
