#pragma once

// The stream types of MPEG-2 systems, shared by transport streams (the program map) and program
// streams (the program stream map), and what the descriptors beside them tell.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "media/tracks.h"

namespace brindle::media {

struct ts_stream {
    unsigned pid = 0;
    track_entry entry;
};

// The track an elementary stream of `type` is, its descriptors (the ES info loop) deciding
// between audio and subtitles for private data. `blu_ray`: the stream comes from a Blu-ray
// (M2TS, or a program registered as HDMV), whose private types name audio and subtitle codings.
track_entry classify_stream(std::uint8_t type, std::string_view descriptors, bool blu_ray);

// The streams of a program map section (from its table id, without its CRC), in order.
std::vector<ts_stream> program_map_streams(std::string_view section, bool blu_ray);

// A stream type or id as the tables write it ("0x24").
std::string hex_byte(std::uint8_t value);

// Does a descriptor loop register the format `identifier` ("HDMV")?
bool registers_format(std::string_view descriptors, std::string_view identifier);

}  // namespace brindle::media
