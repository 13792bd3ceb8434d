#pragma once

// What a result kept of its source's tracks, compared from both files' headers.

#include <string>

#include "media/tracks.h"

namespace brindle {

// Which of the source's tracks a line must keep: the default lines keep the first video track,
// every audio and subtitle track Matroska can hold, and the attachments of a Matroska source.
struct kept_tracks {
    int video = 0;
    int audio = 0;
    int subtitle = 0;
    int attachment = 0;
};

// What the default line keeps of a source with these tracks.
kept_tracks kept_by_default_line(const media::track_inventory& source, bool source_is_matroska);

// What the result lacks of the source's tracks, kind by kind, "the result has 0 of 2 subtitle
// tracks; the result has 0 of 1 attachments"; empty when it lacks nothing or either list is
// unknown.
std::string missing_tracks_text(const media::track_inventory& source,
                                const media::track_inventory& result);

// Does the result lack a track of those `kept`? Never when its tracks are unknown.
bool lacks_kept_track(const kept_tracks& kept, const media::track_inventory& result);

// The tracks Matroska cannot hold, named for the outcome line: "left out: teletext (Matroska
// cannot hold it)"; empty when there are none.
std::string left_out_text(const media::track_inventory& source);

}  // namespace brindle
