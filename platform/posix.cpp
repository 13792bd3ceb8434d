// The platform layer on Linux (glibc). Names are bytes and pass through unchanged.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <utility>

#include "platform/platform.h"

extern char** environ;

namespace brindle::platform {
namespace {

// Closes the descriptor it holds when it goes out of scope.
class unique_fd {
public:
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now, so that a failing close (a delayed write error) can be seen.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Seconds between 1601-01-01 and 1970-01-01, the two epochs.
constexpr std::int64_t epoch_difference_seconds = 11644473600;
constexpr std::uint64_t ticks_per_second = 10000000;

// Unix time to 100-ns ticks since 1601. Times before 1601 become 0 and times the count cannot
// hold become its largest value, so no arithmetic here can overflow.
std::uint64_t ticks_from_unix(std::int64_t seconds, std::uint32_t nanoseconds) {
    if (seconds < -epoch_difference_seconds) return 0;
    const auto since_1601 = static_cast<std::uint64_t>(seconds + epoch_difference_seconds);
    constexpr auto max_ticks = std::numeric_limits<std::uint64_t>::max();
    if (since_1601 > (max_ticks - ticks_per_second) / ticks_per_second) return max_ticks;
    return since_1601 * ticks_per_second + nanoseconds / 100;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool copy_by_read_write(int in, int out) {
    // 128 KiB blocks: with the flush that follows, larger writes were about three times slower
    // on a virtual disk measured here.
    std::vector<char> buffer(std::size_t{128} << 10);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!write_all(out, buffer.data(), static_cast<std::size_t>(got))) return false;
    }
}

// The kernel copies without passing the data through user space where it can (and shares
// extents on file systems that support it); where it cannot, for instance between two file
// systems, the plain loop goes on from wherever the file offsets stand.
bool copy_contents(int in, int out) {
    for (;;) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (copied > 0) continue;
        if (copied == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
            errno == ETXTBSY || errno == EPERM) {
            return copy_by_read_write(in, out);
        }
        return false;
    }
}

}  // namespace

char path_separator() { return '/'; }

const char* path_separators() { return "/"; }

std::size_t native_length(std::string_view utf8) { return utf8.size(); }

std::size_t longest_path() { return PATH_MAX - 1; }

name_rules file_name_rules() { return name_rules::posix; }

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
bool adopt_directory(int fd, const std::string& path, open_directory& dir, std::string& error) {
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    open_directory opened;
    opened.native = fd;
    opened.path = path;
    // The identity of the folder as it is open, not a second lookup of its path.
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        error = std::strerror(errno);
        return false;
    }
    opened.id = {status.st_dev, status.st_ino};
    dir = std::move(opened);
    return true;
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

void fill_details(const struct statx& status, file_details& details) {
    const auto& creation = (status.stx_mask & STATX_BTIME) ? status.stx_btime : status.stx_mtime;
    details.is_regular = S_ISREG(status.stx_mode);
    details.size = status.stx_size;
    details.creation_ticks = ticks_from_unix(creation.tv_sec, creation.tv_nsec);
    details.write_ticks = ticks_from_unix(status.stx_mtime.tv_sec, status.stx_mtime.tv_nsec);
    // The same device number fstat reports, so that files and folders compare alike.
    details.volume = makedev(status.stx_dev_major, status.stx_dev_minor);
    details.index = status.stx_ino;
    details.identified = true;
}

constexpr unsigned details_mask = STATX_TYPE | STATX_SIZE | STATX_BTIME | STATX_MTIME | STATX_INO;

}  // namespace

bool open_top_directory(const std::string& path, open_directory& dir, std::string& error) {
    return adopt_directory(open_retrying(path.c_str(), directory_flags), path, dir, error);
}

bool open_subdirectory(const open_directory& parent, std::string_view name, const std::string& path,
                       bool through_link, open_directory& dir, std::string& error) {
    const std::string name_text(name);
    const int flags = directory_flags | (through_link ? 0 : O_NOFOLLOW);
    int fd;
    do fd = ::openat(static_cast<int>(parent.native), name_text.c_str(), flags);
    while (fd < 0 && errno == EINTR);
    return adopt_directory(fd, path, dir, error);
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

bool read_directory(const open_directory& dir, const entry_filter& keep,
                    std::vector<dir_entry>& entries, std::string& error) {
    // The entries are read straight from the folder's own descriptor, which stays open for the
    // examination of its entries: a directory stream would need a second descriptor and a few
    // calls more per folder, and a library has thousands of folders.
    const int fd = static_cast<int>(dir.native);
    // 32 KiB, aligned for the records, and not cleared: the kernel writes what is read.
    constexpr std::size_t buffer_words = 4096;
    const auto buffer = std::make_unique_for_overwrite<std::uint64_t[]>(buffer_words);
    const std::size_t first = entries.size();
    bool complete = true;
    for (;;) {
        const ssize_t got = ::getdents64(fd, buffer.get(), buffer_words * sizeof(std::uint64_t));
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
            complete = false;
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
    return complete;
}

bool file_details_of(const open_directory& dir, const dir_entry& entry, file_details& details) {
    struct statx status;
    if (::statx(static_cast<int>(dir.native), entry.name.c_str(),
                AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, details_mask, &status) != 0) {
        return false;
    }
    fill_details(status, details);
    return true;
}

std::uint64_t now_ticks() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return ticks_from_unix(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

namespace {

// Whether `path` names a regular file, asked without opening it: opening a device can act on it
// (a tape rewinds) and opening a FIFO for reading can wait for a writer.
bool is_regular_before_open(const std::string& path, bool follow_link) {
    struct stat status;
    const int result = follow_link ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
    return result != 0 || S_ISREG(status.st_mode);  // a failure is left for the open to report
}

constexpr const char* not_regular_text = "not a regular file";

}  // namespace

int local_seconds_of_day() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return 0;
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

std::string local_date() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[16] = "0000-00-00";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

long long read_file_start(const std::string& path, char* buffer, std::size_t size,
                          std::string* error) {
    // Never blocks: the name could have become a FIFO between the look and the open, so the open
    // handle is asked again.
    struct stat status;
    if (!is_regular_before_open(path, true)) {
        if (error) *error = not_regular_text;
        return -1;
    }
    unique_fd fd(open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
        if (error) *error = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        if (error) *error = not_regular_text;
        return -1;
    }
    std::size_t total = 0;
    while (total < size) {
        const ssize_t got = ::read(fd.get(), buffer + total, size - total);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            break;  // what was read so far is all there is
        }
        total += static_cast<std::size_t>(got);
    }
    return static_cast<long long>(total);
}

file_reader::~file_reader() { close(); }

void file_reader::close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
    size_ = 0;
}

file_reader::outcome file_reader::open(const std::string& path) {
    close();
    error_.clear();
    if (!is_regular_before_open(path, false)) return outcome::not_regular;
    unique_fd fd(open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ELOOP) return outcome::not_regular;  // the name became a link
        error_ = std::strerror(errno);
        return outcome::failed;
    }
    // The name may have been swapped since the first look: only the open handle tells.
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) {
        error_ = std::strerror(errno);
        return outcome::failed;
    }
    if (!S_ISREG(status.st_mode)) return outcome::not_regular;
    size_ = static_cast<std::uint64_t>(status.st_size);
    handle_ = fd.release();
    return outcome::opened;
}

std::size_t file_reader::read_at(std::uint64_t offset, char* buffer, std::size_t size) {
    std::size_t total = 0;
    while (handle_ >= 0 && total < size) {
        const auto at = offset + total;
        if (at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) break;
        const ssize_t got = ::pread(static_cast<int>(handle_), buffer + total, size - total,
                                    static_cast<off_t>(at));
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

namespace {
constexpr const char* note_attribute = "user.brindle";
constexpr std::size_t most_note_size = 4096;
}  // namespace

bool read_file_note(const std::string& path, std::string& text) {
    std::string buffer(most_note_size, '\0');
    const ssize_t got = ::lgetxattr(path.c_str(), note_attribute, buffer.data(), buffer.size());
    if (got < 0) return false;
    buffer.resize(static_cast<std::size_t>(got));
    text = std::move(buffer);
    return true;
}

bool write_file_note(const std::string& path, const std::string& text) {
    // An extended attribute changes the inode's change time only, never the last-write time.
    return ::lsetxattr(path.c_str(), note_attribute, text.data(), text.size(), 0) == 0;
}

void write_out(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void flush_out() { std::fflush(stdout); }

long long file_size(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return -1;
    return status.st_size;
}

namespace {

file_op_result failure(int error) {
    file_op_result result;
    result.how = error == EEXIST  ? file_op_result::status::exists
                 : error == EXDEV ? file_op_result::status::cross_device
                                  : file_op_result::status::failed;
    result.error = std::strerror(error);
    return result;
}

file_op_result failure_from_errno() { return failure(errno); }

// The real paths of the folders the replace steps may change; empty until the run says.
std::vector<std::string> confined_to;

std::string real_path_of_descriptor(int fd) {
    std::vector<char> buffer(PATH_MAX + 1);
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

bool lies_inside(const std::string& path, const std::string& folder) {
    if (folder == "/") return true;
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// The folder that holds a name the replace steps change, open. It is checked on the open handle
// to lie inside the library or the working directory, and every change is made relative to that
// handle: a folder swapped for a link after the check (to a root-only folder, say) changes
// nothing, since the handle still names the folder that was checked.
class parent_folder {
public:
    explicit parent_folder(const std::string& path) {
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
        name_ = slash == std::string::npos ? path : path.substr(slash + 1);
        fd_ = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            fault_ = failure_from_errno();
            return;
        }
        if (confined_to.empty()) return;
        const std::string real = real_path_of_descriptor(fd_);
        for (const std::string& allowed : confined_to) {
            if (!real.empty() && lies_inside(real, allowed)) return;
        }
        fault_ = {file_op_result::status::failed,
                  "its folder lies outside the library folder (" + real + ")"};
    }
    ~parent_folder() {
        if (fd_ >= 0) ::close(fd_);
    }
    parent_folder(const parent_folder&) = delete;
    parent_folder& operator=(const parent_folder&) = delete;

    bool usable() const { return static_cast<bool>(fault_); }
    const file_op_result& fault() const { return fault_; }
    int fd() const { return fd_; }
    const char* name() const { return name_.c_str(); }

private:
    int fd_ = -1;
    std::string name_;
    file_op_result fault_;
};

}  // namespace

void confine_changes_to(const std::vector<std::string>& folders) {
    confined_to.clear();
    for (const std::string& folder : folders) {
        unique_fd fd(open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const std::string real = fd.valid() ? real_path_of_descriptor(fd.get()) : std::string();
        if (!real.empty()) confined_to.push_back(real);
    }
}

path_status status_of(const std::string& path) {
    path_status result;
    struct stat status;
    if (::fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            result.what = path_status::kind::unknown;
            result.error = std::strerror(errno);
        }
        return result;
    }
    result.what = S_ISREG(status.st_mode)   ? path_status::kind::regular
                  : S_ISDIR(status.st_mode) ? path_status::kind::directory
                                            : path_status::kind::other;
    result.volume = status.st_dev;
    result.index = status.st_ino;
    result.size = static_cast<std::uint64_t>(status.st_size);
    result.write_ticks =
        ticks_from_unix(status.st_mtim.tv_sec, static_cast<std::uint32_t>(status.st_mtim.tv_nsec));
    return result;
}

file_op_result remove_file(const std::string& path) {
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    if (::unlinkat(folder.fd(), folder.name(), 0) != 0) return failure_from_errno();
    return {};
}

file_op_result rename_no_replace(const std::string& from, const std::string& to) {
    const parent_folder old_folder(from), new_folder(to);
    if (!old_folder.usable()) return old_folder.fault();
    if (!new_folder.usable()) return new_folder.fault();
    if (::renameat2(old_folder.fd(), old_folder.name(), new_folder.fd(), new_folder.name(),
                    RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return failure_from_errno();
        // The file system cannot rename without replacing; a hard link refuses an existing target
        // just the same, and the source name goes only once the new one stands.
        if (::linkat(old_folder.fd(), old_folder.name(), new_folder.fd(), new_folder.name(), 0) !=
            0) {
            return failure_from_errno();
        }
        if (::unlinkat(old_folder.fd(), old_folder.name(), 0) != 0) {
            const int error = errno;
            ::unlinkat(new_folder.fd(), new_folder.name(), 0);
            return failure(error);
        }
    }
    // The rename has happened either way, so a failed flush must not make the caller undo it.
    ::fsync(new_folder.fd());
    return {};
}

file_op_result rename_replace(const std::string& from, const std::string& to) {
    const parent_folder old_folder(from), new_folder(to);
    if (!old_folder.usable()) return old_folder.fault();
    if (!new_folder.usable()) return new_folder.fault();
    if (::renameat(old_folder.fd(), old_folder.name(), new_folder.fd(), new_folder.name()) != 0) {
        return failure_from_errno();
    }
    // The new name is only durable once its directory is.
    ::fsync(new_folder.fd());
    return {};
}

file_op_result hard_link(const std::string& from, const std::string& to) {
    const parent_folder old_folder(from), new_folder(to);
    if (!old_folder.usable()) return old_folder.fault();
    if (!new_folder.usable()) return new_folder.fault();
    // linkat without AT_SYMLINK_FOLLOW names the link itself, never what it points to.
    if (::linkat(old_folder.fd(), old_folder.name(), new_folder.fd(), new_folder.name(), 0) == 0) {
        return {};
    }
    const int error = errno;
    file_op_result result = failure(error);
    // FAT and some network file systems answer EPERM or EOPNOTSUPP; so does a kernel that
    // protects hard links from users who neither own nor may write the file. A file with all the
    // links it may have is no different: a rename serves instead.
    if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK) {
        result.how = file_op_result::status::not_supported;
    }
    return result;
}

file_op_result copy_to_new_file(const std::string& from, const std::string& to) {
    unique_fd in(open_retrying(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) return failure_from_errno();
    struct stat status;
    if (::fstat(in.get(), &status) != 0) return failure_from_errno();
    if (!S_ISREG(status.st_mode)) return failure(EINVAL);
    const parent_folder folder(to);
    if (!folder.usable()) return folder.fault();
    // O_EXCL refuses whatever stands at `to`, a link included, so nothing planted there is ever
    // written through or truncated. Readable by its owner only until its permissions are set.
    unique_fd out(::openat(folder.fd(), folder.name(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) return failure_from_errno();
    if (copy_contents(in.get(), out.get()) && ::fsync(out.get()) == 0 && out.close()) return {};
    const file_op_result result = failure_from_errno();
    ::unlinkat(folder.fd(), folder.name(), 0);
    return result;
}

file_op_result copy_attributes(const std::string& from, const std::string& to) {
    struct stat source;
    if (::fstatat(AT_FDCWD, from.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0) {
        return failure_from_errno();
    }
    if (!S_ISREG(source.st_mode)) return failure(EINVAL);
    const parent_folder folder(to);
    if (!folder.usable()) return folder.fault();
    unique_fd fd(::openat(folder.fd(), folder.name(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return failure_from_errno();
    struct stat result;
    if (::fstat(fd.get(), &result) != 0) return failure_from_errno();
    if (!S_ISREG(result.st_mode)) return failure(EINVAL);
    // Owner first: a change of owner clears the set-id bits, which the mode then puts back. Only
    // a privileged run may give a file away; any run may give it one of its own groups.
    if (result.st_uid != source.st_uid || result.st_gid != source.st_gid) {
        if (::fchown(fd.get(), source.st_uid, source.st_gid) != 0) {
            if (errno != EPERM) return failure_from_errno();
            if (::fchown(fd.get(), static_cast<uid_t>(-1), source.st_gid) != 0 && errno != EPERM) {
                return failure_from_errno();
            }
        }
    }
    if (::fchmod(fd.get(), source.st_mode & 07777) != 0) return failure_from_errno();
    if (::fsync(fd.get()) != 0) return failure_from_errno();
    return {};
}

file_op_result clear_read_only(const std::string&) {
    return {file_op_result::status::not_supported, {}};
}

file_op_result flush_file(const std::string& path) {
    unique_fd fd(open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) return failure_from_errno();
    return {};
}

interpreter_kind command_interpreter() { return interpreter_kind::posix_sh; }

// ---- Running a command and stopping cleanly ---------------------------------------------
//
// Brindle starts a guardian process, and the guardian starts the interpreter in a process
// group of its own, so that a stop reaches everything the command started (dash does not exec
// the last command of -c: the encoder is a grandchild) and nothing of Brindle's. The guardian is
// the parent of the interpreter and the subreaper of everything below it: it collects every
// process of the group itself and so knows when the group is gone. It learns of Brindle's death
// from end-of-file on a socket whose other end only Brindle holds (however Brindle dies: the
// parent-death signal is tied to a thread, the socket to the process), and then ends the group.
// Over the same socket Brindle tells it that a stop was passed on. Brindle waits with the stop
// signals and SIGCHLD blocked and taken by sigtimedwait, so no signal can fall between a check and
// the wait, and passes each stop on to the group.

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t requested_stop = 0;

void record_stop(int signal_number) {
    if (requested_stop == 0) requested_stop = signal_number;
}

bool is_stop_signal(int signal_number) {
    return std::find(std::begin(stop_signals), std::end(stop_signals), signal_number) !=
           std::end(stop_signals);
}

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : stop_signals) sigaddset(&set, signal_number);
    return set;
}

// Blocks a set of signals for the length of a scope and restores the mask it found.
class blocked_signals {
public:
    explicit blocked_signals(const sigset_t& set) { ::sigprocmask(SIG_BLOCK, &set, &before_); }
    ~blocked_signals() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }
    blocked_signals(const blocked_signals&) = delete;
    blocked_signals& operator=(const blocked_signals&) = delete;
    const sigset_t& before() const { return before_; }

private:
    sigset_t before_;
};

// Takes a stop signal that is waiting in the pending set (blocked, so its handler has not seen
// it) and records it. Answers the stop asked for so far.
int take_pending_stop() {
    const sigset_t stops = stop_signal_set();
    const timespec no_wait{};
    int taken;
    while ((taken = ::sigtimedwait(&stops, nullptr, &no_wait)) > 0) record_stop(taken);
    return requested_stop;
}

// The nice value 10 steps below Brindle's own, as far as the system's lowest priority allows.
int lowered_nice_value() {
    errno = 0;
    int own = ::getpriority(PRIO_PROCESS, 0);
    if (own == -1 && errno != 0) own = 0;
    return std::min(own + 10, 19);
}

// The signals whose disposition the guardian changes for itself; the interpreter gets
// Brindle's back (ignored stays ignored, anything else becomes the default).
constexpr int guardian_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// What the guardian and the interpreter need, prepared before the fork: after it, they call only
// async-signal-safe functions.
struct command_plan {
    char* const* argv = nullptr;
    int null_input = -1;
    bool set_nice = false;
    int nice_value = 0;
    sigset_t mask{};  // the interpreter's signal mask
    bool ignored[std::size(guardian_signals)] = {};
    int life_read = -1;     // a byte: a stop was passed on; end-of-file: Brindle has died
    int life_write = -1;    // Brindle's end
    int report_read = -1;   // Brindle's end
    int report_write = -1;  // what the guardian tells Brindle
};

// The guardian's first word to Brindle: the interpreter's process id (its group), or -1 and
// the fork's error.
struct start_report {
    pid_t group = -1;
    int error = 0;
};

[[noreturn]] void become_interpreter(const command_plan& plan) {
    ::setpgid(0, 0);
    if (plan.set_nice) ::setpriority(PRIO_PROCESS, 0, plan.nice_value);
    // The group is not the terminal's foreground group: an encoder reading or setting up the
    // terminal would be stopped by SIGTTIN or SIGTTOU and never end. Stops come through Brindle.
    if (plan.null_input >= 0) ::dup2(plan.null_input, STDIN_FILENO);
    // Set while the signals are still blocked: a stop passed on before the exec ends this child.
    for (std::size_t i = 0; i < std::size(guardian_signals); ++i) {
        struct sigaction action {};
        action.sa_handler = plan.ignored[i] ? SIG_IGN : SIG_DFL;
        ::sigaction(guardian_signals[i], &action, nullptr);
    }
    ::sigprocmask(SIG_SETMASK, &plan.mask, nullptr);
    ::execve("/bin/sh", plan.argv, environ);
    ::_exit(127);
}

void write_whole(int fd, const void* data, std::size_t size) {
    while (::write(fd, data, size) < 0 && errno == EINTR) {
    }
}

std::int64_t monotonic_milliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

constexpr char stop_passed_on = 's';

// The guardian: starts the interpreter, collects every process of its group, and writes the
// interpreter's wait status to Brindle once the group is gone. What the interpreter leaves
// running when it ends is killed; after a stop it has a few seconds first (an encoder that got
// the signal with the interpreter finishes its file). When Brindle dies, the group is killed. The
// guardian keeps every descriptor it was born with, the run's lock among them, until then: a second
// run cannot start beside a dying encoder. It sits in a process group of its own, out of reach of a
// signal sent to Brindle's group, and ignores the stop signals.
[[noreturn]] void guard_command(const command_plan& plan) {
    ::setpgid(0, 0);
    ::close(plan.life_write);
    ::close(plan.report_read);
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    for (const int signal_number : guardian_signals) ::sigaction(signal_number, &action, nullptr);
    action.sa_handler = SIG_DFL;  // an ignored SIGCHLD would collect the children unseen
    ::sigaction(SIGCHLD, &action, nullptr);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);  // blocked since Brindle blocked it
    const int child_events = ::signalfd(-1, &child_signal, SFD_CLOEXEC | SFD_NONBLOCK);

    start_report started;
    started.group = ::fork();
    if (started.group == 0) become_interpreter(plan);
    started.error = errno;
    if (started.group > 0) ::setpgid(started.group, started.group);
    write_whole(plan.report_write, &started, sizeof started);
    if (started.group < 0) ::_exit(1);

    constexpr std::int64_t grace_milliseconds = 5000;
    const pid_t group = started.group;
    int status = 0;
    bool ended = false, killed = false, brindle_alive = true, stopping = false;
    std::int64_t ended_at = 0;
    for (;;) {
        int child_status = 0;
        pid_t collected;
        while ((collected = ::waitpid(-1, &child_status, WNOHANG)) > 0) {
            if (collected != group) continue;
            status = child_status;
            ended = true;
            ended_at = monotonic_milliseconds();
        }
        // Read after collecting: Brindle tells of a stop before it passes the signal on, so an
        // interpreter ended by the signal is always seen as stopped.
        while (brindle_alive) {
            char word = 0;
            const ssize_t got = ::recv(plan.life_read, &word, 1, MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
            if (got == 1 && word == stop_passed_on) stopping = true;
            if (got != 1) brindle_alive = false;
        }
        if (ended && ::waitpid(-group, nullptr, WNOHANG) < 0 && errno == ECHILD) break;
        const std::int64_t grace = stopping ? grace_milliseconds : 0;
        const std::int64_t left = ended ? ended_at + grace - monotonic_milliseconds() : -1;
        if (!killed && (!brindle_alive || (ended && left <= 0))) {
            ::kill(-group, SIGKILL);
            killed = true;
        }
        pollfd events[2] = {{child_events, POLLIN, 0},
                            {brindle_alive ? plan.life_read : -1, POLLIN, 0}};
        const int timeout =
            ended && !killed ? static_cast<int>(std::max<std::int64_t>(left, 0)) : -1;
        ::poll(events, 2, child_events >= 0 ? timeout : 100);
        signalfd_siginfo drained;
        while (child_events >= 0 && ::read(child_events, &drained, sizeof drained) > 0) {
        }
    }
    write_whole(plan.report_write, &status, sizeof status);
    ::_exit(0);
}

bool read_whole(int fd, void* data, std::size_t size) {
    ssize_t got;
    do got = ::read(fd, data, size);
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(size);
}

// Closes both ends of a pipe that are still open.
struct pipe_ends {
    int fd[2] = {-1, -1};
    ~pipe_ends() {
        for (const int end : fd) {
            if (end >= 0) ::close(end);
        }
    }
    void close_end(int which) {
        ::close(fd[which]);
        fd[which] = -1;
    }
};

// Waits until the guardian has ended, passing each stop signal on to the command's group.
// Answers false when the guardian cannot be waited for.
bool wait_for_guardian(pid_t guardian, pid_t group, int life_write, const sigset_t& watched,
                       int& stop) {
    for (;;) {
        const pid_t ended = ::waitpid(guardian, nullptr, WNOHANG);
        if (ended == guardian) return true;
        if (ended < 0 && errno != EINTR) return false;
        // SIGCHLD wakes the wait; the limit only guards against a parent's SIGCHLD setting
        // that would send none.
        const timespec limit{1, 0};
        const int taken = ::sigtimedwait(&watched, nullptr, &limit);
        if (taken > 0 && is_stop_signal(taken)) {
            record_stop(taken);
            if (stop == 0) {
                stop = taken;
                ::send(life_write, &stop_passed_on, 1, MSG_NOSIGNAL);
            }
            ::kill(-group, taken);
            ::kill(-group, SIGCONT);  // a stopped process acts on the signal only once continued
        }
    }
}

}  // namespace

command_result run_command(const std::string& command_line, const command_settings& settings) {
    command_result result;
    sigset_t watched = stop_signal_set();
    sigaddset(&watched, SIGCHLD);
    const blocked_signals blocked(watched);
    if (const int stop = take_pending_stop(); stop != 0) {
        result.stop_signal = stop;
        result.error = "a stop was asked for before the command could start";
        return result;
    }

    std::string sh = "sh", dash_c = "-c", command = command_line;
    char* const argv[] = {sh.data(), dash_c.data(), command.data(), nullptr};
    const unique_fd null_input(open_retrying("/dev/null", O_RDONLY | O_CLOEXEC));
    pipe_ends life, report;
    // A socket, so that a word to a guardian that has died cannot raise SIGPIPE in Brindle.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, life.fd) != 0 ||
        ::pipe2(report.fd, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        return result;
    }
    command_plan plan;
    plan.argv = argv;
    plan.null_input = null_input.get();
    plan.set_nice = settings.low_priority;
    plan.nice_value = lowered_nice_value();
    plan.mask = blocked.before();
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigdelset(&plan.mask, signal_number);
    }
    for (std::size_t i = 0; i < std::size(guardian_signals); ++i) {
        struct sigaction current {};
        ::sigaction(guardian_signals[i], nullptr, &current);
        plan.ignored[i] = current.sa_handler == SIG_IGN;
    }
    plan.life_read = life.fd[0];
    plan.life_write = life.fd[1];
    plan.report_read = report.fd[0];
    plan.report_write = report.fd[1];

    const pid_t guardian = ::fork();
    if (guardian == 0) guard_command(plan);
    if (guardian < 0) {
        result.error = std::strerror(errno);
        return result;
    }
    ::setpgid(guardian, guardian);  // as the guardian does: whichever runs first
    life.close_end(0);
    report.close_end(1);

    start_report started;
    const bool reported = read_whole(report.fd[0], &started, sizeof started);
    if (!reported || started.group < 0) {
        result.error = reported ? std::strerror(started.error) : "the command could not be started";
        ::kill(guardian, SIGKILL);
        while (::waitpid(guardian, nullptr, 0) < 0 && errno == EINTR) {
        }
        return result;
    }
    const bool guardian_ended =
        wait_for_guardian(guardian, started.group, life.fd[1], watched, result.stop_signal);
    int status = 0;
    if (!guardian_ended || !read_whole(report.fd[0], &status, sizeof status)) {
        // The guardian was killed: end what it guarded, so nothing runs on unseen.
        ::kill(-started.group, SIGKILL);
        result.error = "the command's end could not be seen";
        return result;
    }
    if (WIFEXITED(status)) {
        result.how = command_result::ending::exited;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.how = command_result::ending::signalled;
        result.code = WTERMSIG(status);
    }
    return result;
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = record_stop;
    sigemptyset(&action.sa_mask);
    // Outside run_command nothing waits for a stop; a call it interrupts goes on where it was.
    action.sa_flags = SA_RESTART;
    for (const int signal_number : stop_signals) {
        struct sigaction previous {};
        ::sigaction(signal_number, nullptr, &previous);
        // A signal ignored from the start (nohup, a background job) stays ignored.
        if (previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signal_number, &action, nullptr);
    }
    const sigset_t stops = stop_signal_set();
    ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

int stop_requested() { return requested_stop; }

namespace {

// Deferrals nest; the outermost one blocks the stop signals and restores the mask it found.
int deferral_depth = 0;
sigset_t mask_before_deferral;

}  // namespace

stop_deferral::stop_deferral() {
    if (deferral_depth++ > 0) return;
    const sigset_t stops = stop_signal_set();
    ::sigprocmask(SIG_BLOCK, &stops, &mask_before_deferral);
}

// Unblocking delivers a stop that came meanwhile to its handler before sigprocmask returns, so
// stop_requested() reports it from here on.
stop_deferral::~stop_deferral() {
    if (--deferral_depth > 0) return;
    ::sigprocmask(SIG_SETMASK, &mask_before_deferral, nullptr);
}

lock_result lock_working_directory(const std::string& name) {
    const int fd = open_retrying(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return lock_result::cannot_create;
    int locked;
    do locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held ? lock_result::held_elsewhere : lock_result::cannot_create;
    }
    // The descriptor stays open until the process ends, and the lock with it; the system drops
    // both however the process ends. O_CLOEXEC keeps encoder children from holding it on.
    return lock_result::acquired;
}

std::string working_directory() {
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
}

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

}  // namespace brindle::platform
