#include "scan/scan.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/platform.h"
#include "scan/filters.h"
#include "scan/hevc.h"

namespace brindle {

namespace {

// A file path, and a directory's search pattern (its path, a separator and "*"), must fit this
// many characters as the system counts them. Longer paths are skipped: a cut path would name
// another file.
constexpr std::size_t max_path_length = 255;

// The tests that follow the extension test, ordered so that the clock is read only for files
// that passed the size test and a file is opened only when every other test passed.
bool is_candidate(const scan_filters& filters, const std::string& full_path,
                  const platform::dir_entry& entry) {
    platform::file_details details;
    if (!platform::file_details_of(full_path, entry, details)) return false;
    if (!passes_size_test(details.size, filters.minsize)) return false;
    const std::uint64_t age = age_in_days(platform::now_ticks(), details.creation_ticks);
    if (!passes_age_test(age, filters.days, filters.docurrent)) return false;
    return !is_already_hevc(full_path);
}

// `inside` holds the identity of every directory the walk is currently in. Links are followed
// (Windows reports a directory link with the directory attribute), so a link back up the tree
// would otherwise be walked until the path limit stops it, listing the same files again.
void walk(const scan_filters& filters, const std::string& dir, candidate_list& list,
          std::vector<platform::directory_id>& inside) {
    if (platform::native_length(dir) + 2 > max_path_length) return;

    platform::directory_id id;
    const bool known = platform::directory_identity(dir, id);
    if (known) {
        if (std::find(inside.begin(), inside.end(), id) != inside.end()) return;
        inside.push_back(id);
    }

    std::vector<platform::dir_entry> entries;
    if (platform::list_directory(dir, entries)) {
        const char separator = platform::path_separator();
        for (const platform::dir_entry& entry : entries) {
            // Passes over "." and "..", and every name a user or a program chose to hide.
            if (entry.name.empty() || entry.name.front() == '.') continue;
            if (entry.is_directory) {
                walk(filters, join_path(dir, entry.name, separator), list, inside);
                continue;
            }
            if (!matches_extension(entry.name, filters.ext)) continue;
            const std::string full_path = join_path(dir, entry.name, separator);
            if (platform::native_length(full_path) > max_path_length) continue;
            if (is_candidate(filters, full_path, entry)) add_candidate(list, dir, entry.name);
        }
    }

    if (known) inside.pop_back();
}

}  // namespace

void scan_directory(const scan_filters& filters, const std::string& dir, candidate_list& list) {
    std::vector<platform::directory_id> inside;
    walk(filters, dir, list, inside);
}

}  // namespace brindle
