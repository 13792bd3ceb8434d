#pragma once

// The thin layer over the operating system. Everything above it (cli/, scan/, encode/) is
// portable and sees no system header. Paths are UTF-8 std::string throughout; the Windows
// implementation converts to UTF-16 right before each W call and back right after.
// posix.cpp and win32.cpp implement this header; CMake picks one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::platform {

// ---- Paths and text ----------------------------------------------------------------------

// The separator the system joins a directory and a name with: '\\' on Windows, '/' on POSIX.
char path_separator();

// The length of a UTF-8 path as the system's own path limit counts it: UTF-16 code units on
// Windows, bytes on POSIX. Every 255-character limit of the program is checked against this.
std::size_t native_length(std::string_view utf8);

// ---- Directory enumeration and file details ---------------------------------------------

struct dir_entry {
    std::string name;           // UTF-8, never "." or ".."
    bool is_directory = false;  // a link to a directory counts as a directory
    // Windows delivers size and creation time with the entry; POSIX asks for them later.
    bool has_details = false;
    std::uint64_t size = 0;
    std::uint64_t creation_ticks = 0;
};

// Lists the entries of `dir` in the order the system delivers them (POSIX: sorted byte-wise by
// name, so every run lists a library in the same order). Answers false when the directory cannot
// be listed at all. An enumeration that fails part-way answers true with what was read before.
// Entries whose names cannot be represented as UTF-8 are left out.
bool list_directory(const std::string& dir, std::vector<dir_entry>& entries);

struct file_details {
    std::uint64_t size = 0;
    // Creation time as 100-nanosecond ticks since 1601-01-01 UTC (on POSIX the birth time where
    // the file system reports it, else the last-modification time).
    std::uint64_t creation_ticks = 0;
};

// Size and creation time of the file at `path`, taken from `entry` when the enumeration
// delivered them. Answers false when the file cannot be examined.
bool file_details_of(const std::string& path, const dir_entry& entry, file_details& details);

// What identifies a directory on its volume, so that a walk can tell it has been here before:
// device and inode on POSIX, volume serial number and file index on Windows.
struct directory_id {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const directory_id&, const directory_id&) = default;
};
bool directory_identity(const std::string& dir, directory_id& id);

// The current time as 100-nanosecond ticks since 1601-01-01 UTC.
std::uint64_t now_ticks();

// ---- Reading files -----------------------------------------------------------------------

// Reads up to `size` bytes from the start of the file into `buffer`. Answers the number of bytes
// read, or -1 when the file cannot be opened (with the system's reason in `error` when given).
long long read_file_start(const std::string& path, char* buffer, std::size_t size,
                          std::string* error = nullptr);

// ---- Looking inside files without blocking -----------------------------------------------

// A file open for reading at any offset, for the readers that look inside video containers.
// Opening never blocks and takes only a regular file: a FIFO, device, socket or directory is
// refused, on POSIX before it is opened, and so is a final link there. Windows takes only what
// GetFileType calls a disk file.
class file_reader {
public:
    enum class outcome { opened, not_regular, failed };
    file_reader() = default;
    ~file_reader();
    file_reader(const file_reader&) = delete;
    file_reader& operator=(const file_reader&) = delete;

    outcome open(const std::string& path);
    // The system's own text for why the last open failed.
    const std::string& error() const { return error_; }
    // Copies up to `size` bytes from `offset` into `buffer`; answers how many (fewer at the end
    // of the file, 0 past it or when the read fails).
    std::size_t read_at(std::uint64_t offset, char* buffer, std::size_t size);
    // The file's size when it was opened.
    std::uint64_t size() const { return size_; }

private:
    void close();
    std::intptr_t handle_ = -1;  // a descriptor or a HANDLE; -1 (INVALID_HANDLE_VALUE) is none
    std::uint64_t size_ = 0;
    std::string error_;
};

// ---- Console output ----------------------------------------------------------------------

// Writes UTF-8 text to standard output: through the console's own UTF-16 interface when
// standard output is a Windows console, as bytes otherwise.
void write_out(std::string_view text);
void flush_out();

// ---- File operations used by the replace sequence ---------------------------------------

// The size of the file at `path`, or -1 when there is no such file (or it cannot be examined).
long long file_size(const std::string& path);

// How a file operation ended. `error` holds the system's own text (strerror, FormatMessageW) for
// the user to read; `how` tells apart the failures the replace sequence answers differently.
struct file_op_result {
    enum class status { done, exists, cross_device, not_supported, failed };
    status how = status::done;
    std::string error;
    explicit operator bool() const { return how == status::done; }
};

// What stands at a path, looked at without following a link at its last component. The stamp
// holds the same figures the scan records: device and inode (volume serial number and file
// index), size, and last-write time as 100-ns ticks since 1601. A path whose folder is missing
// counts as missing; `unknown` means the system would not tell (see `error`).
struct path_status {
    enum class kind { missing, regular, directory, other, unknown };
    kind what = kind::missing;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::uint64_t write_ticks = 0;
    std::string error;
};
path_status status_of(const std::string& path);

// Deletes a file (never a folder); fails on a missing file too.
file_op_result remove_file(const std::string& path);

// Renames `from` to `to`, never replacing an existing `to` (`exists`), and writes the new name
// through to disk. `cross_device` when the two lie on different volumes.
file_op_result rename_no_replace(const std::string& from, const std::string& to);

// Renames `from` to `to`, replacing an existing `to` in one step (on Windows a read-only one too),
// and writes the change through to disk.
file_op_result rename_replace(const std::string& from, const std::string& to);

// Gives the file `from` the second name `to`, never replacing an existing `to`. `not_supported`
// where the file system keeps one name per file (FAT, some shares).
file_op_result hard_link(const std::string& from, const std::string& to);

// Copies `from` into a new file `to`, created exclusively and never through a link (an existing
// `to`, a link included, answers `exists` and is left alone), and flushes the copy to disk. A copy
// that fails part-way removes what it wrote.
file_op_result copy_to_new_file(const std::string& from, const std::string& to);

// Gives the file `to` the permissions of the file `from`: on POSIX the mode, and owner and group
// where this process may set them (a refusal for lack of rights is no failure); on Windows the
// read-only, hidden, system, archive and not-indexed attributes. Neither path is followed
// through a link; `to` must be a regular file.
file_op_result copy_attributes(const std::string& from, const std::string& to);

// Clears the read-only attribute, which keeps Windows from deleting a file. `not_supported` when
// there was none to clear, as always on POSIX, where the folder's permissions decide.
file_op_result clear_read_only(const std::string& path);

// Flushes a file's content to disk.
file_op_result flush_file(const std::string& path);

// ---- Processes and the run's lock --------------------------------------------------------

// The command line that starts cmd.exe on `command`: `interpreter /s /c "command"`. cmd strips
// the outer quotes again, so a command that begins with a quoted program path stays whole.
// Pure, so that it is tested on every platform.
inline std::string cmd_interpreter_line(const std::string& interpreter,
                                        const std::string& command) {
    return interpreter + " /s /c \"" + command + "\"";
}

enum class interpreter_kind { posix_sh, windows_cmd };
// Which command interpreter run_command hands its command line to.
interpreter_kind command_interpreter();

struct command_settings {
    // The encoder runs below Brindle's own priority unless told otherwise.
    bool low_priority = true;
};

struct command_result {
    enum class ending { exited, signalled, not_started };
    ending how = ending::not_started;
    int code = -1;      // the exit code, or the signal that ended it
    std::string error;  // not_started: the system's own text
    // A stop was asked for (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, closing the console)
    // while the command ran; it was passed on and the command has ended. 0 when none.
    int stop_signal = 0;
};

// Runs `command_line` through the system's command interpreter (Windows: COMSPEC, else cmd.exe;
// POSIX: /bin/sh -c), inheriting the console, working directory and environment, and waits for
// it without limit.
command_result run_command(const std::string& command_line, const command_settings& settings = {});

// Installs the handlers that turn a stop request into a stop_signal (called once at start).
void install_stop_handlers();
// The stop asked for so far, 0 when none.
int stop_requested();

// While one of these lives, a stop request waits: the few steps of a replace finish or are undone
// before the run stops.
class stop_deferral {
public:
    stop_deferral();
    ~stop_deferral();
    stop_deferral(const stop_deferral&) = delete;
    stop_deferral& operator=(const stop_deferral&) = delete;
};

enum class lock_result { acquired, held_elsewhere, cannot_create };
// Takes an exclusive lock on the file `name` in the working directory, creating it when needed.
// The system releases the lock when the process ends, however it ends.
lock_result lock_working_directory(const std::string& name);

// The process's working directory, UTF-8; empty when it cannot be told.
std::string working_directory();

// The process id, for names that must not collide with another run's.
unsigned long process_id();

}  // namespace brindle::platform
