// Paths, the clock and the console on Linux (glibc). Names are bytes and pass through unchanged.

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/posix_support.h"

namespace brindle::platform {

using posix::open_retrying;
using posix::ticks_from_unix;
using posix::unique_fd;

char path_separator() { return '/'; }

const char* path_separators() { return "/"; }

std::size_t native_length(std::string_view utf8) { return utf8.size(); }

std::size_t longest_path() { return PATH_MAX - 1; }

name_rules file_name_rules() { return name_rules::posix; }

std::uint64_t now_ticks() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return ticks_from_unix(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

int local_seconds_of_day() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return 0;
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

std::string local_date() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[16] = "0000-00-00";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

void write_out(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void flush_out() { std::fflush(stdout); }

std::string working_directory() {
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace brindle::platform
