#include <algorithm>

#include "media/cursor.h"
#include "media/readers.h"

namespace brindle::media {

namespace {

constexpr std::size_t ts_packet = 188;
// How far into the file the program tables and the first time stamp are looked for, and how far
// back from its end the last time stamp; both are read in blocks of about 64 KiB.
constexpr std::uint64_t head_limit = std::uint64_t{2} << 20;
constexpr std::uint64_t tail_limit = std::uint64_t{2} << 20;
constexpr std::uint64_t block_packets = 340;
// Time stamps count a 90 kHz clock in 33 bits and wrap.
constexpr std::int64_t pts_wrap = std::int64_t{1} << 33;

bool is_video_stream_type(std::uint8_t type) {
    switch (type) {
        case 0x01:  // MPEG-1
        case 0x02:  // MPEG-2
        case 0x10:  // MPEG-4 Part 2
        case 0x1B:  // H.264
        case 0x20:  // H.264 MVC
        case 0x24:  // HEVC
        case 0x33:  // VVC
        case 0x42:  // AVS
        case 0xD1:  // Dirac
        case 0xEA:  // VC-1
            return true;
        default:
            return false;
    }
}

struct packet {
    unsigned pid = 0;
    bool unit_start = false;
    std::string_view payload;
};

// One 188-byte packet: answers nothing for a lost sync, a packet marked in error or one without
// payload.
std::optional<packet> parse_packet(std::string_view bytes) {
    cursor at(bytes);
    const auto sync = at.byte(), flags = at.byte(), pid_low = at.byte(), control = at.byte();
    if (!control || *sync != 0x47 || (*flags & 0x80)) return std::nullopt;
    packet found;
    found.unit_start = (*flags & 0x40) != 0;
    found.pid = ((*flags & 0x1Fu) << 8) | *pid_low;
    const unsigned field_control = (*control >> 4) & 3;
    if (field_control & 2) {
        const auto adaptation = at.byte();
        if (!adaptation || !at.skip(*adaptation)) return std::nullopt;
    }
    if (!(field_control & 1) || at.empty()) return std::nullopt;
    found.payload = *at.take(at.left());
    return found;
}

// The section a packet starts (after its pointer field), as much of it as the packet holds,
// without its CRC. Answers an empty view for another table.
std::string_view section_of(std::string_view payload, std::uint8_t table_id) {
    cursor at(payload);
    const auto pointer = at.byte();
    if (!pointer || !at.skip(*pointer)) return {};
    const auto table = at.byte();
    const auto length = at.big_endian(2);
    if (!table || !length || *table != table_id) return {};
    const auto declared = static_cast<std::size_t>(*length & 0x0FFF);
    if (declared < 4) return {};
    return at.take(std::min(declared - 4, at.left())).value_or(std::string_view{});
}

// PAT: the PID of the first program's map (program 0 is the network table).
std::optional<unsigned> program_map_pid(std::string_view payload) {
    cursor at(section_of(payload, 0x00));
    if (!at.skip(5)) return std::nullopt;
    while (at.left() >= 4) {
        const auto program = at.big_endian(2), pid = at.big_endian(2);
        if (*program != 0) return static_cast<unsigned>(*pid & 0x1FFF);
    }
    return std::nullopt;
}

// PMT: the PID of the program's first video stream.
std::optional<unsigned> video_pid(std::string_view payload) {
    cursor at(section_of(payload, 0x02));
    if (!at.skip(7)) return std::nullopt;
    const auto info_length = at.big_endian(2);
    if (!info_length || !at.skip(*info_length & 0x0FFF)) return std::nullopt;
    while (at.left() >= 5) {
        const auto type = at.byte();
        const auto pid = at.big_endian(2), es_info = at.big_endian(2);
        if (is_video_stream_type(*type)) return static_cast<unsigned>(*pid & 0x1FFF);
        if (!at.skip(*es_info & 0x0FFF)) return std::nullopt;
    }
    return std::nullopt;
}

// The presentation time stamp of a PES packet that starts in this payload.
std::optional<std::int64_t> presentation_time(std::string_view payload) {
    cursor at(payload);
    const auto prefix = at.big_endian(3);
    if (!prefix || *prefix != 1 || !at.skip(3)) return std::nullopt;
    const auto marker = at.byte(), flags = at.byte();
    if (!at.skip(1) || (*marker & 0xC0) != 0x80 || !(*flags & 0x80)) return std::nullopt;
    const auto stamp = at.big_endian(5);
    if (!stamp) return std::nullopt;
    const std::uint64_t s = *stamp;
    // 3 + 15 + 15 bits, each part followed by a marker bit.
    const std::uint64_t pts =
        ((s >> 33) & 0x7) << 30 | ((s >> 17) & 0x7FFF) << 15 | ((s >> 1) & 0x7FFF);
    return static_cast<std::int64_t>(pts);
}

struct stream_state {
    std::size_t packet_size = ts_packet;
    std::optional<unsigned> pmt_pid;
    std::optional<unsigned> video;
    std::optional<std::int64_t> first_pts;
    std::int64_t earliest = 0;  // relative to first_pts
    std::optional<std::int64_t> latest;
};

// A time stamp relative to the first, in the range a wrap of the 33-bit clock allows.
std::int64_t since_first(std::int64_t pts, std::int64_t first) {
    std::int64_t delta = ((pts - first) % pts_wrap + pts_wrap) % pts_wrap;
    return delta >= pts_wrap / 2 ? delta - pts_wrap : delta;
}

// Feeds every whole packet of a block that starts on a packet boundary.
template <typename Visit>
void for_each_packet(std::string_view block, const stream_state& state, Visit visit) {
    const std::size_t prefix = state.packet_size - ts_packet;
    for (std::size_t at = 0; block.size() - at >= state.packet_size; at += state.packet_size) {
        if (const auto found = parse_packet(block.substr(at + prefix, ts_packet))) visit(*found);
    }
}

void read_head(block_reader& reader, stream_state& state) {
    const std::uint64_t block = block_packets * state.packet_size;
    const auto limit = std::min(reader.file_size(), head_limit);
    for (std::uint64_t offset = 0; offset < limit && !state.first_pts; offset += block) {
        for_each_packet(reader.bytes(offset, block), state, [&](const packet& p) {
            if (!p.unit_start) return;
            if (p.pid == 0 && !state.pmt_pid) state.pmt_pid = program_map_pid(p.payload);
            if (state.pmt_pid && p.pid == *state.pmt_pid && !state.video) {
                state.video = video_pid(p.payload);
            }
            if (!state.video || p.pid != *state.video) return;
            const auto pts = presentation_time(p.payload);
            if (!pts) return;
            if (!state.first_pts) state.first_pts = pts;
            // Pictures reordered for decoding can show earlier than the first one read.
            state.earliest = std::min(state.earliest, since_first(*pts, *state.first_pts));
        });
    }
}

void read_tail(block_reader& reader, stream_state& state) {
    const std::uint64_t block = block_packets * state.packet_size;
    const std::uint64_t size = reader.file_size();
    // Blocks start on packet boundaries counted from the start of the file.
    std::uint64_t end = size - size % state.packet_size;
    while (end > 0 && size - end < tail_limit && !state.latest) {
        const std::uint64_t start = end > block ? end - block : 0;
        for_each_packet(reader.bytes(start, static_cast<std::size_t>(end - start)), state,
                        [&](const packet& p) {
                            if (!p.unit_start || p.pid != *state.video) return;
                            const auto pts = presentation_time(p.payload);
                            if (!pts) return;
                            const auto delta = since_first(*pts, *state.first_pts);
                            state.latest = std::max(state.latest.value_or(delta), delta);
                        });
        end = start;
    }
}

}  // namespace

std::optional<std::int64_t> read_transport_stream_duration(block_reader& reader,
                                                           std::size_t packet_size) {
    stream_state state;
    state.packet_size = packet_size;
    if (packet_size < ts_packet) return std::nullopt;
    read_head(reader, state);
    if (!state.first_pts) return std::nullopt;
    read_tail(reader, state);
    if (!state.latest || *state.latest <= state.earliest) return std::nullopt;
    // 90 clock ticks to the millisecond.
    return (*state.latest - state.earliest) / 90;
}

}  // namespace brindle::media
