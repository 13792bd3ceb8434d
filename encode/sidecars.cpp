#include "encode/sidecars.h"

#include <optional>
#include <string_view>
#include <vector>

#include "encode/naming.h"
#include "media/container.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/walk.h"

namespace brindle {

namespace {

// A file whose first bytes announce a video container is a video of its own, whatever its name.
// Only a regular file is opened: a link or anything else is never a sidecar.
bool is_plain_file_not_video(const std::string& path) {
    // The reader follows a link that the walk cannot tell (under Wine); the state does not.
    if (platform::status_of(path).what != path_state::kind::regular) return false;
    platform::file_reader reader;
    if (reader.open(path) != platform::file_reader::outcome::opened) return false;
    std::string head(media::recognition_size, '\0');
    head.resize(reader.read_at(0, head.data(), head.size()));
    return media::recognise_container(head) == media::container::none;
}

// The folder to list: the source's folder, or the working directory for a bare name.
std::string folder_to_list(const std::string& path, const char* separators) {
    std::string folder = folder_of(path, separators);
    return folder.empty() ? "." : folder;
}

// Is `name` a sidecar of one of `videos` (their names without extension)?
bool belongs_to_another(std::string_view name, const std::vector<std::string>& videos,
                        bool ignore_case) {
    for (const std::string& video : videos) {
        if (is_sidecar_name(name, video, ignore_case)) return true;
    }
    return false;
}

}  // namespace

std::string rename_sidecars(file_ops& ops, const std::string& source,
                            const std::string& installed) {
    const char* separators = platform::path_separators();
    const std::size_t name_start = file_name_start(source, separators);
    const std::string prefix = source.substr(0, name_start);
    const std::string source_name = source.substr(name_start);
    const std::string installed_name = installed.substr(file_name_start(installed, separators));
    const bool ignore_case = platform::file_name_rules() == platform::name_rules::win32;
    const auto new_name = [&](std::string_view name) {
        return sidecar_name_for(name, source_name, installed_name, ignore_case);
    };

    platform::open_directory dir;
    if (!platform::open_top_directory(folder_to_list(source, separators), dir).ok()) {
        return "its sidecars were not renamed: the folder cannot be listed";
    }
    std::vector<platform::dir_entry> entries;
    const auto keep = [&](std::string_view name, platform::entry_kind kind) {
        return (kind == platform::entry_kind::file || kind == platform::entry_kind::unknown) &&
               new_name(name).has_value();
    };
    const op_result listed = platform::read_directory(dir, keep, entries);
    std::string unrenamed;
    if (!listed.ok()) unrenamed = "its sidecars may not all be renamed: " + listed.error;
    // Another video whose name begins like the source's (Film.x264-sample.mp4) keeps the files
    // named after it (Film.x264-sample.srt): they are its sidecars, not the source's.
    std::vector<std::string> other_videos;
    std::vector<bool> is_plain(entries.size(), false);
    const std::string source_stem(stem_of(source_name));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind != platform::entry_kind::file) continue;
        is_plain[i] = is_plain_file_not_video(prefix + entries[i].name);
        const std::string stem(stem_of(entries[i].name));
        if (!is_plain[i] && !same_file_name(stem, source_stem, ignore_case)) {
            other_videos.push_back(stem);
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const platform::dir_entry& entry = entries[i];
        if (!is_plain[i] || belongs_to_another(entry.name, other_videos, ignore_case)) continue;
        const std::string from = prefix + entry.name;
        const std::string to = prefix + *new_name(entry.name);
        const op_result renamed = ops.rename_no_replace(from, to);
        if (renamed.ok()) continue;
        if (!unrenamed.empty()) unrenamed += "; ";
        unrenamed +=
            "the sidecar " + entry.name + " keeps its name: " +
            (renamed.why == op_result::fault::exists ? to.substr(name_start) + " already exists"
                                                     : renamed.error);
    }
    return unrenamed;
}

}  // namespace brindle
