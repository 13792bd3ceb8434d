#include "media/result_format.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "encode/naming.h"
#include "media/byte_source.h"
#include "media/probe.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

using media::container;

TEST(ResultFormat, InstalledExtension) {
    const struct {
        const char* source;
        container result;
        bool webm;
        const char* installed;
    } cases[] = {
        {".mkv", container::matroska, false, ".mkv"},
        {".MKV", container::matroska, false, ".MKV"},
        {"mkv", container::matroska, false, ".mkv"},
        {".mp4", container::matroska, false, ".mkv"},
        {".webm", container::matroska, false, ".mkv"},
        {".WebM", container::matroska, true, ".WebM"},
        {".mkv", container::matroska, true, ".mkv"},
        {".ts", container::matroska, false, ".mkv"},
        {"", container::matroska, false, ".mkv"},
        {".mp4", container::mp4, false, ".mp4"},
        {".M4V", container::mp4, false, ".M4V"},
        {".mov", container::mp4, false, ".mov"},
        {".mkv", container::mp4, false, ".mp4"},
        {".3gp", container::mp4, false, ".mp4"},
        {".webm", container::mp4, true, ".mp4"},
        {".ts", container::mpeg_ts, false, ".ts"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(installed_extension_for(c.source, c.result, c.webm), c.installed)
            << c.source << " as " << media::container_name(c.result) << (c.webm ? " (WebM)" : "");
    }
}

TEST(ResultFormat, TellsMatroskaWebmAndMp4FromTheirHeaders) {
    if (testing::media_samples().empty()) GTEST_SKIP() << "no media samples (ffmpeg missing?)";
    const auto read = [](const std::string& name) {
        return testing::read_file(testing::media_samples() / name);
    };
    // A DocType of "webm" cannot make HEVC valid WebM.
    auto hevc_as_webm = read("hevc.mkv");
    const auto doc_type = hevc_as_webm.find("matroska");
    ASSERT_NE(doc_type, std::string::npos);
    hevc_as_webm.replace(doc_type, 8, std::string("webm\0\0\0\0", 8));
    const struct {
        const char* what;
        std::string bytes;
        container kind;
        bool webm;
    } cases[] = {
        {"vp9.webm", read("vp9.webm"), container::matroska, true},
        {"vp9_opus.mkv", read("vp9_opus.mkv"), container::matroska, true},
        {"hevc.mkv", read("hevc.mkv"), container::matroska, false},
        {"hevc.mkv as webm", hevc_as_webm, container::matroska, false},
        {"subtitles_font.mkv", read("subtitles_font.mkv"), container::matroska, false},
        {"hevc_hvc1.mp4", read("hevc_hvc1.mp4"), container::mp4, false},
        {"hevc.mov", read("hevc.mov"), container::mp4, false},
        {"hevc.ts", read("hevc.ts"), container::mpeg_ts, false},
    };
    for (const auto& c : cases) {
        if (c.bytes.empty()) continue;
        media::memory_source source(c.bytes);
        media::block_reader reader(source);
        const auto format = media::read_result_format(reader);
        EXPECT_EQ(format.kind, c.kind) << c.what;
        EXPECT_EQ(format.valid_webm, c.webm) << c.what;
        // The check of a result tells the same, with the result's tracks.
        const auto verdict = check_result(source, std::nullopt);
        if (c.kind == container::mpeg_ts) continue;
        EXPECT_EQ(verdict.format.kind, c.kind) << c.what;
        EXPECT_EQ(verdict.format.valid_webm, c.webm) << c.what;
        EXPECT_EQ(verdict.tracks.video, 1) << c.what;
    }
}

}  // namespace
}  // namespace brindle
