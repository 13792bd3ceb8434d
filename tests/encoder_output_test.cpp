#include "encode/encoder_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "encode/command.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::scoped_chdir;
using testing::scoped_temp_dir;
using testing::write_file;

constexpr std::uint64_t minute = 60 * platform::ticks_per_second;

// A working directory held as a run holds it, with a library folder beside its own files.
struct held_working_directory {
    scoped_temp_dir dir;
    scoped_chdir inside{dir.path()};
    std::string library = dir.str() + platform::path_separator() + "lib";
    held_working_directory() {
        fs::create_directory(dir.path() / "lib");
        EXPECT_TRUE(platform::confine_changes_to(library, ".").ok());
    }
    ~held_working_directory() { platform::confine_changes_to({}, {}); }
    std::string in_library(const std::string& name) const {
        return library + platform::path_separator() + name;
    }
};

TEST(EncoderOutput, ClearsTheNameOrSaysWhyNot) {
    const held_working_directory held;
    write_file(held.dir.path() / "outside", "the user's");
    struct leftover {
        const char* what;
        void (*plant)(const fs::path& dir);
        const char* refusal;  // empty: cleared
    };
    const leftover cases[] = {
        {"nothing", [](const fs::path&) {}, ""},
        {"an earlier result",
         [](const fs::path& dir) { write_file(dir / temp_output_name, "old"); }, ""},
        {"a folder",
         [](const fs::path& dir) { fs::create_directories(dir / temp_output_name / "inside"); },
         "tempenc.mkv cannot be removed from the working directory: "},
    };
    for (const leftover& c : cases) {
        c.plant(held.dir.path());
        {
            encoder_output output;
            const std::string fault = output.clear();
            EXPECT_EQ(fault.substr(0, std::string(c.refusal).size()), c.refusal) << c.what;
            EXPECT_EQ(fault.empty(), !fs::exists(held.dir.path() / temp_output_name)) << c.what;
        }
        fs::remove_all(held.dir.path() / temp_output_name);
    }
#ifndef _WIN32
    // A link goes, never what it leads to.
    fs::create_symlink(held.dir.path() / "outside", held.dir.path() / temp_output_name);
    encoder_output output;
    EXPECT_EQ(output.clear(), "");
    EXPECT_FALSE(fs::is_symlink(held.dir.path() / temp_output_name));
    EXPECT_EQ(read_file(held.dir.path() / "outside"), "the user's");
#endif
}

TEST(EncoderOutput, TakesOnlyTheEncodersOwnNewFile) {
    const held_working_directory held;
    struct made {
        const char* what;
        std::optional<std::string> content;  // nothing: no file
        std::int64_t started_from_now;       // ticks
        const char* refusal;                 // a part of it; empty: taken
    };
    const made cases[] = {
        {"nothing", std::nullopt, 0, "the encoder left no output"},
        {"an empty file", "", 0, "the encoder left an empty output"},
        {"a file older than the encode", "result", minute, "not the encoder's own new file"},
        {"a new file", "result", -static_cast<std::int64_t>(minute), ""},
    };
    for (const made& c : cases) {
        encoder_output output;
        ASSERT_EQ(output.clear(), "") << c.what;
        if (c.content) write_file(held.dir.path() / temp_output_name, *c.content);
        const std::string refusal = output.open(platform::now_ticks() + c.started_from_now);
        if (std::string(c.refusal).empty()) {
            EXPECT_EQ(refusal, "") << c.what;
        } else {
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.what << ": " << refusal;
        }
    }
}

TEST(EncoderOutput, StagesTheOpenFileWhateverStandsUnderItsNameNow) {
    const held_working_directory held;
    const fs::path name = held.dir.path() / temp_output_name;
    {
        encoder_output output;
        ASSERT_EQ(output.clear(), "");
        write_file(name, "the result");
        ASSERT_EQ(output.open(platform::now_ticks() - minute), "");
        // Something else takes the name once the result is open.
        fs::rename(name, held.dir.path() / "aside");
        write_file(name, "planted");

        file_ops& ops = output.ops(system_file_ops());
        EXPECT_EQ(ops.stamp_of(temp_output_name).stamp.size, std::string("the result").size());
        EXPECT_TRUE(ops.flush_file(temp_output_name).ok());
        ASSERT_TRUE(ops.copy_to_new_file(temp_output_name, held.in_library("copy")).ok());
        EXPECT_EQ(read_file(held.dir.path() / "lib" / "copy"), "the result");
        // Moved by name, the planted file would enter the library: the open file moves, or
        // nothing does.
        if (ops.rename_no_replace(temp_output_name, held.in_library("staged")).ok()) {
            EXPECT_EQ(read_file(held.dir.path() / "lib" / "staged"), "the result");
        } else {
            EXPECT_FALSE(fs::exists(held.dir.path() / "lib" / "staged"));
        }
        EXPECT_EQ(read_file(name), "planted");
        // The owner alone removes the name, when the encode is over.
        EXPECT_TRUE(ops.remove_file(temp_output_name).ok());
        EXPECT_TRUE(fs::exists(name));
    }
    EXPECT_FALSE(fs::exists(name));
}

#ifndef _WIN32
// getcwd answers such a path, but no call takes it back: only the held folder leads there.
TEST(EncoderOutput, WorksInAWorkingDirectoryPastThePathLimit) {
    scoped_temp_dir dir;
    fs::create_directory(dir.path() / "lib");
    scoped_chdir into(dir.path());
    const std::string part(200, 'd');
    constexpr int levels = 24;
    for (int level = 0; level < levels; ++level) {
        fs::create_directory(part);
        fs::current_path(part);
    }
    EXPECT_GT(platform::working_directory().size(), std::size_t{4096});
    EXPECT_TRUE(platform::confine_changes_to(dir.str() + "/lib", ".").ok());
    write_file(temp_output_name, "an earlier result");
    {
        encoder_output output;
        EXPECT_EQ(output.clear(), "");
        EXPECT_FALSE(fs::exists(temp_output_name));
        write_file(temp_output_name, "the result");
        EXPECT_EQ(output.open(platform::now_ticks() - minute), "");
        EXPECT_TRUE(output.ops(system_file_ops())
                        .rename_no_replace(temp_output_name, dir.str() + "/lib/staged")
                        .ok());
    }
    platform::confine_changes_to({}, {});
    EXPECT_EQ(read_file(dir.path() / "lib" / "staged"), "the result");
    // Too deep for a removal by full path.
    for (int level = 0; level < levels; ++level) {
        fs::current_path("..");
        fs::remove_all(part);
    }
}
#endif

}  // namespace
}  // namespace brindle
