#pragma once

// The walk: folders opened and listed, and the details of what they hold.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vocabulary/op_result.h"

namespace brindle::platform {

// Whether a link to a folder can be listed as a plain folder: Wine shows POSIX links so, and a
// network redirector may too. Where it can, every folder's real path is worth a look.
bool links_may_look_like_folders();

enum class entry_kind {
    unknown,         // the listing did not tell; a closer look follows when the name is wanted
    file,            // a regular file
    directory,       // a folder, not a link
    directory_link,  // a link (symbolic link, junction) that leads to a folder
    other,           // a link to a file, a dangling link, a FIFO, socket or device
};

struct dir_entry {
    std::string name;  // UTF-8, never "." or ".."
    entry_kind kind = entry_kind::unknown;
    // Windows delivers size and times with the entry; POSIX asks for them later.
    bool has_details = false;
    std::uint64_t size = 0;
    std::uint64_t creation_ticks = 0;
    std::uint64_t write_ticks = 0;
};

// What identifies a file or folder on its volume: device and inode on POSIX, volume serial
// number and file index on Windows.
struct directory_id {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const directory_id&, const directory_id&) = default;
    friend auto operator<=>(const directory_id&, const directory_id&) = default;
};

// A folder opened for the walk, closed when this goes out of scope. On POSIX its entries are
// examined relative to the open folder, so a folder swapped for a link after it was listed
// leads nowhere else.
class open_directory {
public:
    open_directory() = default;
    ~open_directory();
    open_directory(open_directory&& other) noexcept;
    open_directory& operator=(open_directory&& other) noexcept;
    open_directory(const open_directory&) = delete;
    open_directory& operator=(const open_directory&) = delete;

    std::string path;  // as the walk names it
    directory_id id;   // from the open folder itself
    // The platform layer's own: a descriptor on POSIX, a HANDLE on Windows.
    std::intptr_t native = -1;
};

// Opens the folder `path` (a final link is followed). Answers false, with the system's reason in
// `error`, when it does not exist, is not a folder or cannot be opened.
// Opens the folder `path` (a final link is followed). Fails, with the system's reason, when it
// does not exist, is not a folder or cannot be opened.
op_result open_top_directory(const std::string& path, open_directory& dir);

// Opens the folder `name` of `parent`, whose path is `path`. Unless `through_link`, a link found
// in its place is refused (the listing said it was a folder).
op_result open_subdirectory(const open_directory& parent, std::string_view name,
                            const std::string& path, bool through_link, open_directory& dir);

// The folder's absolute path with every link resolved, of the folder itself as it is open;
// empty when it cannot be told.
std::string real_path(const open_directory& dir);

// Asked for each entry as it is read: keep it? Called again with the kind found on a closer
// look when it answered yes to entry_kind::unknown. What it refuses is never stored.
using entry_filter = std::function<bool(std::string_view name, entry_kind kind)>;

// Lists the entries of `dir` that `keep` wants (POSIX: sorted byte-wise by name, so every run
// Lists the entries of `dir` that `keep` wants (POSIX: sorted byte-wise by name, so every run
// lists a library in the same order; Windows: in the order the system delivers them). Fails,
// with the system's reason, when the listing fails; what was read before a failure part-way
// stays in `entries`.
op_result read_directory(const open_directory& dir, const entry_filter& keep,
                         std::vector<dir_entry>& entries);

struct file_details {
    bool is_regular = false;
    std::uint64_t size = 0;
    // Creation time as 100-nanosecond ticks since 1601-01-01 UTC (on POSIX the birth time where
    // the file system reports it, else the last-modification time).
    std::uint64_t creation_ticks = 0;
    std::uint64_t write_ticks = 0;
    // Whether volume and index are filled; Windows needs the file opened for them (status_of,
    // which gives the same figures the scan records).
    bool identified = false;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};

// Details of the entry of `dir`, without following a final link; from the listing where it
// delivered them. Nothing when the entry cannot be examined.
std::optional<file_details> file_details_of(const open_directory& dir, const dir_entry& entry);

}  // namespace brindle::platform
