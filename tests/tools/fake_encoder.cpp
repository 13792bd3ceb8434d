// A stand-in for the encoder in the end-to-end tests. It logs its arguments, then writes a real
// HEVC file prepared by the test run (so the result passes for a whole conversion and the next scan
// finds it already encoded), with the input's path written into its title so that a test can tell
// which source a result was made from. BRINDLE_FAKE_MODE makes it misbehave the ways real encoders
// do.
//
//   BRINDLE_FAKE_RESULT  the file to write as the output (a host path); when it is unset or cannot
//                        be read, the encoder fails with exit code 2 before opening its output
//   BRINDLE_FAKE_LOG     file to append the arguments to, one a line, "--" after each call
//   BRINDLE_FAKE_FAIL_ON an input whose path ends so fails as in mode "fail", unread
//   BRINDLE_FAKE_MODE    unset: write the output, exit 0
//                        fail: exit 3 without output       nooutput: exit 0 without output
//                        empty: empty output, exit 0       hang: half the output, then sleep 60 s
//                        slow: sleep 3 s, then as unset
//                        noisy: 100 lines with progress updates between them, then
//                        "giving up" on standard error, exit 3
//                        grow: append to the input while encoding it (a download still
//                        running), then as unset
//                        link: as unset, then give the output the second name
//                        BRINDLE_FAKE_OTHER (a host path)
//                        swap: move the input's folder away, put a link to the folder
//                        BRINDLE_FAKE_OTHER in its place, then exit 3 without output; on
//                        Windows, which makes no such link under Wine, the test puts it there
//                        and the encoder waits up to 60 s for it
//
// The title placeholder is "fake-encoder-source:" and 108 more bytes; they become the input's path,
// cut to 108 bytes or padded with blanks. A result without the whole placeholder is written as it
// is (a test may hand over a truncated copy).
//
// The input is the argument after "-i" (else the first argument), the output the last argument.
// Standard output gets one line, "fake encoder: INPUT", whatever the mode.
//
// Started as the picture comparison (an argument holds "stats_file="), it writes 30 pictures'
// figures into each stats file the filter graph names, logs nothing to BRINDLE_FAKE_LOG and
// exits 0; started as the sound comparison ("astats="), it does the same but writes no figures,
// so that the sound is not judged:
//   BRINDLE_FAKE_SSIM, BRINDLE_FAKE_PSNR  the figures written (default 1.000000 and inf)
//   BRINDLE_FAKE_COMPARE_LOG              file to append the arguments to, as BRINDLE_FAKE_LOG
//   BRINDLE_FAKE_COMPARE                  fail: exit 1 without figures; hang: sleep 60 s first

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr char source_marker[] = "fake-encoder-source:";
constexpr std::size_t source_marker_length = sizeof source_marker - 1;
constexpr std::size_t source_field_length = 108;

#ifdef _WIN32
std::string to_utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();
    return out;
}

std::wstring to_wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 1) return {};
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), size);
    out.pop_back();
    return out;
}

FILE* open_file(const std::string& path, const char* mode) {
    return _wfopen(to_wide(path).c_str(), to_wide(mode).c_str());
}

bool environment(const char* name, std::string& value) {
    const wchar_t* found = _wgetenv(to_wide(name).c_str());
    if (found == nullptr) return false;
    value = to_utf8(found);
    return true;
}

void sleep_seconds(unsigned seconds) { Sleep(seconds * 1000); }

bool second_name(const std::string& path, const std::string& other) {
    return CreateHardLinkW(to_wide(other).c_str(), to_wide(path).c_str(), nullptr) != 0;
}

bool swap_folder(const std::string& input, const std::string&) {
    const std::wstring folder = to_wide(input.substr(0, input.find_last_of("\\/")));
    if (!MoveFileW(folder.c_str(), (folder + L".moved").c_str())) return false;
    for (int waited = 0; waited < 600; ++waited) {
        if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        Sleep(100);
    }
    return false;
}
#else
FILE* open_file(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

bool environment(const char* name, std::string& value) {
    const char* found = std::getenv(name);
    if (found == nullptr) return false;
    value = found;
    return true;
}

void sleep_seconds(unsigned seconds) { sleep(seconds); }

bool second_name(const std::string& path, const std::string& other) {
    return link(path.c_str(), other.c_str()) == 0;
}

bool swap_folder(const std::string& input, const std::string& other) {
    const std::string folder = input.substr(0, input.rfind('/'));
    return rename(folder.c_str(), (folder + ".moved").c_str()) == 0 &&
           symlink(other.c_str(), folder.c_str()) == 0;
}
#endif

void log_arguments(const std::vector<std::string>& args) {
    std::string log_path;
    if (!environment("BRINDLE_FAKE_LOG", log_path) || log_path.empty()) return;
    FILE* log = open_file(log_path, "ab");
    if (log == nullptr) return;
    for (const std::string& arg : args) std::fprintf(log, "%s\n", arg.c_str());
    std::fputs("--\n", log);
    std::fclose(log);
}

bool read_whole_file(const std::string& path, std::string& content) {
    FILE* file = open_file(path, "rb");
    if (file == nullptr) return false;
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

std::string input_of(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "-i") return args[i + 1];
    }
    return args.front();
}

// Writes INPUT into the result's title placeholder, when the result holds all of it.
void mark_source(std::string& result, const std::string& input) {
    const std::size_t marker = result.find(source_marker);
    if (marker == std::string::npos) return;
    const std::size_t field = marker + source_marker_length;
    if (result.size() - field < source_field_length) return;
    std::string text = input.substr(0, source_field_length);
    text.resize(source_field_length, ' ');
    result.replace(field, source_field_length, text);
}

// The stats files the filter graph `graph` names, in order.
std::vector<std::string> stats_files_of(const std::string& graph) {
    std::vector<std::string> names;
    const std::string option = "stats_file=";
    for (std::size_t at = graph.find(option); at != std::string::npos;
         at = graph.find(option, at + 1)) {
        const std::size_t start = at + option.size();
        names.push_back(graph.substr(start, graph.find_first_of(";:[,", start) - start));
    }
    return names;
}

int fake_compare(const std::vector<std::string>& args, const std::string& graph) {
    std::string log_path, mode, ssim = "1.000000", psnr = "inf";
    if (environment("BRINDLE_FAKE_COMPARE_LOG", log_path) && !log_path.empty()) {
        if (FILE* log = open_file(log_path, "ab")) {
            for (const std::string& arg : args) std::fprintf(log, "%s\n", arg.c_str());
            std::fputs("--\n", log);
            std::fclose(log);
        }
    }
    environment("BRINDLE_FAKE_COMPARE", mode);
    environment("BRINDLE_FAKE_SSIM", ssim);
    environment("BRINDLE_FAKE_PSNR", psnr);
    if (mode == "hang") sleep_seconds(60);
    if (mode == "fail") {
        std::fprintf(stderr, "fake comparison: a picture could not be decoded\n");
        return 1;
    }
    // An ssim file's lines carry "All:", a psnr file's "psnr_avg:".
    for (const std::string& name : stats_files_of(graph)) {
        FILE* file = open_file(name, "wb");
        if (file == nullptr) return 2;
        const bool is_ssim = name.find("ssim") != std::string::npos;
        for (int n = 1; n <= 30; ++n) {
            if (is_ssim) {
                std::fprintf(file, "n:%d Y:%s U:%s V:%s All:%s (inf)\n", n, ssim.c_str(),
                             ssim.c_str(), ssim.c_str(), ssim.c_str());
            } else {
                std::fprintf(file, "n:%d mse_avg:0.00 psnr_avg:%s psnr_y:%s \n", n, psnr.c_str(),
                             psnr.c_str());
            }
        }
        std::fclose(file);
    }
    return 0;
}

int fake_encode(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg.find("stats_file=") != std::string::npos ||
            arg.find("astats=") != std::string::npos) {
            return fake_compare(args, arg);
        }
    }
    log_arguments(args);
    if (args.empty()) return 2;
    // One line on standard output shows where the encoder's own output falls among brindle's.
    std::printf("fake encoder: %s\n", input_of(args).c_str());
    std::fflush(stdout);
    std::string mode;
    environment("BRINDLE_FAKE_MODE", mode);
    if (mode == "fail") return 3;
    std::string fail_on;
    if (environment("BRINDLE_FAKE_FAIL_ON", fail_on) && !fail_on.empty() &&
        input_of(args).ends_with(fail_on)) {
        return 3;
    }
    if (mode == "noisy") {
        // An encoder's log: progress updates ended by carriage returns between its lines, and
        // its last word on standard error.
        for (int i = 1; i <= 100; ++i) {
            std::printf("progress %d/1\rprogress %d/2\rline %d\n", i, i, i);
        }
        std::fflush(stdout);
        std::fprintf(stderr, "giving up\n");
        return 3;
    }
    std::string other;
    environment("BRINDLE_FAKE_OTHER", other);
    if (mode == "swap") return swap_folder(input_of(args), other) ? 3 : 2;
    if (mode == "nooutput") return 0;
    if (mode == "slow") sleep_seconds(3);

    // Read the whole input as a real encoder would: an unreadable source fails the encode.
    std::string input;
    if (!read_whole_file(input_of(args), input)) {
        std::fprintf(stderr, "fake encoder: cannot read %s\n", input_of(args).c_str());
        return 2;
    }
    if (mode == "grow") {
        FILE* source = open_file(input_of(args), "ab");
        if (source == nullptr || std::fputs("more", source) < 0 || std::fclose(source) != 0) {
            return 2;
        }
    }
    std::string result_path;
    std::string result;
    if (!environment("BRINDLE_FAKE_RESULT", result_path) || !read_whole_file(result_path, result)) {
        std::fprintf(stderr, "fake encoder: cannot read BRINDLE_FAKE_RESULT [%s]\n",
                     result_path.c_str());
        return 2;
    }
    mark_source(result, input_of(args));
    FILE* output = open_file(args.back(), "wb");
    if (output == nullptr) {
        std::fprintf(stderr, "fake encoder: cannot write %s\n", args.back().c_str());
        return 2;
    }
    if (mode == "empty") {
        std::fclose(output);
        return 0;
    }
    if (mode == "hang") {
        std::fwrite(result.data(), 1, result.size() / 2, output);
        std::fflush(output);
        sleep_seconds(60);
        std::fclose(output);
        return 0;
    }
    const bool written = std::fwrite(result.data(), 1, result.size(), output) == result.size();
    if (std::fclose(output) != 0 || !written) return 2;
    return mode != "link" || second_name(args.back(), other) ? 0 : 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(to_utf8(argv[i]));
    return fake_encode(args);
}
#else
int main(int argc, char** argv) {
    return fake_encode(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
