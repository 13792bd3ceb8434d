// The platform layer on Windows. Only the W calls are used: paths are converted from UTF-8 to
// UTF-16 right before each call and back right after, so no name passes through the ANSI code
// page. A text that does not convert is treated like a file that cannot be reached.

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <optional>
#include <utility>

#include "platform/platform.h"

namespace brindle::platform {
namespace {

std::optional<std::wstring> to_wide(std::string_view utf8) {
    if (utf8.empty()) return std::wstring();
    if (utf8.size() > INT_MAX) return std::nullopt;
    const int length = static_cast<int>(utf8.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (needed <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(), needed);
    return wide;
}

std::optional<std::string> to_utf8(std::wstring_view wide) {
    if (wide.empty()) return std::string();
    if (wide.size() > INT_MAX) return std::nullopt;
    const int length = static_cast<int>(wide.size());
    const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length,
                                           nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::nullopt;
    std::string utf8(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, utf8.data(), needed,
                        nullptr, nullptr);
    return utf8;
}

// Closes the handle it holds when it goes out of scope.
class unique_handle {
public:
    explicit unique_handle(HANDLE handle) : handle_(handle) {}
    ~unique_handle() {
        if (valid()) CloseHandle(handle_);
    }
    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) {
            if (valid()) CloseHandle(handle_);
            handle_ = other.release();
        }
        return *this;
    }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE handle_;
};

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

unique_handle open_file(const std::string& path, DWORD access, DWORD disposition,
                        DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    const auto wide = to_wide(path);
    if (!wide) return unique_handle(INVALID_HANDLE_VALUE);
    return unique_handle(
        CreateFileW(wide->c_str(), access, share_all, nullptr, disposition, flags, nullptr));
}

std::uint64_t join_halves(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

std::uint64_t ticks_of(const FILETIME& time) {
    return join_halves(time.dwHighDateTime, time.dwLowDateTime);
}

// The system's own words for an error code, without the line break it ends with.
std::string error_text(DWORD code) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text;
    if (length > 0 && message != nullptr) {
        text = to_utf8(std::wstring_view(message, length)).value_or(std::string());
        LocalFree(message);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    if (text.empty()) text = "error " + std::to_string(code);
    return text;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// An existing file (not a directory) at `path`.
bool is_file(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring environment_variable(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return {};
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);  // too small: `length` counts the terminating zero
    }
}

bool write_console(HANDLE console, std::string_view text) {
    auto wide = to_wide(text);
    if (!wide) return false;
    const wchar_t* data = wide->data();
    std::size_t left = wide->size();
    while (left > 0) {
        DWORD chunk = left > 16384 ? 16384 : static_cast<DWORD>(left);
        // A character beyond U+FFFF is written whole, never split between two calls.
        if (chunk < left && IS_HIGH_SURROGATE(data[chunk - 1])) --chunk;
        DWORD written = 0;
        if (!WriteConsoleW(console, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        left -= written;
    }
    return true;
}

}  // namespace

char path_separator() { return '\\'; }

const char* path_separators() { return "\\/"; }

std::size_t native_length(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > INT_MAX) return utf8.size();
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    return units > 0 ? static_cast<std::size_t>(units) : utf8.size();
}

std::size_t longest_path() { return 255; }

name_rules file_name_rules() { return name_rules::win32; }

bool links_may_look_like_folders() { return true; }

open_directory::~open_directory() {
    if (native != -1 && native != 0) CloseHandle(reinterpret_cast<HANDLE>(native));
}

open_directory::open_directory(open_directory&& other) noexcept
    : path(std::move(other.path)), id(other.id), native(std::exchange(other.native, -1)) {}

open_directory& open_directory::operator=(open_directory&& other) noexcept {
    if (this != &other) {
        if (native != -1 && native != 0) CloseHandle(reinterpret_cast<HANDLE>(native));
        path = std::move(other.path);
        id = other.id;
        native = std::exchange(other.native, -1);
    }
    return *this;
}

namespace {

// Reparse tags (winnt.h) of the links and the special files that WSL and AF_UNIX sockets leave.
constexpr DWORD tag_mount_point = 0xA0000003, tag_symlink = 0xA000000C, tag_lx_symlink = 0xA000001D,
                tag_af_unix = 0x80000023, tag_lx_fifo = 0x80000024, tag_lx_chr = 0x80000025,
                tag_lx_blk = 0x80000026;

bool is_link_tag(DWORD tag) {
    return tag == tag_mount_point || tag == tag_symlink || tag == tag_lx_symlink;
}
bool is_special_tag(DWORD tag) {
    return tag == tag_af_unix || tag == tag_lx_fifo || tag == tag_lx_chr || tag == tag_lx_blk;
}

// Other reparse points (deduplicated or cloud files, for instance) hold ordinary files and
// folders.
entry_kind kind_of(DWORD attributes, DWORD tag) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) tag = 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return is_link_tag(tag) ? entry_kind::directory_link : entry_kind::directory;
    }
    if (is_link_tag(tag) || is_special_tag(tag) || (attributes & FILE_ATTRIBUTE_DEVICE)) {
        return entry_kind::other;
    }
    return entry_kind::file;
}

// The reparse tag of an open file, 0 when it has none.
DWORD reparse_tag_of(HANDLE handle, DWORD attributes) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return 0;
    return info.ReparseTag;
}

// "C:" names the drive's working directory to CreateFileW but its root to FindFirstFileExW,
// which the listing gets as "C:\*"; the folder opened must be the one listed.
std::string openable(const std::string& path) {
    if (path.size() == 2 && path[1] == ':') return path + "\\";
    return path;
}

bool open_folder(const std::string& path, DWORD flags, bool refuse_links, open_directory& dir,
                 std::string& error) {
    if (path.empty()) {
        // An empty text names no folder, as on POSIX, rather than the working directory.
        error = error_text(ERROR_PATH_NOT_FOUND);
        return false;
    }
    unique_handle handle = open_file(openable(path), FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | flags);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) {
        error = error_text(GetLastError());
        return false;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        GetFileType(handle.get()) != FILE_TYPE_DISK) {
        error = error_text(ERROR_DIRECTORY);
        return false;
    }
    if (refuse_links && is_link_tag(reparse_tag_of(handle.get(), info.dwFileAttributes))) {
        error = "it was replaced by a link while the walk ran";
        return false;
    }
    open_directory opened;
    opened.native = reinterpret_cast<std::intptr_t>(handle.release());
    opened.path = path;
    opened.id = {info.dwVolumeSerialNumber, join_halves(info.nFileIndexHigh, info.nFileIndexLow)};
    dir = std::move(opened);
    return true;
}

}  // namespace

bool open_top_directory(const std::string& path, open_directory& dir, std::string& error) {
    return open_folder(path, 0, false, dir, error);
}

bool open_subdirectory(const open_directory&, std::string_view, const std::string& path,
                       bool through_link, open_directory& dir, std::string& error) {
    // Opened without following a link where the listing showed a folder, so that one swapped in
    // since is seen for what it is.
    return open_folder(path, through_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT, !through_link, dir,
                       error);
}

namespace {

std::wstring final_path_of(HANDLE handle) {
    std::wstring wide(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = GetFinalPathNameByHandleW(
            handle, wide.data(), static_cast<DWORD>(wide.size()), FILE_NAME_NORMALIZED);
        if (length == 0) return {};
        if (length < wide.size()) {
            wide.resize(length);
            return wide;
        }
        wide.resize(length + 1);
    }
    return {};
}

}  // namespace

std::string real_path(const open_directory& dir) {
    return to_utf8(final_path_of(reinterpret_cast<HANDLE>(dir.native))).value_or(std::string());
}

bool read_directory(const open_directory& dir, const entry_filter& keep,
                    std::vector<dir_entry>& entries, std::string& error) {
    const bool ends_in_separator = !dir.path.empty() && is_separator(dir.path.back());
    const auto pattern = to_wide(dir.path + (ends_in_separator ? "*" : "\\*"));
    if (!pattern) {
        error = error_text(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    // The basic information leaves out the short names, and the large fetch reads the listing
    // in larger batches.
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
        find = FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                nullptr, 0);
    }
    if (find == INVALID_HANDLE_VALUE) {
        // A drive's root holds no "." or "..", so an empty one finds nothing at all.
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
        error = error_text(GetLastError());
        return false;
    }
    do {
        const std::wstring_view wide_name = data.cFileName;
        if (wide_name == L"." || wide_name == L"..") continue;
        auto name = to_utf8(wide_name);
        if (!name) continue;  // not valid UTF-16: nothing could open it by a converted name
        const entry_kind kind = kind_of(data.dwFileAttributes, data.dwReserved0);
        if (!keep(*name, kind)) continue;
        dir_entry& entry = entries.emplace_back();
        entry.name = std::move(*name);
        entry.kind = kind;
        entry.has_details = true;
        entry.size = join_halves(data.nFileSizeHigh, data.nFileSizeLow);
        entry.creation_ticks = ticks_of(data.ftCreationTime);
        entry.write_ticks = ticks_of(data.ftLastWriteTime);
    } while (FindNextFileW(find, &data));
    const DWORD ended = GetLastError();
    FindClose(find);
    if (ended != ERROR_NO_MORE_FILES) {
        error = error_text(ended);
        return false;
    }
    return true;
}

bool file_details_of(const open_directory&, const dir_entry& entry, file_details& details) {
    if (!entry.has_details) return false;
    details = {};
    details.is_regular = entry.kind == entry_kind::file;
    details.size = entry.size;
    details.creation_ticks = entry.creation_ticks;
    details.write_ticks = entry.write_ticks;
    return true;
}

std::uint64_t now_ticks() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return ticks_of(now);
}

namespace {

// A reserved device name (COM1.mkv) opens the device, and a pipe or console read can wait
// forever: only what the system calls a disk file is read.
bool is_disk_file(HANDLE file) { return GetFileType(file) == FILE_TYPE_DISK; }

}  // namespace

int local_seconds_of_day() {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    return local.wHour * 3600 + local.wMinute * 60 + local.wSecond;
}

std::string local_date() {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", local.wYear, local.wMonth, local.wDay);
    return text;
}

long long read_file_start(const std::string& path, char* buffer, std::size_t size,
                          std::string* error) {
    const auto file = open_file(path, GENERIC_READ, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!file.valid()) {
        if (error) *error = error_text(GetLastError());
        return -1;
    }
    if (!is_disk_file(file.get())) {
        if (error) *error = "not a regular file";
        return -1;
    }
    std::size_t total = 0;
    while (total < size) {
        const auto left = size - total;
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer + total, chunk, &got, nullptr) || got == 0) break;
        total += got;
    }
    return static_cast<long long>(total);
}

file_reader::~file_reader() { close(); }

void file_reader::close() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
    size_ = 0;
}

file_reader::outcome file_reader::open(const std::string& path) {
    close();
    error_.clear();
    const auto wide = to_wide(path);
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
    if (!is_disk_file(file.get())) return outcome::not_regular;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information)) {
        error_ = error_text(GetLastError());
        return outcome::failed;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return outcome::not_regular;
    size_ = join_halves(information.nFileSizeHigh, information.nFileSizeLow);
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

bool read_file_note(const std::string& path, std::string& text) {
    const auto stream = open_file(path + ":brindle", GENERIC_READ, OPEN_EXISTING);
    if (!stream.valid()) return false;
    std::string buffer(most_note_size, '\0');
    DWORD got = 0;
    if (!ReadFile(stream.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        return false;
    }
    buffer.resize(got);
    text = std::move(buffer);
    return true;
}

bool write_file_note(const std::string& path, const std::string& text) {
    // Writing a stream may move the file's last-write time, which the note itself records: it is
    // put back afterwards.
    const auto file = open_file(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING);
    FILETIME written{};
    if (!file.valid() || !GetFileTime(file.get(), nullptr, nullptr, &written)) return false;
    bool ok = false;
    {
        const auto stream = open_file(path + ":brindle", GENERIC_WRITE, CREATE_ALWAYS);
        DWORD put = 0;
        ok = stream.valid() &&
             WriteFile(stream.get(), text.data(), static_cast<DWORD>(text.size()), &put, nullptr) &&
             put == text.size();
    }
    SetFileTime(file.get(), nullptr, nullptr, &written);
    return ok;
}

void write_out(std::string_view text) {
    // The C runtime would pass each byte through the console's code page; the console's own
    // UTF-16 interface shows every name as it is. Redirected output gets the UTF-8 bytes.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && out != nullptr && GetConsoleMode(out, &mode)) {
        std::fflush(stdout);
        if (write_console(out, text)) return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void flush_out() { std::fflush(stdout); }

long long file_size(const std::string& path) {
    const auto wide = to_wide(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!wide || !GetFileAttributesExW(wide->c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<long long>(join_halves(data.nFileSizeHigh, data.nFileSizeLow));
}

namespace {

file_op_result failure(DWORD code) {
    file_op_result result;
    result.how = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
                     ? file_op_result::status::exists
                 : code == ERROR_NOT_SAME_DEVICE ? file_op_result::status::cross_device
                                                 : file_op_result::status::failed;
    result.error = error_text(code);
    return result;
}

file_op_result last_failure() { return failure(GetLastError()); }

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
bool is_disguised_link(HANDLE file, const std::wstring& path) {
    if (!running_under_wine()) return false;
    const auto slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const unique_handle folder_handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, share_all,
                                                  nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder_handle.valid()) return false;
    std::wstring expected = final_path_of(folder_handle.get());
    const std::wstring actual = final_path_of(file);
    if (expected.empty() || actual.empty()) return false;
    if (expected.back() != L'\\') expected += L'\\';
    expected += name;
    return CompareStringOrdinal(expected.c_str(), static_cast<int>(expected.size()), actual.c_str(),
                                static_cast<int>(actual.size()), TRUE) != CSTR_EQUAL;
}

}  // namespace

path_status status_of(const std::string& path) {
    path_status result;
    const auto wide = to_wide(path);
    if (!wide) {
        result.what = path_status::kind::unknown;
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
            result.what = path_status::kind::unknown;
            result.error = error_text(error);
        }
        return result;
    }
    const DWORD attributes = information.dwFileAttributes;
    if (is_name_surrogate(handle.get(), attributes) ||
        GetFileType(handle.get()) != FILE_TYPE_DISK ||
        (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && is_disguised_link(handle.get(), *wide))) {
        result.what = path_status::kind::other;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        result.what = path_status::kind::directory;
    } else {
        result.what = path_status::kind::regular;
    }
    result.volume = information.dwVolumeSerialNumber;
    result.index = join_halves(information.nFileIndexHigh, information.nFileIndexLow);
    result.size = join_halves(information.nFileSizeHigh, information.nFileSizeLow);
    result.write_ticks = ticks_of(information.ftLastWriteTime);
    return result;
}

file_op_result remove_file(const std::string& path) {
    const auto wide = to_wide(path);
    if (!wide) return failure(ERROR_NO_UNICODE_TRANSLATION);
    if (!DeleteFileW(wide->c_str())) return last_failure();
    return {};
}

file_op_result rename_no_replace(const std::string& from, const std::string& to) {
    const auto wide_from = to_wide(from), wide_to = to_wide(to);
    if (!wide_from || !wide_to) return failure(ERROR_NO_UNICODE_TRANSLATION);
    if (!MoveFileExW(wide_from->c_str(), wide_to->c_str(), MOVEFILE_WRITE_THROUGH)) {
        return last_failure();
    }
    return {};
}

file_op_result rename_replace(const std::string& from, const std::string& to) {
    const auto wide_from = to_wide(from), wide_to = to_wide(to);
    if (!wide_from || !wide_to) return failure(ERROR_NO_UNICODE_TRANSLATION);
    constexpr DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(wide_from->c_str(), wide_to->c_str(), flags)) return {};
    DWORD error = GetLastError();
    // Windows replaces no read-only file, and the caller asked for this very file to be replaced.
    // Should the second try fail too, the file gets its attribute back.
    const DWORD attributes = GetFileAttributesW(wide_to->c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        SetFileAttributesW(wide_to->c_str(), settable(attributes & ~FILE_ATTRIBUTE_READONLY))) {
        if (MoveFileExW(wide_from->c_str(), wide_to->c_str(), flags)) return {};
        error = GetLastError();
        SetFileAttributesW(wide_to->c_str(), attributes);
    }
    return failure(error);
}

file_op_result hard_link(const std::string& from, const std::string& to) {
    const auto wide_from = to_wide(from), wide_to = to_wide(to);
    if (!wide_from || !wide_to) return failure(ERROR_NO_UNICODE_TRANSLATION);
    if (CreateHardLinkW(wide_to->c_str(), wide_from->c_str(), nullptr)) return {};
    const DWORD error = GetLastError();
    file_op_result result = failure(error);
    // FAT and exFAT have no hard links and network shares often refuse them; a file with 1023
    // links takes no more. A refusal of access is left to the rename that serves instead, which
    // either works or says why it cannot.
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_TOO_MANY_LINKS ||
        error == ERROR_ACCESS_DENIED) {
        result.how = file_op_result::status::not_supported;
    }
    return result;
}

file_op_result copy_to_new_file(const std::string& from, const std::string& to) {
    const auto in = open_file(from, GENERIC_READ, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!in.valid()) return last_failure();
    if (GetFileType(in.get()) != FILE_TYPE_DISK) return failure(ERROR_INVALID_FUNCTION);
    // CREATE_NEW refuses whatever stands at `to`, a link included, so nothing planted there is
    // ever written through or truncated.
    const auto out = open_file(to, GENERIC_WRITE | DELETE, CREATE_NEW);
    if (!out.valid()) return last_failure();
    if (copy_between(in.get(), out.get()) && FlushFileBuffers(out.get())) return {};
    const file_op_result result = last_failure();
    delete_by_handle(out.get());
    return result;
}

file_op_result copy_attributes(const std::string& from, const std::string& to) {
    const auto wide_from = to_wide(from);
    if (!wide_from) return failure(ERROR_NO_UNICODE_TRANSLATION);
    const DWORD source = GetFileAttributesW(wide_from->c_str());
    if (source == INVALID_FILE_ATTRIBUTES) return last_failure();
    if (source & FILE_ATTRIBUTE_DIRECTORY) return failure(ERROR_INVALID_PARAMETER);
    const auto file = open_file(to, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &information)) {
        return last_failure();
    }
    if (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        return failure(ERROR_INVALID_PARAMETER);
    }
    // Zero times leave the file's times as they are.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = settable(source & carried_attributes);
    if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) {
        return last_failure();
    }
    return {};
}

file_op_result clear_read_only(const std::string& path) {
    const auto wide = to_wide(path);
    if (!wide) return failure(ERROR_NO_UNICODE_TRANSLATION);
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_failure();
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return {file_op_result::status::not_supported, {}};
    if (!SetFileAttributesW(wide->c_str(), settable(attributes & ~FILE_ATTRIBUTE_READONLY))) {
        return last_failure();
    }
    return {};
}

file_op_result flush_file(const std::string& path) {
    // FlushFileBuffers needs a handle that may write.
    const auto file = open_file(path, GENERIC_WRITE, OPEN_EXISTING);
    if (!file.valid() || !FlushFileBuffers(file.get())) return last_failure();
    return {};
}

// Junctions that a user may plant need rights few users have, and Wine cannot make them; the
// replace steps refuse a target folder that is a link before they start.
void confine_changes_to(const std::vector<std::string>&) {}

interpreter_kind command_interpreter() { return interpreter_kind::windows_cmd; }

// ---- Running a command and stopping cleanly ---------------------------------------------
//
// The interpreter starts suspended and is put in a job object that ends every process in it
// when its last handle closes; only then does it run. The handle is Brindle's alone (not
// inheritable), so when brindle.exe ends, however it ends, the interpreter and the encoder end
// with it. Console events (Ctrl+C, Ctrl+Break, closing the console) reach every process of the
// console, the encoder among them; Brindle only records them and waits for the encoder.

namespace {

// The console's control handler runs on a thread of its own.
std::atomic<int> requested_stop{0};

void record_stop(int stop) {
    int none = 0;
    requested_stop.compare_exchange_strong(none, stop);
}

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            record_stop(stop_by_ctrl_c);
            return TRUE;
        case CTRL_BREAK_EVENT:
            record_stop(stop_by_ctrl_break);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            record_stop(stop_by_console_close);
            // Windows ends the process when this returns, or a few seconds later if it does not:
            // that time is the main thread's, to wait for the encoder and remove its output.
            Sleep(INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}

// cmd.exe in the system directory: never one from the working directory or PATH, where anyone
// who can write a file could plant another.
std::wstring system_cmd() {
    wchar_t directory[MAX_PATH];
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(directory, length) + L"\\cmd.exe";
}

// COMSPEC when it names an existing file by an absolute path, else nothing.
std::wstring usable_comspec() {
    const std::wstring comspec = environment_variable(L"COMSPEC");
    const auto utf8 = to_utf8(comspec);
    if (comspec.empty() || !utf8 || !is_absolute_windows_path(*utf8) || !is_file(comspec)) {
        return {};
    }
    return comspec;
}

struct started_process {
    unique_handle process{INVALID_HANDLE_VALUE};
    unique_handle thread{INVALID_HANDLE_VALUE};
};

// Starts `interpreter` suspended on `command_line`, with the console, working directory and
// environment of this process. Answers false with the error in GetLastError.
bool start_suspended(const std::wstring& interpreter, const std::string& command_line,
                     DWORD priority_class, started_process& started) {
    const auto name = to_utf8(interpreter);
    auto line = name ? to_wide(cmd_interpreter_line(*name, command_line)) : std::nullopt;
    if (!line) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(interpreter.c_str(), line->data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | priority_class, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    started.process = unique_handle(process.hProcess);
    started.thread = unique_handle(process.hThread);
    return true;
}

unique_handle kill_on_close_job() {
    unique_handle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.valid() && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation,
                                                &limits, sizeof limits)) {
        return unique_handle(INVALID_HANDLE_VALUE);
    }
    return job;
}

// Ends whatever the command left running and waits, a few seconds at most, until it is gone.
void end_job(HANDLE job) {
    TerminateJobObject(job, 1);
    for (int round = 0; round < 500; ++round) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                       sizeof accounting, nullptr) ||
            accounting.ActiveProcesses == 0) {
            return;
        }
        Sleep(10);
    }
}

}  // namespace

command_result run_command(const std::string& command_line, const command_settings& settings) {
    command_result result;
    if (const int stop = stop_requested(); stop != 0) {
        result.stop_signal = stop;
        result.error = "a stop was asked for before the command could start";
        return result;
    }
    const unique_handle job = kill_on_close_job();
    if (!job.valid()) {
        result.error = error_text(GetLastError());
        return result;
    }
    // The encoder inherits the interpreter's priority class.
    const DWORD priority_class = settings.low_priority ? BELOW_NORMAL_PRIORITY_CLASS : 0;
    started_process child;
    const std::wstring comspec = usable_comspec();
    bool started =
        !comspec.empty() && start_suspended(comspec, command_line, priority_class, child);
    if (!started) {
        const std::wstring cmd = system_cmd();
        started = !cmd.empty() && start_suspended(cmd, command_line, priority_class, child);
    }
    if (!started) {
        result.error = error_text(GetLastError());
        return result;
    }
    if (!AssignProcessToJobObject(job.get(), child.process.get())) {
        result.error = error_text(GetLastError());
        TerminateProcess(child.process.get(), 1);
        WaitForSingleObject(child.process.get(), INFINITE);
        return result;
    }
    ResumeThread(child.thread.get());
    DWORD exit_code = 0;
    const bool ended = WaitForSingleObject(child.process.get(), INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(child.process.get(), &exit_code);
    const std::string wait_error = ended ? std::string() : error_text(GetLastError());
    end_job(job.get());
    result.stop_signal = stop_requested();
    if (!ended) {
        result.error = wait_error;
        return result;
    }
    result.how = command_result::ending::exited;
    result.code = static_cast<int>(exit_code);
    return result;
}

void install_stop_handlers() { SetConsoleCtrlHandler(on_console_event, TRUE); }

int stop_requested() { return requested_stop.load(); }

// A console event is only recorded, and the main thread looks at it between steps, so the
// steps of a replace are never cut short by it (but for closing the console, after which
// Windows ends the process a few seconds later whatever it does).
stop_deferral::stop_deferral() = default;
stop_deferral::~stop_deferral() = default;

lock_result lock_working_directory(const std::string& name) {
    unique_handle file = open_file(name, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (!file.valid()) return lock_result::cannot_create;
    OVERLAPPED at_start{};
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &at_start)) {
        return lock_result::held_elsewhere;
    }
    // The handle stays open until the process ends, and the lock with it; the system drops
    // both however the process ends. It is not inheritable, so no encoder holds it on.
    file.release();
    return lock_result::acquired;
}

std::string working_directory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return {};
    std::wstring wide(needed, L'\0');
    const DWORD length = GetCurrentDirectoryW(needed, wide.data());
    if (length == 0 || length >= needed) return {};
    wide.resize(length);
    return to_utf8(wide).value_or(std::string());
}

unsigned long process_id() { return GetCurrentProcessId(); }

}  // namespace brindle::platform
