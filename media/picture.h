#pragma once

// The picture a video file shows, as its headers describe it: size as displayed, frame rate,
// bit depth and chroma, colour, HDR static metadata and field order. Read from the container's
// own elements and boxes and from the video stream's parameter sets (H.264 and HEVC), so that a
// result's picture can be compared with its source's without decoding either.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brindle::media {

class block_reader;

enum class chroma_format { unknown, grey, yuv420, yuv422, yuv444 };

// Interlaced without a known order: the stream is coded in fields, the headers say no more.
enum class field_order { unknown, progressive, interlaced, top_first, bottom_first };

// In the units of HEVC's and H.264's SEI messages: chromaticities in 0.00002, luminance in
// 0.0001 cd/m2; the primaries in the order green, blue, red.
struct mastering_display {
    std::uint32_t primaries[6] = {};
    std::uint32_t white[2] = {};
    std::uint32_t max_luminance = 0;
    std::uint32_t min_luminance = 0;
};

struct content_light {
    std::uint32_t max_cll = 0;
    std::uint32_t max_fall = 0;
};

// Codes of ITU-T H.273, as the parameter sets, Matroska's Colour and MP4's colr carry them.
inline constexpr int unspecified_colour = 2;

struct picture_properties {
    // A video track's header was found; every other field may still be unknown (0).
    bool known = false;
    // The size as displayed: the coded size after cropping, stretched by the sample aspect ratio
    // and turned by the container's rotation.
    int width = 0;
    int height = 0;
    // Frames a second as a fraction; 0 when unknown or variable.
    std::uint64_t rate_num = 0;
    std::uint64_t rate_den = 0;
    int bit_depth = 0;
    chroma_format chroma = chroma_format::unknown;
    // The colour description was read (from the stream or the container); when false the three
    // codes and the range below tell nothing.
    bool colour_known = false;
    int primaries = unspecified_colour;
    int transfer = unspecified_colour;
    int matrix = unspecified_colour;
    bool full_range = false;
    std::optional<mastering_display> mastering;
    std::optional<content_light> light;
    field_order fields = field_order::unknown;
};

// What one parameter set or SEI message says; the containers' readers merge it with their own.
struct stream_picture {
    bool read = false;
    int coded_width = 0, coded_height = 0;  // after the cropping window
    int sar_num = 0, sar_den = 0;           // 0 when not told
    int bit_depth = 0;
    chroma_format chroma = chroma_format::unknown;
    bool colour_described = false;
    int primaries = unspecified_colour, transfer = unspecified_colour, matrix = unspecified_colour;
    bool full_range = false;
    std::uint64_t rate_num = 0, rate_den = 0;
    field_order fields = field_order::unknown;
};

enum class video_coding { h264, hevc };

// A sequence parameter set, its NAL header included, with emulation prevention bytes still in.
stream_picture parse_sequence_parameter_set(std::string_view nal, video_coding coding);

// The HDR static metadata of an SEI NAL unit (header included), added to what `into` holds.
void parse_sei(std::string_view nal, video_coding coding,
               std::optional<mastering_display>& mastering, std::optional<content_light>& light);

// Calls `visit(nal)` for each NAL unit of an Annex B byte stream (start codes 00 00 01).
template <typename Visit>
void for_each_annex_b_unit(std::string_view stream, Visit visit);

// Folds one NAL unit into `picture` (the first SPS) and the HDR metadata (every SEI).
void read_units_of_one(std::string_view nal, video_coding coding, stream_picture& picture,
                       std::optional<mastering_display>& mastering,
                       std::optional<content_light>& light);

// The first SPS of a decoder configuration record: avcC (H.264) or hvcC (HEVC).
stream_picture read_codec_configuration(std::string_view config, video_coding coding);

// Walks the NAL units of `units` (Annex B, or length-prefixed with `length_size` bytes) and
// folds the first SPS and every SEI into `picture`.
void read_units(std::string_view units, int length_size, video_coding coding,
                stream_picture& picture, std::optional<mastering_display>& mastering,
                std::optional<content_light>& light);

// The sequence header and extensions of an MPEG-1 or MPEG-2 video stream, up to the first
// picture's coding extension.
stream_picture parse_mpeg2_video(std::string_view stream);

// The displayed picture of a stream's parameter sets, before a container says more.
picture_properties from_stream(const stream_picture& stream);

// The first video track's picture, from the headers of Matroska, MP4/MOV and MPEG-TS/M2TS (the
// parameter sets of the first access unit); unknown for other containers.
picture_properties read_picture_properties(block_reader& reader);
picture_properties read_picture_properties(const std::string& path);

// Readers of each container, for read_picture_properties.
picture_properties read_matroska_picture(block_reader& reader);
picture_properties read_mp4_picture(block_reader& reader);
// MP4's first video track from the bodies of its tkhd, stsd and stts and mdhd's timescale.
picture_properties mp4_picture(std::string_view header, std::string_view descriptions,
                               std::string_view times, std::uint64_t timescale);
picture_properties read_transport_stream_picture(block_reader& reader, std::size_t packet_size);

template <typename Visit>
void for_each_annex_b_unit(std::string_view stream, Visit visit) {
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i + 2 < stream.size(); ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
        if (start != std::string_view::npos) {
            std::size_t end = i;
            while (end > start && stream[end - 1] == 0) --end;
            visit(stream.substr(start, end - start));
        }
        start = i + 3;
        i += 2;
    }
    if (start != std::string_view::npos && start < stream.size()) visit(stream.substr(start));
}

}  // namespace brindle::media
