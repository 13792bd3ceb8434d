#pragma once

// What the Win32 bodies of the platform layer share. Only the W calls are used: paths are
// converted from UTF-8 to UTF-16 right before each call and back right after, so no name passes
// through the ANSI code page. A text that does not convert is treated like a file that cannot be
// reached.

#include <windows.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vocabulary/op_result.h"

namespace brindle::platform::win32 {

inline std::optional<std::wstring> to_wide(std::string_view utf8) {
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

inline std::optional<std::string> to_utf8(std::wstring_view wide) {
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

// A path as the W calls take it at any length, up to 32,767 characters. A path too long for the
// system's old limit, and one the user wrote with the "\\?\" prefix, is made full, given the
// prefix ("\\?\UNC\" for a share) and written with single '\' separators, since the prefix
// turns off the system's own clean-up of a path. Shorter paths pass as they are.
inline std::optional<std::wstring> to_wide_path(std::string_view utf8) {
    auto wide = to_wide(utf8);
    constexpr std::wstring_view prefix = L"\\\\?\\";
    // 12 less: a folder's path must leave room for a name of 8.3 characters.
    if (!wide || wide->starts_with(L"\\\\.\\") ||
        (!wide->starts_with(prefix) && wide->size() < MAX_PATH - 12)) {
        return wide;
    }
    std::wstring full = *wide;
    if (!wide->starts_with(prefix)) {
        const DWORD needed = GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
        if (needed == 0) return wide;
        full.assign(needed, L'\0');
        const DWORD length = GetFullPathNameW(wide->c_str(), needed, full.data(), nullptr);
        if (length == 0 || length >= needed) return wide;
        full.resize(length);
        full = full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2)
                                         : std::wstring(prefix) + full;
    }
    std::wstring clean(full.substr(0, prefix.size()));
    for (std::size_t at = prefix.size(); at < full.size(); ++at) {
        const wchar_t c = full[at] == L'/' ? L'\\' : full[at];
        if (c == L'\\' && clean.back() == L'\\') continue;
        clean.push_back(c);
    }
    return clean;
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

inline constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline unique_handle open_file(const std::string& path, DWORD access, DWORD disposition,
                               DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    const auto wide = to_wide_path(path);
    if (!wide) return unique_handle(INVALID_HANDLE_VALUE);
    return unique_handle(
        CreateFileW(wide->c_str(), access, share_all, nullptr, disposition, flags, nullptr));
}

inline std::uint64_t join_halves(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

inline std::uint64_t ticks_of(const FILETIME& time) {
    return join_halves(time.dwHighDateTime, time.dwLowDateTime);
}

// The system's own words for an error code, without the line break it ends with.
inline std::string error_text(DWORD code) {
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

inline std::wstring final_path_of(HANDLE handle) {
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

// The failure that the error code `code` stands for, with the system's own text.
inline op_result failure(DWORD code) {
    op_result result;
    result.why = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
                     ? op_result::fault::exists
                 : code == ERROR_NOT_SAME_DEVICE ? op_result::fault::cross_device
                                                 : op_result::fault::other;
    result.error = error_text(code);
    return result;
}

inline op_result last_failure() { return failure(GetLastError()); }

}  // namespace brindle::platform::win32
