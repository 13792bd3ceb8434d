// A stand-in for the encoder in the end-to-end tests. It logs its arguments, then writes an output
// that the next scan recognises as already encoded: the Matroska HEVC codec identifier followed by
// the input's bytes. BRINDLE_FAKE_MODE makes it misbehave the ways real encoders do.
//
//   BRINDLE_FAKE_LOG   file to append the arguments to, one a line, "--" after each call
//   BRINDLE_FAKE_MODE  unset: write the output, exit 0
//                      fail: exit 3 without output       nooutput: exit 0 without output
//                      empty: empty output, exit 0       hang: part of the output, then sleep 60 s
//                      slow: sleep 3 s, then as unset
//
// The input is the argument after "-i" (else the first argument), the output the last argument.
// Standard output gets one line, "fake encoder: INPUT", whatever the mode.

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

constexpr char hevc_codec_id[] = "V_MPEGH/ISO/HEVC";
constexpr std::size_t hevc_codec_id_length = sizeof hevc_codec_id - 1;

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

int fake_encode(const std::vector<std::string>& args) {
    log_arguments(args);
    if (args.empty()) return 2;
    // One line on standard output shows where the encoder's own output falls among brindle's.
    std::printf("fake encoder: %s\n", input_of(args).c_str());
    std::fflush(stdout);
    std::string mode;
    environment("BRINDLE_FAKE_MODE", mode);
    if (mode == "fail") return 3;
    if (mode == "nooutput") return 0;
    if (mode == "slow") sleep_seconds(3);

    std::string content;
    if (!read_whole_file(input_of(args), content)) {
        std::fprintf(stderr, "fake encoder: cannot read %s\n", input_of(args).c_str());
        return 2;
    }
    FILE* output = open_file(args.back(), "wb");
    if (output == nullptr) {
        std::fprintf(stderr, "fake encoder: cannot write %s\n", args.back().c_str());
        return 2;
    }
    if (mode == "empty") {
        std::fclose(output);
        return 0;
    }
    std::fwrite(hevc_codec_id, 1, hevc_codec_id_length, output);
    if (mode == "hang") {
        std::fwrite(content.data(), 1, content.size() / 2, output);
        std::fflush(output);
        sleep_seconds(60);
        std::fclose(output);
        return 0;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), output) == content.size();
    return std::fclose(output) == 0 && written ? 0 : 2;
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
