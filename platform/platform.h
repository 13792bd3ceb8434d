#pragma once

// The thin layer over the operating system. Everything above it (cli/, scan/, encode/) is
// portable and sees no system header. Paths are UTF-8 std::string throughout; the Windows
// implementation converts to UTF-16 right before each W call and back right after.
// posix.cpp and win32.cpp implement this header; CMake picks one.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::platform {

// ---- Paths and text ----------------------------------------------------------------------

// The separator the system joins a directory and a name with: '\\' on Windows, '/' on POSIX.
char path_separator();
// Every character the system takes as a separator: "\\/" on Windows, "/" on POSIX.
const char* path_separators();

// The length of a UTF-8 path as the system's own path limit counts it: UTF-16 code units on
// Windows, bytes on POSIX. Every 255-character limit of the program is checked against this.
std::size_t native_length(std::string_view utf8);

// ---- Directory enumeration and file details ---------------------------------------------

// The longest path, as native_length counts it, that the walk hands on: 255 characters on
// Windows (cmd.exe and the encoder), PATH_MAX less its terminating zero on POSIX.
std::size_t longest_path();

// Which names the system's file calls take as they are: all of them on POSIX; on Windows not
// those that win32_name_fault_of refuses.
enum class name_rules { posix, win32 };
name_rules file_name_rules();

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
bool open_top_directory(const std::string& path, open_directory& dir, std::string& error);

// Opens the folder `name` of `parent`, whose path is `path`. Unless `through_link`, a link found
// in its place is refused (the listing said it was a folder).
bool open_subdirectory(const open_directory& parent, std::string_view name, const std::string& path,
                       bool through_link, open_directory& dir, std::string& error);

// The folder's absolute path with every link resolved, of the folder itself as it is open;
// empty when it cannot be told.
std::string real_path(const open_directory& dir);

// Asked for each entry as it is read: keep it? Called again with the kind found on a closer
// look when it answered yes to entry_kind::unknown. What it refuses is never stored.
using entry_filter = std::function<bool(std::string_view name, entry_kind kind)>;

// Lists the entries of `dir` that `keep` wants (POSIX: sorted byte-wise by name, so every run
// lists a library in the same order; Windows: in the order the system delivers them). Answers
// false, with the system's reason in `error`, when the listing fails; what was read before a
// failure part-way stays in `entries`.
bool read_directory(const open_directory& dir, const entry_filter& keep,
                    std::vector<dir_entry>& entries, std::string& error);

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
// delivered them. Answers false when the entry cannot be examined.
bool file_details_of(const open_directory& dir, const dir_entry& entry, file_details& details);

// The current time as 100-nanosecond ticks since 1601-01-01 UTC.
std::uint64_t now_ticks();

// The local time of day, in seconds past midnight.
int local_seconds_of_day();
// Today's local date as YYYY-MM-DD.
std::string local_date();

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

// ---- Notes kept with a file --------------------------------------------------------------

// A short text stored with the file itself: the extended attribute "user.brindle" on POSIX, the
// alternate data stream ":brindle" on NTFS. Answers false when there is none or the file system
// keeps no such notes. Writing leaves the file's last-write time as it was.
bool read_file_note(const std::string& path, std::string& text);
bool write_file_note(const std::string& path, const std::string& text);

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

// From now on the calls below that change names (remove, rename, link, create, set attributes)
// change them only in these folders and folders below them, as their real paths tell: a folder
// that is swapped for a link to somewhere else is refused, and each change is made through the
// folder handle that was checked. Before the first call, anywhere is allowed (tests). POSIX only:
// on Windows it does nothing.
void confine_changes_to(const std::vector<std::string>& folders);

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

// The command line that starts cmd.exe on `command`: `interpreter /d /v:off /s /c "command"`.
// /d skips the AutoRun commands a registry may hold; /v:off keeps delayed expansion, switched on
// in some registries, from turning a name holding !X! into another text. cmd strips the outer
// quotes again, so a command that begins with a quoted program path stays whole. An
// interpreter path holding a blank is quoted. Pure, so that it is tested on every platform.
inline std::string cmd_interpreter_line(std::string interpreter, const std::string& command) {
    // cmd.exe reads its own switches out of its command line, its own path included: in
    // "C:/Windows/System32/cmd.exe" it would find "/c" and take the rest for the command.
    for (char& c : interpreter) {
        if (c == '/') c = '\\';
    }
    const bool has_blank = interpreter.find_first_of(" \t") != std::string::npos;
    const std::string program = has_blank ? "\"" + interpreter + "\"" : interpreter;
    return program + " /d /v:off /s /c \"" + command + "\"";
}

// Does `path` name a file by an absolute Windows path: a drive letter, a colon and a separator,
// or two separators (a share, or the \\?\ and \\.\ forms)? "C:x" and "\\x" depend on the current
// drive and directory, and a bare name on the working directory and PATH.
inline bool is_absolute_windows_path(std::string_view path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 3 && path[1] == ':' && separator(path[2])) {
        const char drive = static_cast<char>(path[0] | 0x20);
        return drive >= 'a' && drive <= 'z';
    }
    return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
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
    // while the command ran; it was passed on and the command has ended. 0 when none. A stop
    // asked for before the command could start leaves it not_started with this set.
    int stop_signal = 0;
};

// The numbers that stand for Windows console events where POSIX has a signal number: those of
// SIGINT and SIGHUP, and 21, the number the Windows C runtime gives SIGBREAK.
inline constexpr int stop_by_ctrl_c = 2;
inline constexpr int stop_by_ctrl_break = 21;
inline constexpr int stop_by_console_close = 1;

// Runs `command_line` through the system's command interpreter (Windows: COMSPEC when it names
// an existing file by an absolute path and starts, else cmd.exe from the system directory;
// POSIX: /bin/sh -c), inheriting the console, working directory and environment, and waits for
// it without limit. On POSIX standard input is /dev/null: the command runs in a process group of
// its own, which may not read the terminal. Whatever the command leaves running when the
// interpreter ends is ended; if Brindle dies, the command ends with it.
command_result run_command(const std::string& command_line, const command_settings& settings = {});

// Installs the handlers that turn a stop request into a stop_signal: called once, when encoding
// begins (before that a stop ends the program at once, as it ends any other). On POSIX a stop
// signal ignored from the start (nohup, a background job) stays ignored.
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
