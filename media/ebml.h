#pragma once

// The pieces of EBML, the binary form of Matroska and WebM, that the readers share: element
// headers read through a cursor, their children and their unsigned values.

#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>

#include "media/byte_source.h"
#include "media/cursor.h"

namespace brindle::media {

// Element IDs, with their marker bits.
constexpr std::uint32_t ebml_id = 0x1A45DFA3;
constexpr std::uint32_t doc_type_id = 0x4282;
constexpr std::uint32_t segment_id = 0x18538067;
constexpr std::uint32_t seek_head_id = 0x114D9B74;
constexpr std::uint32_t seek_id = 0x4DBB;
constexpr std::uint32_t seek_element_id = 0x53AB;
constexpr std::uint32_t seek_position_id = 0x53AC;
constexpr std::uint32_t info_id = 0x1549A966;
constexpr std::uint32_t timestamp_scale_id = 0x2AD7B1;
constexpr std::uint32_t duration_id = 0x4489;
constexpr std::uint32_t tracks_id = 0x1654AE6B;
constexpr std::uint32_t track_entry_id = 0xAE;
constexpr std::uint32_t track_type_id = 0x83;
constexpr std::uint32_t codec_id_id = 0x86;
constexpr std::uint32_t cluster_id = 0x1F43B675;
constexpr std::uint32_t cluster_timestamp_id = 0xE7;
constexpr std::uint32_t void_id = 0xEC;
constexpr std::uint32_t crc32_id = 0xBF;
constexpr std::uint32_t attachments_id = 0x1941A469;

constexpr std::uint64_t video_track_type = 1;

// An ID takes at most 4 bytes and a size at most 8.
constexpr std::size_t longest_header = 12;

struct element {
    std::uint32_t id = 0;
    std::uint64_t size = 0;
    bool unknown_size = false;
    std::size_t header_size = 0;
};

// A variable-length number of up to `longest` bytes, its length marked by the leading zeros of
// the first byte. An ID keeps the marker bit; a size drops it.
inline std::optional<std::uint64_t> read_number(cursor& at, int longest, bool keep_marker,
                                                int& length) {
    const auto first = at.byte();
    if (!first || *first == 0) return std::nullopt;
    length = std::countl_zero(*first) + 1;
    if (length > longest) return std::nullopt;
    std::uint64_t value = keep_marker ? *first : (*first & (0xFFu >> length));
    for (int i = 1; i < length; ++i) {
        const auto next = at.byte();
        if (!next) return std::nullopt;
        value = (value << 8) | *next;
    }
    return value;
}

inline std::optional<element> read_element(cursor& at) {
    const auto start = at.position();
    int id_length = 0, size_length = 0;
    const auto id = read_number(at, 4, true, id_length);
    if (!id) return std::nullopt;
    const auto size = read_number(at, 8, false, size_length);
    if (!size) return std::nullopt;
    element found;
    found.id = static_cast<std::uint32_t>(*id);
    found.size = *size;
    // All value bits set: the writer did not know the size (a live stream, an unfinished file).
    found.unknown_size = *size == (std::uint64_t{1} << (7 * size_length)) - 1;
    found.header_size = at.position() - start;
    return found;
}

// Calls `visit(id, body)` for each child that lies whole inside `bytes`, in order; stops at the
// first that does not.
template <typename Visit>
inline void for_each_child(std::string_view bytes, Visit visit) {
    cursor at(bytes);
    while (!at.empty()) {
        const auto child = read_element(at);
        if (!child || child->unknown_size || child->size > at.left()) return;
        visit(child->id, *at.take(static_cast<std::size_t>(child->size)));
    }
}

// An unsigned integer element's value; an empty body is 0.
inline std::optional<std::uint64_t> unsigned_value(std::string_view body) {
    if (body.empty()) return 0;
    cursor at(body);
    return at.big_endian(body.size());
}

// An element header and where its body starts in the file.
struct located {
    element header;
    std::uint64_t body_offset = 0;
};

// The element header at `offset`, or nothing when no whole header is there. `read_ahead` as
// for block_reader::bytes.
inline std::optional<located> element_at(block_reader& reader, std::uint64_t offset,
                                         std::size_t read_ahead = 0) {
    cursor at(reader.bytes(offset, longest_header, read_ahead));
    const auto found = read_element(at);
    if (!found) return std::nullopt;
    return located{*found, offset + found->header_size};
}

}  // namespace brindle::media
