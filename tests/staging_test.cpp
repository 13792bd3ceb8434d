#include "encode/staging.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "encode/naming.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;

TEST(Staging, OnlyAFileOfAGoneRunOfThisMachineIsRemoved) {
    const std::string host = platform::host_name();
    const unsigned long self = platform::process_id();
    const std::uint64_t started = platform::look_up_process(self).seconds.value_or(0);
    // Process ids never reach 99999999.
    const std::string gone = ".brindle-" + run_id_for({host, 99999999, 1700000000, 1}) + ".part";
    enum class recorded { nothing, itself, another_file };
    const struct row {
        const char* what;
        std::string name;
        recorded identity;
        bool removed;
    } rows[] = {
        {"a gone run's, the journal without its identity", gone, recorded::nothing, true},
        {"a gone run's, the very file the journal recorded", gone, recorded::itself, true},
        {"another file put under a gone run's name", gone, recorded::another_file, false},
        {"another machine's", ".brindle-" + run_id_for({host + "x", 99999999, 1, 1}) + ".part",
         recorded::nothing, false},
        {"a run still going", ".brindle-" + run_id_for({host, self, started, 2}) + ".part",
         recorded::nothing, false},
        {"an earlier version's name", ".brindle-" + host + "-99999999-1700000000.part",
         recorded::nothing, false},
    };
    for (const row& r : rows) {
        const testing::scoped_temp_dir dir;
        const std::string staged = dir.str() + platform::path_separator() + r.name;
        testing::write_file(dir.path() / r.name, "whole result");
        testing::write_file(dir.path() / "other", "other");
        file_stamp identity;
        if (r.identity != recorded::nothing) {
            const std::string of =
                r.identity == recorded::itself ? staged : (dir.path() / "other").string();
            identity = platform::status_of(of).stamp;
        }
        remove_abandoned_staging(staged, identity);
        EXPECT_EQ(fs::exists(dir.path() / r.name), !r.removed) << r.what;
    }
}

}  // namespace
}  // namespace brindle
