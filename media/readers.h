#pragma once

// Readers of the containers whose headers say how long a video lasts and what it holds. Each
// reads a few small pieces of the file through a block_reader and trusts no size it finds: a
// size larger than the file means a truncated or hostile file, never a read past the end.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "media/byte_source.h"
#include "media/picture.h"
#include "media/tracks.h"

namespace brindle::media {

// The longest duration a reader believes, in milliseconds (about 300 years); a larger figure is
// taken for damage.
inline constexpr std::int64_t longest_duration_ms = std::int64_t{10'000'000'000'000};

struct container_facts {
    // Every size the container declares at its top level fits in the file.
    bool whole = false;
    // When not whole: why, with the figures ("its Segment declares 123456789 bytes, the file
    // holds 65536").
    std::string damage;
    std::optional<std::int64_t> duration_ms;
    bool has_video = false;
    bool has_hevc_video = false;
    // Every track the header lists, and the attached files.
    track_list tracks;
    // The first video track's picture, as the headers describe it.
    picture_properties picture;
    // MP4: where the last chunk of samples of any track starts, 0 when none is listed.
    std::uint64_t last_chunk_offset = 0;
    // Matroska: the time the first Cluster starts at, when its Timestamp can be read.
    std::optional<std::int64_t> first_cluster_ms;
};

// A file whose every track starts this late or later into its own timeline (times kept from a
// recording that began earlier) is measured from there: an encoder's result of it starts at zero.
inline constexpr std::int64_t late_start_ms = 1000;

// Matroska and WebM: the EBML header, the Segment's size against the file's, Info's Duration x
// TimestampScale and the video tracks of Tracks, all found before the first Cluster (or through
// the SeekHead when they lie after it).
// Attached files are counted from their headers, a small read each, unless
// `count_attachments` is false.
container_facts read_matroska(block_reader& reader, bool count_attachments = true);

// Does `head` (the first bytes of a file starting with the EBML magic) announce Matroska or
// WebM? Other formats built on EBML are not video.
bool is_matroska_doc_type(std::string_view head);
// The DocType `head` declares ("matroska" when it leaves it to the default); empty when `head`
// does not start with an EBML header.
std::string matroska_doc_type(std::string_view head);

// MP4, MOV and 3GP: every top-level box fits, a moov box (anywhere), its mvhd duration and the
// tracks whose handler is 'vide' with their first sample entries.
container_facts read_mp4(block_reader& reader);

// MPEG-TS (packet_size 188) and M2TS (192): the span of the time stamps of the first video
// stream of the first program, from the head and the tail of the file only.
std::optional<std::int64_t> read_transport_stream_duration(block_reader& reader,
                                                           std::size_t packet_size);

// AVI: the main header's frame count (or the OpenDML header's, for files past 1 GiB) times its
// frame time.
std::optional<std::int64_t> read_avi_duration(block_reader& reader);

}  // namespace brindle::media
