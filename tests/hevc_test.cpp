#include "scan/hevc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "platform/paths.h"
#include "platform/process.h"
#include "scan/filters.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

const std::string signature = "V_MPEGH/ISO/HEVC";

// A block of `size` bytes of filler with `text` placed at `offset`.
std::string block_with(std::size_t size, const std::string& text, std::size_t offset) {
    std::string data(size, 'x');
    data.replace(offset, text.size(), text);
    return data;
}

bool search(const std::string& data) { return contains_hevc_signature(data.data(), data.size()); }

TEST(Hevc, SignatureMustStartAtOrBefore16367) {
    EXPECT_TRUE(search(block_with(hevc_probe_size, signature, 0)));
    EXPECT_TRUE(search(block_with(hevc_probe_size, signature, 16367)));
    EXPECT_FALSE(search(block_with(hevc_probe_size, signature, 16368)));
    EXPECT_FALSE(search(block_with(2 * hevc_probe_size, signature, 16368)))
        << "the last window is fixed, whatever the buffer size";
    EXPECT_FALSE(search(block_with(hevc_probe_size, "v_mpegh/iso/hevc", 0)));
    EXPECT_FALSE(search(block_with(hevc_probe_size, "V_MPEGH/ISO/HEV", 16369)));
    EXPECT_FALSE(search(""));
    EXPECT_FALSE(contains_hevc_signature(nullptr, 0));
}

TEST(Hevc, ShortBufferIsSearchedOnlyAsFarAsItGoes) {
    const std::string data = block_with(hevc_probe_size, signature, 100);
    EXPECT_FALSE(contains_hevc_signature(data.data(), 115));
    EXPECT_TRUE(contains_hevc_signature(data.data(), 116));
    EXPECT_TRUE(search(signature));
    EXPECT_FALSE(search(signature.substr(0, 15)));
}

TEST(Hevc, ReadsTheStartOfTheFile) {
    const testing::scoped_temp_dir temp;
    const char separator = platform::path_separator();
    const auto path_of = [&](const char* name) { return join_path(temp.str(), name, separator); };

    testing::write_file(temp.path() / "at16367.mkv",
                        block_with(3 * hevc_probe_size, signature, 16367));
    testing::write_file(temp.path() / "at16368.mkv",
                        block_with(3 * hevc_probe_size, signature, 16368));
    testing::write_file(temp.path() / "short.mkv", block_with(200, signature, 150));
    testing::write_file(temp.path() / "empty.mkv", "");

    EXPECT_TRUE(is_already_hevc(path_of("at16367.mkv")));
    EXPECT_FALSE(is_already_hevc(path_of("at16368.mkv")));
    EXPECT_TRUE(is_already_hevc(path_of("short.mkv")));
    EXPECT_FALSE(is_already_hevc(path_of("empty.mkv")));
    EXPECT_FALSE(is_already_hevc(path_of("missing.mkv"))) << "a file that cannot be opened";
}

std::string utf8(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

TEST(Hevc, AsksTheContainerOfRealFiles) {
    const auto samples = testing::media_samples();
    if (samples.empty()) GTEST_SKIP() << "no media samples (ffmpeg missing?)";
    const struct {
        const char* name;
        bool hevc;
    } cases[] = {
        {"hevc.mkv", true},
        {"hevc_long_title.mkv", true},  // the codec id lies past the first 16 KiB
        {"hevc_hvc1.mp4", true},        // moov at the end of the file
        {"hevc_hev1.mp4", true},
        {"hevc.mov", true},
        {"h264.mkv", false},
        {"h264.mp4", false},
        {"h264_faststart.mp4", false},
        {"h264.mov", false},
        {"vp9.webm", false},
        {"hevc.ts", true},
        {"hevc.m2ts", true},
        {"hevc.avi", true},
        {"hevc.mpg", true},
        {"h264.ts", false},
        {"mpeg4.avi", false},
        {"mpeg2.mpg", false},
        {"picture.png", false},
    };
    for (const auto& c : cases) {
        if (!std::filesystem::exists(samples / c.name)) continue;
        EXPECT_EQ(is_already_hevc(utf8(samples / c.name)), c.hevc) << c.name;
    }
}

TEST(Hevc, NeverWaitsOnAFifoOrReadsADirectory) {
    const testing::scoped_temp_dir temp;
    EXPECT_FALSE(is_already_hevc(temp.str()));
    if (platform::command_interpreter() == platform::interpreter_kind::windows_cmd) return;
    // No writer ever opens it: a blocking open would never return.
    const auto fifo = utf8(temp.path() / "fifo.mkv");
    ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
    EXPECT_FALSE(is_already_hevc(fifo));
}

}  // namespace
}  // namespace brindle
