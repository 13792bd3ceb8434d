// Paths, the clock and the console on Windows.

#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/win32_support.h"

namespace brindle::platform {

using win32::ticks_of;
using win32::to_utf8;
using win32::to_wide;

namespace {

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

std::uint64_t now_ticks() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return ticks_of(now);
}

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

std::string working_directory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return {};
    std::wstring wide(needed, L'\0');
    const DWORD length = GetCurrentDirectoryW(needed, wide.data());
    if (length == 0 || length >= needed) return {};
    wide.resize(length);
    return to_utf8(wide).value_or(std::string());
}

}  // namespace brindle::platform
