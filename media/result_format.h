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

}  // namespace brindle::media
