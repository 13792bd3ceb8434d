#pragma once

#include <string>
#include <vector>

namespace brindle {

struct candidate_entry {
    std::string path;  // full path: directory, separator, name
};

// The files chosen for encoding, in the order the scan met them.
struct candidate_list {
    std::vector<candidate_entry> entries;
};

// Appends dir + separator + name. Answers false (and leaves the list unchanged) when either
// text is empty.
bool add_candidate(candidate_list& list, const std::string& dir, const std::string& name);

}  // namespace brindle
