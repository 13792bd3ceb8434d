#include "media/picture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "encode/picture_check.h"
#include "media/byte_source.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using media::chroma_format;
using media::field_order;
using media::picture_properties;

picture_properties picture_of(const std::string& name, bool& made) {
    const auto folder = testing::media_samples();
    made = !folder.empty() && fs::exists(folder / name);
    if (!made) return {};
    const std::string bytes = testing::read_file(folder / name);
    media::memory_source source(bytes);
    media::block_reader reader(source);
    return media::read_picture_properties(reader);
}

TEST(PictureHeaders, ReadsThePictureAsDisplayed) {
    if (testing::media_samples().empty()) GTEST_SKIP() << "no media samples (ffmpeg missing?)";
    struct row {
        const char* file;
        int width, height;
        double rate;
        int bit_depth;
        chroma_format chroma;
        int primaries, transfer;
        field_order fields;
        bool hdr;
    };
    const row rows[] = {
        {"h264.mkv", 64, 64, 10, 8, chroma_format::yuv420, 2, 2, field_order::progressive, false},
        {"h264.mp4", 64, 64, 10, 8, chroma_format::yuv420, 2, 2, field_order::progressive, false},
        {"h264.ts", 64, 64, 10, 8, chroma_format::yuv420, 2, 2, field_order::progressive, false},
        {"hevc.mkv", 64, 64, 10, 8, chroma_format::yuv420, 2, 2, field_order::progressive, false},
        {"hevc_hvc1.mp4", 64, 64, 10, 8, chroma_format::yuv420, 2, 2, field_order::progressive,
         false},
        // HDR10's static metadata in the stream's SEI messages.
        {"hdr10.ts", 64, 48, 25, 10, chroma_format::yuv420, 9, 16, field_order::progressive, true},
        // 64x48 stretched by 4:3, and turned a quarter.
        {"anamorphic.mkv", 85, 48, 25, 8, chroma_format::yuv420, 2, 2, field_order::progressive,
         false},
        {"anamorphic.mp4", 85, 48, 25, 8, chroma_format::yuv420, 2, 2, field_order::progressive,
         false},
        {"rotated.mp4", 48, 85, 25, 8, chroma_format::yuv420, 2, 2, field_order::progressive,
         false},
        {"rotated.mkv", 48, 85, 25, 8, chroma_format::yuv420, 2, 2, field_order::progressive,
         false},
        {"interlaced.ts", 64, 48, 25, 8, chroma_format::yuv420, 2, 2, field_order::interlaced,
         false},
        // A 16:9 display's aspect ratio, and the first picture's field order.
        {"mpeg2_interlaced.ts", 85, 48, 25, 8, chroma_format::yuv420, 2, 2, field_order::top_first,
         false},
    };
    for (const row& r : rows) {
        bool made = false;
        const picture_properties p = picture_of(r.file, made);
        if (!made) continue;
        SCOPED_TRACE(r.file);
        ASSERT_TRUE(p.known);
        EXPECT_EQ(p.width, r.width);
        EXPECT_EQ(p.height, r.height);
        if (r.rate > 0) {
            ASSERT_NE(p.rate_den, 0u);
            EXPECT_NEAR(static_cast<double>(p.rate_num) / static_cast<double>(p.rate_den), r.rate,
                        0.01);
        }
        EXPECT_EQ(p.bit_depth, r.bit_depth);
        EXPECT_EQ(p.chroma, r.chroma);
        EXPECT_TRUE(p.colour_known);
        EXPECT_EQ(p.primaries, r.primaries);
        EXPECT_EQ(p.transfer, r.transfer);
        EXPECT_EQ(p.fields, r.fields);
        EXPECT_EQ(p.mastering.has_value(), r.hdr);
        EXPECT_EQ(p.light.has_value(), r.hdr);
        if (r.hdr && p.mastering && p.light) {
            EXPECT_EQ(p.mastering->max_luminance, 10000000u);
            EXPECT_EQ(p.mastering->min_luminance, 50u);
            EXPECT_EQ(p.mastering->primaries[0], 13250u) << "green x first, as the SEI has it";
            EXPECT_EQ(p.light->max_cll, 1000u);
            EXPECT_EQ(p.light->max_fall, 400u);
        }
    }
}

TEST(PictureHeaders, DamagedParameterSetsTellNothingFalse) {
    // An SPS cut before its sizes tells no size.
    for (const std::string& nal : {std::string("\x67\x64\x00", 3), std::string("\x67", 1),
                                   std::string("\x67\x64\x00\x0a\xac", 5)}) {
        EXPECT_FALSE(media::parse_sequence_parameter_set(nal, media::video_coding::h264).read);
    }
    EXPECT_FALSE(media::parse_sequence_parameter_set(std::string("\x42\x01\x01", 3),
                                                     media::video_coding::hevc)
                     .read);
}

picture_properties hd_source() {
    picture_properties p;
    p.known = true;
    p.width = 1280;
    p.height = 720;
    p.rate_num = 25;
    p.rate_den = 1;
    p.bit_depth = 8;
    p.chroma = chroma_format::yuv420;
    p.colour_known = true;
    p.fields = field_order::progressive;
    return p;
}

TEST(PictureCheck, NamesEachDifferenceInTheResultsTerms) {
    picture_properties hdr = hd_source();
    hdr.bit_depth = 10;
    hdr.primaries = 9;
    hdr.transfer = 16;
    hdr.matrix = 9;
    hdr.mastering = media::mastering_display{};
    hdr.mastering->max_luminance = 10000000;
    hdr.light = media::content_light{1000, 400};
    picture_properties tff = hd_source();
    tff.fields = field_order::top_first;

    struct row {
        const char* what;
        picture_properties source;
        void (*change)(picture_properties&);
        bool deinterlaced;
        std::string expected;
        bool colour_lost;
    };
    const row rows[] = {
        {"the same picture", hd_source(), [](picture_properties&) {}, false, "", false},
        {"a writer's rounding of the stretched width", hd_source(),
         [](picture_properties& p) { p.width = 1281; }, false, "", false},
        {"a quarter of the picture", hd_source(),
         [](picture_properties& p) {
             p.width = 320;
             p.height = 180;
         },
         false, "the picture is 320x180, the source 1280x720", false},
        {"fewer frames", hd_source(), [](picture_properties& p) { p.rate_num = 5; }, false,
         "5 frames a second, the source 25", false},
        {"NTSC's rate written as a step of 1/1000 s", hd_source(),
         [](picture_properties& p) {
             p.rate_num = 30000;
             p.rate_den = 1001;
         },
         false, "29.97 frames a second, the source 25", false},
        {"grey", hd_source(), [](picture_properties& p) { p.chroma = chroma_format::grey; }, false,
         "the picture is grey, the source in colour (4:2:0)", true},
        {"an 8-bit copy of HDR10 that lost its metadata", hdr,
         [](picture_properties& p) {
             p.bit_depth = 8;
             p.mastering.reset();
             p.light.reset();
         },
         false,
         "8 bits a sample, the source 10; no mastering display metadata, the source's display "
         "1000 cd/m2; no content light level, the source's MaxCLL 1000 cd/m2",
         false},
        {"an SDR copy", hdr,
         [](picture_properties& p) {
             p.primaries = 1;
             p.transfer = 1;
             p.matrix = 1;
         },
         false,
         "colour primaries BT.709, the source BT.2020; transfer BT.709, the source PQ (SMPTE "
         "2084); matrix BT.709, the source BT.2020",
         false},
        {"full range", hd_source(), [](picture_properties& p) { p.full_range = true; }, false,
         "full range, the source limited", false},
        {"deinterlaced into pictures of each field", tff,
         [](picture_properties& p) {
             p.fields = field_order::progressive;
             p.rate_num = 50;
         },
         true, "", false},
        {"fields flagged the wrong way round", tff,
         [](picture_properties& p) { p.fields = field_order::bottom_first; }, false,
         "interlaced, bottom field first, the source interlaced, top field first", false},
        {"deinterlaced by a line that was not asked to", tff,
         [](picture_properties& p) { p.fields = field_order::progressive; }, false,
         "progressive, the source interlaced, top field first", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        picture_properties result = r.source;
        r.change(result);
        const picture_changes found = compare_pictures(r.source, result, r.deinterlaced);
        EXPECT_EQ(changes_text(found), r.expected);
        EXPECT_EQ(found.colour_lost, r.colour_lost);
    }
    picture_properties unknown;
    EXPECT_TRUE(compare_pictures(hd_source(), unknown, false).changes.empty())
        << "a picture the headers do not tell is not compared";
}

}  // namespace
}  // namespace brindle
