#pragma once

// What the POSIX bodies of the platform layer share: descriptors that close themselves, opens
// that survive a signal, and the conversion of Unix times to ticks.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/clock.h"
#include "vocabulary/op_result.h"

namespace brindle::platform::posix {

// Closes the descriptor it holds when it goes out of scope.
class unique_fd {
public:
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now, so that a failing close (a delayed write error) can be seen.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

inline int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Seconds between 1601-01-01 and 1970-01-01, the two epochs.
constexpr std::int64_t epoch_difference_seconds = 11644473600;

// Unix time to 100-ns ticks since 1601. Times before 1601 become 0 and times the count cannot
// hold become its largest value, so no arithmetic here can overflow.
inline std::uint64_t ticks_from_unix(std::int64_t seconds, std::uint32_t nanoseconds) {
    if (seconds < -epoch_difference_seconds) return 0;
    const auto since_1601 = static_cast<std::uint64_t>(seconds + epoch_difference_seconds);
    constexpr auto max_ticks = std::numeric_limits<std::uint64_t>::max();
    if (since_1601 > (max_ticks - ticks_per_second) / ticks_per_second) return max_ticks;
    return since_1601 * ticks_per_second + nanoseconds / 100;
}

// The failure that the error number `error` stands for, with the system's own text.
inline op_result failure(int error) {
    op_result result;
    result.why = error == EEXIST  ? op_result::fault::exists
                 : error == EXDEV ? op_result::fault::cross_device
                                  : op_result::fault::other;
    result.error = std::strerror(error);
    return result;
}

}  // namespace brindle::platform::posix
