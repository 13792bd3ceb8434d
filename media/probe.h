#pragma once

// What a video file is, read from its container headers only: a few small reads per file, no
// decoding and no external program.

#include <cstdint>
#include <optional>
#include <string>

#include "media/picture.h"
#include "media/result_format.h"
#include "media/tracks.h"

namespace brindle {

namespace media {
class byte_source;
class block_reader;
}  // namespace media

struct source_probe {
    // The file is a video container this program will hand to the encoder (Matroska/WebM,
    // MP4/MOV/3GP, MPEG-TS, M2TS, MPEG-PS, AVI, ASF/WMV, WTV, FLV, Ogg, RealMedia).
    bool is_video_container = false;
    // When not: why, in plain words for a "Not converted" line ("it is not a video file (PNG
    // image)", "it is not a video file (audio only)", "it cannot be read: ...").
    std::string fault;
    // The duration the container declares, in milliseconds, when it can be read.
    std::optional<std::int64_t> duration_ms;
    // The tracks its headers list, to compare the result's with.
    media::track_inventory tracks;
};

// Looks at the source before its encoder starts. Opens it without blocking and refuses anything
// but a regular file.
source_probe probe_source(const std::string& path);
// The same over bytes the caller opened (tests and benchmarks use memory and open files).
source_probe probe_source(media::byte_source& source);

// What an encode needs to know of its source, through one open of it: the probe, and for a video
// container the picture its headers describe and its container.
struct source_headers {
    source_probe probe;
    media::picture_properties picture;
    media::container kind = media::container::none;
};
source_headers read_source_headers(const std::string& path);

struct result_verdict {
    bool whole = false;
    // When not whole: why, in plain words with the figures that matter ("the result lasts 8.0 s,
    // the source 20.0 s", "the result is not a complete Matroska file: its Segment declares
    // 1234567 bytes, the file holds 65536").
    std::string fault;
    std::optional<std::int64_t> duration_ms;
    // The tracks its headers list, and its container for naming it; filled in whenever the
    // result is a Matroska or MP4 file, whole or not.
    media::track_inventory tracks;
    media::result_format format;
};

// Decides whether the encoder's output is a whole conversion: a regular file holding a complete
// Matroska or MP4/MOV container, every frame it declares there (not ending in zeros), with a
// video track whose duration is at least one second and differs from the source's (when known)
// by no more than the larger of one second and 0.5 %.
result_verdict check_result(const std::string& path,
                            std::optional<std::int64_t> source_duration_ms);
result_verdict check_result(media::byte_source& source,
                            std::optional<std::int64_t> source_duration_ms);

// The duration rule alone: a known duration of at least one second, short of or beyond the
// source's (when known) by no more than the larger of one second and 0.5 %. Answers the fault,
// empty when none.
std::string judge_result_duration(std::optional<std::int64_t> result_ms,
                                  std::optional<std::int64_t> source_ms);

// Does the container itself say it holds HEVC video: a Matroska video track whose codec id is
// V_MPEGH/ISO/HEVC, an MP4/MOV video track whose sample entry is hvc1 or hev1, an MPEG-TS, M2TS
// or MPEG-PS stream of type 0x24 (or, in a program stream without a map, video that starts with
// HEVC's parameter sets), an AVI video stream handled as HEVC, H265, HVC1 or HEV1, or an FLV
// video tag naming hvc1? Reads through `reader`, so that the bytes a caller has already read
// cost nothing more, and no more than the head of a stream.
bool declares_hevc_video(media::block_reader& reader);

}  // namespace brindle
