#pragma once

#include <cstddef>
#include <string>

namespace brindle {

inline constexpr std::size_t hevc_probe_size = 16384;

// Does `data` hold the Matroska codec identifier of HEVC video in a window that starts at
// offset 16,367 or earlier? Only the `size` bytes given are searched.
bool contains_hevc_signature(const char* data, std::size_t size);

// Reads the first 16 KiB of the file and looks for the signature, then asks the container: a
// Matroska video track with the HEVC codec id before the first Cluster, an MP4/MOV video track
// whose sample entry is hvc1 or hev1. A file that cannot be read, or is not a regular file,
// answers false.
bool is_already_hevc(const std::string& path);

}  // namespace brindle
