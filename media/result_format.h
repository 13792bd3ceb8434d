#pragma once

// What an encoder's result is, for naming it: the container its first bytes announce, and
// whether a Matroska result is also valid WebM.

#include <string>
#include <string_view>

#include "media/container.h"
#include "media/tracks.h"

namespace brindle::media {

class block_reader;

struct result_format {
    container kind = container::none;
    // A Matroska file that WebM players accept: WebM's codings only (VP8, VP9, AV1, Vorbis,
    // Opus, WebVTT) and no attachments. HEVC is never WebM.
    bool valid_webm = false;
};

// The result's container from its first bytes, and for Matroska whether it is valid WebM (from
// its tracks, or from its DocType when the tracks cannot be read).
result_format read_result_format(block_reader& reader);
result_format read_result_format(const std::string& path);

// Is a Matroska file with `doc_type` ("webm", "matroska") and these tracks valid WebM?
bool is_valid_webm(std::string_view doc_type, const track_list& tracks);

// The extension a result is installed under, dot included: the source's own (`source_extension`,
// with or without its dot, kept as written) when it names the result's container (.mkv for
// Matroska, .webm for valid WebM, .mp4, .m4v and .mov for MP4/QuickTime, in any case), else
// ".mkv" for Matroska and ".mp4" for MP4. A result in any other container keeps the source's.
std::string installed_extension_for(std::string_view source_extension, container result,
                                    bool valid_webm);

}  // namespace brindle::media
