// The walk on Windows: folders are opened by handle and listed with FindFirstFileExW, which
// delivers each entry's size and times with its name.

#include <utility>

#include "platform/walk.h"
#include "platform/win32_support.h"

namespace brindle::platform {

using win32::error_text;
using win32::final_path_of;
using win32::join_halves;
using win32::open_file;
using win32::ticks_of;
using win32::to_utf8;
using win32::to_wide;
using win32::unique_handle;

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

}  // namespace

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

// A failure told in the system's words for `code`, or in words of our own.
op_result failed(DWORD code) { return {op_result::fault::other, error_text(code)}; }

op_result open_folder(const std::string& path, DWORD flags, bool refuse_links,
                      open_directory& dir) {
    if (path.empty()) {
        // An empty text names no folder, as on POSIX, rather than the working directory.
        return failed(ERROR_PATH_NOT_FOUND);
    }
    unique_handle handle = open_file(openable(path), FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | flags);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) {
        return failed(GetLastError());
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        GetFileType(handle.get()) != FILE_TYPE_DISK) {
        return failed(ERROR_DIRECTORY);
    }
    if (refuse_links && is_link_tag(reparse_tag_of(handle.get(), info.dwFileAttributes))) {
        return {op_result::fault::other, "it was replaced by a link while the walk ran"};
    }
    open_directory opened;
    opened.native = reinterpret_cast<std::intptr_t>(handle.release());
    opened.path = path;
    opened.id = {info.dwVolumeSerialNumber, join_halves(info.nFileIndexHigh, info.nFileIndexLow)};
    dir = std::move(opened);
    return {};
}

}  // namespace

op_result open_top_directory(const std::string& path, open_directory& dir) {
    return open_folder(path, 0, false, dir);
}

op_result open_subdirectory(const open_directory&, std::string_view, const std::string& path,
                            bool through_link, open_directory& dir) {
    // Opened without following a link where the listing showed a folder, so that one swapped in
    // since is seen for what it is.
    return open_folder(path, through_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT, !through_link, dir);
}

std::string real_path(const open_directory& dir) {
    return to_utf8(final_path_of(reinterpret_cast<HANDLE>(dir.native))).value_or(std::string());
}

op_result read_directory(const open_directory& dir, const entry_filter& keep,
                         std::vector<dir_entry>& entries) {
    const bool ends_in_separator = !dir.path.empty() && is_separator(dir.path.back());
    const auto pattern = win32::to_wide_path(dir.path + (ends_in_separator ? "*" : "\\*"));
    if (!pattern) return failed(ERROR_NO_UNICODE_TRANSLATION);
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
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return {};
        return failed(GetLastError());
    }
    do {
        const std::wstring_view wide_name = data.cFileName;
        // No Windows name holds a colon; under Wine, NAME:brindle is the note kept with NAME.
        if (wide_name == L"." || wide_name == L".." || wide_name.find(L':') != wide_name.npos) {
            continue;
        }
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
    if (ended != ERROR_NO_MORE_FILES) return failed(ended);
    return {};
}

std::optional<file_details> file_details_of(const open_directory&, const dir_entry& entry) {
    if (!entry.has_details) return std::nullopt;
    file_details details;
    details.is_regular = entry.kind == entry_kind::file;
    details.size = entry.size;
    details.creation_ticks = entry.creation_ticks;
    details.write_ticks = entry.write_ticks;
    return details;
}

}  // namespace brindle::platform
