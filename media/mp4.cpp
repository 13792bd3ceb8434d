#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "media/cursor.h"
#include "media/mp4_boxes.h"
#include "media/readers.h"

namespace brindle::media {

// Top-level boxes walked before giving up: a fragmented film holds a few thousand.
constexpr int most_top_level_boxes = 100000;
// Children of one box; a moov holds a handful of tracks, a track a handful of boxes.
constexpr int most_children = 4096;

// The box header at `offset`, in a parent that ends at `end`. A box whose size is 0 runs to
// `end`. Answers nothing when no whole header is there or the size is smaller than the header.
std::optional<box> box_at(block_reader& reader, std::uint64_t offset, std::uint64_t end) {
    if (offset >= end || end - offset < 8) return std::nullopt;
    cursor at(reader.bytes(offset, 16));
    const auto size32 = at.big_endian(4);
    const auto type = at.take(4);
    if (!size32 || !type) return std::nullopt;
    box found{std::string(*type), offset, offset + 8, *size32};
    if (*size32 == 1) {
        const auto size64 = at.big_endian(8);
        if (!size64 || end - offset < 16) return std::nullopt;
        found.size = *size64;
        found.body_offset = offset + 16;
    } else if (*size32 == 0) {
        found.size = end - offset;
    }
    if (found.size < found.body_offset - offset) return std::nullopt;
    return found;
}

// Calls `visit(child)` for each child box that lies whole inside [begin, end), in order, until
// `visit` answers false or a child does not fit.
void for_each_box(block_reader& reader, std::uint64_t begin, std::uint64_t end,
                  const std::function<bool(const box&)>& visit) {
    std::uint64_t offset = begin;
    for (int count = 0; offset < end && count < most_children; ++count) {
        const auto child = box_at(reader, offset, end);
        if (!child || child->size > end - offset) return;
        if (!visit(*child)) return;
        offset += child->size;
    }
}

std::uint64_t end_of(const box& b) { return b.offset + b.size; }

// The body of a small box (a header's fields), or an empty view.
std::string_view body_of(block_reader& reader, const box& b, std::size_t most) {
    const auto size = std::min<std::uint64_t>(end_of(b) - b.body_offset, most);
    return reader.bytes(b.body_offset, static_cast<std::size_t>(size));
}

std::optional<std::int64_t> milliseconds(std::uint64_t duration, std::uint64_t timescale) {
    if (timescale == 0) return std::nullopt;
    const std::uint64_t seconds = duration / timescale;
    if (seconds > static_cast<std::uint64_t>(longest_duration_ms / 1000)) return std::nullopt;
    const std::uint64_t rest_ms = duration % timescale * 1000 / timescale;
    return static_cast<std::int64_t>(seconds * 1000 + rest_ms);
}

namespace {

// mvhd, and mdhd alike: version and flags, two times, the timescale, the duration (32 bits in
// version 0, 64 in version 1). A duration of all ones is unknown; zero is what fragmented files
// declare.
std::optional<std::int64_t> header_duration(std::string_view body) {
    cursor at(body);
    const auto version = at.byte();
    if (!version || !at.skip(3)) return std::nullopt;
    const std::size_t width = *version == 1 ? 8 : 4;
    if (!at.skip(2 * width)) return std::nullopt;
    const auto timescale = at.big_endian(4);
    const auto duration = at.big_endian(width);
    if (!timescale || !duration || *duration == 0) return std::nullopt;
    if (*duration == (width == 8 ? ~std::uint64_t{0} : 0xFFFFFFFFu)) return std::nullopt;
    return milliseconds(*duration, *timescale);
}

// elst: version and flags, the entry count, then each edit: its duration in the movie's
// timescale, where it starts in the media (-1 for an empty edit, which shows nothing) and its
// rate; 32-bit fields in version 0, 64-bit in version 1. Answers how long the empty edits before
// the first that shows the media last: how late the track starts.
std::uint64_t leading_empty_edits(std::string_view body) {
    cursor at(body);
    const auto version = at.byte();
    if (!version || !at.skip(3)) return 0;
    const std::size_t width = *version == 1 ? 8 : 4;
    const auto count = at.big_endian(4);
    std::uint64_t empty = 0;
    for (std::uint64_t i = 0; count && i < *count && i < 16; ++i) {
        const auto duration = at.big_endian(width);
        const auto media_time = at.big_endian(width);
        if (!duration || !media_time || !at.skip(4)) return 0;
        const bool is_empty = *media_time == (width == 8 ? ~std::uint64_t{0} : 0xFFFFFFFFu);
        if (!is_empty) break;
        empty += *duration;
    }
    return empty;
}

// mdhd, and mvhd alike: version and flags, two times (32 bits in version 0, 64 in version 1),
// the timescale.
std::uint64_t header_timescale(std::string_view body) {
    cursor at(body);
    const auto version = at.byte();
    if (!version || !at.skip(3 + (*version == 1 ? 16 : 8))) return 0;
    return at.big_endian(4).value_or(0);
}

// hdlr: version and flags, a QuickTime component type, then the handler type ("vide", "soun",
// "sbtl").
std::string handler_type(std::string_view body) {
    return body.size() >= 12 ? std::string(body.substr(8, 4)) : std::string();
}

// stsd: version and flags, the entry count, then sample entries, each a box whose type names
// the coding. Dolby Vision's HEVC entries count as HEVC too.
bool has_hevc_entry(std::string_view body) {
    cursor at(body);
    if (!at.skip(4)) return false;
    const auto count = at.big_endian(4);
    for (std::uint64_t i = 0; count && i < *count && i < 16; ++i) {
        const auto size = at.big_endian(4);
        const auto type = at.take(4);
        if (!size || !type || *size < 8) return false;
        if (*type == "hvc1" || *type == "hev1" || *type == "dvh1" || *type == "dvhe") return true;
        if (!at.skip(static_cast<std::size_t>(std::min<std::uint64_t>(*size - 8, at.left())))) {
            return false;
        }
    }
    return false;
}

// stco (32-bit) or co64 (64-bit): version and flags, the entry count, then where each chunk of
// samples starts. Only the last entry is read.
std::uint64_t last_chunk(block_reader& reader, const box& table) {
    const std::size_t width = table.type == "co64" ? 8 : 4;
    cursor head(body_of(reader, table, 8));
    const auto count = head.skip(4) ? head.big_endian(4) : std::nullopt;
    if (!count || *count == 0) return 0;
    const std::uint64_t room = end_of(table) - table.body_offset - 8;
    if (*count > room / width) return 0;
    cursor entry(reader.bytes(table.body_offset + 8 + (*count - 1) * width, width));
    return entry.big_endian(width).value_or(0);
}

// What one trak box says about its track.
struct mp4_track {
    std::uint32_t id = 0;
    std::string handler;       // "vide", "soun", "sbtl", ...
    std::string sample_entry;  // the first sample entry's type: "avc1", "tx3g", ...
    bool hevc_entry = false;
    std::optional<std::uint64_t> samples;
    std::vector<std::uint32_t> chapter_tracks;  // tref/chap: the tracks that hold its chapters
    // The bodies the picture is read from: tkhd (its matrix), stsd, stts, and mdhd's timescale.
    std::string header, descriptions, times;
    std::uint64_t timescale = 0;
    // How late its edit list makes it start, in the movie's timescale, and how long its samples
    // last.
    std::uint64_t late_start = 0;
    std::optional<std::int64_t> media_ms;
};

// tkhd: version and flags, two times (32 bits in version 0, 64 in version 1), the track's id.
std::uint32_t track_id(std::string_view body) {
    cursor at(body);
    const auto version = at.byte();
    if (!version || !at.skip(3 + (*version == 1 ? 16 : 8))) return 0;
    return static_cast<std::uint32_t>(at.big_endian(4).value_or(0));
}

// stsd: version and flags, the entry count, then the first entry's size and type.
std::string first_sample_entry(std::string_view body) {
    return body.size() >= 16 ? std::string(body.substr(12, 4)) : std::string();
}

// stsz and stz2: version and flags, a sample size (or field size), then the sample count.
std::optional<std::uint64_t> sample_count(std::string_view body) {
    cursor at(body);
    if (!at.skip(8)) return std::nullopt;
    return at.big_endian(4);
}

std::vector<std::uint32_t> chapter_references(block_reader& reader, const box& tref) {
    std::vector<std::uint32_t> ids;
    for_each_box(reader, tref.body_offset, end_of(tref), [&](const box& reference) {
        if (reference.type != "chap") return true;
        cursor at(body_of(reader, reference, 64));
        while (const auto id = at.big_endian(4)) ids.push_back(static_cast<std::uint32_t>(*id));
        return true;
    });
    return ids;
}

void read_sample_table(block_reader& reader, const box& stbl, mp4_track& track,
                       container_facts& facts) {
    for_each_box(reader, stbl.body_offset, end_of(stbl), [&](const box& table) {
        if (table.type == "stsd") {
            const auto body = body_of(reader, table, 4096);
            track.hevc_entry = has_hevc_entry(body);
            track.sample_entry = first_sample_entry(body);
            track.descriptions = body;
        }
        if (table.type == "stts") track.times = body_of(reader, table, 32);
        if (table.type == "stsz" || table.type == "stz2") {
            track.samples = sample_count(body_of(reader, table, 12));
        }
        if (table.type == "stco" || table.type == "co64") {
            facts.last_chunk_offset = std::max(facts.last_chunk_offset, last_chunk(reader, table));
        }
        return true;
    });
}

// A track's kind is its mdia's handler; its coding is in minf/stbl/stsd.
mp4_track read_track(block_reader& reader, const box& trak, container_facts& facts) {
    mp4_track track;
    for_each_box(reader, trak.body_offset, end_of(trak), [&](const box& child) {
        if (child.type == "tkhd") {
            track.header = body_of(reader, child, 96);
            track.id = track_id(track.header);
        }
        if (child.type == "tref") track.chapter_tracks = chapter_references(reader, child);
        if (child.type == "edts") {
            for_each_box(reader, child.body_offset, end_of(child), [&](const box& edits) {
                if (edits.type != "elst") return true;
                track.late_start = leading_empty_edits(body_of(reader, edits, 8 + 20 * 16));
                return false;
            });
        }
        if (child.type != "mdia") return true;
        for_each_box(reader, child.body_offset, end_of(child), [&](const box& part) {
            if (part.type == "hdlr") track.handler = handler_type(body_of(reader, part, 12));
            if (part.type == "mdhd") {
                const auto body = body_of(reader, part, 32);
                track.timescale = header_timescale(body);
                track.media_ms = header_duration(body);
            }
            if (part.type != "minf") return true;
            for_each_box(reader, part.body_offset, end_of(part), [&](const box& stbl) {
                if (stbl.type != "stbl") return true;
                read_sample_table(reader, stbl, track, facts);
                return false;
            });
            return true;
        });
        return true;
    });
    return track;
}

bool is_picture_entry(std::string_view entry) {
    return entry == "jpeg" || entry == "png " || entry == "mjpa" || entry == "mjpb";
}

// The track as the inventory counts it. A video track of one JPEG or PNG picture is cover art.
track_entry classify(const mp4_track& track) {
    track_entry entry;
    entry.codec = track.sample_entry;
    const std::string& h = track.handler;
    if (h == "vide") {
        const bool still = is_picture_entry(track.sample_entry) && track.samples.value_or(0) <= 1;
        entry.kind = still ? track_kind::cover : track_kind::video;
        entry.hevc = !still && track.hevc_entry;
    } else if (h == "soun") {
        entry.kind = track_kind::audio;
    } else if (h == "sbtl" || h == "subt" || h == "text" || h == "subp" || h == "clcp") {
        entry.kind = track_kind::subtitle;
        entry.mov_text = track.sample_entry == "tx3g" || track.sample_entry == "text";
        if (track.sample_entry == "stpp") entry.lost_in_matroska = "TTML subtitles";
        if (h == "clcp") entry.lost_in_matroska = "closed captions";
    }
    return entry;
}

std::optional<box> first_child(block_reader& reader, std::uint64_t begin, std::uint64_t end,
                               std::string_view type) {
    std::optional<box> found;
    for_each_box(reader, begin, end, [&](const box& child) {
        if (child.type == type) found = child;
        return !found;
    });
    return found;
}

// moov/udta/meta/ilst/covr: one data box per picture. An MP4 meta box carries a version and
// flags before its children; QuickTime's starts with its children.
int cover_pictures(block_reader& reader, const box& udta) {
    const auto meta = first_child(reader, udta.body_offset, end_of(udta), "meta");
    if (!meta) return 0;
    const auto head = body_of(reader, *meta, 8);
    const bool full_box = !(head.size() == 8 && head.substr(4) == "hdlr");
    const auto ilst =
        first_child(reader, meta->body_offset + (full_box ? 4 : 0), end_of(*meta), "ilst");
    const auto covr =
        ilst ? first_child(reader, ilst->body_offset, end_of(*ilst), "covr") : std::nullopt;
    int pictures = 0;
    if (!covr) return pictures;
    for_each_box(reader, covr->body_offset, end_of(*covr), [&](const box& data) {
        pictures += data.type == "data";
        return true;
    });
    return pictures;
}

// A movie whose every track an empty edit makes start late lasts from where its first track
// starts: its result starts there. The movie's duration counts the empty edits; it is never taken
// for shorter than the video's own samples last, so that a writer that left the edits out of it
// cannot make a cut result pass. A video that starts after its sound is no late movie: its result
// keeps that sound from the start.
void drop_late_start(container_facts& facts, std::optional<std::int64_t> late_ms,
                     std::optional<std::int64_t> video_ms) {
    if (!facts.duration_ms || !late_ms || *late_ms < late_start_ms) return;
    if (*late_ms >= *facts.duration_ms) return;
    facts.duration_ms = std::max(*facts.duration_ms - *late_ms, video_ms.value_or(0));
}

void read_movie(block_reader& reader, const box& moov, container_facts& facts) {
    std::vector<mp4_track> tracks;
    std::uint64_t timescale = 0;
    for_each_box(reader, moov.body_offset, end_of(moov), [&](const box& child) {
        if (child.type == "mvhd") {
            const auto body = body_of(reader, child, 128);
            facts.duration_ms = header_duration(body);
            timescale = header_timescale(body);
        }
        if (child.type == "trak") tracks.push_back(read_track(reader, child, facts));
        if (child.type == "udta") facts.tracks.attachments += cover_pictures(reader, child);
        return true;
    });
    // A chapter track (named by another track's tref/chap) holds chapter titles, not subtitles.
    std::vector<std::uint32_t> chapters;
    for (const auto& track : tracks) {
        chapters.insert(chapters.end(), track.chapter_tracks.begin(), track.chapter_tracks.end());
    }
    std::optional<std::int64_t> late_ms, video_ms;
    for (const auto& track : tracks) {
        if (std::find(chapters.begin(), chapters.end(), track.id) != chapters.end()) continue;
        const auto late = milliseconds(track.late_start, timescale).value_or(0);
        late_ms = std::min(late_ms.value_or(late), late);
        auto entry = classify(track);
        if (entry.kind == track_kind::video && !facts.has_video) {
            facts.picture =
                mp4_picture(track.header, track.descriptions, track.times, track.timescale);
            video_ms = track.media_ms;
        }
        facts.has_video = facts.has_video || entry.kind == track_kind::video;
        facts.has_hevc_video = facts.has_hevc_video || entry.hevc;
        facts.tracks.tracks.push_back(std::move(entry));
    }
    if (facts.has_video) drop_late_start(facts, late_ms, video_ms);
    facts.tracks.listed = true;
}

// A box type as printable text, for a line a user reads.
std::string printable(const std::string& type) {
    std::string text = type;
    for (char& c : text) {
        if (c < ' ' || c > '~') c = '?';
    }
    return text;
}

}  // namespace

container_facts read_mp4(block_reader& reader) {
    container_facts facts;
    const std::uint64_t file_size = reader.file_size();
    std::optional<box> moov;
    std::uint64_t offset = 0;
    for (int count = 0; offset < file_size; ++count) {
        if (count == most_top_level_boxes) {
            facts.damage = "it holds more than " + std::to_string(count) + " top-level boxes";
            break;
        }
        if (file_size - offset < 8) {
            facts.damage = "its last " + std::to_string(file_size - offset) + " bytes are no box";
            break;
        }
        const auto found = box_at(reader, offset, file_size);
        if (!found) {
            facts.damage = "its box at offset " + std::to_string(offset) + " is damaged";
            break;
        }
        if (found->size > file_size - offset) {
            facts.damage = "its " + printable(found->type) + " box declares " +
                           std::to_string(found->size) + " bytes, the file holds " +
                           std::to_string(file_size - offset);
            break;
        }
        if (found->type == "moov" && !moov) moov = found;
        offset += found->size;
    }
    if (!moov && facts.damage.empty()) facts.damage = "it holds no moov box";
    if (moov) read_movie(reader, *moov, facts);
    // A file cut right after a box (the moov at the front, the mdat gone) still has every box
    // whole: the samples the moov lists show it.
    if (facts.damage.empty() && facts.last_chunk_offset >= file_size) {
        facts.damage = "its last chunk of samples starts at byte " +
                       std::to_string(facts.last_chunk_offset) + ", the file holds " +
                       std::to_string(file_size);
    }
    facts.whole = facts.damage.empty();
    return facts;
}

}  // namespace brindle::media
