// The picture comparison on honest and broken encodes: for generated sources of several kinds
// (clean, noisy, grainy 10-bit, interlaced MPEG-TS, anamorphic, rotated), each line below is run
// with ffmpeg, and the result is compared with its source as a run compares it, with
// -verify samples and with -verify full. It prints, per line, the encode's time, the cost of each
// comparison as a share of it, the worst window's SSIM and PSNR, and the verdict.
//
//   compare_bench [--seconds N] [--size WxH] [--all] [DIR]
//
// The sources last N seconds (default 30) at WxH (default 640x360); with --all every line is run
// on every kind of source, otherwise the broken lines run on the clean and the noisy source only.
// Files go to a temporary folder under DIR (default the working directory), removed at the end.
// Target: every honest line converted and every broken line refused; -verify samples at most 3 %
// of the encode's time for sources of 20 minutes or more (its windows cost per window, so a short
// source shows a larger share: the estimate for 20 minutes is printed beside it).

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "encode/command.h"
#include "encode/compare.h"
#include "media/picture.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

struct source_kind {
    const char* name;
    const char* make;  // ffmpeg's options after its lavfi input, %S the size, %T the seconds
    const char* extension;
};

const source_kind kinds[] = {
    {"clean", "-f lavfi -i mandelbrot=size=%S:rate=25 -t %T -c:v libx264 -crf 18", "mp4"},
    {"noisy",
     "-f lavfi -i testsrc2=size=%S:rate=25,noise=alls=14:allf=t+u -t %T -c:v libx264 -crf 18",
     "mp4"},
    {"grain10",
     "-f lavfi -i testsrc2=size=%S:rate=24,noise=alls=24:allf=t -t %T -c:v libx264 -crf 16 "
     "-pix_fmt yuv420p10le",
     "mkv"},
    {"interlaced",
     "-f lavfi -i testsrc2=size=%S:rate=50,interlace -t %T -c:v libx264 -crf 18 "
     "-flags +ildct+ilme -f mpegts",
     "ts"},
    {"anamorphic", "-f lavfi -i testsrc2=size=%S:rate=25,setsar=4/3 -t %T -c:v libx264 -crf 18",
     "mkv"},
    {"rotated",
     "-f lavfi -i testsrc2=size=%S:rate=30 -t %T -c:v libx264 -crf 18 -metadata:s:v "
     "rotate=90",
     "mp4"},
};

struct line {
    const char* name;
    const char* options;  // between the input and the output
    bool honest;
    bool every_source;  // run on every kind of source, not only the clean and noisy ones
};

const char* const x265 = "-c:v libx265 -preset superfast -x265-params deblock=-4,0:log-level=error";

const line lines[] = {
    {"built-in (CRF 19)", "-crf 19", true, true},
    {"-crf 28", "-crf 28", true, true},
    {"scale to half size", "-vf scale=iw/2:ih/2 -crf 19", true, false},
    {"-r 5", "-r 5 -crf 19", true, false},
    {"-crf 51", "-crf 51", false, false},
    {"crop=iw/2:ih", "-vf crop=iw/2:ih -crf 19", false, false},
    {"negate", "-vf negate -crf 19", false, false},
    {"green box", "-vf drawbox=c=green:t=fill -crf 19", false, false},
    {"-pix_fmt gray", "-pix_fmt gray -crf 19", false, false},
    {"frozen after 2 s", "-vf trim=end_frame=50,tpad=stop_mode=clone:stop_duration=3600 -crf 19",
     false, false},
    {"bytes flipped in 3 places", "-crf 19", false, false},
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, 2, to);
    return text;
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

bool run_sh(const std::string& command) {
    brindle::platform::command_settings settings;
    settings.capture_output = true;
    settings.low_priority = false;
    const auto ran = brindle::platform::run_command(command, settings);
    return ran.how == brindle::platform::command_result::ending::exited && ran.code == 0;
}

// Flips 64 bytes at three places inside the file's second half, where frames lie.
void flip_bytes(const fs::path& path) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    const auto size = static_cast<std::streamoff>(fs::file_size(path));
    for (const double at : {0.55, 0.7, 0.85}) {
        char bytes[64];
        file.seekg(static_cast<std::streamoff>(static_cast<double>(size) * at));
        file.read(bytes, sizeof bytes);
        for (char& byte : bytes) byte = static_cast<char>(~byte);
        file.seekp(static_cast<std::streamoff>(static_cast<double>(size) * at));
        file.write(bytes, sizeof bytes);
    }
}

struct judged {
    double seconds = 0;
    std::string verdict;
    double worst_ssim = 1, worst_psnr = brindle::psnr_ceiling;
};

judged judge(const std::string& ffmpeg, brindle::verify_level level, const fs::path& source,
             std::int64_t duration_ms) {
    brindle::comparison_request request;
    request.ffmpeg = ffmpeg;
    request.level = level;
    request.source = source.string();
    request.result = brindle::temp_output_name;
    request.duration_ms = duration_ms;
    const brindle::media::picture_properties picture =
        brindle::media::read_picture_properties(source.string());
    request.source_width = picture.width;
    request.source_height = picture.height;
    request.low_priority = false;
    judged out;
    const auto start = clock_type::now();
    const brindle::comparison_outcome compared = brindle::compare_pictures(request);
    out.seconds = seconds_since(start);
    out.verdict = compared.refusal.empty() ? "converted" : "refused: " + compared.refusal;
    for (const brindle::window_figures& figures : compared.figures) {
        double ssim = 0, psnr = 0;
        for (const double v : figures.ssim) ssim += v;
        for (const double v : figures.psnr) psnr += v;
        if (!figures.ssim.empty()) {
            out.worst_ssim =
                std::min(out.worst_ssim, ssim / static_cast<double>(figures.ssim.size()));
        }
        if (!figures.psnr.empty()) {
            out.worst_psnr =
                std::min(out.worst_psnr, psnr / static_cast<double>(figures.psnr.size()));
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 30;
    std::string size = "640x360", parent = ".";
    bool all = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--seconds" && i + 1 < argc) {
            seconds = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--size" && i + 1 < argc) {
            size = argv[++i];
        } else if (argument == "--all") {
            all = true;
        } else {
            parent = argument;
        }
    }
    const auto ffmpeg = brindle::platform::find_program("ffmpeg");
    if (!ffmpeg) {
        std::fprintf(stderr, "compare_bench: ffmpeg is not on PATH\n");
        return 2;
    }
    std::string pattern = (fs::path(parent) / "compare-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 2;
    const fs::path dir = fs::absolute(pattern);
    fs::current_path(dir);
    const std::int64_t duration_ms = seconds * 1000LL;
    std::printf(
        "| source | line | encode | samples | full | worst SSIM | worst PSNR | verdict |\n"
        "|---|---|---|---|---|---|---|---|\n");
    int wrong = 0;
    double samples_share_sum = 0;
    int samples_count = 0;
    for (const source_kind& kind : kinds) {
        const fs::path source = dir / (std::string(kind.name) + "." + kind.extension);
        const std::string make =
            replaced(replaced(kind.make, "%S", size), "%T", std::to_string(seconds));
        if (!run_sh("ffmpeg -nostdin -v error -y " + make + " '" + source.string() + "'")) {
            std::fprintf(stderr, "compare_bench: cannot make the %s source\n", kind.name);
            continue;
        }
        const bool main_kind =
            std::string(kind.name) == "clean" || std::string(kind.name) == "noisy";
        for (const line& each : lines) {
            if (!all && !main_kind && !each.every_source) continue;
            fs::remove(brindle::temp_output_name);
            const auto start = clock_type::now();
            if (!run_sh("ffmpeg -nostdin -v error -y -i '" + source.string() + "' " + each.options +
                        " " + x265 + " " + brindle::temp_output_name)) {
                std::printf("| %s | %s | the encode failed |||||\n", kind.name, each.name);
                continue;
            }
            const double encode = seconds_since(start);
            if (std::string(each.name).starts_with("bytes")) flip_bytes(brindle::temp_output_name);
            const judged samples =
                judge(*ffmpeg, brindle::verify_level::samples, source, duration_ms);
            const judged full = judge(*ffmpeg, brindle::verify_level::full, source, duration_ms);
            const bool right = (samples.verdict == "converted") == each.honest &&
                               (full.verdict == "converted") == each.honest;
            wrong += right ? 0 : 1;
            samples_share_sum += samples.seconds / encode;
            ++samples_count;
            std::printf("| %s | %s | %.1f s | %.1f %% | %.1f %% | %.3f | %.1f dB | %s%s |\n",
                        kind.name, each.name, encode, 100 * samples.seconds / encode,
                        100 * full.seconds / encode, samples.worst_ssim, samples.worst_psnr,
                        full.verdict.c_str(), right ? "" : " (WRONG)");
            std::fflush(stdout);
        }
    }
    fs::current_path(parent);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    const auto windows_20min = brindle::choose_windows(20 * 60'000).size();
    const auto windows_here = brindle::choose_windows(duration_ms).size();
    const double share = samples_count ? samples_share_sum / samples_count : 0;
    std::printf("\nverdicts: %s (%d wrong)\n", wrong == 0 ? "PASS" : "ABOVE TARGET", wrong);
    std::printf(
        "-verify samples: %.1f %% of the encode on average here (%zu windows of %d s); for "
        "20 minutes, %zu windows over 120 times the encode: about %.2f %% (target 3 %%)\n",
        100 * share, windows_here, seconds, windows_20min,
        100 * share * static_cast<double>(windows_20min) / static_cast<double>(windows_here) *
            seconds / 1200.0);
    return wrong == 0 ? 0 : 1;
}
