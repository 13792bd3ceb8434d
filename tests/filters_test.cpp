#include "scan/filters.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

using testing::mib;

TEST(Filters, JoinPathNeverTrimsTheDirectory) {
    EXPECT_EQ(join_path("lib", "a.mkv", '/'), "lib/a.mkv");
    EXPECT_EQ(join_path("C:\\tv\\", "a.mkv", '\\'), "C:\\tv\\\\a.mkv");
    EXPECT_EQ(join_path(".", "a.mkv", '\\'), ".\\a.mkv");
    EXPECT_EQ(join_path("\\\\?\\D:\\", "a.mkv", '\\'), "\\\\?\\D:\\a.mkv");
}

TEST(Filters, ExtensionComparesTheTailFoldingOnlyAsciiLetters) {
    struct example {
        const char* name;
        const char* ext;
        bool matches;
    };
    const example examples[] = {
        {"a.mkv", "mkv", true},
        {"a.MKV", "mkv", true},
        {"a.mkv", "MkV", true},
        {"amkv", "mkv", true},
        {"a.mkv", ".mkv", true},
        {"a.mkv", "kv", true},
        {"a.mkv", "", true},
        {"a.mkv", "*", true},
        {"a.mkv", "*.avi", true},
        {"a.mp4", "mkv", false},
        {"kv", "mkv", false},
        {"a.mkv ", "mkv", false},
        {"a.mkv.part", "mkv", false},
        {"a.\xC3\x84", "\xC3\xA4", false},
        {"a.\xC3\xA4", "\xC3\xA4", true},
    };
    for (const auto& e : examples) {
        EXPECT_EQ(matches_extension(e.name, e.ext), e.matches)
            << "name '" << e.name << "' ext '" << e.ext << "'";
    }
}

TEST(Filters, SizeMustExceedMinsizeInWholeMebibytes) {
    EXPECT_EQ(size_in_mib(mib - 1), 0u);
    EXPECT_EQ(size_in_mib(UINT64_MAX), (1ULL << 44) - 1);
    EXPECT_FALSE(passes_size_test(0, 0));
    EXPECT_FALSE(passes_size_test(mib - 1, 0));
    EXPECT_TRUE(passes_size_test(mib, 0));
    EXPECT_FALSE(passes_size_test(1000 * mib, 1000)) << "exactly 1000 MiB";
    EXPECT_FALSE(passes_size_test(1001 * mib - 1, 1000));
    EXPECT_TRUE(passes_size_test(1001 * mib, 1000));
    EXPECT_TRUE(passes_size_test(UINT64_MAX, INT32_MAX));
    EXPECT_FALSE(passes_size_test(UINT64_MAX, -1)) << "a negative minsize refuses every file";
    EXPECT_FALSE(passes_size_test(UINT64_MAX, INT32_MIN));
}

TEST(Filters, AgeCountsWholeDaysAndWrapsForTheFuture) {
    const std::uint64_t now = 133'000'000'000'000'000ULL;
    EXPECT_EQ(age_in_days(now, now), 0u);
    EXPECT_EQ(age_in_days(now, now - ticks_per_day + 1), 0u);
    EXPECT_EQ(age_in_days(now, now - ticks_per_day), 1u);
    EXPECT_EQ(age_in_days(now, now - 3 * ticks_per_day - 5), 3u);
    const std::uint64_t future = age_in_days(now, now + 1);
    EXPECT_EQ(future, 21'350'398u) << "one tick in the future wraps";
    EXPECT_FALSE(passes_age_test(future, 21'350'397, true));
    EXPECT_TRUE(passes_age_test(future, 21'350'398, false));
    EXPECT_TRUE(passes_age_test(future, INT32_MAX, false));
}

TEST(Filters, AgeWindowLeavesTheLastTwoDaysUnlessAsked) {
    // Ages 0 to 4 against days, without and with docurrent.
    struct window {
        std::int32_t days;
        bool docurrent;
        const char* passes;  // one letter per age: y passes, n refused
    };
    const window windows[] = {
        {3, false, "nnyyn"}, {3, true, "yyyyn"},  {0, false, "ynnnn"},
        {0, true, "ynnnn"},  {1, false, "nynnn"}, {1, true, "yynnn"},
        {2, false, "nnynn"}, {-1, true, "nnnnn"}, {INT32_MIN, true, "nnnnn"},
    };
    for (const auto& w : windows) {
        for (std::uint64_t age = 0; age < 5; ++age) {
            EXPECT_EQ(passes_age_test(age, w.days, w.docurrent), w.passes[age] == 'y')
                << "days " << w.days << " docurrent " << w.docurrent << " age " << age;
        }
    }
}

TEST(Filters, PrintablePathShowsEachControlCharacterAsAQuestionMark) {
    struct example {
        std::string path;
        std::string shown;
    };
    const example examples[] = {
        {"lib/a.mkv", "lib/a.mkv"},
        {"lib/new\nline.mkv", "lib/new?line.mkv"},
        {"a\rb\tc\x1b[31md\x7f", "a?b?c?[31md?"},
        {std::string("\x01\x1f\x20\x7e", 4), "?? ~"},
        {"caf\xc3\xa9 \xe6\x97\xa5.mkv", "caf\xc3\xa9 \xe6\x97\xa5.mkv"},  // UTF-8 bytes stay
        {"\x80\xff", "??"},
        {"csi\xc2\x9b"
         "31m\xc2\x80\xc2\x9f\xc2\xa0\xc2",
         "csi?31m??\xc2\xa0?"},  // C1 in UTF-8
        {std::string("a\0b", 3), "a?b"},
        {"lone\x9b[31m.mkv", "lone?[31m.mkv"},  // C1 as a byte of its own
        {"\xf0\x9f\x8e\xac \xe0\xa0\x80 \xf4\x8f\xbf\xbf \xed\x9f\xbf",
         "\xf0\x9f\x8e\xac \xe0\xa0\x80 \xf4\x8f\xbf\xbf \xed\x9f\xbf"},
        // overlong forms, a surrogate, beyond U+10FFFF, a sequence cut short, Latin-1
        {"\xc0\x9b|\xe0\x82\x9b|\xed\xa0\x80|\xf4\x90\x80\x80|\xe6\x97|caf\xe9",
         "??|???|???|????|??|caf?"},
        {"", ""},
    };
    for (const auto& e : examples) EXPECT_EQ(printable_path(e.path), e.shown) << e.path;
}

TEST(Filters, NamesWin32CannotOpenFaithfully) {
    using fault = win32_name_fault;
    struct example {
        const char* name;
        fault expected;
    };
    const example examples[] = {
        {"Show.S01E01.mkv", fault::none},
        {"S1.", fault::trailing_dot_or_blank},
        {"a.mkv.", fault::trailing_dot_or_blank},
        {"COM1.mkv", fault::device_name},
        {"aux.x264.mkv", fault::device_name},
        {"nul .txt", fault::device_name},
        {"prn.mkv", fault::device_name},
        {"LPT1.avi", fault::device_name},
        {"CONIN$", fault::device_name},
        {"conout$.mkv", fault::device_name},
        {"COM\xc2\xb9.mkv", fault::device_name},  // COM with a superscript one
        {"COM0.mkv", fault::none},
        {"COM10.mkv", fault::none},
        {"console.mkv", fault::none},
        {"my aux.mkv", fault::none},
        {"nul_.mkv", fault::none},
        {".nul", fault::none},
        {"a:b.mkv", fault::reserved_character},
        {"what?.mkv", fault::reserved_character},
        {"back\\slash.mkv", fault::reserved_character},
        {"new\nline.mkv", fault::reserved_character},
        {"caf\xc3\xa9.mkv", fault::none},
    };
    for (const auto& e : examples) {
        EXPECT_EQ(win32_name_fault_of(e.name), e.expected) << e.name;
        EXPECT_EQ(describe(e.expected).empty(), e.expected == fault::none) << e.name;
    }
}

}  // namespace
}  // namespace brindle
