// The walk on Linux: folders are opened and listed through descriptors, and their entries are
// examined relative to the open folder.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/posix_support.h"
#include "platform/walk.h"

namespace brindle::platform {

using posix::open_retrying;
using posix::ticks_from_unix;
using posix::unique_fd;

bool links_may_look_like_folders() { return false; }

open_directory::~open_directory() {
    if (native >= 0) ::close(static_cast<int>(native));
}

open_directory::open_directory(open_directory&& other) noexcept
    : path(std::move(other.path)), id(other.id), native(std::exchange(other.native, -1)) {}

open_directory& open_directory::operator=(open_directory&& other) noexcept {
    if (this != &other) {
        if (native >= 0) ::close(static_cast<int>(native));
        path = std::move(other.path);
        id = other.id;
        native = std::exchange(other.native, -1);
    }
    return *this;
}

namespace {

// Takes over the descriptor `fd` of a folder just opened (or -1 with errno set).
op_result adopt_directory(int fd, const std::string& path, open_directory& dir) {
    if (fd < 0) return posix::failure(errno);
    open_directory opened;
    opened.native = fd;
    opened.path = path;
    // The identity of the folder as it is open, not a second lookup of its path.
    struct stat status;
    if (::fstat(fd, &status) != 0) return posix::failure(errno);
    opened.id = {status.st_dev, status.st_ino};
    dir = std::move(opened);
    return {};
}

// O_NONBLOCK: a FIFO put where a folder was listed must not hang the walk (O_DIRECTORY refuses
// it, and this makes sure it never waits first).
constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

// What stands under `name` in the folder `dir_fd`, for a listing that did not say.
entry_kind kind_by_status(int dir_fd, const char* name) {
    struct stat status;
    if (::fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return entry_kind::other;
    if (S_ISREG(status.st_mode)) return entry_kind::file;
    if (S_ISDIR(status.st_mode)) return entry_kind::directory;
    if (!S_ISLNK(status.st_mode)) return entry_kind::other;
    // A link counts only when it leads to a folder; a link to a file is never a candidate, and a
    // dangling link leads nowhere.
    if (::fstatat(dir_fd, name, &status, 0) != 0) return entry_kind::other;
    return S_ISDIR(status.st_mode) ? entry_kind::directory_link : entry_kind::other;
}

entry_kind kind_by_type(unsigned char type) {
    switch (type) {
        case DT_REG:
            return entry_kind::file;
        case DT_DIR:
            return entry_kind::directory;
        case DT_UNKNOWN:
        case DT_LNK:
            return entry_kind::unknown;
        default:
            return entry_kind::other;
    }
}

file_details details_from(const struct statx& status) {
    file_details details;
    const auto& creation = (status.stx_mask & STATX_BTIME) ? status.stx_btime : status.stx_mtime;
    details.is_regular = S_ISREG(status.stx_mode);
    details.size = status.stx_size;
    details.creation_ticks = ticks_from_unix(creation.tv_sec, creation.tv_nsec);
    details.write_ticks = ticks_from_unix(status.stx_mtime.tv_sec, status.stx_mtime.tv_nsec);
    // The same device number fstat reports, so that files and folders compare alike.
    details.volume = makedev(status.stx_dev_major, status.stx_dev_minor);
    details.index = status.stx_ino;
    details.identified = true;
    return details;
}

constexpr unsigned details_mask = STATX_TYPE | STATX_SIZE | STATX_BTIME | STATX_MTIME | STATX_INO;

}  // namespace

op_result open_top_directory(const std::string& path, open_directory& dir) {
    return adopt_directory(open_retrying(path.c_str(), directory_flags), path, dir);
}

op_result open_subdirectory(const open_directory& parent, std::string_view name,
                            const std::string& path, bool through_link, open_directory& dir) {
    const std::string name_text(name);
    const int flags = directory_flags | (through_link ? 0 : O_NOFOLLOW);
    int fd;
    do fd = ::openat(static_cast<int>(parent.native), name_text.c_str(), flags);
    while (fd < 0 && errno == EINTR);
    return adopt_directory(fd, path, dir);
}

std::string real_path(const open_directory& dir) {
    // The kernel names the folder that is open, whatever its path leads to by now.
    std::vector<char> buffer(PATH_MAX + 1);
    const std::string link = "/proc/self/fd/" + std::to_string(dir.native);
    const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length > 0 && static_cast<std::size_t>(length) < buffer.size() && buffer[0] == '/') {
        return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    char* resolved = ::realpath(dir.path.c_str(), nullptr);
    if (resolved == nullptr) return {};
    std::string text = resolved;
    std::free(resolved);
    return text;
}

op_result read_directory(const open_directory& dir, const entry_filter& keep,
                         std::vector<dir_entry>& entries) {
    // The entries are read straight from the folder's own descriptor, which stays open for the
    // examination of its entries: a directory stream would need a second descriptor and a few
    // calls more per folder, and a library has thousands of folders.
    const int fd = static_cast<int>(dir.native);
    // 32 KiB, aligned for the records, and not cleared: the kernel writes what is read.
    constexpr std::size_t buffer_words = 4096;
    const auto buffer = std::make_unique_for_overwrite<std::uint64_t[]>(buffer_words);
    const std::size_t first = entries.size();
    op_result result;
    for (;;) {
        const ssize_t got = ::getdents64(fd, buffer.get(), buffer_words * sizeof(std::uint64_t));
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            result = posix::failure(errno);
            break;
        }
        const char* const data = reinterpret_cast<const char*>(buffer.get());
        for (ssize_t at = 0; at < got;) {
            const auto* found = reinterpret_cast<const struct dirent64*>(data + at);
            at += found->d_reclen;
            const std::string_view name = found->d_name;
            if (name == "." || name == "..") continue;
            entry_kind kind = kind_by_type(found->d_type);
            if (!keep(name, kind)) continue;
            if (kind == entry_kind::unknown) {
                kind = kind_by_status(fd, found->d_name);
                if (!keep(name, kind)) continue;
            }
            dir_entry& entry = entries.emplace_back();
            entry.name = name;
            entry.kind = kind;
        }
    }
    std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
              [](const dir_entry& a, const dir_entry& b) { return a.name < b.name; });
    return result;
}

std::optional<file_details> file_details_of(const open_directory& dir, const dir_entry& entry) {
    struct statx status;
    if (::statx(static_cast<int>(dir.native), entry.name.c_str(),
                AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, details_mask, &status) != 0) {
        return std::nullopt;
    }
    return details_from(status);
}

}  // namespace brindle::platform
