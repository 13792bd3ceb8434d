#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "media/byte_source.h"
#include "media/cursor.h"
#include "media/stream_types.h"
#include "media/tracks.h"

namespace brindle::media {

namespace {

constexpr std::uint8_t pack_start = 0xBA;
constexpr std::uint8_t end_code = 0xB9;
constexpr std::uint8_t system_header = 0xBB;
constexpr std::uint8_t stream_map = 0xBC;
constexpr std::uint8_t private_stream = 0xBD;
// How far the packets are walked: a program stream interleaves its streams within a second or
// so, and the streams met after the first video packet are counted for a while longer.
constexpr std::uint64_t head_limit = std::uint64_t{384} << 10;
constexpr std::uint64_t after_video = std::uint64_t{64} << 10;
constexpr std::size_t chunk_size = std::size_t{16} << 10;
// Of each packet the header is looked at, and of a stream map or system header all of it.
constexpr std::size_t packet_prefix = 64;
constexpr std::size_t largest_table = 1024;
constexpr int most_packets = 100000;

bool is_video_id(std::uint8_t id) { return id >= 0xE0 && id <= 0xEF; }
bool is_audio_id(std::uint8_t id) { return id >= 0xC0 && id <= 0xDF; }
// The extended stream id: VC-1 video, among others.
constexpr std::uint8_t extended_stream = 0xFD;

// Views of the file in chunks, so that walking small packets costs a read per chunk.
class chunked_view {
public:
    explicit chunked_view(block_reader& reader) : reader_(reader) {}
    // Up to `size` bytes at `offset` (fewer where the file ends); valid until the next call.
    std::string_view at(std::uint64_t offset, std::size_t size) {
        if (offset < start_ || offset - start_ + size > chunk_.size()) {
            start_ = offset;
            chunk_ = reader_.bytes(offset, std::max(size, chunk_size));
        }
        const auto from = static_cast<std::size_t>(offset - start_);
        return chunk_.substr(std::min(from, chunk_.size()), size);
    }

private:
    block_reader& reader_;
    std::uint64_t start_ = 0;
    std::string_view chunk_;
};

// The payload of a PES packet (from its start code): after an MPEG-2 header with its own
// length, or after MPEG-1's stuffing, buffer size and time stamps.
std::string_view pes_payload(std::string_view packet) {
    cursor at(packet);
    if (!at.skip(6)) return {};
    auto peek = at;
    const auto first = peek.byte();
    if (!first) return {};
    if ((*first & 0xC0) == 0x80) {
        const auto length = at.skip(2) ? at.byte() : std::nullopt;
        if (!length || !at.skip(*length)) return {};
    } else {
        for (int i = 0; i < 16 && peek.byte() == 0xFF; ++i) at.skip(1);
        peek = at;
        if (const auto flags = peek.byte(); flags && (*flags & 0xC0) == 0x40) at.skip(2);
        peek = at;
        const auto flags = peek.byte().value_or(0);
        at.skip((flags & 0xF0) == 0x20 ? 5 : (flags & 0xF0) == 0x30 ? 10 : flags == 0x0F ? 1 : 0);
    }
    return at.take(at.left()).value_or(std::string_view{});
}

// Does a video payload begin with the parameter set or the delimiter an HEVC stream starts with
// (NAL types 32 and 35, in a two-byte header)? No other coding a program stream carries starts so.
bool starts_hevc(std::string_view payload) {
    const auto start = payload.find(std::string_view("\x00\x00\x01", 3));
    if (start == std::string_view::npos || start > 1 || payload.size() < start + 5) return false;
    const auto nal = payload.substr(start + 3, 2);
    return (nal[0] == '\x40' || nal[0] == '\x46') && nal[1] == '\x01';
}

struct program_walk {
    // Streams met, by id (and sub-stream for private stream 1), in order.
    std::vector<std::pair<std::uint8_t, int>> seen;
    std::optional<std::uint64_t> first_video_at;
    bool hevc = false;
    std::optional<std::vector<ts_stream>> mapped;  // the program stream map's streams

    void meet(std::uint8_t id, int sub) {
        if (std::find(seen.begin(), seen.end(), std::pair{id, sub}) == seen.end()) {
            seen.emplace_back(id, sub);
        }
    }
};

// The program stream map: its version, its descriptors, then its streams, each a stream type,
// an id and descriptors.
std::vector<ts_stream> map_streams(std::string_view packet) {
    std::vector<ts_stream> streams;
    cursor at(packet);
    if (!at.skip(8)) return streams;
    const auto info_length = at.big_endian(2);
    if (!info_length || !at.skip(*info_length)) return streams;
    const auto map_length = at.big_endian(2);
    const auto map = map_length ? at.take(*map_length) : std::nullopt;
    if (!map) return streams;
    at = cursor(*map);
    while (at.left() >= 4) {
        const auto type = *at.byte();
        const auto id = *at.byte();
        const auto descriptors = at.take(*at.big_endian(2));
        if (!descriptors) break;
        streams.push_back({id, classify_stream(type, *descriptors, false)});
    }
    return streams;
}

// The system header: rates and bounds, then three bytes per stream, the first its id.
void read_system_header(std::string_view packet, program_walk& walk) {
    cursor at(packet);
    if (!at.skip(12)) return;
    while (at.left() >= 3) {
        const auto id = *at.byte();
        at.skip(2);
        if (is_video_id(id) || is_audio_id(id)) walk.meet(id, -1);
    }
}

void read_packet(std::uint8_t id, std::string_view packet, std::uint64_t offset,
                 program_walk& walk) {
    if (id == stream_map) {
        walk.mapped = map_streams(packet);
    } else if (id == system_header) {
        read_system_header(packet, walk);
    } else if (is_video_id(id)) {
        if (!walk.first_video_at) {
            walk.first_video_at = offset;
            walk.hevc = starts_hevc(pes_payload(packet));
        }
        walk.meet(id, -1);
    } else if (is_audio_id(id) || id == extended_stream) {
        walk.meet(id, -1);
    } else if (id == private_stream) {
        const auto payload = pes_payload(packet);
        if (!payload.empty()) walk.meet(id, static_cast<std::uint8_t>(payload[0]));
    }
}

// The size of the pack header at `bytes`: MPEG-2's ends in a count of stuffing bytes.
std::size_t pack_header_size(std::string_view bytes) {
    if (bytes.size() < 14) return 0;
    if ((static_cast<std::uint8_t>(bytes[4]) & 0xC0) == 0x40) {
        return 14 + (static_cast<std::uint8_t>(bytes[13]) & 0x07);
    }
    return 12;
}

program_walk walk_program_stream(block_reader& reader) {
    program_walk walk;
    chunked_view view(reader);
    const auto limit = std::min(reader.file_size(), head_limit);
    std::uint64_t offset = 0;
    for (int count = 0; offset < limit && count < most_packets; ++count) {
        if (walk.first_video_at && offset - *walk.first_video_at > after_video) break;
        const auto head = view.at(offset, packet_prefix);
        if (head.size() < 6) break;
        if (head.substr(0, 3) != std::string_view("\x00\x00\x01", 3)) {
            // Lost: on to the next start code.
            const auto next =
                view.at(offset, chunk_size).find(std::string_view("\x00\x00\x01", 3), 1);
            if (next == std::string_view::npos) break;
            offset += next;
            continue;
        }
        const auto id = static_cast<std::uint8_t>(head[3]);
        if (id == end_code) break;
        if (id == pack_start) {
            const auto size = pack_header_size(head);
            if (size == 0) break;
            offset += size;
            continue;
        }
        if (id < system_header) {
            offset += 3;
            continue;
        }
        const std::size_t size =
            6 + ((static_cast<std::uint8_t>(head[4]) << 8) | static_cast<std::uint8_t>(head[5]));
        const bool table = id == stream_map || id == system_header;
        read_packet(id,
                    table ? view.at(offset, std::min(size, largest_table))
                          : head.substr(0, std::min(size, head.size())),
                    offset, walk);
        offset += size;
    }
    return walk;
}

track_entry entry_for(std::uint8_t id, int sub) {
    track_entry entry;
    entry.codec = "stream " + hex_byte(id);
    if (is_video_id(id)) entry.kind = track_kind::video;
    if (is_audio_id(id)) entry.kind = track_kind::audio;
    if (id == extended_stream) entry.kind = track_kind::unknown;
    if (id == private_stream) {
        entry.codec += "/" + hex_byte(static_cast<std::uint8_t>(sub));
        // DVD sub-pictures, then AC-3, DTS, LPCM and their kin.
        entry.kind = track_kind::unknown;
        if (sub >= 0x20 && sub <= 0x3F) entry.kind = track_kind::subtitle;
        if (sub >= 0x80 && sub <= 0xCF) entry.kind = track_kind::audio;
    }
    return entry;
}

}  // namespace

track_list read_program_stream_tracks(block_reader& reader) {
    track_list list;
    auto walk = walk_program_stream(reader);
    if (walk.mapped && !walk.mapped->empty()) {
        for (auto& stream : *walk.mapped) list.tracks.push_back(std::move(stream.entry));
    } else {
        for (const auto& [id, sub] : walk.seen) list.tracks.push_back(entry_for(id, sub));
    }
    for (auto& track : list.tracks) {
        if (track.kind == track_kind::video && walk.hevc) track.hevc = true;
    }
    list.listed = !list.tracks.empty();
    return list;
}

}  // namespace brindle::media
