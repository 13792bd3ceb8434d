#include "encode/marks.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "test_support.h"
#include "vocabulary/path_hash.h"

namespace brindle {
namespace {

TEST(FailureMarks, RoundTripAndRefuseForeignText) {
    const failure_mark mark{
        mark_kind::failed,     1234567,
        133000000000000000ULL, 77,
        "2026-12-07",          "the encoder failed with exit code 1: it said: no"};
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

TEST(FailureMarks, KindsRoundTripAndEarlierNotesReadAsFailed) {
    for (const mark_kind kind : {mark_kind::failed, mark_kind::failed_once, mark_kind::pending}) {
        const failure_mark mark{kind, 5, 6, 7, "2026-12-07", "why"};
        const auto read = read_mark_text(mark_text(mark));
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->kind, kind);
        EXPECT_EQ(read->reason, "why");
    }
    // What earlier versions wrote: a note that skips the file.
    const auto earlier =
        read_mark_text("brindle-failed-2 5 6 7 2026-12-06 the encoder failed with exit code 1");
    ASSERT_TRUE(earlier.has_value());
    EXPECT_EQ(earlier->kind, mark_kind::failed);
    EXPECT_TRUE(mark_text(*earlier).starts_with("brindle-failed-2 "));
    EXPECT_TRUE(mark_text({mark_kind::failed_once, 5, 6, 7, "2026-12-06", "x"})
                    .starts_with("brindle-failed-once-2 "));
}

TEST(FailureMarks, SkippedOnlyAfterFailingOnTwoDaysWithOneLine) {
    file_stamp stamp;
    stamp.size = 5;
    stamp.write_ticks = 6;
    const failure_mark once{mark_kind::failed_once, 5, 6, 7, "2026-12-06", "x"};
    auto changed = once;
    changed.write_ticks = 9;
    auto other_line = once;
    other_line.command_hash = 8;
    auto pending = once;
    pending.kind = mark_kind::pending;
    auto skipped = once;
    skipped.kind = mark_kind::failed;
    const struct {
        std::optional<failure_mark> earlier;
        const char* today;
        mark_kind expected;
    } cases[] = {
        {std::nullopt, "2026-12-07", mark_kind::failed_once},
        {once, "2026-12-07", mark_kind::failed},
        {once, "2026-12-06", mark_kind::failed_once},  // twice on one day is one strike
        {changed, "2026-12-07", mark_kind::failed_once},
        {other_line, "2026-12-07", mark_kind::failed_once},
        {pending, "2026-12-07", mark_kind::failed_once},
        {skipped, "2026-12-06", mark_kind::failed},  // tried again with -retry
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kind_after_failure(c.earlier, stamp, 7, c.today), c.expected) << c.today;
    }
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
    if (!platform::read_file_note(path)) GTEST_SKIP() << "this file system keeps no notes";
    const auto mark = matching_mark(path, stamp, "enc");
    ASSERT_TRUE(mark.has_value());
    EXPECT_EQ(mark->reason, "it is not a video file");
    EXPECT_EQ(mark->date, platform::local_date());
    EXPECT_EQ(testing::read_file(path), "content") << "the note is not part of the file's bytes";

    // A first failure of the encoder leaves one strike, a pending note does not replace it, and
    // a pending note of a changed file is no longer pending.
    stamp.write_ticks = 50;
    EXPECT_TRUE(note_encode_failure(path, stamp, "enc", "the encoder failed with exit code 1"));
    note_pending(path, stamp);
    EXPECT_FALSE(is_pending(path, stamp));
    stamp.write_ticks = 43;
    note_pending(path, stamp);
    EXPECT_TRUE(is_pending(path, stamp));
    stamp.size = 8;
    EXPECT_FALSE(is_pending(path, stamp));
}

TEST(FailureMarks, SizeRefusalsSayWhatWouldHelpInsteadOfRetry) {
    const struct {
        const char* reason;
        bool size;
    } cases[] = {
        {"the result (1.8 MiB) is not smaller than the source (1.4 MiB)", true},
        {"the result passed the source's size at 42 % of the encode", true},
        {"the result would not be smaller than the source (about 10.1 MiB of 9.9 MiB)", true},
        {"the result (1.8 MiB) lacks the source's subtitles", false},
        {"the encoder failed with exit code 1: it said: the result (1 B) is not smaller", false},
        {"it is not a video file", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_size_refusal(c.reason), c.size) << c.reason;
        const failure_mark mark{mark_kind::failed, 1, 2, 3, "2026-12-07", c.reason};
        const std::string tail =
            c.size ? std::string(size_refusal_advice) : "-retry tries it again";
        EXPECT_EQ(skipped_failure_text(mark), "it failed on 2026-12-07 (" + std::string(c.reason) +
                                                  ") and has not changed since; " + tail);
        // Under -quality its search chooses the CRF: a lower target is what helps.
        const std::string under_quality =
            c.size ? std::string(size_refusal_advice_under_quality) : "-retry tries it again";
        EXPECT_EQ(skipped_failure_text(mark, 0.98),
                  "it failed on 2026-12-07 (" + std::string(c.reason) +
                      ") and has not changed since; " + under_quality);
    }
}

}  // namespace
}  // namespace brindle
