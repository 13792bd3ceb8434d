#pragma once

// The tests a file must pass to become a candidate, as pure functions of their inputs.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace brindle {

using platform::ticks_per_day;

// The directory text, one separator and the name; the directory is never trimmed. A long-form
// folder that ends in its separator (a volume's root, "\\?\D:\") gets no second one.
std::string join_path(std::string_view dir, std::string_view name, char separator);

// Does `name` end in `ext`, folding only A to Z? An ext starting with '*' accepts every name.
bool matches_extension(std::string_view name, std::string_view ext);

std::uint64_t size_in_mib(std::uint64_t size_in_bytes);
// Strictly more whole MiB than `minsize`; a negative minsize refuses every file.
bool passes_size_test(std::uint64_t size_in_bytes, std::int32_t minsize);

// Whole days since creation; a creation time in the future wraps to a huge age.
std::uint64_t age_in_days(std::uint64_t now_ticks, std::uint64_t creation_ticks);
bool passes_age_test(std::uint64_t age, std::int32_t days, bool docurrent);

// `path` with every control character (bytes 0 to 31 and 127, and U+0080 to U+009F in UTF-8)
// and every byte that is no part of a valid UTF-8 character shown as '?', so that a name
// printed on a line can neither split it nor send escape sequences to a terminal.
std::string printable_path(std::string_view path);

// Why Win32 cannot open a file or folder by `name` faithfully (it would strip the name's end,
// open a device, or read the name as a pattern or a stream), or none.
enum class win32_name_fault { none, trailing_dot_or_blank, device_name, reserved_character };
win32_name_fault win32_name_fault_of(std::string_view name);
// The fault in plain words, for the line that says a name was passed over.
std::string describe(win32_name_fault fault);

}  // namespace brindle
