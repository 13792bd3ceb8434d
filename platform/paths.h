#pragma once

// Paths as the system spells them. Paths are UTF-8 std::string throughout the program; the
// Windows bodies convert to UTF-16 right before each W call and back right after.

#include <cstddef>
#include <string>
#include <string_view>

namespace brindle::platform {

// The separator the system joins a directory and a name with: '\\' on Windows, '/' on POSIX.
char path_separator();
// Every character the system takes as a separator: "\\/" on Windows, "/" on POSIX.
const char* path_separators();

// The length of a UTF-8 path as the system's own path limit counts it: UTF-16 code units on
// Windows, bytes on POSIX. Every 255-character limit of the program is checked against this.
std::size_t native_length(std::string_view utf8);

// The longest path, as native_length counts it, that the walk hands on: 255 characters on
// Windows (cmd.exe and the encoder), PATH_MAX less its terminating zero on POSIX.
std::size_t longest_path();

// Which names the system's file calls take as they are: all of them on POSIX; on Windows not
// those that win32_name_fault_of refuses.
enum class name_rules { posix, win32 };
name_rules file_name_rules();

// Does `path` lie inside `folder`, or is it the folder itself? Both spelled alike (real paths,
// say); `separators` lists the characters that end a name. "lib" holds "lib/a" but not "lib2",
// and a folder that ends in a separator ("/", "C:\") holds every path that begins with it. An
// empty folder holds nothing. Pure, so that it is tested on every platform.
bool lies_inside(std::string_view path, std::string_view folder, std::string_view separators);

// A folder written in the long form ("\\?\D:\TV\") without its final separators: the system
// tidies no such path, so a name joined to it after a separator would be no path at all. A
// volume's root ("\\?\D:\") keeps its own. Other paths are answered as they are.
std::string_view without_final_separators(std::string_view dir);

// The process's working directory, UTF-8; empty when it cannot be told.
std::string working_directory();

}  // namespace brindle::platform
