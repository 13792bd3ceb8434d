#include "scan/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/platform.h"
#include "scan/filters.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t mib = 1024 * 1024;
const std::string hevc_signature = "V_MPEGH/ISO/HEVC";

// Files made now have age 0, so the default filters take every age.
scan_filters all_ages(const std::string& ext = "mkv") {
    scan_filters filters;
    filters.days = 9999999;
    filters.ext = ext;
    filters.docurrent = true;
    return filters;
}

// A sparse file of `size` bytes.
void make_file(const fs::path& path, std::uintmax_t size, const std::string& start = "") {
    testing::write_file(path, start);
    fs::resize_file(path, size);
}

std::vector<std::string> scan(const scan_filters& filters, const std::string& dir) {
    candidate_list list;
    scan_directory(filters, dir, list);
    std::vector<std::string> paths;
    for (const auto& entry : list.entries) paths.push_back(entry.path);
    return paths;
}

class ScanTest : public ::testing::Test {
protected:
    std::string path_of(std::initializer_list<const char*> names) const {
        std::string path = temp.str();
        for (const char* name : names) path = join_path(path, name, separator);
        return path;
    }

    testing::scoped_temp_dir temp;
    const char separator = platform::path_separator();
};

TEST_F(ScanTest, WalksDepthFirstInNameOrderApplyingEveryFilter) {
    fs::create_directories(temp.path() / "b" / ".cache");
    fs::create_directories(temp.path() / "x.mkv");
    make_file(temp.path() / "a.mkv", 2 * mib);
    make_file(temp.path() / "b" / "c.mkv", 2 * mib);
    make_file(temp.path() / "b" / ".hidden.mkv", 2 * mib);
    make_file(temp.path() / "b" / ".cache" / "d.mkv", 2 * mib);
    make_file(temp.path() / "e.MKV", mib);
    make_file(temp.path() / "f.avi", 2 * mib);
    make_file(temp.path() / "hevc.mkv", 2 * mib, "header" + hevc_signature);
    make_file(temp.path() / "small.mkv", mib - 1);
    make_file(temp.path() / "x.mkv" / "g.mkv", 2 * mib);
    make_file(temp.path() / "z.mkv", 2 * mib);

    const std::vector<std::string> expected = {path_of({"a.mkv"}), path_of({"b", "c.mkv"}),
                                               path_of({"e.MKV"}), path_of({"x.mkv", "g.mkv"}),
                                               path_of({"z.mkv"})};
    std::vector<std::string> found = scan(all_ages(), temp.str());
#ifdef _WIN32
    // The enumeration order is the file system's there; only its shape is checked.
    ASSERT_EQ(found.size(), expected.size());
    auto subdirectory_run = [&](const std::string& prefix) {
        const auto first = std::find_if(found.begin(), found.end(),
                                        [&](const auto& p) { return p.rfind(prefix, 0) == 0; });
        return std::find_if(first, found.end(),
                            [&](const auto& p) { return p.rfind(prefix, 0) != 0; }) -
               first;
    };
    EXPECT_EQ(subdirectory_run(path_of({"b"}) + separator), 1);
    std::sort(found.begin(), found.end());
    std::vector<std::string> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(found, sorted);
#else
    EXPECT_EQ(found, expected);
#endif

    const std::vector<std::string> untrimmed = scan(all_ages(), temp.str() + separator);
    ASSERT_FALSE(untrimmed.empty());
    EXPECT_EQ(untrimmed.front(), temp.str() + separator + separator + "a.mkv")
        << "the directory text is never trimmed";
}

TEST_F(ScanTest, SizeAndAgeFiltersReachTheWalk) {
    make_file(temp.path() / "big.mkv", 2 * mib);
    make_file(temp.path() / "one.mkv", mib);
    make_file(temp.path() / "tiny.mkv", 10);
    const std::vector<std::string> both = {path_of({"big.mkv"}), path_of({"one.mkv"})};

    EXPECT_EQ(scan(all_ages(), temp.str()), both);
    scan_filters filters = all_ages();
    filters.minsize = 1;
    EXPECT_EQ(scan(filters, temp.str()), std::vector<std::string>{path_of({"big.mkv"})});
    filters.minsize = -1;
    EXPECT_TRUE(scan(filters, temp.str()).empty()) << "negative minsize";

    filters = all_ages();
    filters.docurrent = false;
    filters.days = 3;
    EXPECT_TRUE(scan(filters, temp.str()).empty()) << "age 0 waits without docurrent";
    filters.days = 0;
    EXPECT_EQ(scan(filters, temp.str()), both) << "days 0 takes age 0";
    filters.days = -1;
    filters.docurrent = true;
    EXPECT_TRUE(scan(filters, temp.str()).empty()) << "negative days";
}

TEST_F(ScanTest, OverLongPathsAreSkippedNeverCut) {
    const std::size_t base = platform::native_length(temp.str()) + 1;
    ASSERT_LT(base, 200u);
    const std::string fits(253 - base, 'd');      // a directory whose pattern is 255
    const std::string too_long(254 - base, 'e');  // and one whose pattern is 256
    fs::create_directory(temp.path() / fits);
    fs::create_directory(temp.path() / too_long);
    make_file(temp.path() / fits / "a", 2 * mib);
    make_file(temp.path() / too_long / "b", 2 * mib);
    make_file(temp.path() / (std::string(255 - base - 4, 'f') + ".mkv"), 2 * mib);
    make_file(temp.path() / (std::string(256 - base - 4, 'g') + ".mkv"), 2 * mib);

    std::vector<std::string> found = scan(all_ages("*"), temp.str());
    std::sort(found.begin(), found.end());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], path_of({fits.c_str(), "a"}));
    EXPECT_EQ(found[1], path_of({(std::string(255 - base - 4, 'f') + ".mkv").c_str()}));
    for (const auto& path : found) EXPECT_EQ(platform::native_length(path), 255u);
}

TEST_F(ScanTest, WhatCannotBeListedGivesNothing) {
    make_file(temp.path() / "plain.mkv", 2 * mib);
    EXPECT_TRUE(scan(all_ages(), path_of({"missing"})).empty());
    EXPECT_TRUE(scan(all_ages(), path_of({"plain.mkv"})).empty()) << "-dir naming a file";
    EXPECT_TRUE(scan(all_ages(), "").empty()) << "an empty text names no directory";
}

#ifndef _WIN32
TEST_F(ScanTest, LinksAreFollowedButACycleIsWalkedOnce) {
    fs::create_directories(temp.path() / "a");
    fs::create_directories(temp.path() / "b");
    make_file(temp.path() / "a" / "v.mkv", 2 * mib);
    make_file(temp.path() / "b" / "w.mkv", 2 * mib);
    fs::create_directory_symlink("..", temp.path() / "a" / "loop");
    fs::create_directory_symlink(".", temp.path() / "b" / "self");
    fs::create_directory_symlink("b", temp.path() / "c");

    const std::vector<std::string> expected = {path_of({"a", "v.mkv"}), path_of({"b", "w.mkv"}),
                                               path_of({"c", "w.mkv"})};
    EXPECT_EQ(scan(all_ages(), temp.str()), expected)
        << "a link back up the tree is not entered; a link across it is";
}
#endif

TEST(Candidates, AddJoinsWithTheSeparatorAndRefusesEmptyTexts) {
    candidate_list list;
    EXPECT_FALSE(add_candidate(list, "", "a.mkv"));
    EXPECT_FALSE(add_candidate(list, "lib", ""));
    EXPECT_TRUE(list.entries.empty());
    EXPECT_TRUE(add_candidate(list, "lib", "a.mkv"));
    EXPECT_TRUE(add_candidate(list, "lib", "b.mkv"));
    ASSERT_EQ(list.entries.size(), 2u);
    EXPECT_EQ(list.entries[0].path, join_path("lib", "a.mkv", platform::path_separator()));
    EXPECT_EQ(list.entries[1].path, join_path("lib", "b.mkv", platform::path_separator()));
}

}  // namespace
}  // namespace brindle
