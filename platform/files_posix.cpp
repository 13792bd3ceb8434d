// Files on Linux: reading them, their notes, and the operations of the replace sequence, each
// made through a folder descriptor checked to lie where changes are allowed.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/posix_support.h"

namespace brindle::platform {

using posix::failure;
using posix::open_retrying;
using posix::ticks_from_unix;
using posix::unique_fd;

namespace {

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

// Whether `path` names a regular file, asked without opening it: opening a device can act on it
// (a tape rewinds) and opening a FIFO for reading can wait for a writer.
bool is_regular_before_open(const std::string& path, bool follow_link) {
    struct stat status;
    const int result = follow_link ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
    return result != 0 || S_ISREG(status.st_mode);  // a failure is left for the open to report
}

constexpr const char* not_regular_text = "not a regular file";

}  // namespace

std::optional<std::size_t> read_file_start(const std::string& path, char* buffer, std::size_t size,
                                           std::string* error) {
    // Never blocks: the name could have become a FIFO between the look and the open, so the open
    // handle is asked again.
    struct stat status;
    if (!is_regular_before_open(path, true)) {
        if (error) *error = not_regular_text;
        return std::nullopt;
    }
    unique_fd fd(open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
        if (error) *error = std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        if (error) *error = not_regular_text;
        return std::nullopt;
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
    status_ = {};
    changed_ticks_ = 0;
    name_.clear();
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
    return take(fd.release());
}

// The name may have been swapped since the first look: only the open handle tells.
file_reader::outcome file_reader::take(std::intptr_t handle) {
    unique_fd file(static_cast<int>(handle));
    struct stat status;
    if (::fstat(file.get(), &status) != 0) {
        error_ = std::strerror(errno);
        return outcome::failed;
    }
    if (!S_ISREG(status.st_mode)) return outcome::not_regular;
    size_ = static_cast<std::uint64_t>(status.st_size);
    status_.what = path_state::kind::regular;
    status_.stamp = {
        status.st_dev, status.st_ino, size_,
        ticks_from_unix(status.st_mtim.tv_sec, static_cast<std::uint32_t>(status.st_mtim.tv_nsec))};
    status_.names = status.st_nlink;
    changed_ticks_ =
        ticks_from_unix(status.st_ctim.tv_sec, static_cast<std::uint32_t>(status.st_ctim.tv_nsec));
    handle_ = file.release();
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

std::optional<std::string> read_file_note(const std::string& path) {
    std::string buffer(most_note_size, '\0');
    const ssize_t got = ::lgetxattr(path.c_str(), note_attribute, buffer.data(), buffer.size());
    if (got < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
}

std::optional<std::uint64_t> file_size(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

std::optional<std::uint64_t> free_bytes_in(const std::string& folder) {
    struct statvfs volume;
    if (::statvfs(folder.c_str(), &volume) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

std::optional<std::uint64_t> allocated_bytes_of(const std::string& path) {
    struct stat status;
    if (::fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_blocks) * 512;
}

namespace {

op_result failure_from_errno() { return failure(errno); }

// Where the replace steps may change names: the library, by its real path, and the working
// directory, by its identity; neither until the run says.
struct confinement {
    bool active = false;
    std::string library;
    int working_directory = -1;  // held open from the confinement on; -1 when it could not be
};
confinement confined;

std::string real_path_of_descriptor(int fd) {
    std::vector<char> buffer(PATH_MAX + 1);
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// The folder that holds a name the replace steps change, open. It is checked on the open handle,
// and every change is made relative to that handle: a folder swapped for a link after the check
// (to a root-only folder, say) changes nothing, since the handle still names the folder that was
// checked. A name given with its folder must lie inside the library. A bare name is one of the
// run's own in the working directory (tempenc.mkv): it is changed through the working directory's
// descriptor, held since the confinement, wherever that folder has been moved and however long
// its path.
class parent_folder {
public:
    explicit parent_folder(const std::string& path) {
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
        name_ = slash == std::string::npos ? path : path.substr(slash + 1);
        if (confined.active && slash == std::string::npos) {
            take_working_directory();
            return;
        }
        fd_ = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            fault_ = failure_from_errno();
            return;
        }
        if (!confined.active) return;
        const std::string real = real_path_of_descriptor(fd_);
        if (!real.empty() && lies_inside(real, confined.library, "/")) return;
        fault_ = {op_result::fault::outside,
                  "its folder lies outside the library folder (" + real + ")"};
    }
    ~parent_folder() {
        if (fd_ >= 0) ::close(fd_);
    }
    parent_folder(const parent_folder&) = delete;
    parent_folder& operator=(const parent_folder&) = delete;

    bool usable() const { return fault_.ok(); }
    const op_result& fault() const { return fault_; }
    int fd() const { return fd_; }
    const char* name() const { return name_.c_str(); }

private:
    // The working directory's own descriptor, held since the confinement: its path is never
    // resolved again.
    void take_working_directory() {
        if (confined.working_directory < 0) {
            fault_ = {op_result::fault::outside, "its folder is not the working directory"};
            return;
        }
        fd_ = ::fcntl(confined.working_directory, F_DUPFD_CLOEXEC, 0);
        if (fd_ < 0) fault_ = failure_from_errno();
    }

    int fd_ = -1;
    std::string name_;
    op_result fault_;
};

}  // namespace

op_result write_file_note(const std::string& path, const std::string& text) {
    // Through the file opened in its checked folder, never by path: a folder swapped for a link
    // meanwhile must not carry the note to a file outside the library.
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    const unique_fd fd(::openat(folder.fd(), folder.name(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status;
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) return failure(errno);
    if (!S_ISREG(status.st_mode)) return failure(EINVAL);
    // An extended attribute changes the inode's change time only, never the last-write time.
    if (::fsetxattr(fd.get(), note_attribute, text.data(), text.size(), 0) != 0) {
        return failure(errno);
    }
    return {};
}

op_result confine_changes_to(const std::string& library, const std::string& working_directory) {
    if (confined.working_directory >= 0) ::close(confined.working_directory);
    confined = {};
    confined.active = !library.empty() || !working_directory.empty();
    if (!library.empty()) {
        const unique_fd fd(open_retrying(library.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.valid()) confined.library = real_path_of_descriptor(fd.get());
    }
    if (working_directory.empty()) return {};
    confined.working_directory =
        open_retrying(working_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return confined.working_directory < 0 ? failure_from_errno() : op_result{};
}

op_result clear_in_working_directory(const std::string& name) {
    const parent_folder folder(name);
    if (!folder.usable()) return folder.fault();
    if (::unlinkat(folder.fd(), folder.name(), 0) != 0 && errno != ENOENT) {
        return failure_from_errno();
    }
    struct stat status;
    if (::fstatat(folder.fd(), folder.name(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        return failure(EEXIST);
    }
    if (errno != ENOENT) return failure_from_errno();
    struct stat here, held;
    if (::stat(".", &here) != 0 || ::fstat(folder.fd(), &held) != 0) return failure_from_errno();
    if (here.st_dev != held.st_dev || here.st_ino != held.st_ino) {
        return {op_result::fault::outside, "the current folder is no longer the working directory"};
    }
    return {};
}

path_state status_of(const std::string& path) {
    path_state result;
    struct stat status;
    if (::fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            result.what = path_state::kind::unknown;
            result.error = std::strerror(errno);
        }
        return result;
    }
    result.what = S_ISREG(status.st_mode)   ? path_state::kind::regular
                  : S_ISDIR(status.st_mode) ? path_state::kind::directory
                                            : path_state::kind::other;
    result.stamp.volume = status.st_dev;
    result.stamp.index = status.st_ino;
    result.names = status.st_nlink;
    result.stamp.size = static_cast<std::uint64_t>(status.st_size);
    result.stamp.write_ticks =
        ticks_from_unix(status.st_mtim.tv_sec, static_cast<std::uint32_t>(status.st_mtim.tv_nsec));
    return result;
}

op_result remove_file(const std::string& path) {
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    if (::unlinkat(folder.fd(), folder.name(), 0) != 0) return failure_from_errno();
    return {};
}

namespace {

op_result rename_between(const parent_folder& old_folder, const parent_folder& new_folder) {
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

}  // namespace

op_result rename_no_replace(const std::string& from, const std::string& to) {
    return rename_between(parent_folder(from), parent_folder(to));
}

op_result rename_replace(const std::string& from, const std::string& to) {
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

op_result exchange_names(const std::string& a, const std::string& b) {
    const parent_folder first(a), second(b);
    if (!first.usable()) return first.fault();
    if (!second.usable()) return second.fault();
    if (::renameat2(first.fd(), first.name(), second.fd(), second.name(), RENAME_EXCHANGE) != 0) {
        // Both names lie in one folder, so EXDEV can only be a layered file system declining.
        if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP || errno == EXDEV) {
            return {op_result::fault::not_supported, std::strerror(errno)};
        }
        return failure_from_errno();
    }
    ::fsync(first.fd());
    ::fsync(second.fd());
    return {};
}

op_result write_small_file(const std::string& path, const std::string& text) {
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    // A fresh file left by a run killed while it wrote is never written through.
    const std::string fresh = std::string(folder.name()) + ".new";
    ::unlinkat(folder.fd(), fresh.c_str(), 0);
    // A removal that a power cut undoes leaves a record the next run finds nothing to do for,
    // so it is not flushed.
    if (text.empty()) {
        if (::unlinkat(folder.fd(), folder.name(), 0) != 0 && errno != ENOENT) {
            return failure_from_errno();
        }
        return {};
    }
    unique_fd out(::openat(folder.fd(), fresh.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) return failure_from_errno();
    if (!write_all(out.get(), text.data(), text.size()) || ::fsync(out.get()) != 0 ||
        !out.close() || ::renameat(folder.fd(), fresh.c_str(), folder.fd(), folder.name()) != 0) {
        const op_result result = failure_from_errno();
        ::unlinkat(folder.fd(), fresh.c_str(), 0);
        return result;
    }
    ::fsync(folder.fd());
    return {};
}

op_result hard_link(const std::string& from, const std::string& to) {
    const parent_folder old_folder(from), new_folder(to);
    if (!old_folder.usable()) return old_folder.fault();
    if (!new_folder.usable()) return new_folder.fault();
    // linkat without AT_SYMLINK_FOLLOW names the link itself, never what it points to.
    if (::linkat(old_folder.fd(), old_folder.name(), new_folder.fd(), new_folder.name(), 0) == 0) {
        return {};
    }
    const int error = errno;
    op_result result = failure(error);
    // FAT and some network file systems answer EPERM or EOPNOTSUPP; so does a kernel that
    // protects hard links from users who neither own nor may write the file. A file with all the
    // links it may have is no different: a rename serves instead.
    if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK) {
        result.why = op_result::fault::not_supported;
    }
    return result;
}

namespace {

// Copies into a file that has no name until it is complete and flushed, so that a run killed
// meanwhile leaves nothing in the folder: the system frees it. The name is given by a link,
// which refuses an existing name as O_EXCL would. No answer where the file system makes no
// unnamed files; the caller then copies under the name itself.
std::optional<op_result> copy_to_unnamed_file(int in, int folder, const char* name) {
    unique_fd out(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!out.valid()) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT) {
            return std::nullopt;
        }
        return failure_from_errno();
    }
    if (!copy_contents(in, out.get()) || ::fsync(out.get()) != 0) return failure_from_errno();
    // Linking a descriptor by its own empty path needs a privilege; its /proc name does not.
    const std::string self = "/proc/self/fd/" + std::to_string(out.get());
    if (::linkat(AT_FDCWD, self.c_str(), folder, name, AT_SYMLINK_FOLLOW) != 0 &&
        ::linkat(out.get(), "", folder, name, AT_EMPTY_PATH) != 0) {
        return failure_from_errno();
    }
    if (!out.close()) {
        const op_result result = failure_from_errno();
        ::unlinkat(folder, name, 0);
        return result;
    }
    ::fsync(folder);
    return op_result{};
}

}  // namespace

namespace {

op_result copy_descriptor_to_new_file(int in, const std::string& to) {
    const parent_folder folder(to);
    if (!folder.usable()) return folder.fault();
    if (const auto unnamed = copy_to_unnamed_file(in, folder.fd(), folder.name())) {
        return *unnamed;
    }
    // O_EXCL refuses whatever stands at `to`, a link included, so nothing planted there is ever
    // written through or truncated. Readable by its owner only until its permissions are set.
    unique_fd out(::openat(folder.fd(), folder.name(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) return failure_from_errno();
    if (copy_contents(in, out.get()) && ::fsync(out.get()) == 0 && out.close()) return {};
    const op_result result = failure_from_errno();
    ::unlinkat(folder.fd(), folder.name(), 0);
    return result;
}

}  // namespace

op_result copy_to_new_file(const std::string& from, const std::string& to) {
    unique_fd in(open_retrying(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) return failure_from_errno();
    struct stat status;
    if (::fstat(in.get(), &status) != 0) return failure_from_errno();
    if (!S_ISREG(status.st_mode)) return failure(EINVAL);
    return copy_descriptor_to_new_file(in.get(), to);
}

file_reader::outcome file_reader::open_in_working_directory(const std::string& name) {
    close();
    error_.clear();
    const parent_folder folder(name);
    if (!folder.usable()) {
        error_ = folder.fault().error;
        return outcome::failed;
    }
    // Looked at first, as open() does: a FIFO put under the name must not block the open.
    struct stat status;
    if (::fstatat(folder.fd(), folder.name(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        error_ = std::strerror(errno);
        return errno == ENOENT ? outcome::missing : outcome::failed;
    }
    if (!S_ISREG(status.st_mode)) return outcome::not_regular;
    const int fd =
        ::openat(folder.fd(), folder.name(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return errno == ELOOP ? outcome::not_regular : outcome::failed;
    }
    const outcome opened = take(fd);
    if (opened == outcome::opened) name_ = name;
    return opened;
}

op_result file_reader::flush() {
    if (handle_ < 0 || ::fsync(static_cast<int>(handle_)) != 0) return failure(errno);
    return {};
}

op_result file_reader::copy_to_new_file(const std::string& to) {
    // The copy goes on from the descriptor's own offset, which the reads here never move.
    if (handle_ < 0 || ::lseek(static_cast<int>(handle_), 0, SEEK_SET) != 0) return failure(EBADF);
    return copy_descriptor_to_new_file(static_cast<int>(handle_), to);
}

op_result file_reader::move_to(const std::string& to) {
    if (handle_ < 0 || name_.empty()) return failure(EBADF);
    const parent_folder old_folder(name_), new_folder(to);
    if (const op_result moved = rename_between(old_folder, new_folder); !moved.ok()) return moved;
    // Renamed by name: what now stands under the new name must be the open file itself.
    struct stat moved;
    if (::fstatat(new_folder.fd(), new_folder.name(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
        moved.st_dev == status_.stamp.volume && moved.st_ino == status_.stamp.index) {
        return {};
    }
    rename_between(new_folder, old_folder);
    return {op_result::fault::other, "another file took its name before it was moved"};
}

op_result copy_attributes(const std::string& from, const std::string& to) {
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
    // The source's modification time, so that date-sorted listings keep the file where it was.
    const struct timespec times[2] = {{0, UTIME_OMIT}, source.st_mtim};
    if (::futimens(fd.get(), times) != 0) return failure_from_errno();
    if (::fsync(fd.get()) != 0) return failure_from_errno();
    return {};
}

op_result clear_read_only(const std::string&) { return {op_result::fault::not_supported, {}}; }

op_result create_and_remove(const std::string& path) {
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    // A file without a name asks the folder for the same rights, and a run killed meanwhile
    // leaves nothing that could pass for a staged file. Where the file system makes no such
    // files, the name itself is made and removed.
    const unique_fd unnamed(::openat(folder.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (unnamed.valid()) return {};
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
        return failure_from_errno();
    }
    const unique_fd fd(::openat(folder.fd(), folder.name(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) return errno == EEXIST ? op_result{} : failure_from_errno();
    if (::unlinkat(folder.fd(), folder.name(), 0) != 0) return failure_from_errno();
    return {};
}

op_result may_make_names_beside(const std::string& path) {
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    // The effective ids, ACLs and a read-only mount decide, as they would for the run's writes.
    if (::faccessat(folder.fd(), ".", W_OK | X_OK, AT_EACCESS) != 0) return failure_from_errno();
    return {};
}

bool is_open_elsewhere(const std::string&) { return false; }

bool keeps_names_outside_ascii() { return true; }

op_result flush_file(const std::string& path) {
    unique_fd fd(open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) return failure_from_errno();
    return {};
}

}  // namespace brindle::platform
