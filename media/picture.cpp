#include "media/picture.h"

#include <cmath>
#include <cstdint>

#include "media/container.h"
#include "media/cursor.h"
#include "media/file_source.h"
#include "media/readers.h"

namespace brindle::media {

namespace {

// A visual sample entry's fixed fields: 8 bytes of header, then 78 before its child boxes; the
// width and height stand 24 bytes into them.
constexpr std::size_t entry_fields = 78;

struct entry_boxes {
    std::string_view avcc, hvcc, pasp, colr, fiel, mdcv, clli;
};

entry_boxes children_of(std::string_view children) {
    entry_boxes found;
    cursor at(children);
    while (at.left() >= 8) {
        const auto size = at.big_endian(4);
        const auto type = at.take(4);
        if (!size || *size < 8 || *size - 8 > at.left()) break;
        const auto body = *at.take(static_cast<std::size_t>(*size - 8));
        if (*type == "avcC") found.avcc = body;
        if (*type == "hvcC") found.hvcc = body;
        if (*type == "pasp") found.pasp = body;
        if (*type == "colr") found.colr = body;
        if (*type == "fiel") found.fiel = body;
        if (*type == "mdcv") found.mdcv = body;
        if (*type == "clli") found.clli = body;
    }
    return found;
}

// colr of type nclx (MP4) or nclc (QuickTime): three codes, and for nclx the full-range bit.
void read_colr(std::string_view body, picture_properties& picture) {
    cursor at(body);
    const auto type = at.take(4);
    if (!type || (*type != "nclx" && *type != "nclc")) return;
    const auto primaries = at.big_endian(2), transfer = at.big_endian(2), matrix = at.big_endian(2);
    if (!matrix) return;
    picture.colour_known = true;
    if (*primaries != unspecified_colour) picture.primaries = static_cast<int>(*primaries);
    if (*transfer != unspecified_colour) picture.transfer = static_cast<int>(*transfer);
    if (*matrix != unspecified_colour) picture.matrix = static_cast<int>(*matrix);
    if (*type == "nclx") {
        if (const auto range = at.byte()) picture.full_range = (*range & 0x80) != 0;
    }
}

void read_hdr_boxes(const entry_boxes& boxes, picture_properties& picture) {
    cursor display(boxes.mdcv);
    if (boxes.mdcv.size() >= 24) {
        mastering_display found;
        for (auto& value : found.primaries)
            value = static_cast<std::uint32_t>(*display.big_endian(2));
        for (auto& value : found.white) value = static_cast<std::uint32_t>(*display.big_endian(2));
        found.max_luminance = static_cast<std::uint32_t>(*display.big_endian(4));
        found.min_luminance = static_cast<std::uint32_t>(*display.big_endian(4));
        picture.mastering = found;
    }
    cursor level(boxes.clli);
    if (boxes.clli.size() >= 4) {
        content_light found;
        found.max_cll = static_cast<std::uint32_t>(*level.big_endian(2));
        found.max_fall = static_cast<std::uint32_t>(*level.big_endian(2));
        picture.light = found;
    }
}

// fiel: one field or two, then their order in Matroska's codes.
void read_fiel(std::string_view body, picture_properties& picture) {
    if (body.size() < 2) return;
    const auto count = static_cast<std::uint8_t>(body[0]),
               order = static_cast<std::uint8_t>(body[1]);
    if (count == 1) picture.fields = field_order::progressive;
    if (count != 2) return;
    picture.fields = order == 1 || order == 14  ? field_order::top_first
                     : order == 6 || order == 9 ? field_order::bottom_first
                                                : field_order::interlaced;
}

// tkhd's matrix turns the picture a quarter when its a and d are zero.
bool turned_a_quarter(std::string_view header) {
    cursor at(header);
    const auto version = at.byte();
    if (!version || !at.skip(*version == 1 ? 51 : 39)) return false;
    const auto a = at.big_endian(4), b = at.big_endian(4);
    if (!b || !at.skip(4)) return false;
    const auto c = at.big_endian(4), d = at.big_endian(4);
    return d && *a == 0 && *d == 0 && *b != 0 && *c != 0;
}

// stts with one step for every sample (the last may differ): a constant frame rate.
void read_rate(std::string_view times, std::uint64_t timescale, picture_properties& picture) {
    cursor at(times);
    if (timescale == 0 || !at.skip(4)) return;
    const auto entries = at.big_endian(4);
    const auto count = at.big_endian(4), delta = at.big_endian(4);
    if (!delta || *delta == 0 || *entries == 0 || *entries > 2) return;
    if (*entries == 2) {
        const auto last_count = at.big_endian(4);
        if (!last_count || *last_count != 1 || *count == 0) return;
    }
    picture.rate_num = timescale;
    picture.rate_den = *delta;
}

}  // namespace

picture_properties mp4_picture(std::string_view header, std::string_view descriptions,
                               std::string_view times, std::uint64_t timescale) {
    picture_properties picture;
    cursor at(descriptions);
    if (!at.skip(8)) return picture;
    const auto size = at.big_endian(4);
    if (!size || *size < 8 + entry_fields || !at.skip(4 + 24)) return picture;
    const auto width = at.big_endian(2), height = at.big_endian(2);
    if (!height || !at.skip(entry_fields - 28)) return picture;
    const auto children = at.take(
        std::min<std::size_t>(static_cast<std::size_t>(*size - 8 - entry_fields), at.left()));
    const entry_boxes boxes = children_of(children.value_or(std::string_view{}));
    if (!boxes.avcc.empty()) {
        picture = from_stream(read_codec_configuration(boxes.avcc, video_coding::h264));
    } else if (!boxes.hvcc.empty()) {
        picture = from_stream(read_codec_configuration(boxes.hvcc, video_coding::hevc));
    }
    if (!picture.known && *width > 0 && *height > 0) {
        picture.known = true;
        picture.width = static_cast<int>(*width);
        picture.height = static_cast<int>(*height);
    }
    cursor spacing(boxes.pasp);
    const auto h_spacing = spacing.big_endian(4), v_spacing = spacing.big_endian(4);
    if (v_spacing && *h_spacing > 0 && *v_spacing > 0 && *h_spacing != *v_spacing) {
        picture.width = static_cast<int>((*width * *h_spacing + *v_spacing / 2) / *v_spacing);
    }
    read_colr(boxes.colr, picture);
    read_hdr_boxes(boxes, picture);
    read_fiel(boxes.fiel, picture);
    read_rate(times, timescale, picture);
    if (turned_a_quarter(header)) std::swap(picture.width, picture.height);
    return picture;
}

picture_properties read_picture_properties(block_reader& reader) {
    picture_properties picture;
    switch (recognise_container(reader.bytes(0, recognition_size))) {
        case container::matroska:
            picture = read_matroska(reader, false).picture;
            break;
        case container::mp4:
            picture = read_mp4(reader).picture;
            break;
        case container::mpeg_ts:
            picture = read_transport_stream_picture(reader, 188);
            break;
        case container::m2ts:
            picture = read_transport_stream_picture(reader, 192);
            break;
        default:
            break;
    }
    if (reader.read_failed()) return {};
    return picture;
}

picture_properties read_picture_properties(const std::string& path) {
    return read_headers_of(path, picture_properties{},
                           [](block_reader& reader) { return read_picture_properties(reader); });
}

}  // namespace brindle::media
