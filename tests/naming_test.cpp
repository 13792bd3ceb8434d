#include "encode/naming.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace brindle {
namespace {

TEST(ReplacePaths, TargetBackupAndStaging) {
    EXPECT_EQ(target_path_for("D:\\tv\\Show.x264.mkv", 6), "D:\\tv\\Show.x265.mkv");
    EXPECT_EQ(backup_path_for("D:\\tv\\Show.x264.mkv"), "D:\\tv\\Show.x264.mkv.bak");
    EXPECT_EQ(target_path_for("D:\\x264\\a.x264.mkv", 3), "D:\\x265\\a.x264.mkv")
        << "only the first 264, here in a directory name";
    EXPECT_EQ(target_path_for("D:\\tv\\Show.2640.mkv", 6), "D:\\tv\\Show.2640.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\12645.mkv", 6), "D:\\tv\\12645.mkv");
    EXPECT_EQ(target_path_for("a.264.264.mkv", 0), "a.264.264.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\Show.x26.mkv", 6), "D:\\tv\\Show.x26.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\Show.h264.avi", 6), "D:\\tv\\Show.h265.avi")
        << "the extension stays";
    EXPECT_EQ(target_path_for("26264", 0), "26264");

    EXPECT_EQ(staging_path_for("D:\\tv\\Show.x265.mkv", '\\', "42"), "D:\\tv\\.brindle-42.part");
    EXPECT_EQ(staging_path_for("/lib/tv/Show.mkv", '/', "7"), "/lib/tv/.brindle-7.part");
    EXPECT_EQ(staging_path_for("/Show.mkv", '/', "7"), "/.brindle-7.part");
    EXPECT_EQ(staging_path_for("Show.mkv", '/', "123456"), ".brindle-123456.part")
        << "a bare name stages in the working directory";
}

TEST(ReplacePaths, AStagedNameTellsTheRunThatMadeIt) {
    const std::string id = run_id_for({"nas-2.home", 4321, 1765000000});
    EXPECT_EQ(id, "nas-2.home-4321-1765000000");
    const auto owner = staging_owner_of(".brindle-" + id + ".part");
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->host, "nas-2.home");
    EXPECT_EQ(owner->pid, 4321u);
    EXPECT_EQ(owner->start, 1765000000u);
    EXPECT_EQ(run_id_for({"a b/c\\d", 1, 2}), "a_b_c_d-1-2") << "a plain file name everywhere";
    for (const char* other :
         {".brindle-42.part", ".brindle-h-1-2.mkv", "brindle-h-1-2.part", ".brindle--1-2.part",
          ".brindle-h-x-2.part", ".brindle-h-1-.part", ".brindle-h-1-123456789012345678901.part"}) {
        EXPECT_FALSE(staging_owner_of(other).has_value()) << other;
    }
}

TEST(ReplacePaths, OnlyACodecTagBelowTheLibraryChanges) {
    struct row {
        const char* source;
        std::size_t relative_start;
        const char* target;
    };
    const row rows[] = {
        {"/lib/Anime - 264.mkv", 5, "/lib/Anime - 264.mkv"},
        {"/lib/Film.x264.mkv", 5, "/lib/Film.x265.mkv"},
        {"/lib/Film.X264.mkv", 5, "/lib/Film.X265.mkv"},
        {"/lib/Film.H.264.mkv", 5, "/lib/Film.H.265.mkv"},
        {"/lib/film.h.264.mkv", 5, "/lib/film.h.265.mkv"},
        {"/lib/film.h264.mkv", 5, "/lib/film.h265.mkv"},
        {"/lib/Film.H264-GRP.mkv", 5, "/lib/Film.H265-GRP.mkv"},
        {"/lib/x2640.mkv", 5, "/lib/x2640.mkv"},
        {"/lib/Film 2640x1080.mkv", 5, "/lib/Film 2640x1080.mkv"},
        {"/lib/Film.h..264.mkv", 5, "/lib/Film.h..264.mkv"},
        {"/lib/Film.x.264.mkv", 5, "/lib/Film.x.264.mkv"},
        {"/lib/Episode 264 x264.mkv", 5, "/lib/Episode 264 x265.mkv"},
        {"/lib/x2641 x264.mkv", 5, "/lib/x2641 x265.mkv"},
        {"/lib/a.x264.h264.mkv", 5, "/lib/a.x265.h264.mkv"},
        {"/lib/264.mkv", 5, "/lib/264.mkv"},
        {"/lib/Film.x264", 5, "/lib/Film.x265"},
        {"/lib/Film (2640).mkv", 5, "/lib/Film (2640).mkv"},
        {"/lib/x264/a.mkv", 5, "/lib/x265/a.mkv"},
        {"/lib/x264/a.x264.mkv", 5, "/lib/x265/a.x264.mkv"},
        {"/media/x264lib/a.mkv", 15, "/media/x264lib/a.mkv"},
        {"/media/x264lib/a.x264.mkv", 15, "/media/x264lib/a.x265.mkv"},
        {"/media/h.264/x264/a.mkv", 13, "/media/h.264/x265/a.mkv"},
        {"C:\\x264\\Show\\a.x264.mkv", 8, "C:\\x264\\Show\\a.x265.mkv"},
        {"", 0, ""},
        {"x264", 4, "x264"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(target_path_for(r.source, r.relative_start), r.target)
            << r.source << " from " << r.relative_start;
    }
}

}  // namespace
}  // namespace brindle
