#include "platform/paths.h"

namespace brindle::platform {

bool lies_inside(std::string_view path, std::string_view folder, std::string_view separators) {
    if (folder.empty() || !path.starts_with(folder)) return false;
    if (path.size() == folder.size()) return true;
    const auto is_separator = [&](char c) { return separators.find(c) != std::string_view::npos; };
    return is_separator(folder.back()) || is_separator(path[folder.size()]);
}

std::string_view without_final_separators(std::string_view dir) {
    constexpr std::string_view long_form = "\\\\?\\";
    if (!dir.starts_with(long_form)) return dir;
    const auto is_separator = [](char c) { return c == '\\' || c == '/'; };
    while (dir.size() > long_form.size() && is_separator(dir.back())) {
        const std::string_view shorter = dir.substr(0, dir.size() - 1);
        // "\\?\C:\" and "\\?\Volume{...}\" name a volume's root only with their separator.
        if (shorter.substr(long_form.size()).find_first_of("\\/") == std::string_view::npos) break;
        dir = shorter;
    }
    return dir;
}

}  // namespace brindle::platform
