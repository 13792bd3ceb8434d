#include "platform/output_tail.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle::platform {
namespace {

using lines = std::vector<std::string>;

lines tail_of(const std::vector<std::string>& chunks) {
    output_tail tail;
    for (const std::string& chunk : chunks) tail.add(chunk);
    return tail.lines();
}

TEST(OutputTail, SplitsLinesAndKeepsOnlyTheLastProgressUpdate) {
    struct row {
        std::vector<std::string> chunks;
        lines expected;
    };
    const row rows[] = {
        {{}, {}},
        {{"one\ntwo\n"}, {"one", "two"}},
        {{"one\r\ntwo\r\n"}, {"one", "two"}},
        {{"one\r", "\ntwo"}, {"one", "two"}},
        {{"a\n\nb\n"}, {"a", "", "b"}},
        {{"frame=1\rframe=2\rframe=3\r"}, {"frame=3"}},
        {{"start\nframe=1\rfr", "ame=2\r", "Error writing\n"},
         {"start", "frame=2", "Error writing"}},
        {{"frame=1\rframe=2\rdone"}, {"frame=2", "done"}},
        {{"frame=1\rframe=2\r\n"}, {"frame=1", "frame=2"}},
        {{"a\tb\x01\n"}, {"a\tb\x01"}},
    };
    for (const row& r : rows) {
        std::string shown;
        for (const std::string& chunk : r.chunks) shown += "[" + chunk + "]";
        EXPECT_EQ(tail_of(r.chunks), r.expected) << shown;
    }
}

TEST(OutputTail, StaysWithinItsLimits) {
    std::string hundred;
    for (int i = 1; i <= 100; ++i) hundred += "line " + std::to_string(i) + "\rprogress\n";
    // "line N" is a progress update; the LF-ended "progress" after it is a line of its own.
    const lines got = tail_of({hundred});
    ASSERT_EQ(got.size(), output_tail::max_lines);
    EXPECT_EQ(got.front(), "line 91");
    EXPECT_EQ(got.back(), "progress");

    const std::string long_line(3000, 'x');
    EXPECT_EQ(tail_of({"first\n" + long_line + "\n" + long_line + "\n"}), lines{long_line});

    const std::string huge(10000, 'y');
    // A line cut to the whole budget leaves room for nothing else.
    EXPECT_EQ(tail_of({"first\n", huge, huge, "\n"}),
              lines{std::string(output_tail::max_bytes, 'y')});
    EXPECT_EQ(tail_of({"first\n", huge, "\nlast\n"}), lines{"last"});
    EXPECT_EQ(tail_of({huge}), lines{std::string(output_tail::max_bytes, 'y')});
}

}  // namespace
}  // namespace brindle::platform
