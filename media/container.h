#pragma once

// Which container a file is, told from its first bytes.

#include <cstddef>
#include <string_view>

namespace brindle::media {

enum class container {
    none,
    matroska,  // WebM included
    mp4,       // MOV and 3GP included
    mpeg_ts,   // 188-byte packets
    m2ts,      // 192-byte packets: a 4-byte time stamp before each
    mpeg_ps,
    avi,
    asf,  // WMV included
    wtv,
    flv,
    ogg,
    realmedia,
};

// The recognisers look at no more than this much of a file's start.
inline constexpr std::size_t recognition_size = 4096;
// How much of a file's start the probes read at once: the headers of most files lie within it.
inline constexpr std::size_t head_size = std::size_t{64} << 10;

// The video container the file's first bytes announce, or none. `head` is as much of the start
// of the file as could be read (up to recognition_size bytes are looked at).
container recognise_container(std::string_view head);

// A common kind of file that is not video, named for a user ("PNG image"); empty when the first
// bytes say nothing familiar.
std::string_view describe_other_file(std::string_view head);

// The container's name as a user knows it ("Matroska", "MPEG-TS").
std::string_view container_name(container kind);

}  // namespace brindle::media
