#pragma once

// How an operation on a file ended, in the one shape every part of the program reads: the
// platform layer answers it, the replace sequence passes it on.

#include <cstdint>
#include <string>

#include "vocabulary/file_stamp.h"

namespace brindle {

// `error` holds the system's own text (strerror, FormatMessageW) for the user to read when it
// failed; `why` tells apart the failures that callers answer differently. `outside`: the name's
// folder is not one the replace steps may change, and `error` says which folder it is.
struct op_result {
    enum class fault { none, exists, cross_device, not_supported, outside, other };
    fault why = fault::none;
    std::string error;
    bool ok() const { return why == fault::none; }
};

// What stands at a path, looked at without following a link at its last component. For a
// regular file the stamp holds the figures the scan records. A path whose folder is missing
// counts as missing; `unknown` means the system would not tell (see `error`).
struct path_state {
    enum class kind { missing, regular, directory, other, unknown };
    kind what = kind::missing;
    file_stamp stamp;
    std::string error;
    // How many names (hard links) the file has; 0 when the system would not tell.
    std::uint64_t names = 0;
};

}  // namespace brindle
