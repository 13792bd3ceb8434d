// What putting an encoder's result in place of its source costs, for a result of 1 GiB:
//
//   one file system:  the encoder's output and the library on one disk, so the result is
//                     renamed into place. Target: under 50 ms.
//   two file systems: the output on /dev/shm, the library on the disk, so the result is copied
//                     and flushed. Target: at most 1.2 times `cp` of the same file followed by an
//                     fsync of the copy, measured in the same run.
//
//   replace_bench [--mib N] [--runs N] [DISK_DIR [SHM_DIR]]
//
// DISK_DIR (default: the working directory) must lie on a disk, SHM_DIR (default: /dev/shm) on
// another file system. Both receive a temporary folder that is removed at the end. The encoder's
// output is written and flushed before each timed step, as a finished encode leaves it. Deleting
// the old source is part of the step; an rm of a file of the same size is timed alone beside
// it, and the figures are given with and without it. The benchmark reports; it fails only when
// the replace itself fails.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "encode/replace.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr std::uint64_t mib = 1024 * 1024;

struct settings {
    std::uint64_t size = 1024 * mib;
    int runs = 5;
    std::string disk_dir = ".";
    std::string shm_dir = "/dev/shm";
};

// A temporary folder that is removed with everything in it when the benchmark ends.
struct scratch_dir {
    fs::path path;
    explicit scratch_dir(const std::string& parent) {
        std::string pattern = (fs::path(parent) / "replace-bench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~scratch_dir() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
};

std::uint64_t free_bytes(const std::string& dir) {
    struct statvfs info {};
    if (::statvfs(dir.c_str(), &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool same_device(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

// Writes `size` bytes of varied content and flushes them, as a finished encode leaves its output.
bool write_file(const fs::path& path, std::uint64_t size, std::uint32_t seed) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<std::uint32_t> block(mib / sizeof(std::uint32_t));
    std::uint32_t state = seed | 1u;
    bool ok = true;
    for (std::uint64_t written = 0; ok && written < size; written += mib) {
        for (auto& word : block) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            word = state;
        }
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(mib, size - written));
        ok = ::write(fd, block.data(), count) == static_cast<ssize_t>(count);
    }
    ok = ok && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The reference: the system's cp, then an fsync of the copy, as the replace flushes its own.
bool copy_with_cp(const fs::path& from, const fs::path& to) {
    std::string cp = "cp", from_text = from.string(), to_text = to.string();
    char* const argv[] = {cp.data(), from_text.data(), to_text.data(), nullptr};
    pid_t child = 0;
    if (::posix_spawnp(&child, "cp", nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return false;
    }
    const int fd = ::open(to.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool flushed = ::fsync(fd) == 0;
    return ::close(fd) == 0 && flushed;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One timed replace: the encoder's output `temp` replaces `source` in its library folder.
bool timed_replace(const fs::path& source, const fs::path& temp, double& seconds) {
    const std::string source_text = source.string();
    const std::string target = brindle::target_path_for(source_text, "/");
    const std::string staging = brindle::staging_path_for(target, "/", std::to_string(::getpid()));
    // The scan's stamp of the source, as the run records it before the encode.
    const brindle::file_stamp scanned = brindle::system_file_ops().stamp_of(source_text).stamp;
    ::sync();  // nothing left over from the set-up may be written back inside the timing
    // As a run does it: the install is recorded in the journal in the working directory first.
    brindle::install_journal journal;
    const auto start = clock_type::now();
    const auto report = brindle::replace_with_result(
        brindle::system_file_ops(), source_text, target, temp.string(), staging, scanned, &journal);
    seconds = seconds_since(start);
    if (report.outcome != brindle::replace_outcome::replaced) {
        std::fprintf(stderr, "replace of %s failed: %s\n", source_text.c_str(),
                     report.reason.c_str());
        return false;
    }
    return true;
}

// Deleting the old source is part of the step, and on some disks it costs more than all the
// renames together, so the same deletion is timed alone as a reference.
double timed_unlink(const fs::path& path) {
    ::sync();
    const auto start = clock_type::now();
    fs::remove(path);
    return seconds_since(start);
}

struct case_result {
    double replace = 0;         // the whole step, median
    double rm = 0;              // rm of a file of the source's size, median
    double without_delete = 0;  // median over the runs of replace minus rm
    double cp = 0;              // cp + fsync of the result, median
};

struct case_runs {
    std::vector<double> replace, rm, without_delete, cp;
    void add(double replace_seconds, double rm_seconds) {
        replace.push_back(replace_seconds);
        rm.push_back(rm_seconds);
        without_delete.push_back(replace_seconds - rm_seconds);
    }
    case_result medians() const {
        return {median(replace), median(rm), median(without_delete), cp.empty() ? 0 : median(cp)};
    }
};

bool bench_one_file_system(const settings& config, const fs::path& work, case_result& result) {
    const fs::path library = work / "library-one";
    const fs::path source = library / "Show.S01E01.mkv";
    const fs::path temp = work / "tempenc.mkv";
    const fs::path rm_reference = work / "rm-reference.mkv";
    fs::create_directories(library);
    if (!write_file(source, config.size, 1)) return false;
    case_runs runs;
    for (int run = 0; run < config.runs; ++run) {
        const auto seed = static_cast<std::uint32_t>(run);
        if (!write_file(rm_reference, config.size, 300u + seed)) return false;
        const double rm_seconds = timed_unlink(rm_reference);
        if (!write_file(temp, config.size, 100u + seed)) return false;
        double seconds = 0;
        if (!timed_replace(source, temp, seconds)) return false;
        runs.add(seconds, rm_seconds);
    }
    result = runs.medians();
    fs::remove_all(library);
    return true;
}

bool bench_two_file_systems(const settings& config, const fs::path& disk_work,
                            const fs::path& shm_work, case_result& result) {
    const fs::path library = disk_work / "library-two";
    const fs::path source = library / "Show.S01E01.mkv";
    const fs::path temp = shm_work / "tempenc.mkv";
    const fs::path reference_copy = disk_work / "cp-reference.mkv";
    fs::create_directories(library);
    if (!write_file(source, config.size, 2)) return false;
    case_runs runs;
    for (int run = 0; run < config.runs; ++run) {
        if (!write_file(temp, config.size, 200u + static_cast<std::uint32_t>(run))) return false;
        ::sync();
        const auto start = clock_type::now();
        if (!copy_with_cp(temp, reference_copy)) {
            std::fprintf(stderr, "cp of %s failed\n", temp.c_str());
            return false;
        }
        runs.cp.push_back(seconds_since(start));
        const double rm_seconds = timed_unlink(reference_copy);

        double seconds = 0;
        if (!timed_replace(source, temp, seconds)) return false;
        runs.add(seconds, rm_seconds);
    }
    result = runs.medians();
    fs::remove_all(library);
    return true;
}

bool parse_arguments(int argc, char** argv, settings& config) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--mib" || arg == "--runs") && i + 1 < argc) {
            const long value = std::strtol(argv[++i], nullptr, 10);
            if (value <= 0) return false;
            if (arg == "--mib")
                config.size = static_cast<std::uint64_t>(value) * mib;
            else
                config.runs = static_cast<int>(value);
        } else if (!arg.empty() && arg[0] == '-') {
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() > 2) return false;
    if (positional.size() > 0) config.disk_dir = positional[0];
    if (positional.size() > 1) config.shm_dir = positional[1];
    return true;
}

const char* verdict(bool met) { return met ? "PASS" : "ABOVE TARGET"; }

}  // namespace

int main(int argc, char** argv) {
    settings config;
    if (!parse_arguments(argc, argv, config)) {
        std::fprintf(stderr, "usage: %s [--mib N] [--runs N] [DISK_DIR [SHM_DIR]]\n", argv[0]);
        return 2;
    }
    const double size_mib = static_cast<double>(config.size) / mib;
    // The disk holds a source and a result at once, with room to spare.
    const std::uint64_t disk_needed = 3 * config.size;
    if (free_bytes(config.disk_dir) < disk_needed) {
        std::printf("replace bench skipped: %s has less than %.0f MiB free\n",
                    config.disk_dir.c_str(), static_cast<double>(disk_needed) / mib);
        return 0;
    }
    scratch_dir disk_work(config.disk_dir);
    if (disk_work.path.empty()) {
        std::fprintf(stderr, "cannot create a folder in %s\n", config.disk_dir.c_str());
        return 1;
    }

    std::printf(
        "Replace step for a %.0f MiB result over a source of the same size, median of %d "
        "runs\n",
        size_mib, config.runs);
    case_result one;
    if (!bench_one_file_system(config, disk_work.path, one)) return 1;
    std::printf("  one file system (%s):\n", config.disk_dir.c_str());
    std::printf("    replace %.1f ms    target < 50 ms    %s\n", one.replace * 1000,
                verdict(one.replace < 0.050));
    std::printf("    rm of the old source alone %.1f ms; replace without it %.1f ms    %s\n",
                one.rm * 1000, one.without_delete * 1000, verdict(one.without_delete < 0.050));
    std::fflush(stdout);

    if (same_device(config.disk_dir, config.shm_dir)) {
        std::printf("  two file systems: skipped, %s and %s lie on one file system\n",
                    config.disk_dir.c_str(), config.shm_dir.c_str());
        return 0;
    }
    if (free_bytes(config.shm_dir) < config.size + 64 * mib) {
        std::printf("  two file systems: skipped, %s has less than %.0f MiB free\n",
                    config.shm_dir.c_str(), size_mib + 64);
        return 0;
    }
    scratch_dir shm_work(config.shm_dir);
    if (shm_work.path.empty()) {
        std::fprintf(stderr, "cannot create a folder in %s\n", config.shm_dir.c_str());
        return 1;
    }
    case_result two;
    if (!bench_two_file_systems(config, disk_work.path, shm_work.path, two)) return 1;
    std::printf("  two file systems (%s -> %s):\n", config.shm_dir.c_str(),
                config.disk_dir.c_str());
    std::printf("    replace %.2f s, cp + fsync %.2f s, ratio %.2f    target <= 1.20    %s\n",
                two.replace, two.cp, two.replace / two.cp, verdict(two.replace / two.cp <= 1.20));
    std::printf(
        "    rm of the old source alone %.2f s; replace without it %.2f s, ratio %.2f    %s\n",
        two.rm, two.without_delete, two.without_delete / two.cp,
        verdict(two.without_delete / two.cp <= 1.20));
    return 0;
}
