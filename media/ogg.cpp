#include <algorithm>
#include <array>

#include "media/byte_source.h"
#include "media/cursor.h"
#include "media/tracks.h"

namespace brindle::media {

namespace {

constexpr std::uint8_t first_page_flag = 0x02;
// A page header: "OggS", the version, the flags, the granule position, the serial number, the
// page number, the checksum, then the count of segments and their sizes.
constexpr std::size_t page_header = 27;
// Every logical stream begins on a page of its own before any data; a file with more streams
// than this is taken for damage.
constexpr int most_streams = 64;

// The first bytes of each coding's first packet, and the track it makes.
struct codec_magic {
    std::string_view magic;
    track_kind kind;
    std::string_view name;
};
constexpr std::array codecs = {
    codec_magic{"\x80theora", track_kind::video, "Theora"},
    codec_magic{"OVP80", track_kind::video, "VP8"},
    codec_magic{std::string_view("BBCD\x00", 5), track_kind::video, "Dirac"},
    codec_magic{std::string_view("\x01video\x00\x00\x00", 9), track_kind::video, "video"},
    codec_magic{"\x01vorbis", track_kind::audio, "Vorbis"},
    codec_magic{"OpusHead", track_kind::audio, "Opus"},
    codec_magic{"\x7f"
                "FLAC",
                track_kind::audio, "FLAC"},
    codec_magic{"fLaC", track_kind::audio, "FLAC"},
    codec_magic{"Speex   ", track_kind::audio, "Speex"},
    codec_magic{"PCM     ", track_kind::audio, "PCM"},
    codec_magic{std::string_view("\x01audio\x00\x00\x00", 9), track_kind::audio, "audio"},
    codec_magic{std::string_view("\x80kate\x00\x00\x00", 8), track_kind::subtitle, "Kate"},
    codec_magic{std::string_view("\x01text\x00\x00\x00\x00", 9), track_kind::subtitle, "text"},
    // The skeleton describes the other streams and holds no track of its own.
    codec_magic{std::string_view("fishead\x00", 8), track_kind::other, "skeleton"},
    codec_magic{std::string_view("fisbone\x00", 8), track_kind::other, "skeleton"},
};

// What the first packet of a stream is; nothing for a coding this reader does not know.
std::optional<track_entry> identify(std::string_view packet) {
    for (const auto& codec : codecs) {
        if (packet.substr(0, codec.magic.size()) != codec.magic) continue;
        track_entry entry;
        entry.kind = codec.kind;
        entry.codec = codec.name;
        if (codec.name == "Kate") entry.lost_in_matroska = "Kate subtitles";
        return entry;
    }
    return std::nullopt;
}

}  // namespace

track_list read_ogg_tracks(block_reader& reader) {
    track_list list;
    std::uint64_t offset = 0;
    for (int count = 0; count < most_streams; ++count) {
        cursor page(reader.bytes(offset, page_header + 255));
        const auto capture = page.take(4);
        if (!capture || *capture != "OggS" || !page.skip(1)) return list;
        const auto flags = page.byte();
        if (!page.skip(20)) return list;
        const auto segments = page.byte();
        const auto sizes = segments ? page.take(*segments) : std::nullopt;
        if (!sizes) return list;
        std::uint64_t body = 0;
        for (const char size : *sizes) body += static_cast<std::uint8_t>(size);
        // The pages that begin the streams come first; the first one that does not ends them.
        if (!(*flags & first_page_flag)) break;
        const auto start = offset + page_header + *segments;
        const auto entry = identify(
            reader.bytes(start, static_cast<std::size_t>(std::min<std::uint64_t>(16, body))));
        if (!entry) return list;
        if (entry->kind != track_kind::other) list.tracks.push_back(*entry);
        offset = start + body;
    }
    list.listed = !list.tracks.empty();
    return list;
}

}  // namespace brindle::media
