#include "media/tracks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "media/byte_source.h"
#include "media/probe.h"
#include "media/result_format.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

media::track_inventory inventory_of(std::string_view bytes) {
    media::memory_source source(bytes);
    media::block_reader reader(source);
    return media::read_track_inventory(reader);
}

// Counts as "video audio subtitle attachment", with "?" for an inventory that is not known.
std::string counts(const media::track_inventory& inventory) {
    if (!inventory.known) return "?";
    return std::to_string(inventory.video) + " " + std::to_string(inventory.audio) + " " +
           std::to_string(inventory.subtitle) + " " + std::to_string(inventory.attachment);
}

TEST(Tracks, CountsTheTracksOfRealFiles) {
    if (testing::media_samples().empty()) GTEST_SKIP() << "no media samples (ffmpeg missing?)";
    const char* const audio_only = "it is not a video file (audio only)";
    const struct {
        const char* name;
        const char* counts;
        bool mov_text;
        const char* fault;
    } cases[] = {
        {"subtitles_font.mkv", "1 1 2 1", false, ""},  // written by mkvmerge
        {"mov_text.mp4", "1 1 1 0", true, ""},
        {"text.mov", "1 0 1 0", true, ""},
        // The chapter titles' track is no subtitle; the cover is an attachment, not video.
        {"chapters_cover.mp4", "1 1 0 1", false, ""},
        {"vp9_opus.mkv", "1 1 0 0", false, ""},
        {"h264.ts", "1 1 0 0", false, ""},
        {"hevc.m2ts", "1 0 0 0", false, ""},
        {"mpeg4.avi", "1 1 0 0", false, ""},
        {"mpeg2.mpg", "1 0 0 0", false, ""},
        {"theora.ogv", "1 0 0 0", false, ""},
        {"wmv2.wmv", "?", false, ""},
        {"audio.mka", "0 1 0 0", false, audio_only},
        {"audio_cover.mp4", "0 1 0 1", false, audio_only},
        {"audio.ts", "0 1 0 0", false, audio_only},
        {"audio.mpg", "0 1 0 0", false, audio_only},
        {"audio.ogg", "0 1 0 0", false, audio_only},
    };
    for (const auto& c : cases) {
        const auto bytes = testing::media_sample(c.name);
        if (bytes.empty()) continue;
        const auto inventory = inventory_of(bytes);
        EXPECT_EQ(counts(inventory), c.counts) << c.name;
        EXPECT_EQ(inventory.has_mov_text, c.mov_text) << c.name;
        EXPECT_TRUE(inventory.unsupported_in_matroska.empty()) << c.name;
        media::memory_source source(bytes);
        const auto probe = probe_source(source);
        EXPECT_EQ(probe.fault, c.fault) << c.name;
        EXPECT_EQ(counts(probe.tracks), c.counts) << c.name;
    }
}

// A transport stream holding a program association and the program map `streams` (each a
// stream type, a PID and descriptors), in packets of `packet_size` bytes.
std::string transport_stream(std::size_t packet_size, const std::string& streams,
                             const std::string& program_info = "") {
    const auto section = [](char table, const std::string& body) {
        const auto length = body.size() + 4;  // with the CRC, never checked
        return table +
               std::string{static_cast<char>(0xB0 | length >> 8),
                           static_cast<char>(length & 0xFF)} +
               body + "\0\0\0\0"s;
    };
    const auto info_length = static_cast<char>(program_info.size());
    const auto pat = section(0, "\x00\x01\xC1\x00\x00\x00\x01\xE1\x00"s);
    const auto pmt =
        section(2, "\x00\x01\xC1\x00\x00\xE1\x01\xF0"s + info_length + program_info + streams);
    std::string stream;
    const auto packet = [&](unsigned pid, bool start, std::string payload) {
        payload.resize(184, '\xFF');
        stream += std::string(packet_size - 188, '\0') + "\x47"s +
                  static_cast<char>((start ? 0x40 : 0) | pid >> 8) + static_cast<char>(pid) +
                  "\x10"s + payload;
    };
    packet(0, true, "\0"s + pat);
    // A map with many streams runs over several packets.
    for (std::size_t at = 0; at < pmt.size(); at += at == 0 ? 183 : 184) {
        packet(0x100, at == 0, at == 0 ? "\0"s + pmt.substr(0, 183) : pmt.substr(at, 184));
    }
    while (stream.size() < 4 * packet_size) packet(0x1FFF, false, "");
    return stream;
}

std::string es(char type, unsigned pid, const std::string& descriptors = "") {
    return type + std::string{static_cast<char>(0xE0 | pid >> 8), static_cast<char>(pid)} +
           static_cast<char>(0xF0) + static_cast<char>(descriptors.size()) + descriptors;
}

// The inventory in a line: the counts, then what else it tells.
std::string summary(std::string_view bytes) {
    const auto inventory = inventory_of(bytes);
    std::string text = counts(inventory);
    if (testing::declares_hevc(bytes)) text += " HEVC";
    for (const auto& lost : inventory.unsupported_in_matroska) text += ", no " + lost;
    if (media::is_audio_only(inventory)) text += ", audio only";
    return text;
}

TEST(Tracks, ReadsTheProgramMapOfTransportStreams) {
    const auto teletext = std::string("\x56\x05") + "eng\x09\x00"s;
    const auto dvb_subtitles = std::string("\x59\x08") + "eng\x10\x00\x01\x00\x01"s;
    const auto ac3 = "\x6A\x01\x00"s, hdmv = "\x05\x04HDMV"s;
    std::string many;
    for (unsigned pid = 0x200; pid < 0x230; ++pid) many += es('\x0F', pid, "\x0A\x04" + "deu\0"s);
    const struct {
        const char* what;
        std::string bytes;
        const char* summary;
    } cases[] = {
        {"DVB",
         transport_stream(188, es('\x1B', 0x101) + es('\x0F', 0x102) + es('\x06', 0x103, ac3) +
                                   es('\x06', 0x104, dvb_subtitles) + es('\x06', 0x105, teletext) +
                                   es('\x86', 0x106)),
         "1 2 2 0, no teletext"},
        {"Blu-ray",
         transport_stream(192, es('\x24', 0x1011) + es('\x83', 0x1100) + es('\x90', 0x1200)),
         "1 1 1 0 HEVC"},
        {"Blu-ray types elsewhere", transport_stream(188, es('\x02', 0x100) + es('\x83', 0x101)),
         "1 0 0 0"},
        {"registered as HDMV", transport_stream(188, es('\x02', 0x100) + es('\x83', 0x101), hdmv),
         "1 1 0 0"},
        {"a map over three packets", transport_stream(188, many + es('\x24', 0x300)),
         "1 48 0 0 HEVC"},
        {"sound and metadata", transport_stream(188, es('\x0F', 0x100) + es('\x15', 0x101)),
         "0 1 0 0, audio only"},
        // A private stream that no descriptor explains may be video.
        {"sound and an unexplained stream",
         transport_stream(188, es('\x0F', 0x100) + es('\x06', 0x101)), "0 1 0 0"},
        {"no map", transport_stream(188, "").substr(0, 188) + std::string(3 * 188, '\x47'), "?"},
    };
    for (const auto& c : cases) EXPECT_EQ(summary(c.bytes), c.summary) << c.what;
}

TEST(Tracks, TellsHevcInFlvAndProgramStreamsWrittenByHand) {
    // FLV: the header, a metadata tag, then the first video tag, enhanced (hvc1) or classic
    // (codec id 7, H.264).
    const auto flv = [](const std::string& video) {
        const auto tag = [](char type, const std::string& data) {
            return type + "\x00\x00"s + static_cast<char>(data.size()) + std::string(7, '\0') +
                   data + "\x00\x00\x00"s + static_cast<char>(11 + data.size());
        };
        return "FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00"s + tag(18, std::string(40, 'm')) +
               tag(8, "\xAF\x00"s) + tag(9, video);
    };
    // MPEG-PS: a pack header, then a program stream map listing one stream of `type`.
    const auto program_stream = [](char type) {
        return "\x00\x00\x01\xBA\x44\x00\x04\x00\x04\x01\x01\x89\xC3\xF8"
               "\x00\x00\x01\xBC\x00\x0E\x80\x01\x00\x00\x00\x04"s +
               type + "\xE0\x00\x00\x00\x00\x00\x00\x00\x00\x01\xB9"s;
    };
    const struct {
        const char* what;
        std::string bytes;
        bool hevc;
    } cases[] = {
        {"enhanced FLV, hvc1", flv("\x90hvc1\x00\x00\x00"s), true},
        {"enhanced FLV, av01",
         flv("\x90"
             "av01\x00\x00\x00"s),
         false},
        {"classic FLV, H.264", flv("\x17\x00\x00\x00\x00"s), false},
        {"FLV cut in its metadata", flv("\x90hvc1"s).substr(0, 40), false},
        {"program stream map, HEVC", program_stream('\x24'), true},
        {"program stream map, H.264", program_stream('\x1B'), false},
    };
    for (const auto& c : cases) EXPECT_EQ(testing::declares_hevc(c.bytes), c.hevc) << c.what;
    EXPECT_EQ(counts(inventory_of(program_stream('\x24'))), "1 0 0 0");
}

struct counted_source final : media::byte_source {
    explicit counted_source(std::string_view view) : bytes(view) {}
    std::size_t read_at(std::uint64_t offset, char* buffer, std::size_t size) override {
        ++reads;
        return bytes.read_at(offset, buffer, size);
    }
    std::uint64_t size() const override { return bytes.size(); }
    media::memory_source bytes;
    int reads = 0;
};

// Every reader of tracks over `bytes`, held in an allocation of their own so that the address
// sanitizer catches a read past their end; answers how many reads they took.
int read_everything(const std::vector<char>& bytes) {
    counted_source source(std::string_view(bytes.data(), bytes.size()));
    media::block_reader reader(source);
    media::read_track_inventory(reader);
    declares_hevc_video(reader);
    media::read_result_format(reader);
    probe_source(source);
    return source.reads;
}

TEST(Tracks, DamagedCopiesNeverCrashHangOrReadOutOfBounds) {
    if (testing::media_samples().empty()) GTEST_SKIP() << "no media samples (ffmpeg missing?)";
    constexpr int most_inventory_reads = 40;
    std::mt19937 random(20261207);
    for (const char* name : {"subtitles_font.mkv", "chapters_cover.mp4", "text.mov", "hevc.m2ts",
                             "hevc.mpg", "hevc.avi", "audio.ogg", "flv1.flv"}) {
        const auto whole = testing::media_sample(name);
        if (whole.empty()) continue;
        for (std::size_t length = 0; length < whole.size(); length += length < 4096 ? 1 : 7) {
            ASSERT_LE(read_everything({whole.begin(), whole.begin() + length}), most_inventory_reads)
                << name << " cut to " << length << " bytes";
        }
        for (int round = 0; round < 300; ++round) {
            std::vector<char> copy(whole.begin(), whole.end());
            for (int flip = 0; flip < 4; ++flip) {
                copy[random() % std::min<std::size_t>(copy.size(), 8192)] =
                    static_cast<char>(random());
            }
            ASSERT_LE(read_everything(copy), most_inventory_reads) << name << " round " << round;
        }
    }
}

}  // namespace
}  // namespace brindle
