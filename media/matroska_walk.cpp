#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "media/ebml.h"
#include "media/wholeness.h"

namespace brindle::media {

namespace {

constexpr std::uint32_t cues_id = 0x1C53BB6B;
constexpr std::uint32_t chapters_id = 0x1043A770;
constexpr std::uint32_t tags_id = 0x1254C367;
constexpr std::uint32_t simple_block_id = 0xA3;
constexpr std::uint32_t block_group_id = 0xA0;
constexpr std::uint32_t block_id = 0xA1;
constexpr std::uint32_t block_duration_id = 0x9B;
constexpr std::uint32_t track_number_id = 0xD7;
constexpr std::uint32_t default_duration_id = 0x23E383;

// What each level may hold. Anything else where an element should start is damage: a cut file
// padded with zeros, or bytes of another file.
constexpr std::array<std::uint32_t, 10> segment_children = {
    seek_head_id,   info_id,     tracks_id, cluster_id, cues_id,
    attachments_id, chapters_id, tags_id,   void_id,    crc32_id};
constexpr std::array<std::uint32_t, 9> cluster_children = {cluster_timestamp_id,
                                                           0x5854 /* SilentTracks */,
                                                           0xA7 /* Position */,
                                                           0xAB /* PrevSize */,
                                                           simple_block_id,
                                                           block_group_id,
                                                           0xAF /* EncryptedBlock */,
                                                           void_id,
                                                           crc32_id};
constexpr std::array<std::uint32_t, 13> block_group_children = {block_id,
                                                                0xA2 /* BlockVirtual */,
                                                                0x75A1 /* BlockAdditions */,
                                                                block_duration_id,
                                                                0xFA /* ReferencePriority */,
                                                                0xFB /* ReferenceBlock */,
                                                                0xFD /* ReferenceVirtual */,
                                                                0xA4 /* CodecState */,
                                                                0x75A2 /* DiscardPadding */,
                                                                0x8E /* Slices */,
                                                                0xC8 /* ReferenceFrame */,
                                                                void_id,
                                                                crc32_id};

// Blocks name their track by number; a file whose blocks name more tracks is taken for damage.
constexpr std::size_t most_tracks = 128;

template <std::size_t N>
bool is_one_of(const std::array<std::uint32_t, N>& ids, std::uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::string name_of(std::uint32_t id) {
    switch (id) {
        case cluster_id:
            return "Cluster";
        case simple_block_id:
            return "SimpleBlock";
        case block_group_id:
            return "BlockGroup";
        case block_id:
            return "Block";
        case cues_id:
            return "Cues";
        case tags_id:
            return "Tags";
        case info_id:
            return "Info";
        case tracks_id:
            return "Tracks";
        default:
            return "element";
    }
}

struct track_state {
    std::uint64_t number = 0;
    bool listed = false;  // Tracks lists it
    bool video = false;
    std::uint64_t default_duration_ns = 0;
    std::optional<double> end_ns;  // where its latest block ends
};

// Where frames are small, the next headers lie close by and one large read serves many of
// them; after a large frame, a small read at the next header serves what follows it.
constexpr std::uint64_t small_element = std::uint64_t{16} << 10;
constexpr std::size_t read_ahead_after_small = std::size_t{64} << 10;

struct walk {
    block_reader& reader;
    std::size_t read_ahead = 0;
    std::uint64_t scale_ns = 1000000;
    std::vector<track_state> tracks;
    std::string damage;
    std::vector<written_mark>* marks = nullptr;  // when asked for, one after each whole Cluster
    std::uint64_t first_cluster = 0;
    bool too_many_marks = false;
    std::optional<double> first_ns = std::nullopt;  // where the earliest block starts
};

bool fail(walk& w, std::string damage) {
    w.damage = std::move(damage);
    return false;
}

std::string at_byte(std::uint64_t offset) { return "at byte " + std::to_string(offset); }

track_state* track(walk& w, std::uint64_t number) {
    for (auto& t : w.tracks) {
        if (t.number == number) return &t;
    }
    if (w.tracks.size() == most_tracks) {
        fail(w, "its blocks belong to more than " + std::to_string(most_tracks) + " tracks");
        return nullptr;
    }
    w.tracks.emplace_back();
    w.tracks.back().number = number;
    return &w.tracks.back();
}

// The element header at `offset`, inside a parent that ends at `end`; on damage, nothing, and
// the walk's damage says what lies there instead.
std::optional<located> header_at(walk& w, std::uint64_t offset, std::uint64_t end,
                                 std::string_view parent) {
    const auto found = element_at(w.reader, offset, w.read_ahead);
    if (found) w.read_ahead = found->header.size < small_element ? read_ahead_after_small : 0;
    if (found && found->body_offset <= end) return found;
    const auto start = w.reader.bytes(
        offset, static_cast<std::size_t>(std::min<std::uint64_t>(longest_header, end - offset)));
    std::string what = "no element";
    if (found) {
        what = "an element header cut off by the end of its " + std::string(parent);
    } else if (!start.empty() && start.find_first_not_of('\0') == std::string_view::npos) {
        what = "zeros";
    }
    fail(w, at_byte(offset) + ", where an element of its " + std::string(parent) +
                " should start, it holds " + what);
    return std::nullopt;
}

bool expected_in(walk& w, std::uint64_t offset, bool expected, std::string_view parent) {
    if (expected) return true;
    return fail(w, at_byte(offset) + ", where an element of its " + std::string(parent) +
                       " should start, it holds no element a " + std::string(parent) + " can hold");
}

// Does the element at `offset` end by `end`, its parent's end?
bool fits(walk& w, const located& e, std::uint64_t offset, std::uint64_t end,
          std::string_view parent) {
    if (!e.header.unknown_size && e.header.size <= end - e.body_offset) return true;
    const std::string what = "its " + name_of(e.header.id) + " " + at_byte(offset);
    if (e.header.unknown_size) return fail(w, what + " has no size");
    return fail(w, what + " declares " + std::to_string(e.header.size) + " bytes, its " +
                       std::string(parent) + " holds " + std::to_string(end - e.body_offset));
}

std::optional<std::uint64_t> small_unsigned(walk& w, const located& e) {
    if (e.header.size > 8) return std::nullopt;
    const auto size = static_cast<std::size_t>(e.header.size);
    const auto body = w.reader.bytes(e.body_offset, size);
    if (body.size() != size) return std::nullopt;
    return unsigned_value(body);
}

// Info's TimestampScale and, for each track Tracks lists, its number, whether it is video and
// the duration of its frames.
void read_header_element(walk& w, const located& e) {
    if (e.header.size > largest_read) return;
    const auto size = static_cast<std::size_t>(e.header.size);
    const auto body = w.reader.bytes(e.body_offset, size);
    if (body.size() != size) return;
    if (e.header.id == info_id) {
        for_each_child(body, [&](std::uint32_t id, std::string_view value) {
            const auto scale = unsigned_value(value);
            if (id == timestamp_scale_id && scale && *scale != 0) w.scale_ns = *scale;
        });
        return;
    }
    for_each_child(body, [&](std::uint32_t id, std::string_view entry) {
        if (id != track_entry_id) return;
        std::optional<std::uint64_t> number, type, frame_ns;
        for_each_child(entry, [&](std::uint32_t field, std::string_view value) {
            if (field == track_number_id) number = unsigned_value(value);
            if (field == track_type_id) type = unsigned_value(value);
            if (field == default_duration_id) frame_ns = unsigned_value(value);
        });
        if (!number) return;
        track_state* t = track(w, *number);
        if (!t) return;
        t->listed = true;
        t->video = type == video_track_type;
        t->default_duration_ns = frame_ns.value_or(0);
    });
}

// A block's header: its track number, its time stamp relative to its Cluster's, its flags and,
// when its frames are laced, their count.
struct block_header {
    std::uint64_t track = 0;
    std::int16_t relative = 0;
    std::uint64_t frames = 1;
};

bool record_block(walk& w, const located& block, std::uint64_t offset,
                  std::optional<std::uint64_t> cluster_time,
                  std::optional<std::uint64_t> block_duration) {
    cursor at(w.reader.bytes(block.body_offset, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                    block.header.size, longest_header))));
    int length = 0;
    const auto number = read_number(at, 8, false, length);
    const auto relative = at.big_endian(2);
    const auto flags = at.byte();
    const auto laced = flags && (*flags & 0x06) != 0;
    const auto lace_count = laced ? at.byte() : std::optional<std::uint8_t>(0);
    if (!number || !relative || !flags || !lace_count) {
        return fail(w, "its " + name_of(block.header.id) + " " + at_byte(offset) +
                           " holds no whole block header");
    }
    if (!cluster_time) {
        return fail(w, "its " + name_of(block.header.id) + " " + at_byte(offset) +
                           " comes before its Cluster's time stamp");
    }
    track_state* t = track(w, *number);
    if (!t) return false;
    const double scale = static_cast<double>(w.scale_ns);
    const double start_ns =
        (static_cast<double>(*cluster_time) + static_cast<std::int16_t>(*relative)) * scale;
    const double length_ns = block_duration ? static_cast<double>(*block_duration) * scale
                                            : static_cast<double>(*lace_count + 1) *
                                                  static_cast<double>(t->default_duration_ns);
    t->end_ns = std::max(t->end_ns.value_or(0.0), start_ns + length_ns);
    w.first_ns = std::min(w.first_ns.value_or(start_ns), start_ns);
    return true;
}

bool walk_block_group(walk& w, std::uint64_t offset, std::uint64_t end,
                      std::optional<std::uint64_t> cluster_time) {
    std::optional<located> block;
    std::uint64_t block_offset = 0;
    std::optional<std::uint64_t> duration;
    while (offset < end) {
        const auto child = header_at(w, offset, end, "BlockGroup");
        if (!child ||
            !expected_in(w, offset, is_one_of(block_group_children, child->header.id),
                         "BlockGroup") ||
            !fits(w, *child, offset, end, "BlockGroup")) {
            return false;
        }
        if (child->header.id == block_id) {
            block = child;
            block_offset = offset;
        }
        if (child->header.id == block_duration_id) duration = small_unsigned(w, *child);
        offset = child->body_offset + child->header.size;
    }
    return !block || record_block(w, *block, block_offset, cluster_time, duration);
}

// Walks a Cluster's children from `offset` to `end`: its own end, or for a Cluster of unknown
// size its Segment's, the Cluster then ending where an element of the Segment starts. Answers
// where it ended, nothing on damage.
std::optional<std::uint64_t> walk_cluster(walk& w, std::uint64_t offset, std::uint64_t end,
                                          bool unknown_size) {
    std::optional<std::uint64_t> time;
    while (offset < end) {
        const auto child = header_at(w, offset, end, "Cluster");
        if (!child) return std::nullopt;
        const auto id = child->header.id;
        // Void and CRC-32 may stand in either; only the Segment's own elements end the Cluster.
        const bool segment_element =
            id != void_id && id != crc32_id && is_one_of(segment_children, id);
        if (unknown_size && segment_element) return offset;
        if (!expected_in(w, offset, is_one_of(cluster_children, id), "Cluster") ||
            !fits(w, *child, offset, end, "Cluster")) {
            return std::nullopt;
        }
        const auto child_end = child->body_offset + child->header.size;
        if (id == cluster_timestamp_id) time = small_unsigned(w, *child);
        if (id == simple_block_id && !record_block(w, *child, offset, time, std::nullopt)) {
            return std::nullopt;
        }
        if (id == block_group_id && !walk_block_group(w, child->body_offset, child_end, time)) {
            return std::nullopt;
        }
        offset = child_end;
    }
    return offset;
}

std::int64_t ms_of(double ns);

// The mark after the Cluster from `start` to `end`.
void record_mark(walk& w, std::uint64_t start, std::uint64_t end) {
    if (w.marks->empty()) w.first_cluster = start;
    double reached = 0;
    for (const auto& t : w.tracks) reached = std::max(reached, t.end_ns.value_or(0.0));
    const std::int64_t ms = ms_of(reached);
    if (!w.marks->empty() && ms < w.marks->back().ms + written_mark_step_ms) return;
    if (w.marks->size() >= written_marks_most) {
        w.too_many_marks = true;
        return;
    }
    w.marks->push_back({end - w.first_cluster, ms});
}

bool walk_segment(walk& w, std::uint64_t offset, std::uint64_t end) {
    while (offset < end) {
        const auto child = header_at(w, offset, end, "Segment");
        if (!child ||
            !expected_in(w, offset, is_one_of(segment_children, child->header.id), "Segment")) {
            return false;
        }
        const auto id = child->header.id;
        if (id == cluster_id && child->header.unknown_size) {
            const auto stop = walk_cluster(w, child->body_offset, end, true);
            if (!stop) return false;
            if (w.marks) record_mark(w, offset, *stop);
            offset = *stop;
            continue;
        }
        if (!fits(w, *child, offset, end, "Segment")) return false;
        const auto child_end = child->body_offset + child->header.size;
        if (id == cluster_id && !walk_cluster(w, child->body_offset, child_end, false)) {
            return false;
        }
        if (id == cluster_id && w.marks) record_mark(w, offset, child_end);
        if (id == info_id || id == tracks_id) read_header_element(w, *child);
        if (!w.damage.empty()) return false;
        offset = child_end;
    }
    return true;
}

std::int64_t ms_of(double ns) {
    const double ms = std::round(ns / 1e6);
    if (!(ms > 0)) return 0;
    return ms > static_cast<double>(longest_duration_ms) ? longest_duration_ms
                                                         : static_cast<std::int64_t>(ms);
}

// The duration rule within the file: the video must run to the end the file declares (or, when
// it declares none, to its last block's end).
bool video_reaches_the_end(walk& w, container_facts& facts) {
    double video_end = 0, any_end = 0;
    for (const auto& t : w.tracks) {
        if (!t.listed) {
            return fail(w, "it holds blocks of track " + std::to_string(t.number) +
                               ", which its Tracks do not list");
        }
        any_end = std::max(any_end, t.end_ns.value_or(0.0));
        if (t.video) video_end = std::max(video_end, t.end_ns.value_or(0.0));
    }
    if (!facts.duration_ms) facts.duration_ms = ms_of(any_end);
    if (!facts.has_video) return true;
    const auto declared = *facts.duration_ms;
    if (ms_of(video_end) >= declared - allowed_difference_ms(declared)) return true;
    // The result then lasts as long as its video, as an MP4 result's own duration is its video's.
    facts.duration_ms = ms_of(video_end);
    return fail(w, "its video ends at " + seconds_text(ms_of(video_end)) + ", its duration is " +
                       seconds_text(declared));
}

// Where the Segment's data starts and where the Segment says it ends (the file's end for one of
// unknown size); nothing when the file starts with no EBML header and Segment.
struct segment_span {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

std::optional<segment_span> segment_of(block_reader& reader) {
    const auto ebml = element_at(reader, 0);
    if (!ebml) return std::nullopt;
    const auto segment = element_at(reader, ebml->body_offset + ebml->header.size);
    if (!segment || segment->header.id != segment_id) return std::nullopt;
    return segment_span{segment->body_offset, segment->header.unknown_size
                                                  ? reader.file_size()
                                                  : segment->body_offset + segment->header.size};
}

// How long a file whose blocks start late lasts: from its earliest block to its last block's end.
// Its Duration, when it declares one, counts either from zero or from that block; a file whose
// blocks reach it neither way does not hold what it declares (a copy cut short at a Cluster's
// end, times that repeat), and its Duration stands, as it does for a file that starts on time.
std::optional<std::int64_t> late_span_ms(const walk& w, std::optional<std::int64_t> declared_ms) {
    if (!w.first_ns || *w.first_ns < static_cast<double>(late_start_ms) * 1e6) return std::nullopt;
    double end = 0;
    for (const auto& t : w.tracks) end = std::max(end, t.end_ns.value_or(0.0));
    const std::int64_t span = ms_of(end - *w.first_ns), reach = ms_of(end);
    // As near as a result must come to its source: the span is what the result is held to.
    const auto declares = [&](std::int64_t ms) {
        return std::abs(ms - *declared_ms) <= allowed_difference_ms(span);
    };
    if (declared_ms && !declares(reach) && !declares(span)) return std::nullopt;
    return span;
}

}  // namespace

void walk_clusters(block_reader& reader, container_facts& facts) {
    if (!facts.whole) return;
    const auto segment = segment_of(reader);
    if (!segment) return;
    walk w{reader, 0, 1000000, {}, {}};
    // Bytes after a Segment of known size hold no frame of it; a copy that appends a mark to
    // a whole file is still whole (a tail of zeros is refused before the walk).
    const bool whole =
        walk_segment(w, segment->start, segment->end) && video_reaches_the_end(w, facts);
    facts.whole = whole;
    facts.damage = w.damage;
    if (const auto span = whole ? late_span_ms(w, facts.duration_ms) : std::nullopt) {
        facts.duration_ms = span;
    }
}

std::optional<std::int64_t> matroska_late_span_ms(block_reader& reader,
                                                  std::optional<std::int64_t> declared_ms) {
    const auto segment = segment_of(reader);
    if (!segment) return std::nullopt;
    walk w{reader, 0, 1000000, {}, {}};
    if (!walk_segment(w, segment->start, std::min(reader.file_size(), segment->end))) {
        return std::nullopt;
    }
    return late_span_ms(w, declared_ms);
}

std::vector<written_mark> matroska_written_marks(block_reader& reader) {
    std::vector<written_mark> marks;
    const auto segment = segment_of(reader);
    if (!segment) return marks;
    walk w{reader, 0, 1000000, {}, {}, &marks, 0, false};
    // A file being written ends in damage, and before the end its Segment declares.
    walk_segment(w, segment->start, std::min(reader.file_size(), segment->end));
    if (w.too_many_marks) return {};
    return marks;
}

}  // namespace brindle::media
