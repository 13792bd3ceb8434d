#include "tests/test_support.h"

#include "media/byte_source.h"
#include "media/probe.h"

#include <fstream>
#include <random>
#include <sstream>

namespace brindle::testing {

scoped_temp_dir::scoped_temp_dir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("brindle-test-" + std::to_string(random() % 1000000000ULL));
        std::error_code error;
        if (std::filesystem::create_directory(path_, error)) break;
    }
}

scoped_temp_dir::~scoped_temp_dir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::string scoped_temp_dir::str() const {
    const auto text = path_.u8string();
    return std::string(text.begin(), text.end());
}

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::filesystem::path media_samples() {
    std::string folder = media_samples_built;
#ifdef _WIN32
    if (!folder.empty() && folder.front() == '/') folder = "Z:" + folder;
    for (char& c : folder) {
        if (c == '/') c = '\\';
    }
#endif
    std::error_code error;
    const std::filesystem::path path(std::u8string(folder.begin(), folder.end()));
    if (!std::filesystem::exists(path / "complete", error)) return {};
    return path;
}

std::string media_sample(const std::string& name) {
    const auto folder = media_samples();
    if (folder.empty() || !std::filesystem::exists(folder / name)) return {};
    return read_file(folder / name);
}

bool declares_hevc(std::string_view bytes) {
    media::memory_source source(bytes);
    media::block_reader reader(source);
    return declares_hevc_video(reader);
}

std::string tool_path(const std::string& built_path) {
#ifdef _WIN32
    std::string path = built_path;
    if (!path.empty() && path[0] == '/') {
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
        path = "Z:" + path;
    }
    return path;
#else
    return built_path;
#endif
}

}  // namespace brindle::testing
