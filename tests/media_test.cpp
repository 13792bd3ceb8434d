#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "media/byte_source.h"
#include "media/container.h"
#include "media/probe.h"
#include "media/wholeness.h"
#include "tests/crafted_mp4.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using media::container;

// Counts the reads a probe makes, so that a reader that loops or reads byte by byte shows.
class counting_source final : public media::byte_source {
public:
    explicit counting_source(std::string_view bytes) : inner_(bytes) {}
    std::size_t read_at(std::uint64_t offset, char* buffer, std::size_t size) override {
        ++reads;
        return inner_.read_at(offset, buffer, size);
    }
    std::uint64_t size() const override { return inner_.size(); }
    int reads = 0;

private:
    media::memory_source inner_;
};

// A disk that fails every read from the `good_reads`-th on.
class failing_source final : public media::byte_source {
public:
    failing_source(std::string_view bytes, int good_reads) : inner_(bytes), left_(good_reads) {}
    std::size_t read_at(std::uint64_t offset, char* buffer, std::size_t size) override {
        return left_-- > 0 ? inner_.read_at(offset, buffer, size) : 0;
    }
    std::uint64_t size() const override { return inner_.size(); }

private:
    media::memory_source inner_;
    int left_;
};

// A probe of a small file takes a handful of reads; a damaged one must not take many more.
constexpr int most_reads = 40;

// The sample `name` made for this run, or empty (the test then skips it) when it was not made.
#define REQUIRE_SAMPLES() \
    if (testing::media_samples().empty()) GTEST_SKIP() << "no media samples (ffmpeg missing?)"

std::string utf8(const fs::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

container recognise(std::string_view bytes) {
    return media::recognise_container(bytes.substr(0, media::recognition_size));
}

TEST(Media, RecognisesTheContainersFfmpegWrites) {
    REQUIRE_SAMPLES();
    const struct {
        const char* name;
        container kind;
        const char* other;  // what a file that is no video is called
    } cases[] = {
        {"h264.mkv", container::matroska, ""},
        {"vp9.webm", container::matroska, ""},
        {"h264.mp4", container::mp4, ""},
        {"h264_faststart.mp4", container::mp4, ""},
        {"h264.mov", container::mp4, ""},
        {"h264.3gp", container::mp4, ""},
        {"h264.ts", container::mpeg_ts, ""},
        {"h264.m2ts", container::m2ts, ""},
        {"mpeg4.avi", container::avi, ""},
        {"mpeg2.mpg", container::mpeg_ps, ""},
        {"wmv2.wmv", container::asf, ""},
        {"mpeg2.wtv", container::wtv, ""},
        {"flv1.flv", container::flv, ""},
        {"theora.ogv", container::ogg, ""},
        {"rv10.rm", container::realmedia, ""},
        {"picture.png", container::none, "PNG image"},
        {"sound.wav", container::none, "WAV audio"},
    };
    for (const auto& c : cases) {
        const auto bytes = testing::media_sample(c.name);
        if (bytes.empty()) continue;
        EXPECT_EQ(recognise(bytes), c.kind) << c.name;
        EXPECT_EQ(media::describe_other_file(bytes), c.other) << c.name;
    }
}

TEST(Media, RecognisesFirstBytesWrittenByHand) {
    using namespace std::string_literals;
    std::string ts(5 * 188, '\0'), m2ts(5 * 192, '\0');
    for (int i = 0; i < 5; ++i) ts[i * 188] = m2ts[i * 192 + 4] = 0x47;
    const std::string ebml = "\x1a\x45\xdf\xa3\x88\x42\x82\x85"s;
    const struct {
        std::string bytes;
        container kind;
        const char* other;
    } cases[] = {
        {ts, container::mpeg_ts, ""},
        {ts.substr(0, 188 * 3), container::mpeg_ts, ""},
        {ts.substr(0, 188 * 3 - 1), container::none, ""},  // two packets are no stream
        {"G" + std::string(187, 'x') + "G" + std::string(187, 'x') + "Gx", container::none, ""},
        {m2ts, container::m2ts, ""},
        {ebml + "webm", container::matroska, ""},
        {ebml + "other", container::none, ""},
        {"\x1a\x45\xdf\xa3\x80"s, container::matroska, ""},  // DocType left to its default
        {"\x00\x00\x00\x18"
         "ftypqt  "s,
         container::mp4, ""},
        {"\x00\x00\x00\x18"
         "ftypheic"s,
         container::none, "HEIF image"},
        {"\x00\x00\x00\x18"
         "ftypM4A "s,
         container::none, "MP4 audio"},
        {"\x00\x00\x10\x00"
         "moov"s,
         container::mp4, ""},
        {"\x00\x00\x00\x04"
         "free"s,
         container::none, ""},
        {"\x00\x00\x01\xba\x44"s, container::mpeg_ps, ""},
        {"\x00\x00\x01\xb3"s, container::none, ""},
        {"RIFF\x10\x00\x00\x00"
         "AVI LIST"s,
         container::avi, ""},
        {"RIFF\x10\x00\x00\x00"
         "WAVEfmt "s,
         container::none, "WAV audio"},
        {"FLV\x01\x05"s, container::flv, ""},
        {"OggS\x00\x02"s, container::ogg, ""},
        {".RMF\x00\x00"s, container::realmedia, ""},
        {"\x30\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9\x00\xaa\x00\x62\xce\x6c"s, container::asf, ""},
        {"\xb7\xd8\x00\x20\x37\x49\xda\x11\xa6\x4e\x00\x07\xe9\x5e\xad\x8d"s, container::wtv, ""},
        {"\xff\xd8\xff\xe0"s, container::none, "JPEG image"},
        {"hello, world\n", container::none, ""},
        {"", container::none, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(recognise(c.bytes), c.kind) << ::testing::PrintToString(c.bytes);
        EXPECT_EQ(media::describe_other_file(c.bytes), c.other)
            << ::testing::PrintToString(c.bytes);
    }
}

TEST(Media, ReadsDurationsAndHevcTracksOfRealFiles) {
    REQUIRE_SAMPLES();
    constexpr std::int64_t none = -1;
    const struct {
        const char* name;
        std::int64_t duration_ms;  // as the container declares it; none when it does not
        bool hevc;
    } cases[] = {
        {"h264.mkv", 2128, false},  // the audio runs a little longer
        {"h264_silent.mkv", 2000, false},
        {"hevc.mkv", 2128, true},
        {"hevc_long_title.mkv", 2000, true},  // its codec id lies past the first 16 KiB
        {"vp9.webm", 2000, false},
        {"h264.mp4", 2000, false},
        {"h264_faststart.mp4", 2000, false},
        {"late.mkv", 2000, false},           // its times start at 600 s, its Duration says 602 s
        {"late_mkvmerge.mkv", 2000, false},  // the same times, its Duration says 2 s
        {"late.mp4", 2000, false},           // an empty edit of 600 s first
        {"video_after_sound.mp4", 3500, false},  // an empty edit of 1.5 s before its picture
        {"hevc_hvc1.mp4", 2000, true},           // moov at the end
        {"hevc_hev1.mp4", 2000, true},           // moov at the front
        {"h264.mov", 2000, false},
        {"hevc.mov", 2000, true},
        {"h264.3gp", 2000, false},
        {"h264.ts", 2000, false},  // first to last picture of the video stream, and its frame
        {"hevc.ts", 2000, true},
        {"h264.m2ts", 2000, false},
        {"hevc.m2ts", 2000, true},
        {"ntsc.ts", 2002, false},  // 60 frames of 1001/30000 s
        {"hevc.avi", 2000, true},
        {"hevc_h265.avi", 2000, true},
        {"hevc.mpg", none, true},
        {"mpeg4.avi", 2000, false},
        {"h264.avi", 2000, false},
        {"mpeg2.mpg", none, false},
        {"wmv2.wmv", none, false},
    };
    for (const auto& c : cases) {
        const auto bytes = testing::media_sample(c.name);
        if (bytes.empty()) continue;
        counting_source source(bytes);
        const auto probe = probe_source(source);
        EXPECT_TRUE(probe.is_video_container) << c.name;
        EXPECT_EQ(probe.fault, "") << c.name;
        if (c.duration_ms == none) {
            EXPECT_FALSE(probe.duration_ms.has_value()) << c.name;
        } else {
            EXPECT_LE(std::abs(probe.duration_ms.value_or(none) - c.duration_ms), 20) << c.name;
        }
        EXPECT_LE(source.reads, 4) << c.name << ": a small file needs a read or two";
        EXPECT_EQ(testing::declares_hevc(bytes), c.hevc) << c.name;
        // A result whose times start late, as a configuration line may keep them, is measured
        // alike.
        if (std::string_view(c.name).starts_with("late")) {
            media::memory_source result(bytes);
            EXPECT_EQ(check_result(result, 2000).fault, "") << c.name;
        }
    }
}

TEST(Media, RefusesSourcesThatAreNoVideoOrUnfinished) {
    REQUIRE_SAMPLES();
    const auto video = testing::media_sample("h264.mkv");
    const struct {
        std::string bytes;
        const char* fault;
    } cases[] = {
        {video + std::string(131071, '\0') + "x", ""},
        {video + std::string(131072, '\0'),
         "it is not complete: it ends in 65536 zero bytes, as an unfinished download does"},
        {testing::media_sample("picture.png"), "it is not a video file (PNG image)"},
        {testing::media_sample("sound.wav"), "it is not a video file (WAV audio)"},
        {std::string(100000, 'a'), "it is not a video file"},
        {"", "it is not a video file"},
    };
    for (const auto& c : cases) {
        media::memory_source source(c.bytes);
        const auto probe = probe_source(source);
        EXPECT_EQ(probe.is_video_container, *c.fault == '\0') << c.fault;
        EXPECT_EQ(probe.fault, c.fault);
    }
}

TEST(Media, AcceptsOnlyWholeResultsThatLastAsLongAsTheSource) {
    REQUIRE_SAMPLES();
    const std::string hevc = testing::media_sample("hevc.mkv");
    const std::string cut_segment = hevc.substr(0, hevc.size() - 100);
    const std::string mp4_end = testing::media_sample("hevc_hvc1.mp4");
    const struct {
        std::string bytes;
        std::optional<std::int64_t> source_ms;
        std::string fault;
    } cases[] = {
        {hevc, std::nullopt, ""},
        {hevc, 2000, ""},
        {hevc, 3128, ""},
        {hevc, 20000, "the result lasts 2.1 s, the source 20.0 s"},
        {testing::media_sample("vp9.webm"), 2000, ""},
        {mp4_end, 2500, ""},
        {testing::media_sample("hevc_hev1.mp4"), 2000, ""},
        {testing::media_sample("hevc.mov"), 2000, ""},
        {testing::media_sample("h264.mp4"), 2000, ""},
        {cut_segment, 2000,
         "the result is not a complete Matroska file: its Segment declares " +
             std::to_string(hevc.size() - 52) + " bytes, the file holds " +
             std::to_string(hevc.size() - 152)},
        {mp4_end.substr(0, mp4_end.size() - 1), 2000,
         "the result is not a complete MP4 file: its moov box declares"},
        {mp4_end.substr(0, mp4_end.size() / 2), 2000,
         "the result is not a complete MP4 file: its mdat box declares"},
        {testing::media_sample("hevc_short.mkv"), std::nullopt,
         "the result lasts 0.5 s, less than one second"},
        {testing::media_sample("audio.mka"), 2000, "the result holds no video track"},
        {testing::media_sample("audio.m4a"), 2000, "the result holds no video track"},
        {testing::media_sample("hevc.ts"), 2000, "the result is not a Matroska or MP4 file"},
        {testing::media_sample("picture.png"), 2000, "the result is not a Matroska or MP4 file"},
    };
    for (const auto& c : cases) {
        if (c.bytes.empty()) continue;
        media::memory_source source(c.bytes);
        const auto verdict = check_result(source, c.source_ms);
        EXPECT_EQ(verdict.whole, c.fault.empty()) << verdict.fault;
        // Figures that depend on the sample's exact size are compared as far as they are known.
        EXPECT_EQ(verdict.fault.substr(0, c.fault.size()), c.fault);
    }
}

TEST(Media, MarksHowFarAMatroskaFileStillBeingWrittenReaches) {
    REQUIRE_SAMPLES();
    const std::string hevc = testing::media_sample("hevc_long.mkv");
    const auto marks_of = [](const std::string& bytes) {
        media::memory_source source(bytes);
        media::block_reader reader(source);
        return media::matroska_written_marks(reader);
    };
    const auto whole = marks_of(hevc);
    ASSERT_GE(whole.size(), 2u);
    EXPECT_NEAR(static_cast<double>(whole.back().ms), 12000, 200);
    EXPECT_FALSE(marks_of(testing::media_sample("hevc_pipe.mkv")).empty());
    EXPECT_LT(whole.back().bytes, hevc.size());
    for (std::size_t i = 1; i < whole.size(); ++i) {
        EXPECT_GT(whole[i].bytes, whole[i - 1].bytes);
        EXPECT_GE(whole[i].ms, whole[i - 1].ms + media::written_mark_step_ms);
    }
    // Cut inside its last Cluster, as the encoder leaves it while writing: the Clusters before
    // it, as they were.
    const std::size_t first_cluster = hevc.find("\x1F\x43\xB6\x75");
    ASSERT_NE(first_cluster, std::string::npos);
    const auto cut = marks_of(hevc.substr(0, first_cluster + whole.back().bytes - 10));
    EXPECT_EQ(cut, std::vector<media::written_mark>(whole.begin(), whole.end() - 1));
    EXPECT_TRUE(marks_of(testing::media_sample("h264.mp4")).empty());
}

TEST(Media, MarksAnMp4FilesBytesByTimeFromItsSampleTables) {
    REQUIRE_SAMPLES();
    // The same 12 s of picture and sound as hevc_long.mkv, in MP4.
    const std::string mp4 = testing::media_sample("hevc_long_faststart.mp4");
    media::memory_source source(mp4);
    media::block_reader reader(source);
    const auto marks = media::mp4_written_marks(reader);
    ASSERT_GE(marks.size(), 2u);
    EXPECT_NEAR(static_cast<double>(marks.back().ms), 12000, 200);
    EXPECT_LT(marks.back().bytes, mp4.size());
    for (std::size_t i = 1; i < marks.size(); ++i) {
        EXPECT_GE(marks[i].bytes, marks[i - 1].bytes);
        EXPECT_GE(marks[i].ms, marks[i - 1].ms + media::written_mark_step_ms);
    }
    const std::string moof = testing::media_sample("hevc_frag_moof.mp4");
    media::memory_source fragmented(moof);
    media::block_reader fragments(fragmented);
    EXPECT_TRUE(media::mp4_written_marks(fragments).empty());
}

TEST(Media, MarksTransportStreamsAndAviFilesBytesByTime) {
    REQUIRE_SAMPLES();
    using marks = std::vector<media::written_mark>;
    const auto ts = [](media::block_reader& r) {
        return media::transport_stream_written_marks(r, 188);
    };
    const auto m2ts = [](media::block_reader& r) {
        return media::transport_stream_written_marks(r, 192);
    };
    const auto avi = [](media::block_reader& r) { return media::avi_written_marks(r); };
    const struct {
        const char* name;
        std::function<marks(media::block_reader&)> read;
        std::int64_t last_ms;  // 0: no marks
    } cases[] = {
        // The same 12 s as hevc_long.mkv, in 192-byte packets; 2 s in 188-byte ones.
        {"hevc_long.m2ts", m2ts, 12000},
        {"h264.ts", ts, 2000},
        {"mpeg4.avi", avi, 2000},
        {"h264.avi", avi, 2000},
        // Packets of another size are no transport stream's; an MP4 is no AVI.
        {"hevc_long.m2ts", ts, 0},
        {"h264.ts", m2ts, 0},
        {"h264.mp4", avi, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = testing::media_sample(c.name);
        if (bytes.empty()) continue;
        media::memory_source source(bytes);
        media::block_reader reader(source);
        const marks found = c.read(reader);
        if (c.last_ms == 0) {
            EXPECT_TRUE(found.empty());
            continue;
        }
        ASSERT_GE(found.size(), 2u);
        EXPECT_NEAR(static_cast<double>(found.back().ms), static_cast<double>(c.last_ms), 500);
        EXPECT_LT(found.back().bytes, bytes.size());
        for (std::size_t i = 1; i < found.size(); ++i) {
            EXPECT_GT(found[i].bytes, found[i - 1].bytes);
            EXPECT_GE(found[i].ms, found[i - 1].ms + media::written_mark_step_ms);
        }
    }
    // An index whose every entry points at the same empty chunk tells no bytes by time: a
    // foretelling from it once refused a file that shrinks to half as 2077 GiB.
    std::string damaged = testing::media_sample("mpeg4.avi");
    const std::size_t index = damaged.find("idx1");
    ASSERT_NE(index, std::string::npos);
    for (std::size_t entry = index + 8; entry + 16 <= damaged.size(); entry += 16) {
        damaged.replace(entry + 8, 8, std::string("\x04\0\0\0\0\0\0\0", 8));
    }
    media::memory_source source(damaged);
    media::block_reader reader(source);
    EXPECT_LE(media::avi_written_marks(reader).size(), 1u);
}

TEST(Media, AFailingReadIsNeverTakenForAnAnswer) {
    REQUIRE_SAMPLES();
    // The head is read first; the moov at the end of this file needs a read of its own.
    const auto result = testing::media_sample("hevc_long.mp4");
    ASSERT_GT(result.size(), media::head_size);
    const struct {
        int good_reads;
        const char* source_fault;
        const char* result_fault;
    } cases[] = {
        {0, "it cannot be read", "the result cannot be read"},
        {1, "it cannot be read", "the result cannot be read"},
        {2, "it cannot be read", "the result cannot be read"},
        {most_reads, "", ""},
    };
    for (const auto& c : cases) {
        failing_source for_probe(result, c.good_reads), for_check(result, c.good_reads);
        EXPECT_EQ(probe_source(for_probe).fault, c.source_fault) << c.good_reads;
        EXPECT_EQ(check_result(for_check, 10000).fault, c.result_fault) << c.good_reads;
    }
}

// Ways a result is damaged after its encoder wrote it whole.
enum class mutation {
    none,
    cut,               // its first 60 %
    padded,            // its first half, then zeros up to its size
    zeroed_end,        // its last quarter zeroed
    zero_tail,         // its last 64 KiB zeroed
    zeros_appended,    // 1 MiB of zeros after it
    bytes_appended,    // a few bytes after it
    last_mdat_cut,     // cut 100 bytes before its last mdat ends, the mdat's size made to fit
    huge_stsz,         // the first sample table's count set to 2^32 - 1
    huge_trun,         // the first fragment run's sample count set to 2^32 - 1
    unsized_clusters,  // every Cluster's size marked unknown, as a live stream writes them
    moov_end_zeroed,   // its last 400 bytes zeroed: the tables of the moov's last track
    chunks_zeroed,     // every chunk offset of its last stco set to 0
};

void put_big_endian(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

std::string mutated(std::string bytes, mutation how) {
    const auto size = bytes.size();
    switch (how) {
        case mutation::none:
            break;
        case mutation::cut:
            bytes.resize(size * 6 / 10);
            break;
        case mutation::padded:
            bytes.resize(size / 2);
            bytes.resize(size, '\0');
            break;
        case mutation::zeroed_end:
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(size * 3 / 4), bytes.end(), '\0');
            break;
        case mutation::zero_tail:
            std::fill(bytes.end() - 65536, bytes.end(), '\0');
            break;
        case mutation::zeros_appended:
            bytes.append(std::size_t{1} << 20, '\0');
            break;
        case mutation::bytes_appended:
            bytes += "0123456789";
            break;
        case mutation::last_mdat_cut: {
            const auto box = bytes.rfind("mdat") - 4;
            std::uint32_t box_size = 0;
            for (std::size_t i = 0; i < 4; ++i) {
                box_size = box_size << 8 | static_cast<std::uint8_t>(bytes[box + i]);
            }
            bytes.resize(box + box_size - 100);
            put_big_endian(bytes, box, box_size - 100);
            break;
        }
        case mutation::huge_stsz:
            put_big_endian(bytes, bytes.find("stsz") + 12, 0xFFFFFFFF);
            break;
        case mutation::unsized_clusters:
            for (auto at = bytes.find("\x1f\x43\xb6\x75"); at != std::string::npos;
                 at = bytes.find("\x1f\x43\xb6\x75", at + 1)) {
                const auto first = static_cast<std::uint8_t>(bytes[at + 4]);
                const int length = std::countl_zero(first) + 1;
                bytes[at + 4] = static_cast<char>(0xFF >> (length - 1));
                std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at + 5), length - 1,
                            '\xff');
            }
            break;
        case mutation::huge_trun:
            put_big_endian(bytes, bytes.find("trun") + 8, 0xFFFFFFFF);
            break;
        case mutation::moov_end_zeroed:
            std::fill(bytes.end() - 400, bytes.end(), '\0');
            break;
        case mutation::chunks_zeroed: {
            const auto table = bytes.rfind("stco");
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(table + 12),
                        std::min<std::size_t>(40, size - table - 12), '\0');
            break;
        }
    }
    return bytes;
}

TEST(Media, AResultIsWholeOnlyWithEveryFrameItDeclares) {
    REQUIRE_SAMPLES();
    const struct {
        const char* name;
        mutation how;
        std::optional<std::int64_t> source_ms;
        const char* fault;  // the start of the fault, after "the result ...", empty when whole
    } cases[] = {
        {"hevc.mkv", mutation::none, 2000, ""},
        {"hevc.mkv", mutation::cut, 2000, "is not a complete Matroska file: its Segment declares"},
        {"hevc.mkv", mutation::padded, 2000, "is not a complete Matroska file: at byte"},
        {"hevc.mkv", mutation::zeroed_end, 2000, "is not a complete Matroska file: at byte"},
        {"hevc.mkv", mutation::bytes_appended, 2000, ""},
        {"hevc_pipe.mkv", mutation::bytes_appended, 2000,
         "is not a complete Matroska file: at byte"},
        {"hevc_long.mkv", mutation::zero_tail, 12000,
         "is not a complete Matroska file: it ends in 65536 zero bytes"},
        {"hevc_long.mkv", mutation::zeros_appended, 12000,
         "is not a complete Matroska file: it ends in 65536 zero bytes"},
        {"hevc_pipe.mkv", mutation::none, 2000, ""},
        {"hevc_pipe.mkv", mutation::cut, 2000, "is not a complete Matroska file: its Cluster"},
        {"hevc_pipe.mkv", mutation::unsized_clusters, 2000, ""},
        {"hevc.mkv", mutation::unsized_clusters, 2000, ""},
        {"hevc_pipe.mkv", mutation::zeroed_end, 2000, "is not a complete Matroska file: at byte"},
        {"hevc_video2.mkv", mutation::none, 10000,
         "is not a complete Matroska file: its video ends at 0.2 s, its duration is 10."},
        {"mkvmerge.mkv", mutation::none, 2000, ""},
        {"mkvmerge.mkv", mutation::padded, 2000, "is not a complete Matroska file: at byte"},
        {"handbrake.mkv", mutation::none, 2000, ""},
        {"handbrake.mkv", mutation::zeroed_end, 2000, "is not a complete Matroska file: at byte"},
        {"hevc.mkv", mutation::none, 500, "lasts 2.1 s, the source 0.5 s"},

        {"hevc_frac.mp4", mutation::none, 2500, ""},
        {"hevc_frac.mp4", mutation::none, 4000, "lasts 2.5 s, the source 4.0 s"},
        {"hevc_hev1.mp4", mutation::last_mdat_cut, 2000,
         "is not a complete MP4 file: a chunk of samples of its track 1 ends at byte "},
        {"hevc_long_faststart.mp4", mutation::zero_tail, 12000,
         "is not a complete MP4 file: it ends in 65536 zero bytes"},
        {"hevc_hvc1.mp4", mutation::huge_stsz, 2000,
         "is not a complete MP4 file: its track 1's sample tables are damaged"},
        {"hevc_hvc1.mp4", mutation::moov_end_zeroed, 2000, "is not a complete MP4 file: "},
        {"mov_text.mp4", mutation::moov_end_zeroed, 2000, "is not a complete MP4 file: "},
        {"handbrake.mp4", mutation::moov_end_zeroed, 2000, "is not a complete MP4 file: "},
        {"hevc_hvc1.mp4", mutation::chunks_zeroed, 2000,
         "is not a complete MP4 file: a chunk of samples of its track 2 lies outside"},
        {"hevc_video2.mp4", mutation::none, 10000, "lasts 0.2 s, less than one second"},
        {"hevc_frag.mp4", mutation::none, 2000, ""},
        {"hevc_frag_moof.mp4", mutation::none, 2000, ""},
        {"hevc_frag.mp4", mutation::none, 5000, "lasts 2.0 s, the source 5.0 s"},
        {"hevc_frag.mp4", mutation::cut, 2000, "is not a complete MP4 file: its mdat box declares"},
        {"hevc_frag.mp4", mutation::last_mdat_cut, 2000,
         "is not a complete MP4 file: its moof at byte "},
        {"hevc_frag_moof.mp4", mutation::huge_trun, 2000,
         "is not a complete MP4 file: its moof at byte "},
        {"handbrake.mp4", mutation::none, 2000, ""},
    };
    for (const auto& c : cases) {
        const auto whole = testing::media_sample(c.name);
        if (whole.empty()) {
            std::cout << "skipped " << c.name << ": not made (mkvmerge or HandBrakeCLI missing?)\n";
            continue;
        }
        const auto bytes = mutated(whole, c.how);
        media::memory_source source(bytes);
        const auto verdict = check_result(source, c.source_ms);
        const std::string expected = *c.fault ? std::string("the result ") + c.fault : "";
        EXPECT_EQ(verdict.fault.substr(0, expected.empty() ? std::string::npos : expected.size()),
                  expected)
            << c.name << ", mutation " << static_cast<int>(c.how);
        EXPECT_EQ(verdict.whole, expected.empty()) << c.name;
    }
}

TEST(Media, EveryChunkLiesInsideOneOfManyMediaDataBoxes) {
    // mdat bodies: 8 to 8 (empty), 16 to 32, 40 to 40 (empty), 48 to 64.
    const std::vector<std::size_t> media_data = {0, 16, 0, 16};
    const struct {
        std::vector<std::uint64_t> chunks;
        const char* fault;  // part of it; empty when whole
    } cases[] = {
        {{16, 28, 48, 60}, ""},
        {{16, 30}, "lies outside the media data, at bytes "},  // on into the next box's header
        {{16, 8}, "lies outside the media data, at bytes "},   // at an empty mdat
        {{4, 48}, "lies outside the media data, at bytes "},   // in a box's header
        {{40, 48}, "lies outside the media data, at bytes "},
        {{60, 64}, "the file holds "},
    };
    for (const auto& c : cases) {
        const std::string bytes = testing::crafted_mp4(c.chunks, media_data);
        media::memory_source source(bytes);
        const auto verdict = check_result(source, 2000);
        EXPECT_EQ(verdict.whole, !*c.fault) << c.chunks.back() << ": " << verdict.fault;
        EXPECT_NE(verdict.fault.find(c.fault), std::string::npos) << verdict.fault;
    }
}

TEST(Media, ReadsAnAviWithAnOddSizedChunkBeforeItsMainHeader) {
    REQUIRE_SAMPLES();
    auto avi = testing::media_sample("mpeg4.avi");
    ASSERT_EQ(avi.substr(12, 4), "LIST");
    ASSERT_EQ(avi.substr(20, 8), "hdrlavih");
    // A three-byte chunk and its pad byte, ahead of avih, with the sizes that hold it grown.
    const std::string junk("JUNK\x03\x00\x00\x00xyz\x00", 12);
    avi.insert(24, junk);
    for (const std::size_t size_at : {std::size_t{4}, std::size_t{16}}) {
        std::uint32_t size = 0;
        for (std::size_t i = 4; i-- > 0;)
            size = size << 8 | static_cast<std::uint8_t>(avi[size_at + i]);
        size += static_cast<std::uint32_t>(junk.size());
        for (std::size_t i = 0; i < 4; ++i) avi[size_at + i] = static_cast<char>(size >> (8 * i));
    }
    media::memory_source source(avi);
    const auto probe = probe_source(source);
    EXPECT_TRUE(probe.is_video_container) << probe.fault;
    EXPECT_LE(std::abs(probe.duration_ms.value_or(0) - 2000), 20);
}

TEST(Media, DurationRule) {
    constexpr std::int64_t none = -1;
    const struct {
        std::int64_t result_ms, source_ms;
        const char* fault;
    } cases[] = {
        {2128, none, ""},
        {1000, none, ""},
        {999, none, "the result lasts 0.9 s, less than one second"},
        {0, 500, "the result lasts 0.0 s, less than one second"},
        {none, 2000, "the result declares no duration"},
        {2128, 3128, ""},  // short by the allowed second
        {2128, 3129, "the result lasts 2.1 s, the source 3.1 s"},
        {18950, 20000, "the result lasts 18.9 s, the source 20.0 s"},
        {398000, 400000, ""},  // 0.5 % of a long source is more than a second
        {397999, 400000, "the result lasts 397.9 s, the source 400.0 s"},
        {8000, 20000, "the result lasts 8.0 s, the source 20.0 s"},
        {7200000, 7200000, ""},
        {3128, 2128, ""},  // beyond by the allowed second
        {3129, 2128, "the result lasts 3.1 s, the source 2.1 s"},
        {402000, 400000, ""},
        {402001, 400000, "the result lasts 402.0 s, the source 400.0 s"},
        {30000, 10000, "the result lasts 30.0 s, the source 10.0 s"},
    };
    const auto known = [](std::int64_t ms) {
        return ms == none ? std::nullopt : std::optional<std::int64_t>(ms);
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judge_result_duration(known(c.result_ms), known(c.source_ms)), c.fault)
            << c.result_ms << " against " << c.source_ms;
    }
}

// A copy of `bytes` in an allocation of its own, so that a read past its end is caught by the
// address sanitizer.
std::vector<char> exact_copy(std::string_view bytes) { return {bytes.begin(), bytes.end()}; }

struct probe_outcome {
    bool result_whole = false;
    int reads = 0;
};

probe_outcome probe_everything(const std::vector<char>& bytes,
                               std::optional<std::int64_t> source_ms = std::nullopt) {
    const std::string_view view(bytes.data(), bytes.size());
    probe_outcome outcome;
    counting_source source(view);
    probe_source(source);
    outcome.result_whole = check_result(source, source_ms).whole;
    testing::declares_hevc(view);
    outcome.reads = source.reads;
    return outcome;
}

TEST(Media, TruncatedCopiesAreRefusedAndNeverReadOutOfBounds) {
    REQUIRE_SAMPLES();
    for (const char* name : {"hevc.mkv", "hevc_hvc1.mp4", "hevc_hev1.mp4", "h264.ts", "h264.m2ts",
                             "mpeg4.avi", "hevc_pipe.mkv", "hevc_frag_moof.mp4"}) {
        const auto whole = testing::media_sample(name);
        if (whole.empty()) continue;
        const bool is_result = fs::path(name).extension() != ".ts" &&
                               fs::path(name).extension() != ".m2ts" &&
                               fs::path(name).extension() != ".avi";
        media::memory_source whole_source(whole);
        const auto source_ms = check_result(whole_source, std::nullopt).duration_ms;
        EXPECT_EQ(probe_everything(exact_copy(whole), source_ms).result_whole, is_result) << name;
        // Every length near either end, where the headers are; a dense sample in between.
        const std::size_t size = whole.size();
        for (std::size_t length = 0; length < size;
             length += length < 4096 || size - length < 4096 ? 1 : 11) {
            const auto outcome =
                probe_everything(exact_copy(std::string_view(whole).substr(0, length)), source_ms);
            // Two cuts leave every frame a file declares: a Segment written to a pipe declares
            // no duration, so one cut between two Clusters is a shorter whole file, left to the
            // duration rule (whose second of slack a sample of two seconds leaves room for);
            // and a fragmented file's closing index (mfra) only speeds up seeking.
            const std::string_view rest = std::string_view(whole).substr(length);
            const bool harmless = rest.substr(0, 4) == "\x1f\x43\xb6\x75" ||
                                  rest.substr(std::min<std::size_t>(4, rest.size()), 4) == "mfra";
            ASSERT_FALSE(outcome.result_whole && !harmless)
                << name << " cut to " << length << " bytes";
            ASSERT_LE(outcome.reads, most_reads) << name << " cut to " << length << " bytes";
        }
    }
}

// A file whose times start late is measured from its first block only where its blocks reach
// its Duration: one cut short at a Cluster's end, as a copy in progress is, keeps the Duration
// that the whole file declares, and its shorter result is refused.
TEST(Media, LateFileCutShortKeepsItsDeclaredDuration) {
    REQUIRE_SAMPLES();
    const auto whole = testing::media_sample("late_clusters.mkv");
    if (whole.empty()) GTEST_SKIP() << "no late_clusters.mkv";
    media::memory_source all(whole);
    EXPECT_LE(std::abs(probe_source(all).duration_ms.value_or(0) - 4000), 20);
    // Cut where its second half begins: the fifth of its eight Clusters.
    std::size_t at = 0;
    for (int cluster = 0; cluster < 5 && at != std::string::npos; ++cluster) {
        at = whole.find("\x1f\x43\xb6\x75", at + 1);
    }
    ASSERT_NE(at, std::string::npos);
    media::memory_source cut(std::string_view(whole).substr(0, at));
    EXPECT_LE(std::abs(probe_source(cut).duration_ms.value_or(0) - 604000), 20);
}

TEST(Media, CorruptedCopiesNeverCrashHangOrReadOutOfBounds) {
    REQUIRE_SAMPLES();
    std::mt19937 random(20240611);
    for (const char* name : {"hevc.mkv", "hevc_long_title.mkv", "hevc_hvc1.mp4", "hevc_hev1.mp4",
                             "h264.ts", "h264.m2ts", "mpeg4.avi", "hevc_frag.mp4", "hevc_pipe.mkv",
                             "mkvmerge.mkv", "handbrake.mp4", "late.mkv", "late.mp4"}) {
        const auto whole = testing::media_sample(name);
        if (whole.empty()) continue;
        for (int round = 0; round < 400; ++round) {
            auto copy = exact_copy(whole);
            // Headers lie near the start (and, for MP4 with moov at the end, near the end).
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i) {
                const std::size_t span =
                    random() % 2 ? std::min<std::size_t>(copy.size(), 1024) : copy.size();
                const std::size_t at =
                    random() % 3 == 0 ? copy.size() - 1 - random() % span : random() % span;
                copy[at] = static_cast<char>(random());
            }
            ASSERT_LE(probe_everything(copy).reads, most_reads) << name << " round " << round;
        }
    }
}

TEST(Media, OpensOnlyRegularFiles) {
    REQUIRE_SAMPLES();
    const testing::scoped_temp_dir dir;
    fs::copy_file(testing::media_samples() / "hevc.mkv", dir.path() / "video.mkv");
    const auto video = utf8(dir.path() / "video.mkv");

    const auto probe = probe_source(video);
    EXPECT_TRUE(probe.is_video_container);
    EXPECT_LE(std::abs(probe.duration_ms.value_or(0) - 2128), 20);
    EXPECT_TRUE(check_result(video, probe.duration_ms).whole);

    EXPECT_EQ(probe_source(dir.str()).fault, "it is not a regular file");
    EXPECT_EQ(check_result(dir.str(), 2000).fault, "the result is not a regular file");
    const auto missing = probe_source(utf8(dir.path() / "missing.mkv"));
    EXPECT_FALSE(missing.is_video_container);
    EXPECT_EQ(missing.fault.rfind("it cannot be read: ", 0), 0u) << missing.fault;

    std::error_code no_link;
    fs::create_symlink(dir.path() / "video.mkv", dir.path() / "link.mkv", no_link);
    if (!no_link) {
        EXPECT_EQ(probe_source(utf8(dir.path() / "link.mkv")).fault, "it is not a regular file");
    }
#ifndef _WIN32
    // A FIFO with no writer would stop a blocking open for ever.
    const auto fifo = dir.path() / "fifo.mkv";
    ASSERT_EQ(std::system(("mkfifo '" + utf8(fifo) + "'").c_str()), 0);
    EXPECT_EQ(probe_source(utf8(fifo)).fault, "it is not a regular file");
    EXPECT_EQ(check_result(utf8(fifo), 2000).fault, "the result is not a regular file");
#endif
}

}  // namespace
}  // namespace brindle
