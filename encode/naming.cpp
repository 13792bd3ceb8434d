#include "encode/naming.h"

namespace brindle {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "264" at `at` names the codec when x, X, h or H comes right before it, or "h." / "H.", all
// within the part of the path that may change.
bool names_the_codec(const std::string& path, std::size_t at, std::size_t relative_start) {
    if (at + 3 < path.size() && is_digit(path[at + 3])) return false;
    const auto is_tag_letter = [](char c) { return c == 'x' || c == 'X' || c == 'h' || c == 'H'; };
    if (at >= relative_start + 1 && is_tag_letter(path[at - 1])) return true;
    return at >= relative_start + 2 && path[at - 1] == '.' &&
           (path[at - 2] == 'h' || path[at - 2] == 'H');
}

}  // namespace

std::string target_path_for(const std::string& source, std::size_t relative_start) {
    std::string target = source;
    for (std::size_t at = source.find("264", relative_start); at != std::string::npos;
         at = source.find("264", at + 1)) {
        if (names_the_codec(source, at, relative_start)) {
            target[at + 2] = '5';
            break;
        }
    }
    return target;
}

std::string backup_path_for(const std::string& source) { return source + ".bak"; }

std::string staging_path_for(const std::string& target, char separator, const std::string& run_id) {
    const std::size_t last_separator = target.rfind(separator);
    const std::string directory =
        last_separator == std::string::npos ? std::string() : target.substr(0, last_separator + 1);
    return directory + ".brindle-" + run_id + ".part";
}

}  // namespace brindle
