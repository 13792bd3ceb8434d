#include "scan/scan.h"

#include <cstddef>
#include <set>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/walk.h"
#include "scan/filters.h"
#include "scan/hevc.h"

namespace brindle {

namespace {

using platform::entry_kind;

// A link to a folder, walked only after everything that can be reached without crossing one, so
// that a file reached both ways is listed under its own folder, where it can be replaced.
struct deferred_link {
    std::string path;
    platform::directory_id id;  // of the folder it led to when it was met
};

struct walk_state {
    const scan_filters& filters;
    candidate_list& list;
    line_sink say;
    std::size_t relative_start;  // where a path's part below the library folder begins
    std::string library;         // the library folder's real path; empty when it is not known
    // Folders walked and files examined so far: links lead to either a second time (and hard
    // links to a file), and each is taken once. Where a file system gives no identities, the path
    // limit still ends a cycle.
    std::set<platform::directory_id> walked;
    std::set<platform::directory_id> examined;
    std::vector<deferred_link> deferred;  // in the order met; walked in that order
    bool win32_names = platform::file_name_rules() == platform::name_rules::win32;
    bool hidden_links = platform::links_may_look_like_folders();
    char separator = platform::path_separator();
};

// The names worth keeping from a listing: folders to walk and files with the right extension.
// Everything else (98 of a typical folder's 100 names) is never stored or sorted.
bool wanted(const scan_filters& filters, std::string_view name, entry_kind kind) {
    // Passes over every name a user or a program chose to hide.
    if (name.empty() || name.front() == '.') return false;
    switch (kind) {
        case entry_kind::unknown:  // may still turn out to be a folder
        case entry_kind::directory:
        case entry_kind::directory_link:
            return true;
        case entry_kind::file:
            return matches_extension(name, filters.ext);
        case entry_kind::other:
            return false;
    }
    return false;
}

// Some file systems answer 0 for every file index; such an identity tells nothing apart.
bool remember(std::set<platform::directory_id>& seen, const platform::directory_id& id) {
    return id.index == 0 || seen.insert(id).second;
}

bool is_inside_library(const walk_state& state, const std::string& real) {
    return platform::lies_inside(real, state.library, std::string_view(&state.separator, 1));
}

// The tests of a file, ordered so that the clock is read only for files that passed the size
// test, a file is opened only when every other test passed, and the HEVC check, which reads the
// file, comes last.
void consider_file(walk_state& state, const platform::open_directory& dir,
                   const platform::dir_entry& entry, const std::string& path) {
    const scan_filters& filters = state.filters;
    const std::optional<platform::file_details> found = platform::file_details_of(dir, entry);
    if (!found || !found->is_regular) return;
    const platform::file_details& details = *found;
    if (!passes_size_test(details.size, filters.minsize)) return;
    const std::uint64_t age = age_in_days(platform::now_ticks(), details.creation_ticks);
    if (!passes_age_test(age, filters.days, filters.docurrent) &&
        !(filters.taken_whatever_its_age &&
          filters.taken_whatever_its_age(
              path, {details.volume, details.index, details.size, details.write_ticks}))) {
        return;
    }
    file_stamp stamp{details.volume, details.index, details.size, details.write_ticks};
    if (!details.identified) {
        // The same figures the encode compares with before it starts and before it installs.
        const path_state status = platform::status_of(path);
        if (status.what != path_state::kind::regular) return;
        stamp = status.stamp;
    }
    if (!remember(state.examined, {stamp.volume, stamp.index})) return;
    if (is_already_hevc(path)) return;
    if (!add_candidate(state.list, dir.path, entry.name)) return;
    candidate_entry& added = state.list.entries.back();
    added.relative_start = state.relative_start;
    added.stamp = stamp;
}

// A folder being walked: its entries, and how far the walk has come through them.
struct folder_frame {
    platform::open_directory dir;
    std::string real;  // the folder's real path, where it was looked up; else empty
    std::vector<platform::dir_entry> entries;
    std::size_t next = 0;
    std::size_t too_long = 0;  // names skipped for the length of their paths
};

// Lists `dir` onto the walk's stack, unless the walk has been there. `top_error` is given for
// the library folder only: a library that cannot be listed at all ends the run, where a subfolder
// only gets its line. Answers false when that happened.
bool push_folder(walk_state& state, platform::open_directory dir, std::string real,
                 std::vector<folder_frame>& stack, std::string* top_error) {
    if (!remember(state.walked, dir.id)) return true;
    folder_frame frame;
    const auto keep = [&](std::string_view name, entry_kind kind) {
        return wanted(state.filters, name, kind);
    };
    if (const op_result listed = platform::read_directory(dir, keep, frame.entries); !listed.ok()) {
        if (top_error != nullptr && frame.entries.empty()) {
            *top_error = listed.error;
            return false;
        }
        state.say("Cannot read the folder " + printable_path(dir.path) + ": " + listed.error +
                  "\n");
    }
    frame.dir = std::move(dir);
    frame.real = std::move(real);
    stack.push_back(std::move(frame));
    return true;
}

// A link out of the library would let whoever can write in it have files elsewhere read,
// encoded and moved into the library. A link must be shown to lead inside; a plain folder whose
// real path can be told must lie inside too, as a link may look like one. Answers whether the
// folder at `path`, whose real path is `real`, may be walked.
bool may_walk(const walk_state& state, const std::string& path, const std::string& real,
              bool link) {
    const bool known = !real.empty() && !state.library.empty();
    if (link && !known) {
        state.say("Passed over the link " + printable_path(path) +
                  ": where it leads cannot be told\n");
        return false;
    }
    if (known && !is_inside_library(state, real)) {
        state.say("Passed over the link " + printable_path(path) +
                  ": it leads out of the library folder\n");
        return false;
    }
    return true;
}

bool was_walked(const walk_state& state, const platform::directory_id& id) {
    return id.index != 0 && state.walked.contains(id);
}

// Opens the folder `entry` of `parent` and puts it on the stack, or among the links walked
// later: the last thing done with `parent`, which the stack may move.
void enter(walk_state& state, const folder_frame& parent, const platform::dir_entry& entry,
           const std::string& path, std::vector<folder_frame>& stack) {
    bool link = entry.kind == entry_kind::directory_link;
    platform::open_directory sub;
    if (const op_result opened =
            platform::open_subdirectory(parent.dir, entry.name, path, link, sub);
        !opened.ok()) {
        state.say("Cannot read the folder " + printable_path(path) + ": " + opened.error + "\n");
        return;
    }
    std::string real;
    if (link || state.hidden_links) {
        real = platform::real_path(sub);
        if (!may_walk(state, path, real, link)) return;
        // A link listed as a plain folder shows itself by a real path that is not its parent's
        // with its name added.
        if (!link && !real.empty() && !parent.real.empty()) {
            const bool ends = parent.real.back() == state.separator;
            link = real != (ends ? parent.real + entry.name
                                 : join_path(parent.real, entry.name, state.separator));
        }
    }
    if (link) {
        // Held by path and identity only: a library may hold more links than a process may
        // keep folders open.
        if (!was_walked(state, sub.id)) state.deferred.push_back({path, sub.id});
        return;
    }
    push_folder(state, std::move(sub), std::move(real), stack, nullptr);
}

void say_too_long(const walk_state& state, const std::string& dir, std::size_t count) {
    const std::string limit =
        std::to_string(platform::longest_path()) + (state.win32_names ? " characters" : " bytes");
    state.say("Passed over " + std::to_string(count) + (count == 1 ? " name" : " names") +
              " in the folder " + printable_path(dir) + ": " + (count == 1 ? "its" : "their") +
              " full " + (count == 1 ? "path" : "paths") + " would be longer than " + limit + "\n");
}

// Depth first, a subfolder's files at the point where it was met. The stack lives on the heap:
// POSIX paths allow folders two thousand deep, more than the call stack would take.
void walk_stack(walk_state& state, std::vector<folder_frame>& stack) {
    while (!stack.empty()) {
        folder_frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            if (frame.too_long > 0) say_too_long(state, frame.dir.path, frame.too_long);
            stack.pop_back();
            continue;
        }
        const platform::dir_entry& entry = frame.entries[frame.next++];
        const std::string path = join_path(frame.dir.path, entry.name, state.separator);
        if (state.win32_names) {
            const win32_name_fault fault = win32_name_fault_of(entry.name);
            if (fault != win32_name_fault::none) {
                state.say("Passed over " + printable_path(path) + ": " + describe(fault) + "\n");
                continue;
            }
        }
        const bool folder = entry.kind != entry_kind::file;
        // A folder needs room for a separator and a name (Windows: its search pattern "\*").
        if (platform::native_length(path) + (folder ? 2 : 0) > platform::longest_path()) {
            ++frame.too_long;
        } else if (folder) {
            enter(state, frame, entry, path, stack);  // `frame` may move
        } else {
            consider_file(state, frame.dir, entry, path);
        }
    }
}

// The link is opened again by its path, which leads where the link leads now; what it leads to
// is checked again.
void walk_link(walk_state& state, const deferred_link& link, std::vector<folder_frame>& stack) {
    if (was_walked(state, link.id)) return;
    platform::open_directory sub;
    if (const op_result opened = platform::open_top_directory(link.path, sub); !opened.ok()) {
        state.say("Cannot read the folder " + printable_path(link.path) + ": " + opened.error +
                  "\n");
        return;
    }
    std::string real = platform::real_path(sub);
    if (!may_walk(state, link.path, real, true)) return;
    push_folder(state, std::move(sub), std::move(real), stack, nullptr);
    walk_stack(state, stack);
}

// The tree as it stands without links first, then each link in the order met, the links found
// below one joining the end of the queue.
bool walk(walk_state& state, platform::open_directory top, std::string& top_error) {
    std::vector<folder_frame> stack;
    if (!push_folder(state, std::move(top), state.library, stack, &top_error)) return false;
    walk_stack(state, stack);
    // By index: walking a link adds to the queue.
    for (std::size_t next = 0; next < state.deferred.size(); ++next) {
        const deferred_link link = state.deferred[next];
        walk_link(state, link, stack);
    }
    return true;
}

}  // namespace

scan_result scan_directory(const scan_filters& filters, const std::string& dir,
                           candidate_list& list, const line_sink& say) {
    scan_result result;
    walk_state state{filters, list, say, dir.size() + 1, {}, {}, {}, {}};
    if (!state.say) state.say = [](const std::string& line) { platform::write_out(line); };
    platform::open_directory top;
    if (const op_result opened = platform::open_top_directory(dir, top); !opened.ok()) {
        result.top_error = opened.error;
        return result;
    }
    state.library = platform::real_path(top);
    result.library_listed = walk(state, std::move(top), result.top_error);
    return result;
}

}  // namespace brindle
