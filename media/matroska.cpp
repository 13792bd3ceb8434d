#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "media/ebml.h"
#include "media/readers.h"

namespace brindle::media {

namespace {

constexpr std::uint32_t attached_file_id = 0x61A7;

constexpr std::uint64_t audio_track_type = 2;
constexpr std::uint64_t subtitle_track_type = 17;
// Audio and video in one track.
constexpr std::uint64_t complex_track_type = 3;
constexpr std::string_view hevc_codec_id = "V_MPEGH/ISO/HEVC";
// Elements met before the Segment's first Cluster; a file with more is taken for damage.
constexpr int most_elements = 4096;
// Attached files counted; fonts for subtitles come in dozens at most.
constexpr int most_attachments = 1024;

std::optional<double> float_value(std::string_view body) {
    cursor at(body);
    if (body.size() == 4) {
        const auto bits = static_cast<std::uint32_t>(*at.big_endian(4));
        return static_cast<double>(std::bit_cast<float>(bits));
    }
    if (body.size() == 8) return std::bit_cast<double>(*at.big_endian(8));
    return std::nullopt;
}

std::string_view string_value(std::string_view body) {
    while (!body.empty() && body.back() == '\0') body.remove_suffix(1);
    return body;
}

void read_info(std::string_view body, container_facts& facts) {
    std::uint64_t scale_ns = 1000000;
    std::optional<double> duration;
    for_each_child(body, [&](std::uint32_t id, std::string_view value) {
        if (id == timestamp_scale_id) {
            if (const auto scale = unsigned_value(value)) scale_ns = *scale;
        } else if (id == duration_id) {
            duration = float_value(value);
        }
    });
    if (!duration || scale_ns == 0) return;
    const double ms = *duration * static_cast<double>(scale_ns) / 1e6;
    if (std::isfinite(ms) && ms >= 0 && ms <= static_cast<double>(longest_duration_ms)) {
        facts.duration_ms = static_cast<std::int64_t>(std::llround(ms));
    }
}

void read_tracks(std::string_view body, container_facts& facts) {
    for_each_child(body, [&](std::uint32_t id, std::string_view entry) {
        if (id != track_entry_id) return;
        std::optional<std::uint64_t> type;
        std::string_view codec;
        for_each_child(entry, [&](std::uint32_t field, std::string_view value) {
            if (field == track_type_id) type = unsigned_value(value);
            if (field == codec_id_id) codec = string_value(value);
        });
        track_entry track;
        track.codec = codec;
        if (type == video_track_type) track.kind = track_kind::video;
        if (type == audio_track_type) track.kind = track_kind::audio;
        if (type == subtitle_track_type) track.kind = track_kind::subtitle;
        if (type == complex_track_type) track.kind = track_kind::unknown;
        track.hevc = track.kind == track_kind::video && codec == hevc_codec_id;
        facts.has_video = facts.has_video || track.kind == track_kind::video;
        facts.has_hevc_video = facts.has_hevc_video || track.hevc;
        facts.tracks.tracks.push_back(std::move(track));
    });
    facts.tracks.listed = true;
}

// Where the SeekHead says Info and Tracks start, relative to the Segment's data.
struct seek_targets {
    std::optional<std::uint64_t> info;
    std::optional<std::uint64_t> tracks;
    std::optional<std::uint64_t> attachments;
};

void read_seek_head(std::string_view body, seek_targets& targets) {
    for_each_child(body, [&](std::uint32_t id, std::string_view seek) {
        if (id != seek_id) return;
        std::optional<std::uint64_t> target, position;
        for_each_child(seek, [&](std::uint32_t field, std::string_view value) {
            if (field == seek_element_id) target = unsigned_value(value);
            if (field == seek_position_id) position = unsigned_value(value);
        });
        if (!position) return;
        if (target == info_id && !targets.info) targets.info = position;
        if (target == tracks_id && !targets.tracks) targets.tracks = position;
        if (target == attachments_id && !targets.attachments) targets.attachments = position;
    });
}

// The body of an element that ends by `end`, or nothing when it does not or is too large to read.
std::optional<std::string_view> body_of(block_reader& reader, const located& at,
                                        std::uint64_t end) {
    if (at.header.unknown_size || at.body_offset > end || at.header.size > end - at.body_offset ||
        at.header.size > largest_read) {
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(at.header.size);
    const auto body = reader.bytes(at.body_offset, size);
    if (body.size() != size) return std::nullopt;
    return body;
}

// Counts the files of an Attachments element from their headers alone: fonts and pictures run to
// megabytes, and only their number matters.
int attached_files(block_reader& reader, const located& attachments, std::uint64_t end) {
    if (attachments.header.unknown_size || attachments.body_offset > end ||
        attachments.header.size > end - attachments.body_offset) {
        return 0;
    }
    const std::uint64_t body_end = attachments.body_offset + attachments.header.size;
    int count = 0;
    for (std::uint64_t offset = attachments.body_offset;
         offset < body_end && count < most_attachments;) {
        const auto child = element_at(reader, offset);
        if (!child || child->header.unknown_size || child->body_offset > body_end ||
            child->header.size > body_end - child->body_offset) {
            break;
        }
        if (child->header.id == attached_file_id) ++count;
        offset = child->body_offset + child->header.size;
    }
    return count;
}

// Reads the Info or Tracks the SeekHead points to, when the walk did not meet it.
void follow_seek(block_reader& reader, std::uint64_t data_start, std::uint64_t end,
                 std::optional<std::uint64_t> position, std::uint32_t wanted,
                 container_facts& facts) {
    if (!position || *position >= end - data_start) return;
    const auto found = element_at(reader, data_start + *position);
    if (!found || found->header.id != wanted) return;
    if (wanted == attachments_id) {
        facts.tracks.attachments = attached_files(reader, *found, end);
        return;
    }
    const auto body = body_of(reader, *found, end);
    if (!body) return;
    if (wanted == info_id) read_info(*body, facts);
    if (wanted == tracks_id) read_tracks(*body, facts);
}

}  // namespace

std::string matroska_doc_type(std::string_view head) {
    cursor at(head);
    const auto header = read_element(at);
    if (!header || header->id != ebml_id) return {};
    // A header cut off by the end of `head` is read as far as it goes.
    const auto size = std::min<std::uint64_t>(header->size, at.left());
    std::string_view doc_type = "matroska";
    for_each_child(*at.take(static_cast<std::size_t>(size)),
                   [&](std::uint32_t id, std::string_view value) {
                       if (id == doc_type_id) doc_type = string_value(value);
                   });
    return std::string(doc_type);
}

bool is_matroska_doc_type(std::string_view head) {
    const auto doc_type = matroska_doc_type(head);
    return doc_type == "matroska" || doc_type == "webm";
}

container_facts read_matroska(block_reader& reader, bool count_attachments) {
    container_facts facts;
    const std::uint64_t file_size = reader.file_size();
    const auto ebml = element_at(reader, 0);
    if (!ebml || ebml->header.id != ebml_id || ebml->header.unknown_size ||
        ebml->header.size > file_size - ebml->body_offset) {
        facts.damage = "its EBML header is damaged";
        return facts;
    }
    const auto segment = element_at(reader, ebml->body_offset + ebml->header.size);
    if (!segment || segment->header.id != segment_id) {
        facts.damage = "it holds no Segment";
        return facts;
    }
    const std::uint64_t data_start = segment->body_offset;
    const std::uint64_t held = file_size - std::min(file_size, data_start);
    std::uint64_t end = file_size;
    // A Segment written to a pipe has no size: it runs to the end of the file, and the walk over
    // its Clusters tells whether it is whole.
    if (!segment->header.unknown_size && segment->header.size > held) {
        facts.damage = "its Segment declares " + std::to_string(segment->header.size) +
                       " bytes, the file holds " + std::to_string(held);
    } else {
        facts.whole = true;
        if (!segment->header.unknown_size) end = data_start + segment->header.size;
    }

    bool info_seen = false, tracks_seen = false, attachments_seen = false;
    seek_targets targets;
    std::uint64_t offset = data_start;
    for (int count = 0; offset < end && count < most_elements; ++count) {
        const auto child = element_at(reader, offset);
        if (!child || child->header.id == cluster_id || child->header.unknown_size) break;
        const auto id = child->header.id;
        if (id == attachments_id && count_attachments && !attachments_seen) {
            facts.tracks.attachments = attached_files(reader, *child, end);
            attachments_seen = true;
        }
        if (id == info_id || id == tracks_id || id == seek_head_id) {
            const auto body = body_of(reader, *child, end);
            if (!body) break;
            if (id == info_id && !info_seen) read_info(*body, facts);
            if (id == tracks_id && !tracks_seen) read_tracks(*body, facts);
            if (id == seek_head_id) read_seek_head(*body, targets);
            info_seen = info_seen || id == info_id;
            tracks_seen = tracks_seen || id == tracks_id;
        }
        if (child->body_offset > end || child->header.size > end - child->body_offset) break;
        offset = child->body_offset + child->header.size;
    }
    if (!info_seen) follow_seek(reader, data_start, end, targets.info, info_id, facts);
    if (!tracks_seen) follow_seek(reader, data_start, end, targets.tracks, tracks_id, facts);
    if (count_attachments && !attachments_seen) {
        follow_seek(reader, data_start, end, targets.attachments, attachments_id, facts);
    }
    return facts;
}

}  // namespace brindle::media
