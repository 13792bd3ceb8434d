#pragma once

// Whether a result shows the picture its source shows, as both files' headers describe it: the
// size as displayed, the frame rate, bit depth and chroma, the colour, HDR static metadata and
// the fields.

#include <string>
#include <vector>

#include "media/picture.h"

namespace brindle {

struct picture_changes {
    // Each difference in words, the result's value first: "the picture is 320x180, the source
    // 1280x720", "5 frames a second, the source 25".
    std::vector<std::string> changes;
    // A grey result from a source in colour: refused whatever the line.
    bool colour_lost = false;
};

// Compares what both headers tell; a property either file leaves unknown is not compared.
// `deinterlaced`: the line turns an interlaced source's fields into pictures on purpose, so the
// result is progressive at twice the source's frame rate.
picture_changes compare_pictures(const media::picture_properties& source,
                                 const media::picture_properties& result, bool deinterlaced);

// Fields coded apart, in any order.
bool is_interlaced(media::field_order fields);

// The changes joined with "; "; empty when there are none.
std::string changes_text(const picture_changes& found);

// A frame rate in words: "25", "29.97", "23.976".
std::string rate_text(std::uint64_t num, std::uint64_t den);

}  // namespace brindle
