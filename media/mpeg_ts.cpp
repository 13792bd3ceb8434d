#include <algorithm>
#include <vector>

#include "media/cursor.h"
#include "media/picture.h"
#include "media/readers.h"
#include "media/stream_types.h"
#include "media/wholeness.h"

namespace brindle::media {

namespace {

constexpr std::size_t ts_packet = 188;
// How far into the file the program tables and the first time stamps are looked for, and how
// far back from its end the last time stamp; both are read in blocks of about 64 KiB.
constexpr std::uint64_t head_limit = std::uint64_t{2} << 20;
constexpr std::uint64_t tail_limit = std::uint64_t{2} << 20;
constexpr std::uint64_t block_packets = 340;
// The track list needs the program tables only, which a stream repeats every tenth of a second
// or so: a few hundred KiB hold them, read in blocks of 16 KiB.
constexpr std::uint64_t tables_limit = std::uint64_t{384} << 10;
constexpr std::uint64_t table_block_packets = 87;
// Time stamps count a 90 kHz clock in 33 bits and wrap.
constexpr std::int64_t pts_wrap = std::int64_t{1} << 33;
constexpr std::int64_t ticks_per_second = 90000;
// Pictures whose time stamps tell the length of a frame: with pictures reordered for decoding,
// a few in a row hold two that are shown one after the other.
constexpr std::size_t timed_pictures = 8;

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

// Gathers one section of a table from the packets of its PID: a program map with many streams
// runs over several packets.
class section_gatherer {
public:
    // Feeds a packet of the table's PID; answers true once a whole section is gathered.
    bool feed(const packet& p) {
        if (p.unit_start) {
            cursor at(p.payload);
            const auto pointer = at.byte();
            gathering_ = pointer && at.skip(*pointer);
            bytes_.assign(gathering_ ? p.payload.substr(at.position()) : std::string_view{});
        } else if (gathering_) {
            bytes_.append(p.payload);
        }
        if (!gathering_ || bytes_.size() < 3) return false;
        const std::size_t length = ((static_cast<std::uint8_t>(bytes_[1]) & 0x0Fu) << 8) |
                                   static_cast<std::uint8_t>(bytes_[2]);
        if (length > most_section_bytes) gathering_ = false;
        return gathering_ && bytes_.size() >= 3 + length;
    }
    // The section from its table id to its end, without its CRC; empty when it is too short.
    std::string_view section() const {
        const std::size_t length = ((static_cast<std::uint8_t>(bytes_[1]) & 0x0Fu) << 8) |
                                   static_cast<std::uint8_t>(bytes_[2]);
        if (length < 4) return {};
        return std::string_view(bytes_).substr(0, 3 + length - 4);
    }

private:
    static constexpr std::size_t most_section_bytes = 1021;
    std::string bytes_;
    bool gathering_ = false;
};

// PAT: the PID of the first program's map (program 0 is the network table).
std::optional<unsigned> program_map_pid(std::string_view section) {
    cursor at(section);
    if (at.byte() != 0x00 || !at.skip(7)) return std::nullopt;
    while (at.left() >= 4) {
        const auto program = at.big_endian(2), pid = at.big_endian(2);
        if (*program != 0) return static_cast<unsigned>(*pid & 0x1FFF);
    }
    return std::nullopt;
}

struct program_tables {
    std::size_t packet_size = ts_packet;
    section_gatherer pat, pmt;
    std::optional<unsigned> pmt_pid;
    std::optional<std::vector<ts_stream>> streams;
};

// Feeds every whole packet of a block that starts on a packet boundary.
template <typename Visit>
void for_each_packet(std::string_view block, std::size_t packet_size, Visit visit) {
    const std::size_t prefix = packet_size - ts_packet;
    for (std::size_t at = 0; block.size() - at >= packet_size; at += packet_size) {
        if (const auto found = parse_packet(block.substr(at + prefix, ts_packet))) visit(*found);
    }
}

// Reads the program association and the first program's map from a packet, until both are
// known.
void read_tables(const packet& p, program_tables& tables) {
    if (tables.streams) return;
    if (p.pid == 0 && !tables.pmt_pid && tables.pat.feed(p)) {
        tables.pmt_pid = program_map_pid(tables.pat.section());
    }
    if (tables.pmt_pid && p.pid == *tables.pmt_pid && tables.pmt.feed(p)) {
        tables.streams = program_map_streams(tables.pmt.section(), tables.packet_size == 192);
    }
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
    program_tables tables;
    std::optional<unsigned> video;
    std::optional<std::int64_t> first_pts;
    // Time stamps relative to first_pts, of the first pictures and of those read from the end.
    std::vector<std::int64_t> head_stamps, tail_stamps;
};

// A time stamp relative to the first, in the range a wrap of the 33-bit clock allows.
std::int64_t since_first(std::int64_t pts, std::int64_t first) {
    std::int64_t delta = ((pts - first) % pts_wrap + pts_wrap) % pts_wrap;
    return delta >= pts_wrap / 2 ? delta - pts_wrap : delta;
}

std::optional<unsigned> first_video_pid(const std::vector<ts_stream>& streams) {
    for (const auto& stream : streams) {
        if (stream.entry.kind == track_kind::video) return stream.pid;
    }
    return std::nullopt;
}

void read_head(block_reader& reader, stream_state& state) {
    const std::uint64_t block = block_packets * state.tables.packet_size;
    const auto limit = std::min(reader.file_size(), head_limit);
    for (std::uint64_t offset = 0; offset < limit && state.head_stamps.size() < timed_pictures;
         offset += block) {
        for_each_packet(reader.bytes(offset, block), state.tables.packet_size,
                        [&](const packet& p) {
                            read_tables(p, state.tables);
                            if (!state.video && state.tables.streams) {
                                state.video = first_video_pid(*state.tables.streams);
                            }
                            if (!p.unit_start || !state.video || p.pid != *state.video) return;
                            const auto pts = presentation_time(p.payload);
                            if (!pts || state.head_stamps.size() == timed_pictures) return;
                            if (!state.first_pts) state.first_pts = pts;
                            state.head_stamps.push_back(since_first(*pts, *state.first_pts));
                        });
    }
}

void read_tail(block_reader& reader, stream_state& state) {
    const std::uint64_t block = block_packets * state.tables.packet_size;
    const std::uint64_t size = reader.file_size();
    // Blocks start on packet boundaries counted from the start of the file.
    std::uint64_t end = size - size % state.tables.packet_size;
    while (end > 0 && size - end < tail_limit && state.tail_stamps.empty()) {
        const std::uint64_t start = end > block ? end - block : 0;
        for_each_packet(reader.bytes(start, static_cast<std::size_t>(end - start)),
                        state.tables.packet_size, [&](const packet& p) {
                            if (!p.unit_start || p.pid != *state.video) return;
                            const auto pts = presentation_time(p.payload);
                            if (pts)
                                state.tail_stamps.push_back(since_first(*pts, *state.first_pts));
                        });
        end = start;
    }
}

// The length of one frame: the smallest step between the time stamps of pictures shown one
// after another. Zero when no two stamps tell it, or the step is longer than a second (a gap,
// not a frame).
std::int64_t frame_ticks(std::vector<std::int64_t> stamps) {
    std::sort(stamps.begin(), stamps.end());
    std::int64_t step = 0;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        const auto difference = stamps[i] - stamps[i - 1];
        if (difference > 0 && (step == 0 || difference < step)) step = difference;
    }
    return step <= ticks_per_second ? step : 0;
}

}  // namespace

std::optional<std::int64_t> read_transport_stream_duration(block_reader& reader,
                                                           std::size_t packet_size) {
    stream_state state;
    state.tables.packet_size = packet_size;
    if (packet_size < ts_packet) return std::nullopt;
    read_head(reader, state);
    if (!state.first_pts) return std::nullopt;
    read_tail(reader, state);
    if (state.tail_stamps.empty()) return std::nullopt;
    const auto earliest = *std::min_element(state.head_stamps.begin(), state.head_stamps.end());
    const auto latest = *std::max_element(state.tail_stamps.begin(), state.tail_stamps.end());
    if (latest <= earliest) return std::nullopt;
    // The last picture is shown for one frame after its time stamp, as players count it.
    auto frame = frame_ticks(state.head_stamps);
    if (frame == 0) frame = frame_ticks(state.tail_stamps);
    // 90 clock ticks to the millisecond.
    return (latest - earliest + frame) / 90;
}

namespace {

// Where the marks of a transport stream are read: at this many points spread evenly over the
// file (one every six seconds of a 20-minute recording), the first picture that starts within a
// block of each.
constexpr std::uint64_t mark_points = 200;
// How far a picture's time stamp may lie before the last mark's (pictures reordered for decoding
// are stamped out of order) before the clock is taken to have jumped: the marks end there.
constexpr std::int64_t reordered_ms = 1000;

// The mark of the first picture of the video stream that starts in the block at `offset`.
std::optional<written_mark> mark_at(block_reader& reader, const stream_state& state,
                                    std::uint64_t offset) {
    const std::size_t packet_size = state.tables.packet_size;
    const std::string_view block = reader.bytes(offset, block_packets * packet_size);
    const std::size_t prefix = packet_size - ts_packet;
    for (std::size_t at = 0; block.size() - at >= packet_size; at += packet_size) {
        const auto p = parse_packet(block.substr(at + prefix, ts_packet));
        if (!p || !p->unit_start || p->pid != *state.video) continue;
        if (const auto pts = presentation_time(p->payload)) {
            return written_mark{offset + at, since_first(*pts, *state.first_pts) / 90};
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<written_mark> transport_stream_written_marks(block_reader& reader,
                                                         std::size_t packet_size) {
    std::vector<written_mark> marks;
    if (packet_size < ts_packet) return marks;
    stream_state state;
    state.tables.packet_size = packet_size;
    read_head(reader, state);
    if (!state.first_pts || !state.video) return marks;
    read_tail(reader, state);
    if (state.tail_stamps.empty()) return marks;
    const std::int64_t last_ms =
        *std::max_element(state.tail_stamps.begin(), state.tail_stamps.end()) / 90;
    const std::uint64_t size = reader.file_size();
    for (std::uint64_t point = 1; point <= mark_points; ++point) {
        std::uint64_t offset =
            size / mark_points * point + size % mark_points * point / mark_points;
        offset -= offset % packet_size;
        const std::optional<written_mark> mark = mark_at(reader, state, offset);
        if (!mark) continue;
        // A clock that jumps (a recording spliced from two) tells no time of the whole file.
        const std::int64_t before = marks.empty() ? 0 : marks.back().ms;
        if (mark->ms < before - reordered_ms || mark->ms > last_ms) break;
        if (mark->ms >= before + written_mark_step_ms) marks.push_back(*mark);
    }
    return marks;
}

namespace {

// The parameter sets and SEI messages stand at the start of the first access unit; a stream
// cut in at a random point reaches one within a few GOPs.
constexpr std::uint64_t picture_limit = std::uint64_t{4} << 20;
constexpr std::size_t most_gathered = std::size_t{1} << 20;

// The bytes of a PES packet that starts in this payload, after its header.
std::string_view pes_data(std::string_view payload) {
    cursor at(payload);
    const auto prefix = at.big_endian(3);
    if (!prefix || *prefix != 1 || !at.skip(3)) return {};
    const auto marker = at.byte();
    const auto length = at.skip(1) ? at.byte() : std::nullopt;
    if (!length || (*marker & 0xC0) != 0x80 || !at.skip(*length)) return {};
    return payload.substr(at.position());
}

struct picture_search {
    program_tables tables;
    std::optional<unsigned> pid;
    video_coding coding = video_coding::h264;
    bool mpeg2 = false;
    std::string gathered;
    bool started = false;
    stream_picture stream;
    std::optional<mastering_display> mastering;
    std::optional<content_light> light;
};

// The first H.264 or HEVC stream of the program.
void choose_video(picture_search& search) {
    for (const auto& stream : *search.tables.streams) {
        if (stream.entry.kind != track_kind::video) continue;
        if (stream.entry.codec == "stream type " + hex_byte(0x1B)) {
            search.pid = stream.pid;
        } else if (stream.entry.codec == "stream type " + hex_byte(0x24)) {
            search.pid = stream.pid;
            search.coding = video_coding::hevc;
        } else if (stream.entry.codec == "stream type " + hex_byte(0x01) ||
                   stream.entry.codec == "stream type " + hex_byte(0x02)) {
            search.pid = stream.pid;
            search.mpeg2 = true;
        }
        return;
    }
}

void read_gathered(picture_search& search) {
    if (search.mpeg2) {
        search.stream = parse_mpeg2_video(search.gathered);
        return;
    }
    read_units(search.gathered, 0, search.coding, search.stream, search.mastering, search.light);
}

void gather(const packet& p, picture_search& search) {
    if (p.unit_start) {
        // A PES packet has ended: its units are whole.
        if (search.started) read_gathered(search);
        search.gathered.assign(pes_data(p.payload));
        search.started = true;
    } else if (search.started && search.gathered.size() < most_gathered) {
        search.gathered.append(p.payload);
    }
}

}  // namespace

picture_properties read_transport_stream_picture(block_reader& reader, std::size_t packet_size) {
    if (packet_size < ts_packet) return {};
    picture_search search;
    search.tables.packet_size = packet_size;
    const std::uint64_t block = block_packets * packet_size;
    const auto limit = std::min(reader.file_size(), picture_limit);
    for (std::uint64_t offset = 0; offset < limit && !search.stream.read; offset += block) {
        for_each_packet(reader.bytes(offset, block), packet_size, [&](const packet& p) {
            if (search.stream.read) return;
            read_tables(p, search.tables);
            if (!search.pid && search.tables.streams) choose_video(search);
            if (search.pid && p.pid == *search.pid) gather(p, search);
        });
    }
    if (!search.stream.read && search.started) read_gathered(search);
    picture_properties picture = from_stream(search.stream);
    picture.mastering = search.mastering;
    picture.light = search.light;
    return picture;
}

track_list read_transport_stream_tracks(block_reader& reader, std::size_t packet_size) {
    track_list list;
    if (packet_size < ts_packet) return list;
    program_tables tables;
    tables.packet_size = packet_size;
    const std::uint64_t block = table_block_packets * packet_size;
    const auto limit = std::min(reader.file_size(), tables_limit);
    for (std::uint64_t offset = 0; offset < limit && !tables.streams; offset += block) {
        for_each_packet(reader.bytes(offset, block), packet_size,
                        [&](const packet& p) { read_tables(p, tables); });
    }
    if (!tables.streams) return list;
    list.listed = true;
    for (auto& stream : *tables.streams) list.tracks.push_back(std::move(stream.entry));
    return list;
}

}  // namespace brindle::media
