#include <algorithm>
#include <limits>
#include <string>

#include "media/cursor.h"
#include "media/readers.h"
#include "media/wholeness.h"
#include "vocabulary/ascii_case.h"

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

// The body of the header list "hdrl" that comes first after "AVI ", without its type; valid until
// the next read.
std::optional<std::string_view> header_list(block_reader& reader) {
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
    return body;
}

// A video stream's coding is named twice: by the stream header's handler and by the format's
// compression; writers fill in either or both, in any case.
bool names_hevc(std::string_view fourcc) {
    for (const std::string_view name : {"HEVC", "H265", "HVC1", "HEV1"}) {
        if (equal_ignoring_ascii_case(fourcc, name)) return true;
    }
    return false;
}

bool names_xsub(std::string_view fourcc) {
    return equal_ignoring_ascii_case(fourcc, "DXSB") || equal_ignoring_ascii_case(fourcc, "DXSA");
}

// One stream list "strl": its header "strh" (type, handler) and its format "strf" (for video, a
// bitmap header whose compression lies at byte 16).
track_entry read_stream_list(std::string_view list) {
    std::string_view type, handler, compression;
    for_each_chunk(list, [&](std::string_view id, std::string_view body) {
        if (id == "strh" && body.size() >= 8) {
            type = body.substr(0, 4);
            handler = body.substr(4, 4);
        } else if (id == "strf" && body.size() >= 20) {
            compression = body.substr(16, 4);
        }
    });
    track_entry entry;
    entry.codec = std::string(type) + ":" + std::string(type == "vids" ? compression : handler);
    if (type == "vids" && (names_xsub(handler) || names_xsub(compression))) {
        // DivX subtitles are stored as pictures in a video stream.
        entry.kind = track_kind::subtitle;
        entry.lost_in_matroska = "XSUB subtitles";
    } else if (type == "vids" || type == "iavs") {
        entry.kind = track_kind::video;
        entry.hevc = names_hevc(handler) || names_hevc(compression);
    } else if (type == "auds") {
        entry.kind = track_kind::audio;
    } else if (type == "txts") {
        entry.kind = track_kind::subtitle;
    }
    return entry;
}

}  // namespace

std::optional<std::int64_t> read_avi_duration(block_reader& reader) {
    const auto body = header_list(reader);
    if (!body) return std::nullopt;
    frame_counts counts;
    read_header_list(*body, counts);
    const auto frames = std::max(counts.main_frames.value_or(0), counts.total_frames.value_or(0));
    const auto frame_time = counts.microseconds_per_frame.value_or(0);
    if (frames == 0 || frame_time == 0) return std::nullopt;
    if (frames > static_cast<std::uint64_t>(longest_duration_ms) * 1000 / frame_time) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(frames * frame_time / 1000);
}

namespace {

// The chunks of the file's first RIFF, after "AVI ": where its "movi" list's data starts and its
// index "idx1" lies.
struct movie_layout {
    std::uint64_t movi_data = 0;  // just after the list's type "movi"
    std::uint64_t index = 0, index_size = 0;
};

std::optional<movie_layout> find_movie(block_reader& reader) {
    cursor riff(reader.bytes(0, 12));
    const auto riff_id = riff.take(4);
    const auto riff_size = riff.little_endian(4);
    if (!riff_size || *riff_id != "RIFF") return std::nullopt;
    const std::uint64_t end = std::min(reader.file_size(), 8 + *riff_size);
    movie_layout layout;
    // The RIFF holds a handful of chunks (hdrl, JUNK, INFO, movi, idx1); more is damage.
    constexpr int most_chunks = 64;
    int chunks = 0;
    for (std::uint64_t at = 12; at + 8 <= end && ++chunks <= most_chunks;) {
        cursor chunk(reader.bytes(at, 12));
        const auto id = chunk.take(4);
        const auto size = chunk.little_endian(4);
        const auto type = chunk.take(4);
        if (!size) return std::nullopt;
        if (*id == "LIST" && type && *type == "movi") layout.movi_data = at + 12;
        if (*id == "idx1") {
            layout.index = at + 8;
            layout.index_size = *size;
        }
        at += 8 + *size + *size % 2;
    }
    if (layout.movi_data == 0 || layout.index_size == 0) return std::nullopt;
    return layout;
}

// The chunk id of the first video stream's pictures, "NNdc" or "NNdb", without its last letter.
std::optional<std::string> video_chunk_prefix(std::string_view header_body) {
    int stream = 0;
    std::optional<std::string> prefix;
    for_each_chunk(header_body, [&](std::string_view id, std::string_view chunk) {
        if (prefix || id != "LIST" || chunk.substr(0, 4) != "strl") return;
        if (read_stream_list(chunk.substr(4)).kind == track_kind::video) {
            prefix = std::string(1, static_cast<char>('0' + stream / 10)) +
                     static_cast<char>('0' + stream % 10) + "d";
        }
        ++stream;
    });
    return prefix;
}

}  // namespace

std::vector<written_mark> avi_written_marks(block_reader& reader) {
    std::vector<written_mark> marks;
    const auto body = header_list(reader);
    if (!body) return marks;
    frame_counts counts;
    read_header_list(*body, counts);
    const std::optional<std::string> prefix = video_chunk_prefix(*body);
    const std::uint64_t frame_us = counts.microseconds_per_frame.value_or(0);
    if (!prefix || frame_us == 0) return marks;
    const std::optional<movie_layout> movie = find_movie(reader);
    if (!movie) return marks;
    constexpr std::size_t entry_size = 16, entries_a_read = 4096;
    // An index entry's offset counts from the list's type "movi", or, in some writers' files,
    // from the start of the file: the first entry tells which.
    std::optional<std::uint64_t> base;
    std::uint64_t pictures = 0;
    const std::uint64_t entries = movie->index_size / entry_size;
    for (std::uint64_t first = 0; first < entries; first += entries_a_read) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(entries_a_read, entries - first));
        const std::string_view block =
            reader.bytes(movie->index + first * entry_size, count * entry_size);
        if (block.size() != count * entry_size) return marks;
        for (cursor at(block); at.left() >= entry_size;) {
            const auto id = *at.take(4);
            at.skip(4);
            const std::uint64_t offset = *at.little_endian(4), size = *at.little_endian(4);
            if (!base) base = offset >= movie->movi_data - 4 ? 0 : movie->movi_data - 4;
            if (id.substr(0, 3) != *prefix) continue;
            ++pictures;
            const std::uint64_t chunk_end = *base + offset + 8 + size;
            if (chunk_end < movie->movi_data || chunk_end > reader.file_size()) return marks;
            const written_mark mark{chunk_end - movie->movi_data,
                                    static_cast<std::int64_t>(pictures * frame_us / 1000)};
            // An index whose pictures add no bytes (a damaged one that ffmpeg ignores) tells no
            // bytes by time: its marks never reach far enough to foretell from.
            if (!marks.empty() && (mark.bytes <= marks.back().bytes ||
                                   mark.ms < marks.back().ms + written_mark_step_ms)) {
                continue;
            }
            if (marks.size() == written_marks_most) return {};
            marks.push_back(mark);
        }
    }
    return marks;
}

track_list read_avi_tracks(block_reader& reader) {
    track_list list;
    const auto body = header_list(reader);
    if (!body) return list;
    list.listed = true;
    for_each_chunk(*body, [&](std::string_view id, std::string_view chunk) {
        if (id == "LIST" && chunk.substr(0, 4) == "strl") {
            list.tracks.push_back(read_stream_list(chunk.substr(4)));
        }
    });
    return list;
}

}  // namespace brindle::media
