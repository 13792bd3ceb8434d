#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/walk.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tests/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::scoped_chdir;
using testing::scoped_temp_dir;
using testing::write_file;

bool on_windows() {
    return platform::command_interpreter() == platform::interpreter_kind::windows_cmd;
}

fs::path from_utf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string join(const scoped_temp_dir& dir, const std::string& name) {
    return dir.str() + platform::path_separator() + name;
}

void set_environment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

const char* const non_ascii = "\xc3\xa9t\xc3\xa9 \xf0\x9f\x8e\xac";  // "été 🎬"

// Every entry, kinds resolved.
std::vector<platform::dir_entry> list_all(const platform::open_directory& dir) {
    std::vector<platform::dir_entry> entries;
    const auto keep_all = [](std::string_view, platform::entry_kind) { return true; };
    const op_result listed = platform::read_directory(dir, keep_all, entries);
    EXPECT_TRUE(listed.ok()) << listed.error;
    return entries;
}

TEST(Platform, ListsEntriesSortedAndClassified) {
    scoped_temp_dir dir;
    for (const char* name : {"b.mkv", "a.mkv", "C.mkv", non_ascii}) {
        write_file(dir.path() / from_utf8(name), "12345");
    }
    fs::create_directory(dir.path() / "sub");
    std::error_code no_links;  // links need privileges on Windows; test them where they can be made
    fs::create_directory_symlink(dir.path() / "sub", dir.path() / "to_sub", no_links);
    fs::create_symlink(dir.path() / "a.mkv", dir.path() / "to_file", no_links);
    fs::create_symlink(dir.path() / "gone", dir.path() / "to_nothing", no_links);

    platform::open_directory top;
    ASSERT_TRUE(platform::open_top_directory(dir.str(), top).ok());
    const auto entries = list_all(top);
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    std::vector<std::string> expected = {"C.mkv", "a.mkv", "b.mkv", "sub", non_ascii};
    if (!no_links)
        expected = {"C.mkv", "a.mkv", "b.mkv", "sub", "to_file", "to_nothing", "to_sub", non_ascii};
    // POSIX promises byte-wise order; Windows delivers what the file system delivers.
    if (on_windows()) std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);

    using kind = platform::entry_kind;
    for (const auto& entry : entries) {
        const kind expected_kind = entry.name == "sub"               ? kind::directory
                                   : entry.name == "to_sub"          ? kind::directory_link
                                   : entry.name.rfind("to_", 0) == 0 ? kind::other
                                                                     : kind::file;
        EXPECT_EQ(entry.kind, expected_kind) << entry.name;
        if (expected_kind != kind::file) continue;
        const std::optional<platform::file_details> found = platform::file_details_of(top, entry);
        ASSERT_TRUE(found) << entry.name;
        const platform::file_details& details = *found;
        EXPECT_TRUE(details.is_regular) << entry.name;
        EXPECT_EQ(details.size, 5u) << entry.name;
        // Within a day of now: a wrong epoch or unit is off by years.
        const auto now = platform::now_ticks();
        EXPECT_LT(now - details.creation_ticks, 864000000000ull) << entry.name;
        EXPECT_LT(now - details.write_ticks, 864000000000ull) << entry.name;
    }

    // What cannot be listed says why, in the system's words.
    for (const std::string& path : {join(dir, "missing"), std::string(), join(dir, "a.mkv")}) {
        platform::open_directory none;
        const op_result opened = platform::open_top_directory(path, none);
        EXPECT_FALSE(opened.ok()) << "[" << path << "]";
        EXPECT_FALSE(opened.error.empty()) << "[" << path << "]";
    }
}

TEST(Platform, ClockAndIdentity) {
    // 1601-01-01 lies 11,644,473,600 s before 1970-01-01.
    const auto unix_seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    const auto expected = (static_cast<std::uint64_t>(unix_seconds) + 11644473600ull) * 10000000ull;
    const auto now = platform::now_ticks();
    EXPECT_LT(now > expected ? now - expected : expected - now, 50000000ull) << "ticks " << now;

    scoped_temp_dir dir;
    fs::create_directory(dir.path() / "sub");
    write_file(dir.path() / "f", "12");
    platform::open_directory top, again, sub;
    ASSERT_TRUE(platform::open_top_directory(dir.str(), top).ok());
    ASSERT_TRUE(platform::open_top_directory(dir.str(), again).ok());
    ASSERT_TRUE(platform::open_subdirectory(top, "sub", join(dir, "sub"), false, sub).ok());
    EXPECT_EQ(top.id, again.id);
    EXPECT_NE(top.id, sub.id);
    EXPECT_EQ(sub.path, join(dir, "sub"));
    EXPECT_FALSE(platform::real_path(sub).empty());

    // A file's size and write time agree whether asked through its folder or by its path.
    const path_state by_path = platform::status_of(join(dir, "f"));
    EXPECT_EQ(by_path.what, path_state::kind::regular);
    for (const auto& entry : list_all(top)) {
        if (entry.name != "f") continue;
        const std::optional<platform::file_details> found = platform::file_details_of(top, entry);
        ASSERT_TRUE(found);
        const platform::file_details& through_folder = *found;
        EXPECT_TRUE(through_folder.is_regular);
        EXPECT_EQ(through_folder.size, 2u);
        EXPECT_EQ(through_folder.size, by_path.stamp.size);
        EXPECT_EQ(through_folder.write_ticks, by_path.stamp.write_ticks);
        if (through_folder.identified) {
            EXPECT_EQ(through_folder.volume, by_path.stamp.volume);
            EXPECT_EQ(through_folder.index, by_path.stamp.index);
        }
    }

    std::error_code no_link;
    fs::create_directory_symlink(dir.path(), dir.path() / "sub" / "up", no_link);
    if (!no_link) {
        platform::open_directory through_link, refused;
        const std::string up = join(dir, "sub") + platform::path_separator() + "up";
        ASSERT_TRUE(platform::open_subdirectory(sub, "up", up, true, through_link).ok());
        EXPECT_EQ(through_link.id, top.id) << "a link must lead to the identity of its target";
        EXPECT_EQ(platform::real_path(through_link), platform::real_path(top));
        EXPECT_FALSE(platform::open_subdirectory(sub, "up", up, false, refused).ok())
            << "a link where a folder was listed";
    }

    EXPECT_EQ(platform::native_length("a\xc3\xa9\xf0\x9f\x8e\xac"), on_windows() ? 4u : 7u);
}

TEST(Platform, ReadsTheStartOfAFile) {
    scoped_temp_dir dir;
    write_file(dir.path() / "f", "0123456789");
    char buffer[16] = {};
    EXPECT_EQ(platform::read_file_start(join(dir, "f"), buffer, sizeof buffer), 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(platform::read_file_start(join(dir, "f"), buffer, 4), 4u);
    EXPECT_EQ(platform::read_file_start(join(dir, "missing"), buffer, sizeof buffer), std::nullopt);
}

TEST(Platform, FileReaderReadsAtAnyOffsetAndOpensOnlyRegularFiles) {
    scoped_temp_dir dir;
    write_file(dir.path() / "f", "0123456789");
    platform::file_reader file;
    ASSERT_EQ(file.open(join(dir, "f")), platform::file_reader::outcome::opened);
    EXPECT_EQ(file.size(), 10u);
    const struct {
        std::uint64_t offset;
        std::size_t size;
        const char* expected;
    } reads[] = {{0, 4, "0123"}, {6, 10, "6789"}, {9, 1, "9"}, {10, 4, ""}, {1u << 31, 4, ""}};
    for (const auto& r : reads) {
        char buffer[16] = {};
        const auto got = file.read_at(r.offset, buffer, r.size);
        EXPECT_EQ(std::string(buffer, got), r.expected) << "at " << r.offset;
    }

    EXPECT_EQ(file.open(join(dir, "missing")), platform::file_reader::outcome::failed);
    EXPECT_FALSE(file.error().empty());
    char buffer[4];
    EXPECT_EQ(file.read_at(0, buffer, 4), 0u) << "a failed open leaves nothing open";
    EXPECT_EQ(file.open(dir.str()), platform::file_reader::outcome::not_regular);
    if (on_windows()) {
        // A device name opens the device: only a disk file is read.
        EXPECT_EQ(file.open("NUL"), platform::file_reader::outcome::not_regular);
        EXPECT_EQ(file.open(join(dir, "COM1.mkv")), platform::file_reader::outcome::not_regular);
        EXPECT_EQ(platform::read_file_start("NUL", buffer, 4), std::nullopt);
        return;
    }
    std::error_code no_link;
    fs::create_symlink(dir.path() / "f", dir.path() / "link", no_link);
    EXPECT_EQ(file.open(join(dir, "link")), platform::file_reader::outcome::not_regular);
    ASSERT_EQ(std::system(("mkfifo '" + join(dir, "fifo") + "'").c_str()), 0);
    EXPECT_EQ(file.open(join(dir, "fifo")), platform::file_reader::outcome::not_regular);
    std::string error;
    EXPECT_EQ(platform::read_file_start(join(dir, "fifo"), buffer, 4, &error), std::nullopt)
        << "the start of a FIFO is never read: it could wait for ever";
    EXPECT_EQ(error, "not a regular file");
}

TEST(Platform, FileOperationsOfTheReplaceSequence) {
    using status = op_result::fault;
    using kind = path_state::kind;
    scoped_temp_dir dir;
    const auto source = join(dir, "source"), other = join(dir, "other"), fresh = join(dir, "fresh");
    write_file(from_utf8(source), "source");
    write_file(from_utf8(other), "other!");

    EXPECT_EQ(platform::file_size(source), 6u);
    EXPECT_EQ(platform::file_size(join(dir, "missing")), std::nullopt);
    EXPECT_EQ(platform::status_of(source).what, kind::regular);
    EXPECT_EQ(platform::status_of(source).stamp.size, 6u);
    EXPECT_EQ(platform::status_of(dir.str()).what, kind::directory);
    EXPECT_EQ(platform::status_of(join(dir, "missing")).what, kind::missing);
    EXPECT_EQ(platform::status_of(join(dir, "missing") + platform::path_separator() + "x").what,
              kind::missing)
        << "a missing folder is no error";

    EXPECT_EQ(platform::rename_no_replace(source, other).why, status::exists)
        << "an existing target must stay";
    EXPECT_EQ(read_file(from_utf8(source)), "source");
    EXPECT_EQ(read_file(from_utf8(other)), "other!");
    ASSERT_TRUE(platform::rename_no_replace(source, fresh).ok());
    EXPECT_FALSE(fs::exists(from_utf8(source)));
    EXPECT_EQ(read_file(from_utf8(fresh)), "source");

    EXPECT_TRUE(platform::rename_replace(fresh, other).ok());
    EXPECT_FALSE(fs::exists(from_utf8(fresh)));
    EXPECT_EQ(read_file(from_utf8(other)), "source");
    const auto gone = platform::rename_replace(fresh, other);
    EXPECT_EQ(gone.why, status::other);
    EXPECT_FALSE(gone.error.empty()) << "the system's own text";

    // Large enough to need more than one round of the copy loop.
    std::string big(3 * 1024 * 1024 + 7, 'x');
    big[12345] = 'y';
    write_file(from_utf8(source), big);
    ASSERT_TRUE(platform::copy_to_new_file(source, fresh).ok());
    EXPECT_TRUE(read_file(from_utf8(fresh)) == big) << "the copy differs from its source";
    EXPECT_EQ(read_file(from_utf8(source)), big);
    EXPECT_EQ(platform::copy_to_new_file(source, other).why, status::exists);
    EXPECT_EQ(read_file(from_utf8(other)), "source") << "an existing file is never written";
    EXPECT_FALSE(platform::copy_to_new_file(join(dir, "missing"), join(dir, "new")).ok());
    EXPECT_FALSE(fs::exists(dir.path() / "new"));
    EXPECT_FALSE(
        platform::copy_to_new_file(source, join(dir, "missing") + platform::path_separator() + "x")
            .ok());

    EXPECT_TRUE(platform::flush_file(fresh).ok());
    EXPECT_FALSE(platform::flush_file(join(dir, "missing")).ok());
    EXPECT_TRUE(platform::remove_file(fresh).ok());
    EXPECT_FALSE(fs::exists(from_utf8(fresh)));
    EXPECT_FALSE(platform::remove_file(fresh).ok());
}

// A second name keeps the file under its first while the first is replaced: the backup of a
// replace under the source's own name.
TEST(Platform, HardLinkAndReplaceKeepBothFiles) {
    scoped_temp_dir dir;
    const auto source = join(dir, "a.mkv"), backup = join(dir, "a.mkv.bak");
    const auto staged = join(dir, ".staged");
    write_file(from_utf8(source), "old");
    write_file(from_utf8(staged), "new");
    const auto linked = platform::hard_link(source, backup);
    if (linked.why == op_result::fault::not_supported) {
        GTEST_SKIP() << "no hard links here: " << linked.error;
    }
    ASSERT_TRUE(linked.ok()) << linked.error;
    const auto first = platform::status_of(source), second = platform::status_of(backup);
    EXPECT_EQ(first.stamp.volume, second.stamp.volume);
    EXPECT_EQ(first.stamp.index, second.stamp.index);
    EXPECT_EQ(platform::hard_link(source, backup).why, op_result::fault::exists);

    ASSERT_TRUE(platform::rename_replace(staged, source).ok());
    EXPECT_EQ(read_file(from_utf8(source)), "new");
    EXPECT_EQ(read_file(from_utf8(backup)), "old");
    EXPECT_NE(platform::status_of(source).stamp.index, second.stamp.index);
    EXPECT_EQ(platform::status_of(backup).stamp.index, second.stamp.index);
}

TEST(Platform, TellsWhatWouldKeepAFileFromBeingMadeOrDeleted) {
    scoped_temp_dir dir;
    const std::string file = join(dir, "a.mkv"), probe = join(dir, ".probe");
    write_file(from_utf8(file), "source");
    EXPECT_FALSE(platform::is_open_elsewhere(file));
    {
        // The C runtime opens without delete sharing on Windows, as players do.
        std::ifstream held(from_utf8(file), std::ios::binary);
        ASSERT_TRUE(held.is_open());
        EXPECT_EQ(platform::is_open_elsewhere(file), on_windows());
    }
    EXPECT_FALSE(platform::is_open_elsewhere(file));
    EXPECT_TRUE(platform::create_and_remove(probe).ok());
    EXPECT_FALSE(fs::exists(from_utf8(probe))) << "the name made is removed at once";
    EXPECT_TRUE(platform::create_and_remove(file).ok()) << "a taken name tells nothing";
    EXPECT_EQ(read_file(from_utf8(file)), "source");
    const auto missing =
        platform::create_and_remove(join(dir, "gone") + platform::path_separator() + "x");
    EXPECT_FALSE(missing.ok());
}

TEST(Platform, ChangesStayInsideTheConfinedFolders) {
    if (on_windows()) GTEST_SKIP() << "folder links are a POSIX matter here";
    scoped_temp_dir dir;
    fs::create_directories(dir.path() / "lib" / "real");
    fs::create_directories(dir.path() / "private");
    fs::create_directory_symlink(dir.path() / "private", dir.path() / "lib" / "swapped");
    // A sibling whose name begins with the library's is outside too.
    fs::create_directories(dir.path() / "lib2");
    fs::create_directory_symlink(dir.path() / "lib2", dir.path() / "lib" / "sibling");
    // So is the working directory, where only the run's own names (given bare) may change.
    fs::create_directory_symlink(dir.path(), dir.path() / "lib" / "home");
    const auto lib = join(dir, "lib"), outside = join(dir, "private");
    write_file(from_utf8(lib + "/real/a.mkv"), "source");
    write_file(from_utf8(outside + "/secret.mkv"), "secret");
    write_file(from_utf8(join(dir, "lib2") + "/b.mkv"), "sibling");
    // The working directory holds the library and the folders outside it.
    scoped_chdir inside(dir.path());
    const std::string temp = "tempenc.mkv";
    write_file(from_utf8(temp), "result");
    write_file(from_utf8(join(dir, "a.mkv")), "the user's");

    platform::confine_changes_to(lib, dir.path().string());
    const std::string into_link = lib + "/swapped/secret.mkv";
    const std::pair<const char*, op_result> refused[] = {
        {"copy", platform::copy_to_new_file(temp, lib + "/swapped/new.mkv")},
        {"rename", platform::rename_no_replace(lib + "/real/a.mkv", lib + "/swapped/a.mkv")},
        {"replace", platform::rename_replace(temp, into_link)},
        {"link", platform::hard_link(lib + "/real/a.mkv", lib + "/swapped/b.mkv")},
        {"remove", platform::remove_file(into_link)},
        {"attributes", platform::copy_attributes(lib + "/real/a.mkv", into_link)},
        {"sibling", platform::remove_file(lib + "/sibling/b.mkv")},
        {"sibling by name", platform::remove_file(join(dir, "lib2") + "/b.mkv")},
        {"probe", platform::create_and_remove(lib + "/swapped/.probe")},
        {"working directory", platform::rename_replace(temp, lib + "/home/a.mkv")},
        {"below the working directory", platform::remove_file(outside + "/secret.mkv")},
    };
    for (const auto& [step, result] : refused) {
        EXPECT_EQ(result.why, op_result::fault::outside) << step;
        EXPECT_NE(result.error.find("outside the library folder"), std::string::npos) << step;
    }
    EXPECT_FALSE(platform::write_file_note(into_link, "note").ok()) << "no note by way of the link";
    EXPECT_FALSE(platform::write_file_note(lib + "/home/a.mkv", "note").ok())
        << "nor on the user's";
    EXPECT_FALSE(platform::read_file_note(join(dir, "a.mkv")));
    EXPECT_FALSE(platform::read_file_note(outside + "/secret.mkv"));
    EXPECT_EQ(read_file(from_utf8(join(dir, "lib2") + "/b.mkv")), "sibling");
    EXPECT_EQ(read_file(from_utf8(outside + "/secret.mkv")), "secret");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "private"), {}), 1);
    // Inside, the same steps work.
    EXPECT_TRUE(platform::rename_no_replace(temp, lib + "/real/b.mkv").ok());
    EXPECT_TRUE(platform::remove_file(lib + "/real/b.mkv").ok());
    platform::confine_changes_to({}, {});
}

// A note is the file's own: it moves with a rename, goes with a deletion or a replace, and is no
// name of its own in a listing (under Wine it is kept as a file beside its file).
TEST(Platform, ANoteGoesWhereItsFileGoes) {
    scoped_temp_dir dir;
    const auto a = join(dir, "a.mkv"), b = join(dir, "b.mkv"), c = join(dir, "c.mkv");
    write_file(from_utf8(a), "a");
    write_file(from_utf8(c), "c");
    if (!platform::write_file_note(a, "note of a").ok()) GTEST_SKIP() << "no notes here";
    ASSERT_TRUE(platform::write_file_note(c, "note of c").ok());
    ASSERT_TRUE(platform::rename_no_replace(a, b).ok());
    EXPECT_EQ(platform::read_file_note(b), "note of a");
    EXPECT_FALSE(platform::read_file_note(a)) << "the old name keeps no note";
    platform::open_directory folder;
    ASSERT_TRUE(platform::open_top_directory(dir.str(), folder).ok());
    std::vector<std::string> names;
    for (const auto& entry : list_all(folder)) names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"b.mkv", "c.mkv"}));

    ASSERT_TRUE(platform::rename_replace(c, b).ok());
    EXPECT_EQ(platform::read_file_note(b), "note of c")
        << "the replaced file's note is gone with it";
    ASSERT_TRUE(platform::remove_file(b).ok());
    EXPECT_FALSE(platform::read_file_note(b));
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// Runs `script` (no double quotes) in `folder` with the host's own shell: under Wine, which starts
// it as a native program, the way to make and remove POSIX links, since Wine makes none. False
// where there is no such shell (Windows itself).
bool run_on_host(const fs::path& folder, const std::string& script) {
#ifdef _WIN32
    // The host's program is no Windows process: it is done when its last step's mark appears.
    std::wstring command = L"/bin/sh -c \"" + from_utf8(script).wstring() + L" && : >.done\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.wstring().c_str(), &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int wait = 0; wait < 100 && !fs::exists(folder / ".done"); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return fs::remove(folder / ".done");
#else
    return std::system(("cd '" + folder.string() + "' && " + script).c_str()) == 0;
#endif
}

// POSIX links in `folder`, each {target, name}, neither holding a space.
bool make_posix_links(const fs::path& folder,
                      const std::vector<std::pair<std::string, std::string>>& links) {
    std::string script = ":";
    for (const auto& [target, name] : links) script += " && ln -s " + target + " " + name;
    return run_on_host(folder, script);
}

// Links planted by a stranger in the library and the working directory, each leading outside:
// whatever step meets one, nothing outside changes. Under Wine every call follows such a link
// as if it were the file it leads to.
TEST(Platform, NoStepChangesAFileOutsideThroughAPlantedLink) {
    scoped_temp_dir dir;
    const fs::path lib = dir.path() / "lib", out = dir.path() / "out";
    fs::create_directories(lib);
    fs::create_directories(out);
    const std::vector<std::string> outside{"important.txt", "second.txt", "stage.txt", "film.nfo",
                                           "temp.mkv"};
    for (const std::string& name : outside) write_file(out / name, "outside " + name);
    write_file(lib / "junk.mkv", "not a video");
    write_file(lib / "gone.mkv", "not a video");
    write_file(lib / "hard.mkv", "not a video");
    write_file(lib / "Film.x264.mkv", "film");
    fs::create_hard_link(out / "second.txt", lib / "hard.mkv:brindle");
    if (!make_posix_links(lib, {{"../out/important.txt", "junk.mkv:brindle"},
                                {"../out/created.txt", "gone.mkv:brindle"},
                                {"../out/stage.txt", ".brindle-HOST-99999-1.part"},
                                {"../out/film.nfo", "Film.x264.nfo"},
                                {"out/temp.mkv", "../tempenc.mkv"}})) {
        GTEST_SKIP() << "no POSIX links here";
    }
    const auto in_lib = [&](const std::string& name) { return join(dir, "lib") + "/" + name; };
    scoped_chdir inside(dir.path());

    for (const char* video : {"junk.mkv", "gone.mkv", "hard.mkv"}) {
        platform::write_file_note(in_lib(video), "brindle-failed-2 1 2 3");
    }
    platform::remove_file(in_lib(".brindle-HOST-99999-1.part"));
    platform::remove_file("tempenc.mkv");
    platform::copy_attributes(in_lib("Film.x264.mkv"), in_lib("Film.x264.nfo"));
    platform::clear_read_only(in_lib("Film.x264.nfo"));
    platform::hard_link(in_lib("Film.x264.nfo"), in_lib("Film.x265.nfo.bak"));
    platform::rename_no_replace(in_lib("Film.x264.nfo"), in_lib("Film.x265.nfo"));
    platform::rename_replace(in_lib("Film.x265.nfo"), in_lib("Film.x264.mkv"));

    for (const std::string& name : outside) {
        EXPECT_EQ(read_file(out / name), "outside " + name) << name << " outside was changed";
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(out), {}), std::ptrdiff_t(outside.size()))
        << "a file was made or taken outside";
}

namespace {

// The exit code of a command that exited; -1 for any other ending.
int exit_code_of(const std::string& command_line) {
    const auto result = platform::run_command(command_line);
    return result.how == platform::command_result::ending::exited ? result.code : -1;
}

}  // namespace

TEST(Platform, RunsCommandsThroughTheInterpreter) {
    EXPECT_EQ(exit_code_of("exit 3"), 3);
    EXPECT_EQ(exit_code_of("exit 0"), 0);

    // A command that begins with a quoted program path stays whole.
    const char* comspec = std::getenv("COMSPEC");
    const std::string interpreter = on_windows() ? (comspec ? comspec : "cmd.exe") : "/bin/sh";
    const std::string quoted =
        "\"" + interpreter + "\" " + (on_windows() ? "/c exit 4" : "-c 'exit 4'");
    EXPECT_EQ(exit_code_of(quoted), 4) << quoted;

    // The child works in the parent's working directory.
    scoped_temp_dir dir;
    {
        scoped_chdir inside(dir.path());
        EXPECT_EQ(exit_code_of("echo x> made_by_child"), 0);
    }
    EXPECT_TRUE(fs::exists(dir.path() / "made_by_child"));

    if (!on_windows()) {
        const auto killed = platform::run_command("kill -9 $$");
        EXPECT_EQ(killed.how, platform::command_result::ending::signalled);
        EXPECT_EQ(killed.code, 9);
    }
}

TEST(Platform, ComposesTheCmdLineAndTellsAbsoluteWindowsPaths) {
    const struct {
        const char* interpreter;
        const char* command;
        const char* line;
    } lines[] = {
        {"C:\\w\\cmd.exe", "\"C:\\a b\\x.exe\" -i \"in\"",
         "C:\\w\\cmd.exe /d /v:off /s /c \"\"C:\\a b\\x.exe\" -i \"in\"\""},
        {"C:\\Program Files\\cmd.exe", "exit 1",
         "\"C:\\Program Files\\cmd.exe\" /d /v:off /s /c \"exit 1\""},
        {"C:/Windows/System32/cmd.exe", "exit 1",
         "C:\\Windows\\System32\\cmd.exe /d /v:off /s /c \"exit 1\""},
    };
    for (const auto& each : lines) {
        EXPECT_EQ(platform::cmd_interpreter_line(each.interpreter, each.command), each.line);
    }

    const struct {
        const char* path;
        bool absolute;
    } paths[] = {
        {"C:\\Windows\\system32\\cmd.exe", true},
        {"z:/bin/cmd.exe", true},
        {"\\\\server\\share\\cmd.exe", true},
        {"\\\\?\\C:\\cmd.exe", true},
        {"cmd.exe", false},
        {".\\cmd.exe", false},
        {"C:cmd.exe", false},
        {"\\Windows\\cmd.exe", false},
        {"\\\\\\cmd.exe", false},
        {"1:\\cmd.exe", false},
        {"C:", false},
        {"", false},
    };
    for (const auto& each : paths) {
        EXPECT_EQ(platform::is_absolute_windows_path(each.path), each.absolute) << each.path;
    }
}

TEST(Platform, ComposesProgramLinesAndSplitsSearchPaths) {
    const struct {
        std::vector<std::string> arguments;
        const char* line;
    } lines[] = {
        {{"-i", "file:C:\\v\\a.mkv"}, "\"C:\\f.exe\" -i file:C:\\v\\a.mkv"},
        {{"", "a b", "tab\there"}, "\"C:\\f.exe\" \"\" \"a b\" \"tab\there\""},
        // Backslashes double only before a quote, the closing one included.
        {{"a\"b", "a\\\"b", "C:\\dir\\", "C:\\my dir\\"},
         "\"C:\\f.exe\" \"a\\\"b\" \"a\\\\\\\"b\" C:\\dir\\ \"C:\\my dir\\\\\""},
        {{"[0:V:0]trim=start=1.000,setpts=PTS-STARTPTS;[a][b]ssim"},
         "\"C:\\f.exe\" [0:V:0]trim=start=1.000,setpts=PTS-STARTPTS;[a][b]ssim"},
    };
    for (const auto& each : lines) {
        EXPECT_EQ(platform::windows_argument_line("C:\\f.exe", each.arguments), each.line);
    }
    using folders = std::vector<std::string>;
    EXPECT_EQ(platform::search_path_folders("/usr/local/bin:/usr/bin", ':'),
              (folders{"/usr/local/bin", "/usr/bin"}));
    EXPECT_EQ(platform::search_path_folders(":/bin::", ':'), (folders{".", "/bin", ".", "."}));
    EXPECT_EQ(platform::search_path_folders("C:\\x;\"C:\\a;b\";D:\\", ';'),
              (folders{"C:\\x", "C:\\a;b", "D:\\"}));
    EXPECT_EQ(platform::search_path_folders("\"C:\\Program Files\\ff\";C:\\x", ';'),
              (folders{"C:\\Program Files\\ff", "C:\\x"}));
    EXPECT_EQ(platform::search_path_folders("/a\"b:/c", ':'), (folders{"/a\"b", "/c"}));
    EXPECT_TRUE(platform::search_path_folders("", ':').empty());
}

TEST(Platform, FallsBackToCmdWhenComspecFails) {
    if (!on_windows()) GTEST_SKIP() << "COMSPEC is a Windows matter";
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    // Another program named cmd.exe where a search would find it, in the working directory and
    // first on PATH; it answers 2 to this command line.
    fs::create_directory("onpath");
    fs::copy_file(from_utf8(testing::tool_path(testing::print_arg_built)), "cmd.exe");
    fs::copy_file("cmd.exe", fs::path("onpath") / "cmd.exe");
    write_file("notes.txt", "not a program");
    const char* saved_path = std::getenv("PATH");
    const char* saved_comspec = std::getenv("COMSPEC");
    const std::string path = saved_path ? saved_path : "",
                      comspec = saved_comspec ? saved_comspec : "";
    set_environment("PATH", join(dir, "onpath") + ";" + path);
    const std::string comspecs[] = {"",           "cmd.exe",
                                    ".\\cmd.exe", "C:\\no\\such\\interpreter.exe",
                                    dir.str(),    join(dir, "notes.txt")};
    for (const std::string& each : comspecs) {
        set_environment("COMSPEC", each);
        EXPECT_EQ(exit_code_of("exit 6"), 6) << "COMSPEC [" << each << "]";
    }
    set_environment("COMSPEC", comspec);
    set_environment("PATH", path);
}

TEST(Platform, FindsAProgramWhereTheInterpreterWould) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    const char* saved_path = std::getenv("PATH");
    const std::string path = saved_path ? saved_path : "";
    for (const char* folder : {"first", "second", "third"}) fs::create_directory(folder);
    const std::string tool = testing::tool_path(testing::print_arg_built);
    if (on_windows()) {
        // PATH comes last: the working directory and Brindle's own folder are looked in first.
        fs::copy_file(from_utf8(tool), fs::path("second") / "probe-tool.exe");
        set_environment("PATH", join(dir, "first") + ";\"" + join(dir, "second") + "\"");
        EXPECT_EQ(platform::find_program("probe-tool"), join(dir, "second") + "\\probe-tool.exe");
        fs::copy_file(from_utf8(tool), "probe-tool.exe");
        EXPECT_EQ(platform::find_program("probe-tool"), ".\\probe-tool.exe");
    } else {
        // A folder and a file that may not be run are passed over, as sh passes over them.
        fs::create_directory(fs::path("first") / "probe-tool");
        write_file(fs::path("second") / "probe-tool", "#!/bin/sh\n");
        fs::copy_file(tool, fs::path("third") / "probe-tool");
        set_environment("PATH",
                        join(dir, "first") + ":" + join(dir, "second") + ":" + join(dir, "third"));
        EXPECT_EQ(platform::find_program("probe-tool"), join(dir, "third") + "/probe-tool");
    }
    set_environment("PATH", join(dir, "first"));
    if (!on_windows()) {
        EXPECT_EQ(platform::find_program("probe-tool"), std::nullopt);
    }
    EXPECT_EQ(platform::find_program("no-such-tool"), std::nullopt);
    set_environment("PATH", path);
}

// ---- Stopping (POSIX signals; Windows is tried end to end) --------------------------------
#ifndef _WIN32
//
// A stop stays recorded for the rest of a process's life, so each case runs in a child process
// of its own (a death test) and reports through its exit code.

namespace {

// Is the process with the id written in `pid_file` gone (or only waiting to be collected)?
bool process_gone(const fs::path& pid_file) {
    const std::string pid = read_file(pid_file);
    if (pid.empty()) return false;
    const std::string stat = read_file(fs::path("/proc") / pid.substr(0, pid.find('\n')) / "stat");
    const auto state_at = stat.rfind(") ");
    return stat.empty() || (state_at != std::string::npos && stat[state_at + 2] == 'Z');
}

bool eventually_gone(const fs::path& pid_file) {
    for (int round = 0; round < 100; ++round) {
        if (process_gone(pid_file)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A death test's end is seen on a pipe, which the commands it starts must not hold open.
void keep_descriptors_from_commands() { ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC); }

// A stop that hangs fails its death test in seconds, with a message, not at ctest's limit.
void end_after_seconds(unsigned seconds) {
    std::signal(SIGALRM, [](int) {
        constexpr char message[] = "the stop did not end the command within its deadline\n";
        (void)!::write(STDERR_FILENO, message, sizeof message - 1);
        ::_exit(99);
    });
    ::alarm(seconds);
}

// 0 when `result` ended as expected, else a code naming what differed.
int check_ending(const platform::command_result& result, platform::command_result::ending how,
                 int code, int stop_signal) {
    if (result.how != how) return 10;
    if (result.code != code) return 11;
    return result.stop_signal == stop_signal ? 0 : 12;
}

}  // namespace

// POSIX only: Wine gives a new process the priority class asked for but passes it on to none of
// its children, so the encoder's class cannot be seen there.
TEST(Platform, RunsTheCommandTenNiceStepsLowerUnlessToldOtherwise) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    const auto nice_of_command = [](bool low) {
        platform::command_settings settings;
        settings.low_priority = low;
        EXPECT_EQ(platform::run_command("nice > nice.txt", settings).code, 0);
        return std::stoi(read_file("nice.txt"));
    };
    const int normal = nice_of_command(false);
    EXPECT_EQ(nice_of_command(true), std::min(normal + 10, 19)) << "normal " << normal;
}

TEST(Stopping, ASignalIsPassedOnToTheCommandsGroupAndNoCommandStartsAfterIt) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    // The command stops Brindle while a grandchild sleeps.
    EXPECT_EXIT(
        {
            end_after_seconds(20);
            const auto stopped =
                platform::run_command("sleep 30 & echo $! > sleeper.pid; kill -TERM " +
                                      std::to_string(platform::process_id()) + "; wait");
            if (const int fault = check_ending(stopped, platform::command_result::ending::signalled,
                                               SIGTERM, SIGTERM)) {
                std::exit(fault);
            }
            if (!process_gone("sleeper.pid")) std::exit(20);
            if (platform::stop_requested() != SIGTERM) std::exit(21);
            const auto refused = platform::run_command("echo started > started.txt");
            if (const int fault = check_ending(
                    refused, platform::command_result::ending::not_started, -1, SIGTERM)) {
                std::exit(fault + 20);
            }
            std::exit(fs::exists("started.txt") ? 30 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Stopping, AfterAStopTheEncoderMayFinishItsFile) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    // The interpreter dies of the signal at once; the "encoder" below it takes a second to end.
    const std::string encoder =
        "sh -c 'trap \"sleep 1; echo > finished; exit 0\" TERM; echo > ready; "
        "while :; do sleep 0.1; done'";
    EXPECT_EXIT(
        {
            end_after_seconds(20);
            const auto stopped = platform::run_command(
                encoder + " & while [ ! -e ready ]; do sleep 0.05; done; kill -TERM " +
                std::to_string(platform::process_id()) + "; wait");
            if (const int fault = check_ending(stopped, platform::command_result::ending::signalled,
                                               SIGTERM, SIGTERM)) {
                std::exit(fault);
            }
            std::exit(fs::exists("finished") ? 0 : 20);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Stopping, WhatTheCommandLeavesRunningIsEnded) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    const auto ran = platform::run_command("sleep 300 & echo $! > sleeper.pid");
    EXPECT_EQ(check_ending(ran, platform::command_result::ending::exited, 0, 0), 0);
    EXPECT_TRUE(process_gone("sleeper.pid"));
}

TEST(Stopping, ACommandWhoseGuardianIsKilledIsEndedAndToldApartFromOneNotStarted) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    // The interpreter's parent is the guardian.
    const auto ran =
        platform::run_command("sleep 300 & echo $! > sleeper.pid; kill -KILL $PPID; sleep 300");
    EXPECT_EQ(ran.how, platform::command_result::ending::unseen);
    EXPECT_TRUE(eventually_gone("sleeper.pid"));
}

TEST(Stopping, TheCommandEndsWhenBrindleIsKilled) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    EXPECT_EXIT(
        {
            end_after_seconds(20);
            keep_descriptors_from_commands();
            platform::run_command(
                "echo $$ > interpreter.pid; sleep 300 & echo $! > sleeper.pid; "
                "kill -KILL " +
                std::to_string(platform::process_id()) + "; sleep 300");
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_TRUE(eventually_gone("interpreter.pid"));
    EXPECT_TRUE(eventually_gone("sleeper.pid"));
}

TEST(Stopping, ASecondStopKillsACommandThatIgnoresTheFirst) {
    EXPECT_EXIT(
        {
            end_after_seconds(8);
            const std::string brindle = std::to_string(platform::process_id());
            const auto stopped =
                platform::run_command("trap '' TERM; kill -TERM " + brindle +
                                      "; sleep 1; kill -INT " + brindle + "; sleep 300");
            if (const int fault = check_ending(stopped, platform::command_result::ending::signalled,
                                               SIGKILL, SIGTERM)) {
                std::exit(fault);
            }
            std::exit(stopped.killed == platform::stop_kill::at_second_stop ? 0 : 20);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Platform, TellsALockLeftToADeadRunsEncoderFromALiveRun) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    // The lock as an encoder left behind holds it: another open file, and the file names its run.
    const int held = ::open("brindle.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    struct row {
        std::string identity;
        platform::lock_result expected;
    };
    const row rows[] = {
        {std::to_string(gone) + " 12345\n", platform::lock_result::held_by_left_encoder},
        {"", platform::lock_result::held_elsewhere},
        {"not a run\n", platform::lock_result::held_elsewhere},
        {std::to_string(gone) + "\n", platform::lock_result::held_elsewhere},
    };
    for (const row& r : rows) {
        write_file("brindle.lock", r.identity);
        EXPECT_EQ(platform::lock_working_directory("brindle.lock"), r.expected) << r.identity;
    }
    ::close(held);
}

TEST(Stopping, AStopDuringADeferralIsReportedAtItsEnd) {
    EXPECT_EXIT(
        {
            platform::install_stop_handlers();
            {
                platform::stop_deferral outer;
                {
                    platform::stop_deferral inner;
                    std::raise(SIGHUP);
                }
                if (platform::stop_requested() != 0) std::exit(1);
            }
            std::exit(platform::stop_requested() == SIGHUP ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

#endif  // _WIN32

TEST(Platform, CapturesTheLastLinesOfBothOutputs) {
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    platform::command_settings settings;
    settings.capture_output = true;
    const bool sh = platform::command_interpreter() == platform::interpreter_kind::posix_sh;
    const auto ran = platform::run_command(
        sh ? "echo one; echo two >&2; exit 4" : "echo one& echo two>&2& exit 4", settings);
    EXPECT_EQ(ran.code, 4);
    EXPECT_EQ(ran.output_tail, (std::vector<std::string>{"one", "two"}));
    EXPECT_TRUE(platform::run_command("echo one").output_tail.empty());
}

TEST(Platform, EndsACommandAtOnceWhenItsWatchSaysSo) {
    platform::command_settings settings;
    int asked = 0;
    settings.keep_running = [&asked] { return ++asked < 2; };
    const bool sh = platform::command_interpreter() == platform::interpreter_kind::posix_sh;
    const auto ran =
        platform::run_command(sh ? "sleep 300" : "for /l %i in (1,0,2) do @rem", settings);
    EXPECT_TRUE(ran.cut_short);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(ran.stop_signal, 0);
    EXPECT_NE(ran.how == platform::command_result::ending::exited ? ran.code : -1, 0);

    asked = 0;
    settings.keep_running = [&asked] { return ++asked < 100; };
    const auto finished = platform::run_command("exit 0", settings);
    EXPECT_FALSE(finished.cut_short);
    EXPECT_EQ(finished.code, 0);
}

TEST(Platform, LocksTheWorkingDirectoryOnce) {
    // The lock is held until the process ends, so on Windows this test's folder cannot be
    // removed until then.
    scoped_temp_dir dir;
    scoped_chdir inside(dir.path());
    EXPECT_TRUE(fs::equivalent(from_utf8(platform::working_directory()), dir.path()));
    EXPECT_EQ(platform::lock_working_directory("brindle.lock"), platform::lock_result::acquired);
    EXPECT_EQ(platform::lock_working_directory("brindle.lock"),
              platform::lock_result::held_elsewhere);
    EXPECT_TRUE(read_file(dir.path() / "brindle.lock")
                    .starts_with(std::to_string(platform::process_id()) + " "))
        << "the lock names its run";
    EXPECT_EQ(platform::lock_working_directory(std::string("missing") + platform::path_separator() +
                                               "brindle.lock"),
              platform::lock_result::cannot_create);
    // A link or a second name planted at the lock's name is never emptied and written through.
    write_file(dir.path() / "video.mkv", "video");
    fs::create_hard_link(dir.path() / "video.mkv", dir.path() / "second.lock");
    std::vector<std::string> planted{"second.lock"};
    if (make_posix_links(dir.path(), {{"video.mkv", "link.lock"}})) planted.push_back("link.lock");
    // Under Wine a dangling link cannot be removed, and the folder would never go.
    if (!on_windows()) {
        fs::create_symlink(dir.path() / "gone.mkv", dir.path() / "dangling.lock");
        planted.push_back("dangling.lock");
    }
    for (const std::string& name : planted) {
        EXPECT_EQ(platform::lock_working_directory(name), platform::lock_result::cannot_create)
            << name;
    }
    EXPECT_EQ(read_file(dir.path() / "video.mkv"), "video");
    EXPECT_FALSE(fs::exists(dir.path() / "gone.mkv"));
    // Wine would take the folder's removal through the link for a removal of the video.
    if (on_windows()) run_on_host(dir.path(), "rm -f link.lock");
}

}  // namespace
}  // namespace brindle
