#include "scan/candidates.h"

#include <utility>

#include "platform/paths.h"
#include "scan/filters.h"

namespace brindle {

bool add_candidate(candidate_list& list, const std::string& dir, const std::string& name) {
    if (dir.empty() || name.empty()) return false;
    candidate_entry entry;
    entry.path = join_path(dir, name, platform::path_separator());
    list.entries.push_back(std::move(entry));
    return true;
}

}  // namespace brindle
