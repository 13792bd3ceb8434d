#pragma once

#include <cstdint>
#include <string>

#include "scan/candidates.h"

namespace brindle {

struct scan_filters {
    std::int32_t days = 0;
    std::string ext;
    std::int32_t minsize = 0;
    bool docurrent = false;
};

// Walks `dir` depth first and appends every chosen file to `list`. A directory that cannot be
// listed contributes nothing; paths too long for the system are skipped, never cut; a directory
// the walk is already inside (through a link) is not entered again.
void scan_directory(const scan_filters& filters, const std::string& dir, candidate_list& list);

}  // namespace brindle
