#include "media/container.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "media/readers.h"

namespace brindle::media {

namespace {

bool starts_with(std::string_view head, std::string_view magic, std::size_t at = 0) {
    return head.size() >= at + magic.size() && head.substr(at, magic.size()) == magic;
}

// ISO media files that hold a picture, a raw photo or sound rather than video, by major brand.
struct brand_kind {
    std::string_view brand;
    std::string_view kind;
};
constexpr std::array non_video_brands = {
    brand_kind{"heic", "HEIF image"},       brand_kind{"heix", "HEIF image"},
    brand_kind{"heim", "HEIF image"},       brand_kind{"heis", "HEIF image"},
    brand_kind{"hevc", "HEIF image"},       brand_kind{"hevx", "HEIF image"},
    brand_kind{"mif1", "HEIF image"},       brand_kind{"msf1", "HEIF image"},
    brand_kind{"avif", "AVIF image"},       brand_kind{"avis", "AVIF image"},
    brand_kind{"crx ", "camera raw image"}, brand_kind{"jp2 ", "JPEG 2000 image"},
    brand_kind{"M4A ", "MP4 audio"},        brand_kind{"M4B ", "MP4 audio"},
    brand_kind{"M4P ", "MP4 audio"},
};

std::string_view non_video_brand(std::string_view head) {
    if (!starts_with(head, "ftyp", 4) || head.size() < 12) return {};
    const auto brand = head.substr(8, 4);
    for (const auto& known : non_video_brands) {
        if (known.brand == brand) return known.kind;
    }
    return {};
}

// QuickTime files written before the ftyp box existed begin with one of these.
bool is_quicktime_box(std::string_view head) {
    if (head.size() < 8) return false;
    const auto size = (std::uint32_t{static_cast<unsigned char>(head[0])} << 24) |
                      (std::uint32_t{static_cast<unsigned char>(head[1])} << 16) |
                      (std::uint32_t{static_cast<unsigned char>(head[2])} << 8) |
                      std::uint32_t{static_cast<unsigned char>(head[3])};
    if (size != 1 && size < 8) return false;
    const auto type = head.substr(4, 4);
    return type == "moov" || type == "mdat" || type == "wide" || type == "free" || type == "skip" ||
           type == "pnot";
}

// Transport stream packets: the sync byte at the same place in each of the first packets
// (at least three, up to five).
bool has_packets(std::string_view head, std::size_t packet_size, std::size_t sync_offset) {
    const std::size_t packets = std::min<std::size_t>(5, head.size() / packet_size);
    if (packets < 3) return false;
    for (std::size_t i = 0; i < packets; ++i) {
        if (head[i * packet_size + sync_offset] != '\x47') return false;
    }
    return true;
}

}  // namespace

container recognise_container(std::string_view head) {
    using namespace std::string_view_literals;
    if (starts_with(head, "\x1a\x45\xdf\xa3")) {
        return is_matroska_doc_type(head) ? container::matroska : container::none;
    }
    if (starts_with(head, "ftyp", 4)) {
        return non_video_brand(head).empty() ? container::mp4 : container::none;
    }
    if (is_quicktime_box(head)) return container::mp4;
    if (starts_with(head, "RIFF") && starts_with(head, "AVI ", 8)) return container::avi;
    if (starts_with(head, "\x30\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9\x00\xaa\x00\x62\xce\x6c"sv)) {
        return container::asf;
    }
    if (starts_with(head, "\xb7\xd8\x00\x20\x37\x49\xda\x11\xa6\x4e\x00\x07\xe9\x5e\xad\x8d"sv)) {
        return container::wtv;
    }
    if (starts_with(head, "\x00\x00\x01\xba"sv)) return container::mpeg_ps;
    if (starts_with(head, "FLV\x01")) return container::flv;
    if (starts_with(head, "OggS\x00"sv)) return container::ogg;
    if (starts_with(head, ".RMF")) return container::realmedia;
    if (has_packets(head, 188, 0)) return container::mpeg_ts;
    if (has_packets(head, 192, 4)) return container::m2ts;
    return container::none;
}

std::string_view describe_other_file(std::string_view head) {
    using namespace std::string_view_literals;
    if (const auto kind = non_video_brand(head); !kind.empty()) return kind;
    if (starts_with(head, "\x89PNG\r\n\x1a\n")) return "PNG image";
    if (starts_with(head, "\xff\xd8\xff")) return "JPEG image";
    if (starts_with(head, "GIF8")) return "GIF image";
    if (starts_with(head, "RIFF") && starts_with(head, "WAVE", 8)) return "WAV audio";
    if (starts_with(head, "RIFF") && starts_with(head, "WEBP", 8)) return "WebP image";
    if (starts_with(head, "ID3")) return "MP3 audio";
    if (starts_with(head, "fLaC")) return "FLAC audio";
    if (starts_with(head, "%PDF")) return "PDF document";
    if (starts_with(head, "PK\x03\x04")) return "ZIP archive";
    return {};
}

std::string_view container_name(container kind) {
    switch (kind) {
        case container::matroska:
            return "Matroska";
        case container::mp4:
            return "MP4";
        case container::mpeg_ts:
            return "MPEG-TS";
        case container::m2ts:
            return "M2TS";
        case container::mpeg_ps:
            return "MPEG-PS";
        case container::avi:
            return "AVI";
        case container::asf:
            return "ASF";
        case container::wtv:
            return "WTV";
        case container::flv:
            return "FLV";
        case container::ogg:
            return "Ogg";
        case container::realmedia:
            return "RealMedia";
        case container::none:
            break;
    }
    return "unknown";
}

}  // namespace brindle::media
