#include "encode/marks.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "test_support.h"
#include "vocabulary/path_hash.h"

namespace brindle {
namespace {

TEST(FailureMarks, RoundTripAndRefuseForeignText) {
    const failure_mark mark{1234567, 133000000000000000ULL, 77, "2026-12-07",
                            "the encoder failed with exit code 1: it said: no"};
    const auto read = read_mark_text(mark_text(mark));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->size, mark.size);
    EXPECT_EQ(read->write_ticks, mark.write_ticks);
    EXPECT_EQ(read->date, mark.date);
    EXPECT_EQ(read->reason, mark.reason);
    EXPECT_EQ(read->command_hash, 77u);

    for (const char* foreign :
         {"", "brindle-failed-1", "brindle-failed-2 1 2 2026-12-07 x",
          "brindle-failed-1 -1 2 2026-12-07 x", "brindle-failed-1 1 2 today x",
          "brindle-failed-1 1x 2 2026-12-07 x"}) {
        EXPECT_FALSE(read_mark_text(foreign).has_value()) << foreign;
    }

    file_stamp stamp;
    stamp.size = mark.size;
    stamp.write_ticks = mark.write_ticks;
    failure_mark same_command = mark;
    same_command.command_hash = fnv1a_64("enc %1 %2");
    EXPECT_TRUE(mark_matches(same_command, stamp, "enc %1 %2"));
    EXPECT_FALSE(mark_matches(same_command, stamp, "enc -fixed %1 %2"))
        << "another encoder line tries the file again";
    stamp.write_ticks += 1;
    EXPECT_FALSE(mark_matches(same_command, stamp, "enc %1 %2"))
        << "a file written since is tried again";
    stamp.write_ticks -= 1;
    stamp.size += 1;
    EXPECT_FALSE(mark_matches(same_command, stamp, "enc %1 %2"))
        << "a file of another size, its time kept, is tried again";
}

TEST(FailureMarks, StayWithTheFileWhereTheFileSystemKeepsThem) {
    testing::scoped_temp_dir dir;
    const std::string path = (dir.path() / "a.mkv").string();
    testing::write_file(path, "content");
    file_stamp stamp;
    stamp.size = 7;
    stamp.write_ticks = 42;
    EXPECT_FALSE(matching_mark(path, stamp, "enc").has_value());
    mark_failure(path, stamp, "enc", "it is not a video file");
    std::string text;
    if (!platform::read_file_note(path, text)) GTEST_SKIP() << "this file system keeps no notes";
    const auto mark = matching_mark(path, stamp, "enc");
    ASSERT_TRUE(mark.has_value());
    EXPECT_EQ(mark->reason, "it is not a video file");
    EXPECT_EQ(mark->date, platform::local_date());
    EXPECT_EQ(testing::read_file(path), "content") << "the note is not part of the file's bytes";
}

}  // namespace
}  // namespace brindle
