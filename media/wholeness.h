#pragma once

// Whether an encoder's result holds every frame it declares: walks over the whole container,
// reading the headers of its clusters, blocks, chunks and fragments and seeking over their
// payloads. They run after the container's own reader found every top-level size to fit.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/byte_source.h"
#include "media/container.h"
#include "media/readers.h"

namespace brindle::media {

// Matroska and WebM: every Cluster and every block header lies whole and in order inside the
// Segment (one written to a pipe, of unknown size, must end where the file does), and the last
// video frame reaches the duration (for a Segment written to a pipe, the end of its last block).
// Updates `facts` (whole, damage, duration_ms). A file whose earliest block starts late_start_ms
// or more into its timeline (times kept from a recording that began earlier) lasts from that
// block to its last block's end: writers disagree on whether its Duration counts from zero or
// from there, and an encoder's result starts at zero. Its blocks must reach its Duration
// (`declared_ms` below) one way or the other, or the Duration stands.
void walk_clusters(block_reader& reader, container_facts& facts);
// The same duration of such a source, walked for it alone; nothing for a file that starts on
// time, cannot be walked to its end, or does not reach `declared_ms` either way.
std::optional<std::int64_t> matroska_late_span_ms(block_reader& reader,
                                                  std::optional<std::int64_t> declared_ms);
// How far a Matroska file reaches after each of its Clusters that lies whole: the bytes from the
// first Cluster's start to its end, and the time its blocks reach then, in milliseconds. A file
// still being written ends in a Cluster cut off; the marks stop before it. A mark that comes less
// than written_mark_step_ms after the one before is left out, and a file that would need more than
// written_marks_most of them (a hostile one of many tiny Clusters or chunks, each far apart in
// time) gets none: the marks cannot fill the memory.
inline constexpr std::int64_t written_mark_step_ms = 100;
inline constexpr std::size_t written_marks_most = std::size_t{1} << 20;
struct written_mark {
    std::uint64_t bytes = 0;
    std::int64_t ms = 0;
    bool operator==(const written_mark&) const = default;
};
std::vector<written_mark> matroska_written_marks(block_reader& reader);
// The same marks of a whole MP4 or MOV file, from its sample tables: after each chunk of any
// track, the bytes of all tracks' chunks ended by then. Empty for a fragmented file or damaged
// tables.
std::vector<written_mark> mp4_written_marks(block_reader& reader);
// The same marks of an MPEG-TS or M2TS file (`packet_size` 188 or 192), read at points spread over
// the file: the bytes before a picture of its first video stream that starts there, all streams'
// and the packets' own, and the picture's time from the first. They end where the stream's clock
// jumps, and are empty when its times cannot be read.
std::vector<written_mark> transport_stream_written_marks(block_reader& reader,
                                                         std::size_t packet_size);
// The same marks of an AVI file, from its index "idx1": after each picture of its first video
// stream, the bytes of the "movi" list up to that picture's end and the time that picture ends.
// Empty without an index; they end with the first RIFF of a file larger than one.
std::vector<written_mark> avi_written_marks(block_reader& reader);
// The marks of a file of `kind` by the reader above for it; empty for other containers.
std::vector<written_mark> written_marks_of(block_reader& reader, container kind);

// MP4 and MOV: every sample of every track lies inside an mdat, as the chunk offsets, the
// chunk map and the sample sizes place them, no box is zeros, and every fragment's samples lie
// inside the mdat after its moof. `facts.duration_ms` becomes the video's own: its longest video
// track, fragments included.
void walk_samples(block_reader& reader, container_facts& facts);

// How far two durations may differ and still be taken for the same film: encoders round the
// last frame and drop a few samples.
inline std::int64_t allowed_difference_ms(std::int64_t duration_ms) {
    return std::max<std::int64_t>(1000, duration_ms / 200);
}

// Tenths of a second, cut rather than rounded, so that two durations a check tells apart by a
// second or more never print alike ("12.3 s").
inline std::string seconds_text(std::int64_t ms) {
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

}  // namespace brindle::media
