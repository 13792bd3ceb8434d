#include "platform/paths.h"

namespace brindle::platform {

bool lies_inside(std::string_view path, std::string_view folder, std::string_view separators) {
    if (folder.empty() || !path.starts_with(folder)) return false;
    if (path.size() == folder.size()) return true;
    const auto is_separator = [&](char c) { return separators.find(c) != std::string_view::npos; };
    return is_separator(folder.back()) || is_separator(path[folder.size()]);
}

}  // namespace brindle::platform
