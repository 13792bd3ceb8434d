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

// Info's Duration, into `facts`, and its TimestampScale, into `scale_ns`.
void read_info(std::string_view body, container_facts& facts, std::uint64_t& scale_ns) {
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

constexpr std::uint32_t codec_private_id = 0x63A2;
constexpr std::uint32_t default_duration_id = 0x23E383;
constexpr std::uint32_t video_id = 0xE0;
constexpr std::uint32_t pixel_width_id = 0xB0, pixel_height_id = 0xBA;
constexpr std::uint32_t display_width_id = 0x54B0, display_height_id = 0x54BA;
constexpr std::uint32_t display_unit_id = 0x54B2;
constexpr std::uint32_t flag_interlaced_id = 0x9A, field_order_id = 0x9D;
constexpr std::uint32_t colour_id = 0x55B0;
constexpr std::uint32_t matrix_id = 0x55B1, range_id = 0x55B9, transfer_id = 0x55BA,
                        primaries_id = 0x55BB, max_cll_id = 0x55BC, max_fall_id = 0x55BD;
constexpr std::uint32_t mastering_id = 0x55D0;
constexpr std::uint32_t projection_id = 0x7670, projection_roll_id = 0x7675;

int small_value(std::string_view body) {
    return static_cast<int>(std::min<std::uint64_t>(unsigned_value(body).value_or(0), 1u << 30));
}

// MasteringMetadata: chromaticities and luminances as floats, red first.
mastering_display read_mastering(std::string_view body) {
    mastering_display display;
    for_each_child(body, [&](std::uint32_t id, std::string_view value) {
        const double number = float_value(value).value_or(0);
        const auto scaled = [number](double unit) {
            return number > 0 && number < 1e6
                       ? static_cast<std::uint32_t>(std::lround(number / unit))
                       : 0u;
        };
        // Red, green and blue X and Y, then the white point; the SEI order is green, blue, red.
        constexpr int slot[] = {4, 5, 0, 1, 2, 3};
        if (id >= 0x55D1 && id <= 0x55D6) display.primaries[slot[id - 0x55D1]] = scaled(0.00002);
        if (id == 0x55D7 || id == 0x55D8) display.white[id - 0x55D7] = scaled(0.00002);
        if (id == 0x55D9) display.max_luminance = scaled(0.0001);
        if (id == 0x55DA) display.min_luminance = scaled(0.0001);
    });
    return display;
}

// Colour: a code the element leaves out, or sets to unspecified, leaves the stream's.
void read_colour(std::string_view body, picture_properties& picture) {
    content_light light;
    for_each_child(body, [&](std::uint32_t id, std::string_view value) {
        const int code = small_value(value);
        const bool specified = code != unspecified_colour;
        if (id == matrix_id && specified) picture.matrix = code;
        if (id == transfer_id && specified) picture.transfer = code;
        if (id == primaries_id && specified) picture.primaries = code;
        if (id == range_id && (code == 1 || code == 2)) picture.full_range = code == 2;
        if (id == max_cll_id) light.max_cll = static_cast<std::uint32_t>(code);
        if (id == max_fall_id) light.max_fall = static_cast<std::uint32_t>(code);
        if (id == mastering_id) picture.mastering = read_mastering(value);
        picture.colour_known = true;
    });
    if (light.max_cll != 0 || light.max_fall != 0) picture.light = light;
}

field_order matroska_field_order(int interlaced, int order) {
    if (interlaced == 2) return field_order::progressive;
    if (interlaced != 1) return field_order::unknown;
    if (order == 1 || order == 14) return field_order::top_first;
    if (order == 6 || order == 9) return field_order::bottom_first;
    return field_order::interlaced;
}

// Whether Projection's roll turns the picture a quarter (90 or 270 degrees, either way), as a
// player shows it.
bool rolled_a_quarter(std::string_view projection) {
    bool quarter = false;
    for_each_child(projection, [&](std::uint32_t id, std::string_view value) {
        if (id != projection_roll_id) return;
        const std::optional<double> roll = float_value(value);
        if (!roll || !std::isfinite(*roll)) return;
        const double turns = std::abs(std::remainder(*roll, 180.0));
        quarter = std::abs(turns - 90.0) < 1.0;
    });
    return quarter;
}

// Video: the sizes in pixels (or, with DisplayUnit 3, the display's aspect ratio), the fields,
// the colour and the rotation.
void read_video(std::string_view body, picture_properties& picture) {
    int pixel_width = 0, pixel_height = 0, display_width = 0, display_height = 0, unit = 0;
    int interlaced = 0, order = 2;
    bool quarter = false;
    for_each_child(body, [&](std::uint32_t id, std::string_view value) {
        if (id == projection_id) quarter = rolled_a_quarter(value);
        if (id == pixel_width_id) pixel_width = small_value(value);
        if (id == pixel_height_id) pixel_height = small_value(value);
        if (id == display_width_id) display_width = small_value(value);
        if (id == display_height_id) display_height = small_value(value);
        if (id == display_unit_id) unit = small_value(value);
        if (id == flag_interlaced_id) interlaced = small_value(value);
        if (id == field_order_id) order = small_value(value);
        if (id == colour_id) read_colour(value, picture);
    });
    if (pixel_width > 0 && pixel_height > 0) {
        picture.known = true;
        picture.width = pixel_width;
        picture.height = pixel_height;
    }
    if (display_width > 0 && display_height > 0 && unit == 0) {
        picture.width = display_width;
        picture.height = display_height;
    } else if (display_width > 0 && display_height > 0 && unit == 3 && picture.height > 0) {
        picture.width = static_cast<int>(
            std::llround(static_cast<double>(picture.height) * display_width / display_height));
    }
    if (const auto fields = matroska_field_order(interlaced, order);
        fields != field_order::unknown) {
        picture.fields = fields;
    }
    if (quarter) std::swap(picture.width, picture.height);
}

// The first video track's picture: the codec's parameter sets first, the container's elements
// over them.
picture_properties read_video_entry(std::string_view entry, std::string_view codec) {
    picture_properties picture;
    std::string_view configuration, video;
    std::uint64_t frame_ns = 0;
    for_each_child(entry, [&](std::uint32_t field, std::string_view value) {
        if (field == codec_private_id) configuration = value;
        if (field == video_id) video = value;
        if (field == default_duration_id) frame_ns = unsigned_value(value).value_or(0);
    });
    if (codec == "V_MPEG4/ISO/AVC") {
        picture = from_stream(read_codec_configuration(configuration, video_coding::h264));
    } else if (codec == hevc_codec_id) {
        picture = from_stream(read_codec_configuration(configuration, video_coding::hevc));
    }
    read_video(video, picture);
    if (frame_ns > 0) {
        picture.rate_num = 1000000000;
        picture.rate_den = frame_ns;
    }
    return picture;
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
        if (track.kind == track_kind::video && !facts.has_video) {
            facts.picture = read_video_entry(entry, codec);
        }
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

// The time a Cluster starts at, from its Timestamp, which comes first in it but for a CRC-32 or
// a Void.
std::optional<std::int64_t> cluster_time_ms(block_reader& reader, const located& cluster,
                                            std::uint64_t scale_ns) {
    auto first = element_at(reader, cluster.body_offset);
    for (int skipped = 0; first && (first->header.id == crc32_id || first->header.id == void_id) &&
                          !first->header.unknown_size && skipped < 2;
         ++skipped) {
        first = element_at(reader, first->body_offset + first->header.size);
    }
    if (!first || first->header.id != cluster_timestamp_id || first->header.unknown_size ||
        first->header.size > 8) {
        return std::nullopt;
    }
    const auto body =
        reader.bytes(first->body_offset, static_cast<std::size_t>(first->header.size));
    const auto time = body.size() == first->header.size ? unsigned_value(body) : std::nullopt;
    if (!time) return std::nullopt;
    const double ms = static_cast<double>(*time) * static_cast<double>(scale_ns) / 1e6;
    if (!(ms <= static_cast<double>(longest_duration_ms))) return std::nullopt;
    return static_cast<std::int64_t>(ms);
}

// Reads the Info or Tracks the SeekHead points to, when the walk did not meet it.
void follow_seek(block_reader& reader, std::uint64_t data_start, std::uint64_t end,
                 std::optional<std::uint64_t> position, std::uint32_t wanted,
                 container_facts& facts, std::uint64_t& scale_ns) {
    if (!position || *position >= end - data_start) return;
    const auto found = element_at(reader, data_start + *position);
    if (!found || found->header.id != wanted) return;
    if (wanted == attachments_id) {
        facts.tracks.attachments = attached_files(reader, *found, end);
        return;
    }
    const auto body = body_of(reader, *found, end);
    if (!body) return;
    if (wanted == info_id) read_info(*body, facts, scale_ns);
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
    std::optional<located> first_cluster;
    std::uint64_t scale_ns = 1000000;
    for (int count = 0; offset < end && count < most_elements; ++count) {
        const auto child = element_at(reader, offset);
        if (child && child->header.id == cluster_id) first_cluster = child;
        if (!child || child->header.id == cluster_id || child->header.unknown_size) break;
        const auto id = child->header.id;
        if (id == attachments_id && count_attachments && !attachments_seen) {
            facts.tracks.attachments = attached_files(reader, *child, end);
            attachments_seen = true;
        }
        if (id == info_id || id == tracks_id || id == seek_head_id) {
            const auto body = body_of(reader, *child, end);
            if (!body) break;
            if (id == info_id && !info_seen) read_info(*body, facts, scale_ns);
            if (id == tracks_id && !tracks_seen) read_tracks(*body, facts);
            if (id == seek_head_id) read_seek_head(*body, targets);
            info_seen = info_seen || id == info_id;
            tracks_seen = tracks_seen || id == tracks_id;
        }
        if (child->body_offset > end || child->header.size > end - child->body_offset) break;
        offset = child->body_offset + child->header.size;
    }
    if (!info_seen) follow_seek(reader, data_start, end, targets.info, info_id, facts, scale_ns);
    if (!tracks_seen) {
        follow_seek(reader, data_start, end, targets.tracks, tracks_id, facts, scale_ns);
    }
    if (count_attachments && !attachments_seen) {
        follow_seek(reader, data_start, end, targets.attachments, attachments_id, facts, scale_ns);
    }
    if (first_cluster) facts.first_cluster_ms = cluster_time_ms(reader, *first_cluster, scale_ns);
    return facts;
}

}  // namespace brindle::media
