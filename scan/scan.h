#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "scan/candidates.h"

namespace brindle {

struct scan_filters {
    std::int32_t days = 0;
    std::string ext;
    std::int32_t minsize = 0;
    bool docurrent = false;
    // Asked only of a file outside the age window that passes the other tests: should it be taken
    // whatever its age (an earlier run left it over)? Empty: no such file.
    std::function<bool(const std::string& path, const file_stamp& stamp)> taken_whatever_its_age;
};

struct scan_result {
    bool library_listed = false;
    // When the library folder itself could not be listed: why, in the system's words.
    std::string top_error;
};

// Takes each line the walk has to say, line break included.
using line_sink = std::function<void(const std::string& line)>;

// Walks `dir` depth first and appends every chosen file to `list`: regular files only, each once
// however many links lead to it. Links to folders are followed only into `dir`'s own tree. A
// subfolder that cannot be listed, links that lead out of the tree, names too long for the system
// and names Windows cannot open get a line through `say` (standard output when empty) and the walk
// goes on.
scan_result scan_directory(const scan_filters& filters, const std::string& dir,
                           candidate_list& list, const line_sink& say = {});

}  // namespace brindle
