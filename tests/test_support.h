#pragma once

// Helpers shared by the unit tests.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace brindle::testing {

inline constexpr std::uint64_t mib = 1024 * 1024;

// A fresh directory for one test, removed with everything in it when the test ends.
class scoped_temp_dir {
public:
    scoped_temp_dir();
    ~scoped_temp_dir();
    scoped_temp_dir(const scoped_temp_dir&) = delete;
    scoped_temp_dir& operator=(const scoped_temp_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // The path as the UTF-8 string the program's functions take.
    std::string str() const;

private:
    std::filesystem::path path_;
};

// Enters a directory for the length of a scope and returns to where the test was.
struct scoped_chdir {
    explicit scoped_chdir(const std::filesystem::path& dir)
        : previous(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~scoped_chdir() { std::filesystem::current_path(previous); }
    std::filesystem::path previous;
};

// Where this build put the argument printer, the configuration example and the media samples.
extern const char* const print_arg_built;
extern const char* const config_example;
extern const char* const media_samples_built;

// Writes `content` to `path`, creating or replacing the file.
void write_file(const std::filesystem::path& path, const std::string& content);
std::string read_file(const std::filesystem::path& path);

// The folder of real video samples made with ffmpeg for this test run, as a path this program
// can open (under Wine, the host's /x becomes Z:\x). Empty when it was not made (no ffmpeg).
std::filesystem::path media_samples();
// The bytes of the sample NAME in that folder; empty when it was not made.
std::string media_sample(const std::string& name);
// Whether the container in BYTES declares HEVC video.
bool declares_hevc(std::string_view bytes);

// The path of a test tool the build made, as a command line must name it: a Windows build run
// under Wine is handed the Unix path, which Wine shows under drive Z:.
std::string tool_path(const std::string& built_path);

}  // namespace brindle::testing
