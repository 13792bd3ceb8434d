#include "scan/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/files.h"
#include "platform/paths.h"
#include "scan/filters.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;

using testing::mib;
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
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    testing::write_file(path, start);
    fs::resize_file(path, size);
}

// What one walk found and said.
struct walk_outcome {
    std::vector<std::string> paths;
    std::vector<std::string> lines;
    scan_result result;
    candidate_list list;
};

walk_outcome walk_library(const scan_filters& filters, const std::string& dir) {
    walk_outcome outcome;
    outcome.result = scan_directory(filters, dir, outcome.list, [&](const std::string& line) {
        outcome.lines.push_back(line);
    });
    for (const auto& entry : outcome.list.entries) outcome.paths.push_back(entry.path);
    return outcome;
}

std::vector<std::string> scan(const scan_filters& filters, const std::string& dir) {
    return walk_library(filters, dir).paths;
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

    // A file outside the window is taken when the run is told to take it whatever its age, and
    // only that is asked, of files that passed every other test.
    std::vector<std::string> asked;
    filters.taken_whatever_its_age = [&](const std::string& path, const file_stamp& stamp) {
        asked.push_back(path);
        return stamp.size == mib;
    };
    filters.minsize = 0;
    EXPECT_EQ(scan(filters, temp.str()), std::vector<std::string>{path_of({"one.mkv"})});
    EXPECT_EQ(asked, both);
}

TEST_F(ScanTest, OverLongPathsAreSkippedNeverCut) {
    if (platform::longest_path() != 255) GTEST_SKIP() << "the 255-character limit is Windows'";
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

    const walk_outcome walked = walk_library(all_ages("*"), temp.str());
    std::vector<std::string> found = walked.paths;
    std::sort(found.begin(), found.end());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], path_of({fits.c_str(), "a"}));
    EXPECT_EQ(found[1], path_of({(std::string(255 - base - 4, 'f') + ".mkv").c_str()}));
    for (const auto& path : found) EXPECT_EQ(platform::native_length(path), 255u);
    EXPECT_EQ(walked.lines,
              std::vector<std::string>{"Passed over 2 names in the folder " + temp.str() +
                                       ": their full paths would be longer than 255 "
                                       "characters\n"});
}

#ifndef _WIN32
// Enters a directory for the length of a scope; deep trees are made and removed by relative
// names, since their full paths are longer than the system takes.
struct scoped_chdir {
    explicit scoped_chdir(const fs::path& dir) : previous(fs::current_path()) {
        fs::current_path(dir);
    }
    ~scoped_chdir() { fs::current_path(previous); }
    fs::path previous;
};

TEST_F(ScanTest, PosixPathsMayBeAsLongAsTheSystemAllows) {
    const std::size_t limit = platform::longest_path();
    ASSERT_GE(limit, 1023u);
    // A path of 300 bytes, over the old limit of 255, is found.
    const std::string middle(250, 'm');
    make_file(temp.path() / middle / (std::string(40, 'n') + ".mkv"), 2 * mib);
    const std::string three_hundred =
        path_of({middle.c_str()}) + "/" + std::string(40, 'n') + ".mkv";
    ASSERT_GT(three_hundred.size(), 255u);

    // Folders nested until a name of 200 bytes reaches past the limit.
    std::string deep = temp.str();
    fs::path relative;
    {
        scoped_chdir inside(temp.path());
        while (deep.size() + 1 + 200 <= limit) {
            const std::string level(std::min<std::size_t>(200, limit - deep.size() - 150), 'L');
            fs::create_directory(level);
            fs::current_path(level);
            deep += "/" + level;
        }
        const std::size_t room = limit - deep.size() - 1;  // the longest name that fits
        make_file(std::string(room - 4, 'k') + ".mkv", 2 * mib);
        make_file(std::string(room - 3, 'o') + ".mkv", 2 * mib);  // one byte too long
        fs::create_directory(std::string(room - 1, 's'));         // no room for a name inside
    }

    walk_outcome walked = walk_library(all_ages(), temp.str());
    std::sort(walked.paths.begin(), walked.paths.end());
    ASSERT_EQ(walked.paths.size(), 2u);
    const std::string kept = deep + "/" + std::string(limit - deep.size() - 5, 'k') + ".mkv";
    EXPECT_EQ(walked.paths[0], kept);
    EXPECT_EQ(kept.size(), limit);
    EXPECT_EQ(walked.paths[1], three_hundred);
    EXPECT_EQ(walked.lines, std::vector<std::string>{"Passed over 2 names in the folder " + deep +
                                                     ": their full paths would be longer than " +
                                                     std::to_string(limit) + " bytes\n"})
        << "one line naming the folder, never a cut path";

    // What remove_all could not reach by full path.
    scoped_chdir inside(deep);
    fs::remove(std::string(limit - deep.size() - 4, 'o') + ".mkv");
}

TEST_F(ScanTest, AFolderTreeAsDeepAsPathsAllowIsWalked) {
    // Two thousand folders of one letter: a hostile download must not exhaust the call stack.
    std::string deepest = temp.str();
    int levels = 0;
    {
        scoped_chdir inside(temp.path());
        for (; deepest.size() + 2 + 6 <= platform::longest_path(); ++levels) {
            fs::create_directory("a");
            fs::current_path("a");
            deepest += "/a";
        }
        make_file("x.mkv", 2 * mib);
    }
    const walk_outcome walked = walk_library(all_ages(), temp.str());
    // Each level holds its folder open; a low limit of open files ends the descent with a line.
    if (walked.paths.empty()) {
        ASSERT_EQ(walked.lines.size(), 1u);
        EXPECT_NE(walked.lines[0].find(": Too many open files\n"), std::string::npos);
    } else {
        EXPECT_EQ(walked.paths, std::vector<std::string>{deepest + "/x.mkv"});
        EXPECT_TRUE(walked.lines.empty());
    }

    // Removed by relative names, bottom up: remove_all would hold a folder open per level too.
    scoped_chdir inside(temp.path());
    for (int level = 0; level < levels; ++level) fs::current_path("a");
    fs::remove("x.mkv");
    for (int level = 0; level < levels; ++level) {
        fs::current_path("..");
        fs::remove("a");
    }
}
#endif

TEST_F(ScanTest, WhatCannotBeListedGivesNothing) {
    make_file(temp.path() / "plain.mkv", 2 * mib);
    for (const std::string& dir : {path_of({"missing"}), path_of({"plain.mkv"}), std::string()}) {
        const walk_outcome walked = walk_library(all_ages(), dir);
        EXPECT_FALSE(walked.result.library_listed) << "[" << dir << "]";
        EXPECT_FALSE(walked.result.top_error.empty()) << "[" << dir << "]";
        EXPECT_TRUE(walked.paths.empty() && walked.lines.empty()) << "[" << dir << "]";
    }
    const walk_outcome walked = walk_library(all_ages(), temp.str());
    EXPECT_TRUE(walked.result.library_listed);
    EXPECT_EQ(walked.paths, std::vector<std::string>{path_of({"plain.mkv"})});
}

TEST_F(ScanTest, EachCandidateCarriesItsStampAndWhereItsLibraryPartBegins) {
    make_file(temp.path() / "a.mkv", 2 * mib);
    make_file(temp.path() / "sub" / "b.mkv", 3 * mib);
    for (const std::string& dir : {temp.str(), temp.str() + separator}) {
        const walk_outcome walked = walk_library(all_ages(), dir);
        ASSERT_EQ(walked.list.entries.size(), 2u) << dir;
        const std::vector<std::string> below = {"a.mkv",
                                                "sub" + std::string(1, separator) + "b.mkv"};
        for (std::size_t i = 0; i < 2; ++i) {
            const candidate_entry& entry = walked.list.entries[i];
            EXPECT_EQ(entry.relative_start, dir.size() + 1) << entry.path;
            EXPECT_EQ(entry.path.substr(entry.relative_start), below[i]) << entry.path;
            // What the encode compares with before it starts and before it installs.
            EXPECT_EQ(entry.stamp, platform::status_of(entry.path).stamp) << entry.path;
            EXPECT_EQ(entry.stamp.size, (2 + i) * mib);
            EXPECT_NE(entry.stamp.index, 0u);
        }
    }
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

    const std::vector<std::string> expected = {path_of({"a", "v.mkv"}), path_of({"b", "w.mkv"})};
    EXPECT_EQ(scan(all_ages(), temp.str()), expected)
        << "a link back up the tree is not entered; a link across it leads to files already "
           "listed";
}
#endif

// Links need privileges on Windows; these cases run where links can be made.
TEST_F(ScanTest, LinksToFilesAreNeverCandidates) {
    make_file(temp.path() / "real.mkv", 2 * mib);
    std::error_code no_links;
    fs::create_symlink("real.mkv", temp.path() / "link.mkv", no_links);
    if (no_links) GTEST_SKIP() << "links cannot be made here";
    fs::create_symlink("gone.mkv", temp.path() / "dangling.mkv");
    fs::create_symlink("link.mkv", temp.path() / "chain.mkv");
    EXPECT_EQ(scan(all_ages(), temp.str()), std::vector<std::string>{path_of({"real.mkv"})});
}

TEST_F(ScanTest, LinksAreFollowedInsideTheLibraryAndEachFileIsListedOnce) {
    fs::create_directories(temp.path() / "lib" / "Show" / "Season 3");
    fs::create_directories(temp.path() / "lib" / "a");
    fs::create_directories(temp.path() / "private");
    make_file(temp.path() / "lib" / "Show" / "Season 3" / "e1.mkv", 2 * mib);
    make_file(temp.path() / "lib" / "Show" / "Season 3" / "e2.mkv", 2 * mib);
    make_file(temp.path() / "lib" / "a" / "v.mkv", 2 * mib);
    make_file(temp.path() / "private" / "secret.mkv", 2 * mib);
    std::error_code no_links;
    fs::create_directory_symlink(fs::path("Show") / "Season 3", temp.path() / "lib" / "Latest",
                                 no_links);
    if (no_links) GTEST_SKIP() << "links cannot be made here";
    const fs::path lib = temp.path() / "lib";
    fs::create_directory_symlink("Season 3", lib / "Show" / "Current");
    fs::create_directory_symlink("..", lib / "a" / "loop");
    fs::create_directory_symlink(".", lib / "a" / "self");
    fs::create_directory_symlink(lib, lib / "a" / "top");  // absolute, inside
    fs::create_directory_symlink(temp.path() / "private", lib / "a264");
    // A sibling whose name begins with the library's lies outside it all the same.
    fs::create_directories(temp.path() / "lib2");
    make_file(temp.path() / "lib2" / "sibling.mkv", 2 * mib);
    fs::create_directory_symlink(temp.path() / "lib2", lib / "b");
    fs::create_directory_symlink(fs::path("..") / ".." / "private", lib / "Show" / "out");
    fs::create_directory(lib / "a265");
    // Reached only through a link, as a hidden folder is never walked by its own name.
    fs::create_directories(lib / ".store");
    make_file(lib / ".store" / "m.mkv", 2 * mib);
    fs::create_directory_symlink(".store", lib / "Movies");

    const std::string dir = path_of({"lib"});
    const walk_outcome walked = walk_library(all_ages(), dir);
    const std::string s(1, separator);
    const std::string season = dir + s + "Show" + s + "Season 3" + s;
    const std::vector<std::string> expected = {season + "e1.mkv", season + "e2.mkv",
                                               dir + s + "a" + s + "v.mkv",
                                               dir + s + "Movies" + s + "m.mkv"};
    EXPECT_EQ(walked.paths, expected)
        << "Season 3 is met through three names, listed once under the one that crosses no "
           "link; a folder only links lead to comes after the rest";
    const std::vector<std::string> lines = {
        "Passed over the link " + dir + s + "Show" + s + "out" +
            ": it leads out of the library folder\n",
        "Passed over the link " + dir + s + "a264" + ": it leads out of the library folder\n",
        "Passed over the link " + dir + s + "b" + ": it leads out of the library folder\n"};
    std::vector<std::string> said = walked.lines;
    std::sort(said.begin(), said.end());
    EXPECT_EQ(said, lines);
}

TEST_F(ScanTest, NamesWindowsCannotOpenAreNeverCandidatesThere) {
    const bool windows = platform::file_name_rules() == platform::name_rules::win32;
    // Win32 itself cannot make these names; the \\?\ prefix hands a name to the file system as
    // it is, as a download tool or a network share may.
    const std::string prefix = windows ? "\\\\?\\" : "";
    const auto raw = [&](const std::vector<std::string>& names) {
        std::string text = prefix + temp.str();
        for (const auto& name : names) text += separator + name;
        return fs::path(std::u8string(text.begin(), text.end()));
    };
    const std::vector<std::vector<std::string>> refused = {
        {"COM1.mkv"}, {"S1.", "b.mkv"}, {"aux.x264.mkv"}};
    for (const auto& names : refused) {
        if (names.size() == 2) fs::create_directory(raw({names[0]}));
        make_file(raw(names), 2 * mib);
    }
    make_file(temp.path() / "good.mkv", 2 * mib);

    walk_outcome walked = walk_library(all_ages(), temp.str());
    if (!windows) {
        EXPECT_EQ(walked.paths.size(), 4u) << "POSIX takes every one of these names as it is";
        return;
    }
    EXPECT_EQ(walked.paths, std::vector<std::string>{path_of({"good.mkv"})});
    const std::string device =
        ": Windows takes this name for a device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9)\n";
    std::vector<std::string> lines = {
        "Passed over " + path_of({"COM1.mkv"}) + device,
        "Passed over " + path_of({"S1."}) +
            ": Windows cannot open a name that ends in a dot or a blank\n",
        "Passed over " + path_of({"aux.x264.mkv"}) + device};
    std::sort(lines.begin(), lines.end());
    std::sort(walked.lines.begin(), walked.lines.end());
    EXPECT_EQ(walked.lines, lines);
    std::error_code ignored;  // what remove_all cannot reach by those names
    for (const auto& names : refused) fs::remove(raw(names), ignored);
    fs::remove(raw({"S1."}), ignored);
}

#ifndef _WIN32
TEST_F(ScanTest, OnlyRegularFilesAreCandidatesAndNoneIsOpenedOtherwise) {
    make_file(temp.path() / "a.mkv", 2 * mib);
    // A FIFO would hang whoever opens it for reading; the walk must not even try.
    ASSERT_EQ(::mkfifo((temp.path() / "fifo.mkv").c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = path_of({"socket.mkv"});
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    fs::create_hard_link(temp.path() / "a.mkv", temp.path() / "b.mkv");

    EXPECT_EQ(scan(all_ages("*"), temp.str()), std::vector<std::string>{path_of({"a.mkv"})})
        << "a second name of the same file is listed once";
    ::close(sock);
}

// Runs `scan_as_user` as an unprivileged user when the tests run as root (root reads every
// folder), in a child process; answers what it wrote, or "" when no such user can be taken.
std::string unprivileged(const std::function<std::string()>& scan_as_user) {
    if (::geteuid() != 0) return scan_as_user();
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_ends[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
        const std::string text = scan_as_user();
        const bool written =
            ::write(pipe_ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(pipe_ends[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe_ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "";
}

TEST_F(ScanTest, AnUnreadableFolderGetsALineAndTheWalkGoesOn) {
    make_file(temp.path() / "a.mkv", 2 * mib);
    make_file(temp.path() / "locked" / "b.mkv", 2 * mib);
    make_file(temp.path() / "z.mkv", 2 * mib);
    fs::permissions(temp.path() / "locked", fs::perms::none);
    const std::string dir = temp.str();
    const std::string text = unprivileged([&] {
        const walk_outcome walked = walk_library(all_ages(), dir);
        std::string all;
        for (const auto& line : walked.lines) all += line;
        for (const auto& path : walked.paths) all += "Found: " + path + "\n";
        return all;
    });
    fs::permissions(temp.path() / "locked", fs::perms::owner_all);
    if (text.empty()) GTEST_SKIP() << "no unprivileged user to run as";
    EXPECT_EQ(text, "Cannot read the folder " + dir + "/locked: Permission denied\nFound: " + dir +
                        "/a.mkv\nFound: " + dir + "/z.mkv\n");
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
