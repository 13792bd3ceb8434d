#pragma once

// Files: reading them, the notes kept with them, and the operations of the replace sequence.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vocabulary/op_result.h"

namespace brindle::platform {

// ---- Reading files -----------------------------------------------------------------------

// Reads up to `size` bytes from the start of the file into `buffer`. Answers the number of bytes
// read, or nothing when the file cannot be opened (with the system's reason in `error` when given).
std::optional<std::size_t> read_file_start(const std::string& path, char* buffer, std::size_t size,
                                           std::string* error = nullptr);

// ---- Looking inside files without blocking -----------------------------------------------

// A file open for reading at any offset, for the readers that look inside video containers.
// Opening never blocks and takes only a regular file: a FIFO, device, socket or directory is
// refused, on POSIX before it is opened, and so is a final link there. Windows takes only what
// GetFileType calls a disk file.
class file_reader {
public:
    // `missing`: nothing stands under the name (open_in_working_directory only).
    enum class outcome { opened, not_regular, failed, missing };
    file_reader() = default;
    ~file_reader();
    file_reader(const file_reader&) = delete;
    file_reader& operator=(const file_reader&) = delete;

    outcome open(const std::string& path);
    void close();
    // Opens the bare `name` through the working directory held since confine_changes_to (the
    // current folder when none is held), never through a link, and for writing too where the
    // system needs that to flush it (Windows).
    outcome open_in_working_directory(const std::string& name);
    // The system's own text for why the last open failed.
    const std::string& error() const { return error_; }
    // What the open handle told of the file when it was opened: identity, size, last-write time
    // and names.
    const path_state& status() const { return status_; }
    // When the file's content or names last changed (the inode's change time on POSIX, the
    // change time on Windows), in ticks; no program can set it back.
    std::uint64_t changed_ticks() const { return changed_ticks_; }
    // Copies up to `size` bytes from `offset` into `buffer`; answers how many (fewer at the end
    // of the file, 0 past it or when the read fails).
    std::size_t read_at(std::uint64_t offset, char* buffer, std::size_t size);
    // The file's size when it was opened.
    std::uint64_t size() const { return size_; }

    // For a file opened in the working directory: flushes it to disk.
    op_result flush();
    // Copies the open file, from its start, into a new file `to`, as copy_to_new_file does.
    op_result copy_to_new_file(const std::string& to);
    // For a file opened in the working directory: gives the open file the name `to`, never
    // replacing an existing `to` (`exists`), `cross_device` when `to` lies on another volume.
    // The very file that is open takes the name, or nothing changes: a file put under the old
    // name since the open is never moved into the library.
    op_result move_to(const std::string& to);

private:
    // Keeps `handle` when it is a regular file, with what it tells of the file; closes it if not.
    outcome take(std::intptr_t handle);
    std::intptr_t handle_ = -1;  // a descriptor or a HANDLE; -1 (INVALID_HANDLE_VALUE) is none
    std::uint64_t size_ = 0;
    std::string error_;
    path_state status_;
    std::uint64_t changed_ticks_ = 0;
    std::string name_;  // the bare name it was opened by in the working directory
};

// ---- Notes kept with a file --------------------------------------------------------------

// A short text stored with the file itself: the extended attribute "user.brindle" on POSIX, the
// alternate data stream ":brindle" on NTFS. Nothing, or a failure, when there is none or the
// file system keeps no such notes. Writing leaves the file's last-write time as it was.
std::optional<std::string> read_file_note(const std::string& path);
op_result write_file_note(const std::string& path, const std::string& text);

// ---- File operations used by the replace sequence ---------------------------------------

// The size of the file at `path`; nothing when there is no such file (or it cannot be examined).
std::optional<std::uint64_t> file_size(const std::string& path);

// The bytes this process may still write on the volume that holds `folder`; nothing when the
// system cannot tell.
std::optional<std::uint64_t> free_bytes_in(const std::string& folder);

// The space the file at `path` takes on its volume, its allocated blocks, which a sparse or
// compressed file holds less of than its size; nothing when the system cannot tell. A link
// there is not followed.
std::optional<std::uint64_t> allocated_bytes_of(const std::string& path);

// What stands at `path`, not following a link there. The stamp holds device and inode (volume
// serial number and file index), size, and last-write time.
path_state status_of(const std::string& path);

// Deletes a file (never a folder); fails on a missing file too.
op_result remove_file(const std::string& path);

// From now on the calls below that change names (remove, rename, link, create, set attributes)
// change them only in the library and the folders below it, as their real paths tell, and, for
// a bare name (tempenc.mkv), in the working directory itself: a folder that is swapped for a
// link to somewhere else is refused, and each change is made through the folder handle that was
// checked. The working directory is opened here, once, and held for the rest of the run: every
// bare name is changed and opened through that handle, so a path too long to be resolved again,
// or the folder renamed and replaced by a link meanwhile, never leads anywhere else. Answers why
// the working directory cannot be opened. Before the first call, or after one with two empty
// paths, anywhere is allowed (tests). On Windows the checked folders are held open without
// delete sharing, so none of them can be renamed or swapped meanwhile, and renames and links go
// through their handles; a link at a name that a step changes is refused (`other`), since under
// Wine such a step reaches its target.
op_result confine_changes_to(const std::string& library, const std::string& working_directory);

// Makes sure nothing stands under the bare `name` in the working directory held since
// confine_changes_to: removes what is there (a link itself, never what it leads to), then checks
// through the held handle that the name is free, and that the process's current folder is still
// that very folder, which an encoder started now writes in. Ok when the name is free.
op_result clear_in_working_directory(const std::string& name);

// Renames `from` to `to`, never replacing an existing `to` (`exists`), and writes the new name
// through to disk. `cross_device` when the two lie on different volumes.
op_result rename_no_replace(const std::string& from, const std::string& to);

// Renames `from` to `to`, replacing an existing `to` in one step (on Windows a read-only one too),
// and writes the change through to disk.
op_result rename_replace(const std::string& from, const std::string& to);

// Swaps the files that the two existing names `a` and `b` hold, in one step, and writes the
// change through to disk. `not_supported` where the system or the file system cannot (Windows).
op_result exchange_names(const std::string& a, const std::string& b);

// Makes `text` the whole content of the small file `path` in one step: written under a new name
// beside it, flushed, and renamed over it, never through a link. An empty text removes the file
// (a missing file is no failure).
op_result write_small_file(const std::string& path, const std::string& text);

// Gives the file `from` the second name `to`, never replacing an existing `to`. `not_supported`
// where the file system keeps one name per file (FAT, some shares).
op_result hard_link(const std::string& from, const std::string& to);

// Copies `from` into a new file `to`, created exclusively and never through a link (an existing
// `to`, a link included, answers `exists` and is left alone), and flushes the copy to disk. A copy
// that fails part-way removes what it wrote.
op_result copy_to_new_file(const std::string& from, const std::string& to);

// Gives the file `to` the permissions and the modification time of the file `from`: on POSIX the
// mode, and owner and group where this process may set them (a refusal for lack of rights is no
// failure); on Windows the read-only, hidden, system, archive and not-indexed attributes. Neither
// path is followed through a link; `to` must be a regular file.
op_result copy_attributes(const std::string& from, const std::string& to);

// Clears the read-only attribute, which keeps Windows from deleting a file. `not_supported` when
// there was none to clear, as always on POSIX, where the folder's permissions decide.
op_result clear_read_only(const std::string& path);

// Flushes a file's content to disk.
op_result flush_file(const std::string& path);

// Creates the file `path` exclusively and removes it at once, through its checked folder: tells
// whether this run may make names in that folder, as its permissions and ACLs decide. A name
// that is taken already tells nothing and answers ok.
op_result create_and_remove(const std::string& path);

// Whether this run may make names in the folder of `path`, as the folder's permissions and ACLs
// decide for this process, asked of the system without making anything there.
op_result may_make_names_beside(const std::string& path);

// Whether another program holds the file open in a way that keeps it from being deleted now
// (on Windows, opened without delete sharing). Never on POSIX, where an open file is deleted.
bool is_open_elsewhere(const std::string& path);

// Whether names outside ASCII are read and made as they are. Always on Linux and Windows; under
// Wine only when its Unix locale is UTF-8: otherwise the walk sees them with other letters, and
// a name made from one (a result, a note) is made with those.
bool keeps_names_outside_ascii();

}  // namespace brindle::platform
