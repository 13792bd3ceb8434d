#include "scan/candidates.h"

#include "platform/platform.h"
#include "scan/filters.h"

namespace brindle {

bool add_candidate(candidate_list& list, const std::string& dir, const std::string& name) {
    if (dir.empty() || name.empty()) return false;
    list.entries.push_back({join_path(dir, name, platform::path_separator())});
    return true;
}

}  // namespace brindle
