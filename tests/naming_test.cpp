#include "encode/naming.h"
#include "vocabulary/ascii_case.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace brindle {
namespace {

TEST(ReplacePaths, TargetBackupAndStaging) {
    EXPECT_EQ(target_path_for("D:\\tv\\Show.x264.mkv", "\\/"), "D:\\tv\\Show.x265.mkv");
    EXPECT_EQ(backup_path_for("D:\\tv\\Show.x264.mkv"), "D:\\tv\\Show.x264.mkv.bak");
    EXPECT_EQ(target_path_for("D:\\x264\\a.x264.mkv", "\\/"), "D:\\x264\\a.x265.mkv")
        << "only the file's own name";
    EXPECT_EQ(target_path_for("D:\\tv\\Show.2640.mkv", "\\/"), "D:\\tv\\Show.2640.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\12645.mkv", "\\/"), "D:\\tv\\12645.mkv");
    EXPECT_EQ(target_path_for("a.264.264.mkv", "/"), "a.264.264.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\Show.x26.mkv", "\\/"), "D:\\tv\\Show.x26.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\Show.h264.avi", "\\/"), "D:\\tv\\Show.h265.avi")
        << "the extension stays";
    EXPECT_EQ(target_path_for("26264", "/"), "26264");

    EXPECT_EQ(staging_path_for("D:\\tv\\Show.x265.mkv", "\\/", "42"), "D:\\tv\\.brindle-42.part");
    EXPECT_EQ(staging_path_for("D:\\tv/Show.x265.mkv", "\\/", "42"), "D:\\tv/.brindle-42.part")
        << "either separator of Windows";
    EXPECT_EQ(staging_path_for("/lib/tv/Show.mkv", "/", "7"), "/lib/tv/.brindle-7.part");
    EXPECT_EQ(staging_path_for("/Show.mkv", "/", "7"), "/.brindle-7.part");
    EXPECT_EQ(staging_path_for("Show.mkv", "/", "123456"), ".brindle-123456.part")
        << "a bare name stages in the working directory";
}

TEST(ReplacePaths, AStagedNameTellsTheRunThatMadeIt) {
    const std::string id = run_id_for({"nas-2.home", 4321, 1765000000, 0x0123456789abcdefULL});
    EXPECT_EQ(id, "nas-2.home-4321-1765000000-0123456789abcdef");
    const auto owner = staging_owner_of(".brindle-" + id + ".part");
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->host, "nas-2.home");
    EXPECT_EQ(owner->pid, 4321u);
    EXPECT_EQ(owner->start, 1765000000u);
    EXPECT_EQ(owner->nonce, 0x0123456789abcdefULL);
    EXPECT_EQ(run_id_for({"a b/c\\d", 1, 2, 10}), "a_b_c_d-1-2-000000000000000a")
        << "a plain file name everywhere";
    for (const char* other :
         {".brindle-42.part", ".brindle-h-1-2.mkv", "brindle-h-1-2.part", ".brindle--1-2.part",
          ".brindle-h-x-2.part", ".brindle-h-1-.part", ".brindle-h-1-123456789012345678901.part",
          ".brindle-h-1-2.part", ".brindle-h-1-2-0123456789abcde.part",
          ".brindle-h-1-2-0123456789ABCDEF.part", ".brindle-h-1-2-0123456789abcdef0.part",
          ".brindle-1-2-0123456789abcdef.part"}) {
        EXPECT_FALSE(staging_owner_of(other).has_value()) << other;
    }
}

TEST(ReplacePaths, OnlyACodecTagInTheFileNameChanges) {
    struct row {
        const char* source;
        const char* target;
    };
    const row rows[] = {
        {"/lib/Anime - 264.mkv", "/lib/Anime - 264.mkv"},
        {"/lib/Film.x264.mkv", "/lib/Film.x265.mkv"},
        {"/lib/Film.X264.mkv", "/lib/Film.X265.mkv"},
        {"/lib/Film.H.264.mkv", "/lib/Film.H.265.mkv"},
        {"/lib/film.h.264.mkv", "/lib/film.h.265.mkv"},
        {"/lib/film.h264.mkv", "/lib/film.h265.mkv"},
        {"/lib/Film.H264-GRP.mkv", "/lib/Film.H265-GRP.mkv"},
        {"/lib/x2640.mkv", "/lib/x2640.mkv"},
        {"/lib/Film 2640x1080.mkv", "/lib/Film 2640x1080.mkv"},
        {"/lib/Film.h..264.mkv", "/lib/Film.h..264.mkv"},
        {"/lib/Film.x.264.mkv", "/lib/Film.x.264.mkv"},
        {"/lib/Episode 264 x264.mkv", "/lib/Episode 264 x265.mkv"},
        {"/lib/x2641 x264.mkv", "/lib/x2641 x265.mkv"},
        {"/lib/a.x264.h264.mkv", "/lib/a.x265.h264.mkv"},
        {"/lib/264.mkv", "/lib/264.mkv"},
        {"/lib/Film.x264", "/lib/Film.x265"},
        {"/lib/Film (2640).mkv", "/lib/Film (2640).mkv"},
        {"/lib/x264/a.mkv", "/lib/x264/a.mkv"},
        {"/lib/x264/a.x264.mkv", "/lib/x264/a.x265.mkv"},
        {"/media/x264lib/a.mkv", "/media/x264lib/a.mkv"},
        {"/media/x264lib/a.x264.mkv", "/media/x264lib/a.x265.mkv"},
        {"/media/h.264/x264/a.mkv", "/media/h.264/x264/a.mkv"},
        {"Show.S01.h264-GRP/Show.S01E02.x264.mkv", "Show.S01.h264-GRP/Show.S01E02.x265.mkv"},
        {"C:\\x264\\Show\\a.x264.mkv", "C:\\x264\\Show\\a.x265.mkv"},
        {"", ""},
        {"x264", "x265"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(target_path_for(r.source, "\\/"), r.target) << r.source;
    }
}

TEST(ReplacePaths, ExtensionOfTheFileName) {
    struct row {
        const char* path;
        const char* extension;
        const char* with_mkv;
    };
    const row rows[] = {
        {"/lib/Film.x265.mp4", ".mp4", "/lib/Film.x265.mkv"},
        {"C:\\lib.d\\Film", "", "C:\\lib.d\\Film.mkv"},
        {"/lib.d/.hidden", "", "/lib.d/.hidden.mkv"},
        {"Film.MKV", ".MKV", "Film.mkv"},
        {"Film.", ".", "Film.mkv"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(extension_of(r.path, "\\/"), r.extension) << r.path;
        EXPECT_EQ(with_extension(r.path, "\\/", ".mkv"), r.with_mkv) << r.path;
    }
}

TEST(ReplacePaths, FolderAndNameOfAPath) {
    struct row {
        const char* path;
        const char* separators;
        const char* folder;
        const char* name;
    };
    const row rows[] = {
        {"/srv/tv/Film.mkv", "/", "/srv/tv", "Film.mkv"},
        {"/Film.mkv", "/", "/", "Film.mkv"},
        {"Film.mkv", "/", "", "Film.mkv"},
        {"a\\b.mkv", "/", "", "a\\b.mkv"},
        {"C:\\tv\\Film.mkv", "\\/", "C:\\tv", "Film.mkv"},
        {"C:\\Film.mkv", "\\/", "C:\\", "Film.mkv"},
        {"C:/tv/Film.mkv", "\\/", "C:/tv", "Film.mkv"},
        {"\\\\nas\\tv\\Film.mkv", "\\/", "\\\\nas\\tv", "Film.mkv"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(folder_of(r.path, r.separators), r.folder) << r.path;
        EXPECT_EQ(name_of(r.path, r.separators), r.name) << r.path;
    }
}

TEST(ReplacePaths, SidecarsFollowTheirVideo) {
    struct row {
        const char* name;
        bool ignore_case;
        const char* renamed;  // nullptr: not a sidecar, or keeps its name
    };
    const row rows[] = {
        {"Film.x264.en.srt", false, "Film.x265.en.srt"},
        {"Film.x264.nfo", false, "Film.x265.nfo"},
        {"Film.x264-poster.jpg", false, "Film.x265-poster.jpg"},
        {"Film.x264_thumb.png", false, "Film.x265_thumb.png"},
        {"Film.x264.mp4", false, nullptr},  // the source itself
        {"Film.x264 extras.txt", false, nullptr},
        {"Film.x2640.nfo", false, nullptr},
        {"Film.x264", false, nullptr},
        {"film.X264.nfo", false, nullptr},
        {"film.X264.nfo", true, "Film.x265.nfo"},
        {"Film.nfo", false, nullptr},
    };
    for (const row& r : rows) {
        const auto renamed =
            sidecar_name_for(r.name, "Film.x264.mp4", "Film.x265.mkv", r.ignore_case);
        EXPECT_EQ(renamed.value_or("(none)"), r.renamed ? r.renamed : "(none)") << r.name;
    }
    EXPECT_FALSE(sidecar_name_for("Film.en.srt", "Film.mp4", "Film.mkv", false))
        << "the same name without its extension: nothing to rename";
}

// Where case is ignored, only ASCII letters fold: the bytes next to them, and every byte of a
// UTF-8 name, stay themselves.
TEST(ReplacePaths, NamesFoldOnlyAsciiLetters) {
    struct row {
        const char* a;
        const char* b;
        bool same_ignoring_case;
    };
    const row rows[] = {
        {"AZ", "az", true},       {"@[", "`{", false},      {"\xc3\x89", "\xc3\xa9", false},
        {"Film", "Film ", false}, {"a\x80", "A\x80", true},
    };
    for (const row& r : rows) {
        EXPECT_EQ(same_file_name(r.a, r.b, true), r.same_ignoring_case) << r.a << " " << r.b;
        EXPECT_EQ(same_file_name(r.a, r.b, false), std::string_view(r.a) == r.b) << r.a;
    }
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const bool letter = byte >= 'A' && byte <= 'Z';
        EXPECT_EQ(lower_ascii(c), letter ? static_cast<char>(byte + 32) : c) << byte;
    }
    EXPECT_TRUE(is_sidecar_name("film-sample.srt", "FILM", true));
    EXPECT_FALSE(is_sidecar_name("film-sample.srt", "FILM", false));
    EXPECT_FALSE(is_sidecar_name("FILM-", "FILM-", true)) << "nothing after the stem";
}

}  // namespace
}  // namespace brindle
