#include "media/stream_types.h"

#include <array>
#include <string>

#include "media/cursor.h"

namespace brindle::media {

namespace {

constexpr std::uint8_t registration_descriptor = 0x05;
constexpr std::uint8_t vbi_teletext_descriptor = 0x46;
constexpr std::uint8_t teletext_descriptor = 0x56;
constexpr std::uint8_t dvb_subtitle_descriptor = 0x59;
constexpr std::uint8_t extension_descriptor = 0x7F;
// The extension descriptor's own tags.
constexpr std::uint8_t dts_hd_extension = 0x0E;
constexpr std::uint8_t ttml_extension = 0x20;

// Calls `visit(tag, body)` for each descriptor of a loop, stopping at one that does not fit.
template <typename Visit>
void for_each_descriptor(std::string_view loop, Visit visit) {
    cursor at(loop);
    while (at.left() >= 2) {
        const auto tag = *at.byte();
        const auto body = at.take(*at.byte());
        if (!body) return;
        visit(tag, *body);
    }
}

// Formats registered by a private stream's registration descriptor, and the track each is.
struct registered_format {
    std::string_view identifier;
    track_kind kind;
    bool hevc;
};
constexpr std::array registered_formats = {
    registered_format{"AC-3", track_kind::audio, false},
    registered_format{"EAC3", track_kind::audio, false},
    registered_format{"DTS1", track_kind::audio, false},
    registered_format{"DTS2", track_kind::audio, false},
    registered_format{"DTS3", track_kind::audio, false},
    registered_format{"Opus", track_kind::audio, false},
    registered_format{"BSSD", track_kind::audio, false},
    registered_format{"mlpa", track_kind::audio, false},
    registered_format{"HEVC", track_kind::video, true},
    registered_format{"VC-1", track_kind::video, false},
};

// Private data (stream type 0x06) is audio, subtitles or something else by its descriptors; the
// first that tells decides. Without one it stays unknown.
void classify_private(std::string_view descriptors, track_entry& entry) {
    entry.kind = track_kind::unknown;
    for_each_descriptor(descriptors, [&](std::uint8_t tag, std::string_view body) {
        if (entry.kind != track_kind::unknown) return;
        switch (tag) {
            case 0x6A:  // AC-3
            case 0x7A:  // E-AC-3
            case 0x7B:  // DTS
            case 0x7C:  // AAC
                entry.kind = track_kind::audio;
                break;
            case dvb_subtitle_descriptor:
                entry.kind = track_kind::subtitle;
                break;
            case teletext_descriptor:
            case vbi_teletext_descriptor:
                entry.kind = track_kind::subtitle;
                entry.lost_in_matroska = "teletext";
                break;
            case extension_descriptor:
                if (body.empty()) break;
                if (static_cast<std::uint8_t>(body[0]) == dts_hd_extension) {
                    entry.kind = track_kind::audio;
                } else if (static_cast<std::uint8_t>(body[0]) == ttml_extension) {
                    entry.kind = track_kind::subtitle;
                    entry.lost_in_matroska = "TTML subtitles";
                }
                break;
            case registration_descriptor:
                for (const auto& format : registered_formats) {
                    if (body.substr(0, 4) != format.identifier) continue;
                    entry.kind = format.kind;
                    entry.hevc = format.hevc;
                }
                break;
            default:
                break;
        }
    });
}

}  // namespace

std::string hex_byte(std::uint8_t value) {
    constexpr char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[value >> 4] + digits[value & 0xF];
}

bool registers_format(std::string_view descriptors, std::string_view identifier) {
    bool found = false;
    for_each_descriptor(descriptors, [&](std::uint8_t tag, std::string_view body) {
        found = found || (tag == registration_descriptor && body.substr(0, 4) == identifier);
    });
    return found;
}

track_entry classify_stream(std::uint8_t type, std::string_view descriptors, bool blu_ray) {
    track_entry entry;
    entry.codec = "stream type " + hex_byte(type);
    switch (type) {
        case 0x01:  // MPEG-1
        case 0x02:  // MPEG-2
        case 0x10:  // MPEG-4 Part 2
        case 0x1B:  // H.264
        case 0x33:  // VVC
        case 0x42:  // AVS
        case 0xD1:  // Dirac
        case 0xEA:  // VC-1
            entry.kind = track_kind::video;
            return entry;
        case 0x24:  // HEVC
            entry.kind = track_kind::video;
            entry.hevc = true;
            return entry;
        case 0x03:  // MPEG-1 audio
        case 0x04:  // MPEG-2 audio
        case 0x0F:  // AAC in ADTS
        case 0x11:  // AAC in LATM
        case 0x1C:  // MPEG-4 audio
        case 0x81:  // AC-3
        case 0x87:  // E-AC-3
            entry.kind = track_kind::audio;
            return entry;
        case 0x06:
            classify_private(descriptors, entry);
            return entry;
        case 0x05:  // private sections
        case 0x0A:  // DSM-CC
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x13:
        case 0x15:  // metadata
        case 0x20:  // the second view of 3D H.264, not a picture of its own
        case 0x91:  // Blu-ray menus
            entry.kind = track_kind::other;
            return entry;
        default:
            break;
    }
    // SCTE-35 splice information outside a Blu-ray; anything else unnamed may be anything.
    entry.kind = !blu_ray && type == 0x86 ? track_kind::other : track_kind::unknown;
    if (!blu_ray) return entry;
    switch (type) {
        case 0x80:  // LPCM
        case 0x82:  // DTS
        case 0x83:  // TrueHD
        case 0x84:  // E-AC-3
        case 0x85:  // DTS-HD
        case 0x86:  // DTS-HD Master Audio
        case 0xA1:  // E-AC-3, secondary
        case 0xA2:  // DTS-HD, secondary
            entry.kind = track_kind::audio;
            break;
        case 0x90:  // presentation graphics (PGS)
        case 0x92:  // text subtitles
            entry.kind = track_kind::subtitle;
            break;
        default:
            break;
    }
    return entry;
}

std::vector<ts_stream> program_map_streams(std::string_view section, bool blu_ray) {
    std::vector<ts_stream> streams;
    cursor at(section);
    // The table id, the section's length, the program number, the version, the section numbers
    // and the PCR PID come before the program's descriptors.
    if (at.byte() != 0x02 || !at.skip(9)) return streams;
    const auto info_length = at.big_endian(2);
    const auto info = info_length ? at.take(*info_length & 0x0FFF) : std::nullopt;
    if (!info) return streams;
    blu_ray = blu_ray || registers_format(*info, "HDMV");
    while (at.left() >= 5) {
        const auto type = *at.byte();
        const auto pid = *at.big_endian(2);
        const auto descriptors = at.take(*at.big_endian(2) & 0x0FFF);
        if (!descriptors) break;
        streams.push_back(
            {static_cast<unsigned>(pid & 0x1FFF), classify_stream(type, *descriptors, blu_ray)});
    }
    return streams;
}

}  // namespace brindle::media
