#include "encode/kept.h"

#include <algorithm>

namespace brindle {

kept_tracks kept_by_default_line(const media::track_inventory& source, bool source_is_matroska) {
    kept_tracks kept;
    kept.video = std::min(source.video, 1);
    kept.audio = source.audio;
    kept.subtitle =
        std::max(0, source.subtitle - static_cast<int>(source.unsupported_in_matroska.size()));
    // An MP4's cover art is a picture in its metadata or a track of one picture, neither of which
    // the line maps.
    kept.attachment = source_is_matroska ? source.attachment : 0;
    return kept;
}

std::string missing_tracks_text(const media::track_inventory& source,
                                const media::track_inventory& result) {
    if (!source.known || !result.known) return {};
    struct count {
        int had;
        int has;
        const char* what;
    };
    const count counts[] = {
        {source.video, result.video, "video tracks"},
        {source.audio, result.audio, "audio tracks"},
        {source.subtitle, result.subtitle, "subtitle tracks"},
        {source.attachment, result.attachment, "attachments"},
    };
    std::string text;
    for (const count& c : counts) {
        if (c.has >= c.had) continue;
        if (!text.empty()) text += "; ";
        text += "the result has " + std::to_string(c.has) + " of " + std::to_string(c.had) + " " +
                c.what;
    }
    return text;
}

bool lacks_kept_track(const kept_tracks& kept, const media::track_inventory& result) {
    if (!result.known) return false;
    return result.video < kept.video || result.audio < kept.audio ||
           result.subtitle < kept.subtitle || result.attachment < kept.attachment;
}

std::string left_out_text(const media::track_inventory& source) {
    std::string names;
    for (const std::string& name : source.unsupported_in_matroska) {
        if (!names.empty()) names += ", ";
        names += name;
    }
    if (names.empty()) return {};
    return "left out: " + names + " (Matroska cannot hold " +
           (source.unsupported_in_matroska.size() == 1 ? "it)" : "them)");
}

}  // namespace brindle
