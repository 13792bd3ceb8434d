// What the checks around an encode cost: looking at a source before its encoder starts and at
// the result before it replaces anything, against running ffprobe for the duration of the same
// two files:
//
//   ffprobe -v error -show_entries format=duration FILE
//
// Target: the checks at least 100 times faster than the two ffprobe runs.
//
// Then the walk over every frame of a result of one hour (Matroska, MP4 and fragmented MP4),
// against ffprobe counting its packets:
//
//   ffprobe -v error -count_packets -show_entries stream=nb_read_packets FILE
//
// Target: the check at least 10 times faster.
//
// Then a crafted MP4 result of 3.2 MB, 99,000 empty mdat boxes and one of data that its 600,000
// chunks all point into, against ffprobe reading its duration from the same file:
//
//   ffprobe -v error -show_entries format=duration FILE
//
// Target: the check no slower than ffprobe (the mdat boxes times the chunks would take it
// half a minute).
//
//   probe_bench [--pairs N] [--hour-runs N] [DIR]
//
// Makes small real files with ffmpeg in a temporary folder under DIR (default: the working
// directory): sources in Matroska, MP4 (moov at the end), MPEG-TS and AVI, results in Matroska
// and MP4, then copies them into N source/result pairs (default 200). Each pair is timed once
// each way, after one warm-up of each; the medians and their ratio are printed. The results of
// one hour are stream copies of one minute of 64x36 pictures at 5 frames a second with sound
// (18,000 video and about 155,000 audio packets), each timed N times each way (default 5),
// alternating, after a warm-up. The benchmark reports; it fails only when a file cannot be made
// or a check fails.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "media/probe.h"
#include "tests/crafted_mp4.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

// A temporary folder that is removed with everything in it when the benchmark ends.
struct scratch_dir {
    fs::path path;
    explicit scratch_dir(const std::string& parent) {
        std::string pattern = (fs::path(parent) / "probe-bench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~scratch_dir() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
};

// Runs a program with its output thrown away; answers whether it exited with 0.
bool run_quietly(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int failed = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return false;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool make_sample(const fs::path& path, const std::vector<std::string>& coding) {
    std::vector<std::string> arguments = {
        "ffmpeg", "-nostdin", "-y", "-f",   "lavfi", "-i", "testsrc2=size=64x64:rate=25",
        "-f",     "lavfi",    "-i", "sine", "-t",    "4",  "-c:a",
        "aac"};
    arguments.insert(arguments.end(), coding.begin(), coding.end());
    arguments.push_back(path.string());
    return run_quietly(arguments);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

const char* verdict(bool met) { return met ? "PASS" : "ABOVE TARGET"; }

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// One hour of tiny pictures and sound in each result container: one minute encoded, then
// copied sixty times over.
bool make_hour_results(const fs::path& folder, std::vector<std::string>& made) {
    const auto minute = (folder / "minute.mkv").string();
    if (!run_quietly({"ffmpeg",
                      "-nostdin",
                      "-y",
                      "-f",
                      "lavfi",
                      "-i",
                      "testsrc2=size=64x36:rate=5",
                      "-f",
                      "lavfi",
                      "-i",
                      "sine",
                      "-t",
                      "60",
                      "-c:v",
                      "libx265",
                      "-preset",
                      "ultrafast",
                      "-x265-params",
                      "log-level=none",
                      "-c:a",
                      "aac",
                      minute})) {
        return false;
    }
    const std::vector<std::pair<std::string, std::vector<std::string>>> hours = {
        {"hour.mkv", {}},
        {"hour.mp4", {"-tag:v", "hvc1"}},
        {"hour_fragmented.mp4", {"-tag:v", "hvc1", "-movflags", "frag_keyframe+empty_moov"}},
    };
    for (const auto& [name, extra] : hours) {
        std::vector<std::string> arguments = {"ffmpeg", "-nostdin", "-y", "-stream_loop", "59",
                                              "-i",     minute,     "-c", "copy"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.push_back((folder / name).string());
        if (!run_quietly(arguments)) return false;
        made.push_back((folder / name).string());
    }
    return true;
}

// Times the check of each one-hour result against ffprobe counting its packets; answers the
// worst of the median ratios, 0 when a check fails.
double hour_benchmark(const fs::path& folder, int runs) {
    std::vector<std::string> files;
    if (!make_hour_results(folder, files)) {
        std::fprintf(stderr, "probe_bench: ffmpeg could not make the results of one hour\n");
        return 0;
    }
    const auto count_packets = [](const std::string& file) {
        return run_quietly({"ffprobe", "-v", "error", "-count_packets", "-show_entries",
                            "stream=nb_read_packets", file});
    };
    double worst = 0;
    for (const auto& file : files) {
        const auto check = [&file] { return brindle::check_result(file, 3600000).whole; };
        if (!check() || !count_packets(file)) {
            std::fprintf(stderr, "probe_bench: %s was refused\n", file.c_str());
            return 0;
        }
        std::vector<double> ours, theirs;
        for (int i = 0; i < runs; ++i) {
            auto start = clock_type::now();
            check();
            ours.push_back(seconds_since(start));
            start = clock_type::now();
            count_packets(file);
            theirs.push_back(seconds_since(start));
        }
        const double ratio = median(theirs) / median(ours);
        std::printf(
            "%s (%.1f MiB): check_result median %.1f ms, ffprobe -count_packets %.0f ms, "
            "%.0fx faster\n",
            fs::path(file).filename().c_str(), static_cast<double>(fs::file_size(file)) / (1 << 20),
            median(ours) * 1e3, median(theirs) * 1e3, ratio);
        worst = worst == 0 ? ratio : std::min(worst, ratio);
    }
    return worst;
}

// Times the check of the crafted result against ffprobe reading its duration; answers the
// ratio of the medians, 0 when the file cannot be written.
double crafted_benchmark(const fs::path& folder, int runs) {
    const auto file = (folder / "many_boxes.mp4").string();
    {
        // 600,000 chunks, all at the body of the last of 99,001 mdat boxes.
        std::vector<std::size_t> media_data(99000, 0);
        media_data.push_back(16);
        const std::vector<std::uint64_t> chunks(600000, 8 * media_data.size());
        const std::string bytes = brindle::testing::crafted_mp4(chunks, media_data);
        std::FILE* out = std::fopen(file.c_str(), "wb");
        if (out == nullptr) return 0;
        const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (std::fclose(out) != 0 || !written) return 0;
    }
    const auto ffprobe = [&file] {
        return run_quietly({"ffprobe", "-v", "error", "-show_entries", "format=duration", file});
    };
    std::string fault;
    std::vector<double> ours, theirs;
    for (int i = 0; i < runs; ++i) {
        auto start = clock_type::now();
        fault = brindle::check_result(file, 2000).fault;
        ours.push_back(seconds_since(start));
        start = clock_type::now();
        ffprobe();
        theirs.push_back(seconds_since(start));
    }
    const double ratio = median(theirs) / median(ours);
    std::printf(
        "many_boxes.mp4 (%.1f MB): check_result median %.1f ms (%s), ffprobe %.0f ms, %.1fx "
        "faster (target at least 1x): %s\n",
        static_cast<double>(fs::file_size(file)) / 1e6, median(ours) * 1e3,
        fault.empty() ? "whole" : fault.c_str(), median(theirs) * 1e3, ratio, verdict(ratio >= 1));
    return ratio;
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 200;
    int hour_runs = 5;
    std::string parent = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--pairs" && i + 1 < argc) {
            pairs = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--hour-runs" && i + 1 < argc) {
            hour_runs = std::max(1, std::atoi(argv[++i]));
        } else {
            parent = argument;
        }
    }
    const scratch_dir scratch(parent);
    if (scratch.path.empty()) {
        std::fprintf(stderr, "probe_bench: cannot make a folder in %s\n", parent.c_str());
        return 1;
    }
    const std::vector<std::string> h264 = {"-c:v", "libx264", "-preset", "ultrafast"};
    const std::vector<std::string> hevc = {"-c:v",      "libx265",      "-preset",
                                           "ultrafast", "-x265-params", "log-level=none"};
    const auto with = [](std::vector<std::string> coding, const char* format) {
        coding.insert(coding.end(), {"-f", format});
        return coding;
    };
    const std::vector<std::pair<std::string, std::vector<std::string>>> sources = {
        {"source.mkv", with(h264, "matroska")},
        {"source.mp4", with(h264, "mp4")},
        {"source.ts", with(h264, "mpegts")},
        {"source.avi", with({"-c:v", "mpeg4"}, "avi")},
    };
    const std::vector<std::pair<std::string, std::vector<std::string>>> results = {
        {"result.mkv", with(hevc, "matroska")},
        {"result.mp4", with(hevc, "mp4")},
    };
    for (const auto& [name, coding] : sources) {
        if (!make_sample(scratch.path / name, coding)) {
            std::fprintf(stderr, "probe_bench: ffmpeg could not make %s\n", name.c_str());
            return 1;
        }
    }
    for (const auto& [name, coding] : results) {
        if (!make_sample(scratch.path / name, coding)) {
            std::fprintf(stderr, "probe_bench: ffmpeg could not make %s\n", name.c_str());
            return 1;
        }
    }
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < pairs; ++i) {
        const auto& source = sources[i % sources.size()].first;
        const auto& result = results[i % results.size()].first;
        const auto source_copy = scratch.path / (std::to_string(i) + "-" + source);
        const auto result_copy = scratch.path / (std::to_string(i) + "-" + result);
        fs::copy_file(scratch.path / source, source_copy);
        fs::copy_file(scratch.path / result, result_copy);
        files.emplace_back(source_copy.string(), result_copy.string());
    }

    const auto check_pair = [](const std::pair<std::string, std::string>& pair) {
        const auto probe = brindle::probe_source(pair.first);
        return probe.is_video_container &&
               brindle::check_result(pair.second, probe.duration_ms).whole;
    };
    const auto ffprobe_pair = [](const std::pair<std::string, std::string>& pair) {
        bool ok = true;
        for (const auto& file : {pair.first, pair.second}) {
            ok =
                run_quietly({"ffprobe", "-v", "error", "-show_entries", "format=duration", file}) &&
                ok;
        }
        return ok;
    };
    if (!check_pair(files.front()) || !ffprobe_pair(files.front())) {
        std::fprintf(stderr, "probe_bench: the checks or ffprobe failed on %s\n",
                     files.front().first.c_str());
        return 1;
    }
    std::vector<double> ours, theirs;
    for (const auto& pair : files) {
        auto start = clock_type::now();
        const bool whole = check_pair(pair);
        ours.push_back(seconds_since(start));
        start = clock_type::now();
        ffprobe_pair(pair);
        theirs.push_back(seconds_since(start));
        if (!whole) {
            std::fprintf(stderr, "probe_bench: %s was refused\n", pair.second.c_str());
            return 1;
        }
    }
    const double ours_median = median(ours), theirs_median = median(theirs);
    std::printf("pairs: %d (a source and a result each)\n", pairs);
    std::printf("probe_source + check_result: median %.1f us per pair\n", ours_median * 1e6);
    std::printf("ffprobe on both files:       median %.1f ms per pair\n", theirs_median * 1e3);
    const double ratio = theirs_median / ours_median;
    std::printf("ratio: %.0fx faster (target at least 100x): %s\n", ratio, verdict(ratio >= 100));

    if (crafted_benchmark(scratch.path, hour_runs) == 0) {
        std::fprintf(stderr, "probe_bench: the crafted MP4 could not be written\n");
        return 1;
    }
    const double hour_ratio = hour_benchmark(scratch.path, hour_runs);
    if (hour_ratio == 0) return 1;
    std::printf("results of one hour: at least %.0fx faster (target at least 10x): %s\n",
                hour_ratio, verdict(hour_ratio >= 10));
    return 0;
}
