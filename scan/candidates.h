#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

struct candidate_entry {
    std::string path;  // full path: directory, separator, name
    // Where the part of `path` below the library folder begins (just past the separator that
    // follows the -dir text).
    std::size_t relative_start = 0;
    file_stamp stamp;  // as the scan saw the file
};

// The files chosen for encoding, in the order the scan met them.
struct candidate_list {
    std::vector<candidate_entry> entries;
};

// Appends dir + separator + name. Answers false (and leaves the list unchanged) when either
// text is empty.
bool add_candidate(candidate_list& list, const std::string& dir, const std::string& name);

}  // namespace brindle
