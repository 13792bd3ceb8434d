// Files on Windows: reading them, their notes in an alternate data stream, and the operations
// of the replace sequence.

#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win32_support.h"

namespace brindle::platform {

using win32::error_text;
using win32::failure;
using win32::final_path_of;
using win32::join_halves;
using win32::last_failure;
using win32::open_file;
using win32::share_all;
using win32::ticks_of;
using win32::to_utf8;
using win32::to_wide;
using win32::to_wide_path;
using win32::unique_handle;

namespace {

// A reserved device name (COM1.mkv) opens the device, and a pipe or console read can wait
// forever: only what the system calls a disk file is read.
bool is_disk_file(HANDLE file) { return GetFileType(file) == FILE_TYPE_DISK; }

}  // namespace

std::optional<std::size_t> read_file_start(const std::string& path, char* buffer, std::size_t size,
                                           std::string* error) {
    const auto file = open_file(path, GENERIC_READ, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!file.valid()) {
        if (error) *error = error_text(GetLastError());
        return std::nullopt;
    }
    if (!is_disk_file(file.get())) {
        if (error) *error = "not a regular file";
        return std::nullopt;
    }
    std::size_t total = 0;
    while (total < size) {
        const auto left = size - total;
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer + total, chunk, &got, nullptr) || got == 0) break;
        total += got;
    }
    return total;
}

file_reader::~file_reader() { close(); }

void file_reader::close() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
    size_ = 0;
    status_ = {};
    changed_ticks_ = 0;
    name_.clear();
}

file_reader::outcome file_reader::open(const std::string& path) {
    close();
    error_.clear();
    const auto wide = to_wide_path(path);
    if (!wide) {
        error_ = error_text(ERROR_INVALID_NAME);
        return outcome::failed;
    }
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return outcome::not_regular;
    }
    unique_handle file(CreateFileW(wide->c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        error_ = error_text(GetLastError());
        return outcome::failed;
    }
    return take(reinterpret_cast<std::intptr_t>(file.release()));
}

file_reader::outcome file_reader::take(std::intptr_t handle) {
    unique_handle file(reinterpret_cast<HANDLE>(handle));
    if (!is_disk_file(file.get())) return outcome::not_regular;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information)) {
        error_ = error_text(GetLastError());
        return outcome::failed;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return outcome::not_regular;
    size_ = join_halves(information.nFileSizeHigh, information.nFileSizeLow);
    status_.what = path_state::kind::regular;
    status_.stamp = {information.dwVolumeSerialNumber,
                     join_halves(information.nFileIndexHigh, information.nFileIndexLow), size_,
                     ticks_of(information.ftLastWriteTime)};
    status_.names = information.nNumberOfLinks;
    // FAT keeps no change time: the last write stands in for it there.
    FILE_BASIC_INFO basic{};
    changed_ticks_ =
        GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic) &&
                basic.ChangeTime.QuadPart > 0
            ? static_cast<std::uint64_t>(basic.ChangeTime.QuadPart)
            : status_.stamp.write_ticks;
    handle_ = reinterpret_cast<std::intptr_t>(file.release());
    return outcome::opened;
}

std::size_t file_reader::read_at(std::uint64_t offset, char* buffer, std::size_t size) {
    std::size_t total = 0;
    while (handle_ != -1 && total < size) {
        const std::uint64_t at = offset + total;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        const auto left = size - total;
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD got = 0;
        // A read at or past the end fails with ERROR_HANDLE_EOF: the file ends there.
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer + total, chunk, &got, &position) ||
            got == 0) {
            break;
        }
        total += got;
    }
    return total;
}

namespace {
constexpr std::size_t most_note_size = 4096;
}  // namespace

std::optional<std::string> read_file_note(const std::string& path) {
    const auto stream = open_file(path + ":brindle", GENERIC_READ, OPEN_EXISTING);
    if (!stream.valid()) return std::nullopt;
    std::string buffer(most_note_size, '\0');
    DWORD got = 0;
    if (!ReadFile(stream.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        return std::nullopt;
    }
    buffer.resize(got);
    return buffer;
}

std::optional<std::uint64_t> file_size(const std::string& path) {
    const auto wide = to_wide_path(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!wide || !GetFileAttributesExW(wide->c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return join_halves(data.nFileSizeHigh, data.nFileSizeLow);
}

std::optional<std::uint64_t> free_bytes_in(const std::string& folder) {
    const auto wide = to_wide(folder);
    ULARGE_INTEGER available{};
    if (!wide || !GetDiskFreeSpaceExW(wide->c_str(), &available, nullptr, nullptr)) {
        return std::nullopt;
    }
    return available.QuadPart;
}

std::optional<std::uint64_t> allocated_bytes_of(const std::string& path) {
    // GetCompressedFileSizeW answers a sparse file's declared size under Wine; the allocation
    // size is right on both.
    const auto file = open_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    FILE_STANDARD_INFO information{};
    if (!file.valid() || !GetFileInformationByHandleEx(file.get(), FileStandardInfo, &information,
                                                       sizeof information)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(information.AllocationSize.QuadPart);
}

namespace {

constexpr DWORD carried_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// SetFileAttributesW takes "no attribute" only as FILE_ATTRIBUTE_NORMAL.
DWORD settable(DWORD attributes) { return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL; }

// A link or junction, as opposed to the other reparse points (deduplicated or cloud files),
// which are ordinary files to their readers.
bool is_name_surrogate(HANDLE handle, DWORD attributes) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return true;
    return IsReparseTagNameSurrogate(tag.ReparseTag);
}

// Deletes the file behind `handle`, which must have been opened with DELETE access: the very file
// this process created, whatever name now leads to it.
void delete_by_handle(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

bool copy_between(HANDLE in, HANDLE out) {
    std::vector<char> buffer(std::size_t{1} << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return false;
        }
        if (got == 0) return true;
        for (DWORD done = 0; done < got;) {
            DWORD written = 0;
            if (!WriteFile(out, buffer.data() + done, got - done, &written, nullptr)) return false;
            done += written;
        }
    }
}

}  // namespace

namespace {

bool running_under_wine() {
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

// Wine shows a POSIX link to a file as that file itself, with no reparse point, and deleting the
// link there deletes what it leads to. The file's own final path then differs from its folder's
// final path and the name it was opened by. (Windows marks every link as a reparse point.)
bool is_disguised_link(HANDLE file, HANDLE folder, const std::wstring& name) {
    if (!running_under_wine()) return false;
    std::wstring expected = final_path_of(folder);
    const std::wstring actual = final_path_of(file);
    if (expected.empty() || actual.empty()) return false;
    if (expected.back() != L'\\') expected += L'\\';
    expected += name;
    return CompareStringOrdinal(expected.c_str(), static_cast<int>(expected.size()), actual.c_str(),
                                static_cast<int>(actual.size()), TRUE) != CSTR_EQUAL;
}

bool is_disguised_link(HANDLE file, const std::wstring& path) {
    if (!running_under_wine()) return false;
    const auto slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const unique_handle folder_handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, share_all,
                                                  nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return folder_handle.valid() && is_disguised_link(file, folder_handle.get(), name);
}

// Where the replace steps may change names: the library, by its final path, and the working
// directory, by its identity (volume serial number and file index); neither until the run says.
struct confinement {
    bool active = false;
    std::string library;
    HANDLE working_directory = INVALID_HANDLE_VALUE;  // held open from the confinement on
};
confinement confined;

std::optional<std::pair<DWORD, std::uint64_t>> identity_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) return std::nullopt;
    return std::pair(information.dwVolumeSerialNumber,
                     join_halves(information.nFileIndexHigh, information.nFileIndexLow));
}

// A final path as a person reads it, without the long-path prefix.
std::string readable(const std::wstring& final_path) {
    std::wstring shown = final_path;
    if (shown.starts_with(L"\\\\?\\UNC\\")) {
        shown = L"\\\\" + shown.substr(8);
    } else if (shown.starts_with(L"\\\\?\\")) {
        shown = shown.substr(4);
    }
    return to_utf8(shown).value_or(std::string());
}

// "\\server\share" or "\\?\UNC\server\share", without a folder below the share.
bool is_share_root(std::wstring_view folder) {
    constexpr std::wstring_view long_unc = L"\\\\?\\UNC\\";
    if (folder.starts_with(long_unc)) {
        folder.remove_prefix(long_unc.size());
    } else if (folder.starts_with(L"\\\\") && !folder.starts_with(L"\\\\?\\") &&
               !folder.starts_with(L"\\\\.\\")) {
        folder.remove_prefix(2);
    } else {
        return false;
    }
    return std::count(folder.begin(), folder.end(), L'\\') == 1;
}

// The folder that holds a name the replace steps change, open and checked on its handle. A name
// given with its folder must lie inside the library, as the folder's final path tells. A bare
// name is one of the run's own in the working directory (tempenc.mkv): it is changed through
// the working directory's handle, held since the confinement. The handle does not
// share the right to delete, so while a step runs NTFS lets nobody rename, remove or swap that
// folder for a junction; names are made, deleted, renamed, linked and given notes relative to
// the handle.
class parent_folder {
public:
    explicit parent_folder(const std::string& path) {
        const auto wide = to_wide_path(path);
        if (!wide) {
            fault_ = failure(ERROR_NO_UNICODE_TRANSLATION);
            return;
        }
        const auto slash = wide->find_last_of(L"\\/");
        std::wstring folder = slash == std::wstring::npos ? L"." : wide->substr(0, slash);
        // "C:" alone is the drive's current folder, "" the current drive's root, and a share
        // ("\\server\share") opens as a folder only with its final separator.
        if (slash != std::wstring::npos &&
            (folder.empty() || folder.back() == L':' || is_share_root(folder))) {
            folder = wide->substr(0, slash + 1);
        }
        name_ = slash == std::wstring::npos ? *wide : wide->substr(slash + 1);
        if (name_.empty()) {
            fault_ = failure(ERROR_INVALID_NAME);
            return;
        }
        if (confined.active && slash == std::wstring::npos) {
            take_working_directory();
            return;
        }
        handle_ = unique_handle(CreateFileW(folder.c_str(),
                                            FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!handle_.valid()) {
            fault_ = last_failure();
            return;
        }
        if (!confined.active) return;
        const std::wstring real = final_path_of(handle_.get());
        const auto real_utf8 = to_utf8(real);
        // Some network and virtual drives cannot tell a folder's final path: there nothing can
        // be checked, and the step goes on rather than refusing every file on such a drive.
        if (real.empty() || !real_utf8 || confined.library.empty()) return;
        if (lies_inside(*real_utf8, confined.library, "\\")) return;
        fault_ = {op_result::fault::outside,
                  "its folder lies outside the library folder (" + readable(real) + ")"};
    }

    bool usable() const { return fault_.ok(); }
    const op_result& fault() const { return fault_; }
    HANDLE handle() const { return handle_.get(); }
    const std::wstring& name() const { return name_; }

    // Opens the name in this folder, never by a path from elsewhere: the file itself, or with a
    // `stream` (":brindle") that stream of it. NtCreateFile's `disposition` and `options`; on
    // failure the thread's last error is the system's reason.
    unique_handle open(ACCESS_MASK access, ULONG disposition, ULONG options,
                       std::wstring_view stream = {}) const {
        std::wstring full = name_;
        full += stream;
        if (full.size() > 32767) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return unique_handle(INVALID_HANDLE_VALUE);
        }
        UNICODE_STRING name{};
        name.Buffer = full.data();
        name.Length = static_cast<USHORT>(full.size() * sizeof(wchar_t));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes{};
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, handle_.get(),
                                   nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE opened = INVALID_HANDLE_VALUE;
        const NTSTATUS status = NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &io,
                                             nullptr, FILE_ATTRIBUTE_NORMAL, share_all, disposition,
                                             options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (status < 0) {
            SetLastError(RtlNtStatusToDosError(status));
            return unique_handle(INVALID_HANDLE_VALUE);
        }
        return unique_handle(opened);
    }

private:
    // The working directory's own handle, held since the confinement: its path is never
    // resolved again.
    void take_working_directory() {
        HANDLE copy = INVALID_HANDLE_VALUE;
        if (confined.working_directory == INVALID_HANDLE_VALUE) {
            fault_ = {op_result::fault::outside, "its folder is not the working directory"};
        } else if (!DuplicateHandle(GetCurrentProcess(), confined.working_directory,
                                    GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            fault_ = last_failure();
        }
        handle_ = unique_handle(copy);
    }

    unique_handle handle_{INVALID_HANDLE_VALUE};
    std::wstring name_;
    op_result fault_;
};

constexpr wchar_t note_stream[] = L":brindle";

// NtCreateFile's options for a file, never a folder, opened as itself should it be a link.
constexpr ULONG file_itself = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;

// Under Wine a rename, a deletion or a write at a POSIX link reaches the file it leads to,
// whatever the flags ask, so the steps that change a name refuse every link there.
op_result refused_link() { return {op_result::fault::other, "it is a link, never followed"}; }

bool is_link(HANDLE file, const parent_folder& folder) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) return true;
    return is_name_surrogate(file, information.dwFileAttributes) ||
           is_disguised_link(file, folder.handle(), folder.name());
}

// Opens the file that the name in its checked folder stands for, never a link, for a step that
// changes it; `access` is what that step needs.
op_result open_itself(const parent_folder& folder, ACCESS_MASK access, unique_handle& file) {
    if (!folder.usable()) return folder.fault();
    file = folder.open(access | FILE_READ_ATTRIBUTES, FILE_OPEN, file_itself);
    if (!file.valid()) return last_failure();
    if (is_link(file.get(), folder)) {
        file = unique_handle(INVALID_HANDLE_VALUE);
        return refused_link();
    }
    return {};
}

// Gives the open `file` the name `to` has in its checked folder, through that folder's handle, so
// the system never resolves the new name's path again: a rename (FileRenameInformation), or a
// second name (FileLinkInformation). A `stream` (":brindle") names that stream of it.
op_result give_name(HANDLE file, const parent_folder& to, FILE_INFORMATION_CLASS how, bool replace,
                    std::wstring_view stream = {}) {
    const std::wstring name = to.name() + std::wstring(stream);
    const std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + name.size() * sizeof(wchar_t);
    std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
    auto* information = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    information->ReplaceIfExists = replace ? TRUE : FALSE;
    information->RootDirectory = to.handle();
    information->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), information->FileName);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        NtSetInformationFile(file, &io, information, static_cast<ULONG>(size), how);
    if (status >= 0) return {};
    const DWORD error = RtlNtStatusToDosError(status);
    SetLastError(error);
    return failure(error);
}

bool set_attributes(HANDLE file, DWORD attributes) {
    // Zero times leave the file's times as they are.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = settable(attributes);
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
}

// Wine keeps a note as a plain file named NAME:brindle beside the file, which a stranger may have
// planted as a link or as a second name of a file elsewhere; NTFS streams are neither.
bool is_foreign_note(HANDLE stream, const parent_folder& folder) {
    if (!running_under_wine()) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    return !GetFileInformationByHandle(stream, &information) || information.nNumberOfLinks != 1 ||
           is_disguised_link(stream, folder.handle(), folder.name() + note_stream);
}

// The note stream of the name in `folder`, open for writing and not yet truncated. A new one is
// created exclusively, so that a link left dangling there creates nothing where it leads.
unique_handle open_note_stream(const parent_folder& folder) {
    constexpr ACCESS_MASK access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    auto stream = folder.open(access, FILE_OPEN, file_itself, note_stream);
    if (!stream.valid() && GetLastError() == ERROR_FILE_NOT_FOUND) {
        stream = folder.open(access, FILE_CREATE, file_itself, note_stream);
    }
    if (stream.valid() && is_foreign_note(stream.get(), folder)) {
        return unique_handle(INVALID_HANDLE_VALUE);
    }
    return stream;
}

// The note of the name in `folder`, open to be renamed or deleted; none when it is foreign.
unique_handle open_note_to_move(const parent_folder& folder) {
    auto note = folder.open(DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, file_itself, note_stream);
    if (note.valid() && is_foreign_note(note.get(), folder)) {
        return unique_handle(INVALID_HANDLE_VALUE);
    }
    return note;
}

// Wine keeps a note as a file of its own, which a rename or a deletion of the file would leave
// behind, to be renamed as a sidecar, listed by the scan or taken for the next file's note: it
// follows the file to `to`, or goes with it (none), and a note that a file gone left at the new
// name goes first.
void carry_note(const parent_folder& from, const parent_folder* to) {
    if (!running_under_wine()) return;
    if (to) {
        if (const auto stale = open_note_to_move(*to); stale.valid()) delete_by_handle(stale.get());
    }
    const auto note = open_note_to_move(from);
    if (!note.valid()) return;
    if (!to || !give_name(note.get(), *to, FileRenameInformation, false, note_stream).ok()) {
        delete_by_handle(note.get());
    }
}

}  // namespace

op_result write_file_note(const std::string& path, const std::string& text) {
    // Through its checked folder, never by path: a folder swapped for a junction meanwhile must
    // not carry the note to a file outside the library.
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    const auto file =
        folder.open(FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, file_itself);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &information)) {
        return last_failure();
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        is_disguised_link(file.get(), folder.handle(), folder.name())) {
        return failure(ERROR_INVALID_PARAMETER);
    }
    // Writing a stream may move the file's last-write time, which the note itself records: it is
    // put back afterwards.
    FILETIME written{};
    if (!GetFileTime(file.get(), nullptr, nullptr, &written)) return last_failure();
    op_result wrote;
    {
        const auto stream = open_note_stream(folder);
        DWORD put = 0;
        if (!stream.valid() ||
            !WriteFile(stream.get(), text.data(), static_cast<DWORD>(text.size()), &put, nullptr)) {
            wrote = last_failure();
        } else if (put != text.size()) {
            wrote = failure(ERROR_WRITE_FAULT);
        } else if (!SetEndOfFile(stream.get())) {
            wrote = last_failure();
        }
    }
    SetFileTime(file.get(), nullptr, nullptr, &written);
    return wrote;
}

path_state status_of(const std::string& path) {
    path_state result;
    const auto wide = to_wide_path(path);
    if (!wide) {
        result.what = path_state::kind::unknown;
        result.error = error_text(ERROR_NO_UNICODE_TRANSLATION);
        return result;
    }
    // The link itself, never its target; a folder opens only with backup semantics.
    const unique_handle handle(
        CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &information)) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            result.what = path_state::kind::unknown;
            result.error = error_text(error);
        }
        return result;
    }
    const DWORD attributes = information.dwFileAttributes;
    if (is_name_surrogate(handle.get(), attributes) ||
        GetFileType(handle.get()) != FILE_TYPE_DISK ||
        (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && is_disguised_link(handle.get(), *wide))) {
        result.what = path_state::kind::other;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        result.what = path_state::kind::directory;
    } else {
        result.what = path_state::kind::regular;
    }
    result.stamp.volume = information.dwVolumeSerialNumber;
    result.stamp.index = join_halves(information.nFileIndexHigh, information.nFileIndexLow);
    result.stamp.size = join_halves(information.nFileSizeHigh, information.nFileSizeLow);
    result.stamp.write_ticks = ticks_of(information.ftLastWriteTime);
    result.names = information.nNumberOfLinks;
    return result;
}

op_result remove_file(const std::string& path) {
    // As DeleteFileW does it, but relative to the checked folder: the name itself, a link
    // included, is deleted when the handle closes.
    const parent_folder folder(path);
    unique_handle file(INVALID_HANDLE_VALUE);
    if (const op_result opened = open_itself(folder, DELETE, file); !opened.ok()) return opened;
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
        return last_failure();
    }
    carry_note(folder, nullptr);
    return {};
}

namespace {

op_result rename_opened(HANDLE file, const parent_folder& new_folder, bool replace) {
    op_result renamed = give_name(file, new_folder, FileRenameInformation, replace);
    if (!replace || renamed.ok() || renamed.why != op_result::fault::other) return renamed;
    // Windows replaces no read-only file, and the caller asked for this very file to be replaced.
    // Should the second try fail too, the file gets its attribute back.
    unique_handle target(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!open_itself(new_folder, FILE_WRITE_ATTRIBUTES, target).ok() ||
        !GetFileInformationByHandle(target.get(), &information)) {
        return renamed;
    }
    const DWORD attributes = information.dwFileAttributes;
    if (!(attributes & FILE_ATTRIBUTE_READONLY) ||
        !set_attributes(target.get(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return renamed;
    }
    renamed = give_name(file, new_folder, FileRenameInformation, true);
    if (!renamed.ok()) set_attributes(target.get(), attributes);
    return renamed;
}

op_result rename_through_folders(const std::string& from, const std::string& to, bool replace) {
    const parent_folder old_folder(from), new_folder(to);
    if (!new_folder.usable()) return new_folder.fault();
    unique_handle file(INVALID_HANDLE_VALUE);
    if (const op_result opened = open_itself(old_folder, DELETE, file); !opened.ok()) {
        return opened;
    }
    const op_result renamed = rename_opened(file.get(), new_folder, replace);
    if (renamed.ok()) carry_note(old_folder, &new_folder);
    return renamed;
}

}  // namespace

op_result rename_no_replace(const std::string& from, const std::string& to) {
    return rename_through_folders(from, to, false);
}

op_result rename_replace(const std::string& from, const std::string& to) {
    return rename_through_folders(from, to, true);
}

op_result hard_link(const std::string& from, const std::string& to) {
    const parent_folder old_folder(from), new_folder(to);
    if (!new_folder.usable()) return new_folder.fault();
    unique_handle file(INVALID_HANDLE_VALUE);
    if (const op_result opened = open_itself(old_folder, FILE_WRITE_ATTRIBUTES, file);
        !opened.ok()) {
        return opened;
    }
    op_result result = give_name(file.get(), new_folder, FileLinkInformation, false);
    // FAT and exFAT have no hard links and network shares often refuse them; a file with 1023
    // links takes no more. A refusal of access is left to the rename that serves instead, which
    // either works or says why it cannot.
    const DWORD error = GetLastError();
    if (!result.ok() && (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                         error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_TOO_MANY_LINKS ||
                         error == ERROR_ACCESS_DENIED)) {
        result.why = op_result::fault::not_supported;
    }
    return result;
}

namespace {

op_result copy_handle_to_new_file(HANDLE in, const std::string& to) {
    // A new file refuses whatever stands at `to`, a link included, so nothing planted there is
    // ever written through or truncated.
    const parent_folder folder(to);
    if (!folder.usable()) return folder.fault();
    const auto out = folder.open(GENERIC_WRITE | DELETE, FILE_CREATE,
                                 FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
    if (!out.valid()) return last_failure();
    // Marked for deletion from the start, so that a run killed while it copies leaves nothing:
    // the system deletes the file when its last handle closes. Unlike the flag that deletes on
    // close, the mark can be cleared once the copy is whole.
    delete_by_handle(out.get());
    if (copy_between(in, out.get()) && FlushFileBuffers(out.get())) {
        FILE_DISPOSITION_INFO keep{FALSE};
        if (SetFileInformationByHandle(out.get(), FileDispositionInfo, &keep, sizeof keep)) {
            return {};
        }
    }
    const op_result result = last_failure();
    delete_by_handle(out.get());
    return result;
}

}  // namespace

op_result copy_to_new_file(const std::string& from, const std::string& to) {
    const auto in = open_file(from, GENERIC_READ, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!in.valid()) return last_failure();
    if (GetFileType(in.get()) != FILE_TYPE_DISK) return failure(ERROR_INVALID_FUNCTION);
    return copy_handle_to_new_file(in.get(), to);
}

op_result copy_attributes(const std::string& from, const std::string& to) {
    const auto wide_from = to_wide_path(from);
    if (!wide_from) return failure(ERROR_NO_UNICODE_TRANSLATION);
    WIN32_FILE_ATTRIBUTE_DATA source{};
    if (!GetFileAttributesExW(wide_from->c_str(), GetFileExInfoStandard, &source)) {
        return last_failure();
    }
    if (source.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        return failure(ERROR_INVALID_PARAMETER);
    }
    const parent_folder folder(to);
    unique_handle file(INVALID_HANDLE_VALUE);
    if (const op_result opened = open_itself(folder, FILE_WRITE_ATTRIBUTES, file); !opened.ok()) {
        return opened;
    }
    // Zero times leave the file's times as they are; the last write time is the source's, so
    // that date-sorted listings keep the file where it was.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = settable(source.dwFileAttributes & carried_attributes);
    basic.LastWriteTime.LowPart = source.ftLastWriteTime.dwLowDateTime;
    basic.LastWriteTime.HighPart = static_cast<LONG>(source.ftLastWriteTime.dwHighDateTime);
    if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) {
        return last_failure();
    }
    return {};
}

op_result clear_read_only(const std::string& path) {
    const parent_folder folder(path);
    unique_handle file(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION information{};
    if (const op_result opened = open_itself(folder, FILE_WRITE_ATTRIBUTES, file); !opened.ok()) {
        return opened;
    }
    if (!GetFileInformationByHandle(file.get(), &information)) return last_failure();
    const DWORD attributes = information.dwFileAttributes;
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return {op_result::fault::not_supported, {}};
    if (!set_attributes(file.get(), attributes & ~FILE_ATTRIBUTE_READONLY)) return last_failure();
    return {};
}

op_result create_and_remove(const std::string& path) {
    // Removed when closed, whatever happens in between.
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    const auto file = folder.open(GENERIC_WRITE | DELETE, FILE_CREATE,
                                  FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE);
    if (!file.valid()) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? op_result{}
                                                                           : failure(error);
    }
    return {};
}

op_result may_make_names_beside(const std::string& path) {
    const parent_folder folder(path);
    if (!folder.usable()) return folder.fault();
    // Asking for the right to add a file is answered from the folder's ACL, as a creation would
    // be. The right to delete what it made comes with the file, so it is not asked of the folder.
    const unique_handle asked(
        ReOpenFile(folder.handle(), FILE_ADD_FILE, share_all, FILE_FLAG_BACKUP_SEMANTICS));
    if (!asked.valid()) return last_failure();
    return {};
}

bool is_open_elsewhere(const std::string& path) {
    // Asking for the right to delete is refused with a sharing violation exactly when a program
    // has the file open without delete sharing.
    const auto file = open_file(path, DELETE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    return !file.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

bool keeps_names_outside_ascii() {
    // Wine tells the Unix name it would give a Windows path; real Windows has no such call.
    static const bool kept = [] {
        using unix_name_of = char*(CDECL*)(const WCHAR*);
        const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        const auto ask = kernel ? reinterpret_cast<unix_name_of>(reinterpret_cast<void*>(
                                      GetProcAddress(kernel, "wine_get_unix_file_name")))
                                : nullptr;
        if (ask == nullptr) return true;
        // Wine answers nothing for a name its Unix locale cannot hold.
        char* name = ask(L"Z:\\brindle-\u00e9");
        if (name == nullptr) return false;
        const bool utf8 = std::string_view(name).ends_with("brindle-\xC3\xA9");
        HeapFree(GetProcessHeap(), 0, name);
        return utf8;
    }();
    return kept;
}

op_result flush_file(const std::string& path) {
    // FlushFileBuffers needs a handle that may write.
    const auto file = open_file(path, GENERIC_WRITE, OPEN_EXISTING);
    if (!file.valid() || !FlushFileBuffers(file.get())) return last_failure();
    return {};
}

op_result confine_changes_to(const std::string& library, const std::string& working_directory) {
    const auto final_path_of_folder = [](const std::string& folder) {
        if (folder.empty()) return std::string();
        const auto handle =
            open_file(folder, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        return handle.valid() ? to_utf8(final_path_of(handle.get())).value_or(std::string())
                              : std::string();
    };
    if (confined.working_directory != INVALID_HANDLE_VALUE) {
        CloseHandle(confined.working_directory);
    }
    confined = {};
    confined.active = !library.empty() || !working_directory.empty();
    confined.library = final_path_of_folder(library);
    if (working_directory.empty()) return {};
    const auto wide = to_wide_path(working_directory);
    if (!wide) return failure(ERROR_NO_UNICODE_TRANSLATION);
    // Without delete sharing: nobody renames or removes it while the run goes on.
    confined.working_directory = CreateFileW(
        wide->c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
        nullptr);
    return confined.working_directory == INVALID_HANDLE_VALUE ? last_failure() : op_result{};
}

namespace {

bool is_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Whether the process's current folder is the folder behind `held`: an encoder started now
// writes its output there.
op_result is_current_folder(HANDLE held) {
    const unique_handle here(CreateFileW(L".", FILE_READ_ATTRIBUTES, share_all, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!here.valid()) return last_failure();
    const auto now = identity_of(here.get());
    if (!now || now != identity_of(held)) {
        return {op_result::fault::outside, "the current folder is no longer the working directory"};
    }
    return {};
}

}  // namespace

op_result clear_in_working_directory(const std::string& name) {
    const parent_folder folder(name);
    if (!folder.usable()) return folder.fault();
    for (int look = 0; look < 2; ++look) {
        const auto file = folder.open(DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, file_itself);
        if (!file.valid()) {
            const DWORD error = GetLastError();
            if (is_missing(error)) return is_current_folder(folder.handle());
            return failure(error);
        }
        // Deleting what a disguised link opened would delete the file it leads to.
        if (look > 0 || is_disguised_link(file.get(), folder.handle(), folder.name())) {
            return failure(ERROR_ALREADY_EXISTS);
        }
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                        sizeof disposition)) {
            return last_failure();
        }
    }
    return failure(ERROR_ALREADY_EXISTS);
}

file_reader::outcome file_reader::open_in_working_directory(const std::string& name) {
    close();
    error_.clear();
    const parent_folder folder(name);
    if (!folder.usable()) {
        error_ = folder.fault().error;
        return outcome::failed;
    }
    // Writing, to flush it, and deleting, to rename it by its handle; reading alone for a file
    // that refuses the rest.
    auto file = folder.open(GENERIC_READ | GENERIC_WRITE | DELETE, FILE_OPEN, file_itself);
    if (!file.valid() && GetLastError() == ERROR_ACCESS_DENIED) {
        file = folder.open(GENERIC_READ, FILE_OPEN, file_itself);
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.valid()) {
        const DWORD error = GetLastError();
        error_ = error_text(error);
        if (is_missing(error)) return outcome::missing;
        // A folder refuses to open as a file with a denial of access.
        const auto look = folder.open(FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
        return look.valid() && GetFileInformationByHandle(look.get(), &information) &&
                       (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                   ? outcome::not_regular
                   : outcome::failed;
    }
    if (!GetFileInformationByHandle(file.get(), &information) ||
        is_name_surrogate(file.get(), information.dwFileAttributes) ||
        is_disguised_link(file.get(), folder.handle(), folder.name())) {
        return outcome::not_regular;
    }
    const outcome opened = take(reinterpret_cast<std::intptr_t>(file.release()));
    if (opened == outcome::opened) name_ = name;
    return opened;
}

op_result file_reader::flush() {
    if (handle_ == -1 || !FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) {
        return last_failure();
    }
    return {};
}

op_result file_reader::copy_to_new_file(const std::string& to) {
    // The reads here go by offset, and on a handle opened for synchronous use each moves the file
    // pointer: the copy starts from the beginning again.
    const HANDLE in = reinterpret_cast<HANDLE>(handle_);
    LARGE_INTEGER start{};
    if (handle_ == -1 || !SetFilePointerEx(in, start, nullptr, FILE_BEGIN)) return last_failure();
    return copy_handle_to_new_file(in, to);
}

namespace {

// Renames the file behind `file`, opened with DELETE access, to the name of `to` in its folder,
// never replacing a file there.
op_result rename_by_handle(HANDLE file, const parent_folder& to) {
    const std::wstring& name = to.name();
    std::vector<char> buffer(sizeof(FILE_RENAME_INFORMATION) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = to.handle();
    rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), rename->FileName);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtSetInformationFile(
        file, &io, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation);
    if (status < 0) return failure(RtlNtStatusToDosError(status));
    return {};
}

// Whether the name of `folder` holds the file `stamp` names.
bool holds(const parent_folder& folder, const file_stamp& stamp) {
    const auto file = folder.open(FILE_READ_ATTRIBUTES, FILE_OPEN, file_itself);
    const auto identity = file.valid() ? identity_of(file.get()) : std::nullopt;
    return identity && identity->first == stamp.volume && identity->second == stamp.index;
}

}  // namespace

op_result file_reader::move_to(const std::string& to) {
    if (handle_ == -1 || name_.empty()) return failure(ERROR_INVALID_HANDLE);
    const parent_folder old_folder(name_), new_folder(to);
    if (!old_folder.usable()) return old_folder.fault();
    if (!new_folder.usable()) return new_folder.fault();
    // Windows renames the open file itself, but Wine renames whatever now stands under the name
    // it was opened by: the name must hold the open file before the rename and after it.
    const op_result taken = {op_result::fault::other,
                             "another file took its name before it was moved"};
    if (!holds(old_folder, status_.stamp)) return taken;
    if (const op_result moved = rename_by_handle(reinterpret_cast<HANDLE>(handle_), new_folder);
        !moved.ok()) {
        return moved;
    }
    if (holds(new_folder, status_.stamp)) return {};
    const auto other = new_folder.open(DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, file_itself);
    if (other.valid()) rename_by_handle(other.get(), old_folder);
    return taken;
}

op_result exchange_names(const std::string&, const std::string&) {
    return {op_result::fault::not_supported, "Windows cannot swap two names in one step"};
}

op_result write_small_file(const std::string& path, const std::string& text) {
    // A fresh file left by a run killed while it wrote is never written through.
    const std::string fresh = path + ".new";
    remove_file(fresh);
    if (text.empty()) {
        const op_result removed = remove_file(path);
        if (removed.ok() || status_of(path).what == path_state::kind::missing) return {};
        return removed;
    }
    {
        const auto out = open_file(fresh, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        if (!out.valid()) return last_failure();
        DWORD written = 0;
        if (!WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
            written != text.size() || !FlushFileBuffers(out.get())) {
            const op_result result = last_failure();
            remove_file(fresh);
            return result;
        }
    }
    return rename_replace(fresh, path);
}

}  // namespace brindle::platform
