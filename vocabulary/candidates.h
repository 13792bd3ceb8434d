#pragma once

// The list the scan fills and the encode consumes.

#include <cstddef>
#include <string>
#include <vector>

#include "vocabulary/file_stamp.h"

namespace brindle {

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

}  // namespace brindle
