#pragma once

// The small types the scan, the encode and the platform layer all speak. Nothing here includes
// anything of the program's own: every other part may use it.

#include <cstdint>

namespace brindle {

// What tells that a file is still the very file that was chosen: its identity on its volume
// (device and inode; volume serial number and file index), its size and its last-write time.
struct file_stamp {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::uint64_t write_ticks = 0;  // 100-nanosecond ticks since 1601-01-01 UTC
    friend bool operator==(const file_stamp&, const file_stamp&) = default;
};

}  // namespace brindle
