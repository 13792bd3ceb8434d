#include "encode/replace.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace brindle {
namespace {

TEST(ReplacePaths, TargetBackupAndStaging) {
    EXPECT_EQ(target_path_for("D:\\tv\\Show.x264.mkv"), "D:\\tv\\Show.x265.mkv");
    EXPECT_EQ(backup_path_for("D:\\tv\\Show.x264.mkv"), "D:\\tv\\Show.x264.mkv.bak");
    EXPECT_EQ(target_path_for("D:\\x264\\a.x264.mkv"), "D:\\x265\\a.x264.mkv")
        << "only the first 264, here in a directory name";
    EXPECT_EQ(target_path_for("D:\\tv\\Show.2640.mkv"), "D:\\tv\\Show.2650.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\12645.mkv"), "D:\\tv\\12655.mkv");
    EXPECT_EQ(target_path_for("a.264.264.mkv"), "a.265.264.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\Show.x26.mkv"), "D:\\tv\\Show.x26.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\Show.h264.avi"), "D:\\tv\\Show.h265.avi")
        << "the extension stays";
    EXPECT_EQ(target_path_for("26264"), "26265");

    EXPECT_EQ(staging_path_for("D:\\tv\\Show.x265.mkv", '\\', 42), "D:\\tv\\.brindle-42.part");
    EXPECT_EQ(staging_path_for("/lib/tv/Show.mkv", '/', 7), "/lib/tv/.brindle-7.part");
    EXPECT_EQ(staging_path_for("/Show.mkv", '/', 7), "/.brindle-7.part");
    EXPECT_EQ(staging_path_for("Show.mkv", '/', 123456), ".brindle-123456.part")
        << "a bare name stages in the working directory";
}

// Every step the replace sequence may take, named by what it does, so that a test can make any
// one of them fail.
enum class step {
    flush_temp,
    stage_rename,
    stage_copy,
    backup_rename,
    install_rename,
    restore_rename,
    remove_staging,
    remove_backup,
    remove_temp,
};

const std::string source_content = "SOURCE";
const std::string result_content = "RESULT";

// An in-memory file system that knows the names of one replace, records what is done to them,
// fails the steps it is told to, and checks after every change that the library never holds
// less than the whole source or the whole result.
struct fake_ops final : file_ops {
    std::string source, target, temp, staging, backup;
    std::map<std::string, std::string> files;
    std::set<step> failing;
    bool temp_on_other_volume = false;
    std::vector<std::string> violations;

    long long file_size(const std::string& path) override {
        const auto it = files.find(path);
        return it == files.end() ? -1 : static_cast<long long>(it->second.size());
    }

    bool remove_file(const std::string& path) override {
        const step s = path == staging  ? step::remove_staging
                       : path == backup ? step::remove_backup
                       : path == temp   ? step::remove_temp
                                        : unexpected("remove " + path);
        if (failing.count(s) != 0 || files.erase(path) == 0) return false;
        check("remove " + path);
        return true;
    }

    bool flush_file(const std::string& path) override {
        if (path != temp) unexpected("flush " + path);
        return failing.count(step::flush_temp) == 0 && files.count(path) != 0;
    }

    move rename_replace(const std::string& from, const std::string& to) override {
        const step s = from == temp && to == staging     ? step::stage_rename
                       : from == staging && to == target ? step::install_rename
                                                         : unexpected("rename " + from);
        if (s == step::stage_rename && temp_on_other_volume) return move::cross_device;
        if (failing.count(s) != 0 || files.count(from) == 0) return move::failed;
        files[to] = files[from];
        files.erase(from);
        check("rename " + from + " over " + to);
        return move::done;
    }

    bool rename_no_replace(const std::string& from, const std::string& to) override {
        const step s = from == source && to == backup   ? step::backup_rename
                       : from == backup && to == source ? step::restore_rename
                                                        : unexpected("rename " + from);
        if (failing.count(s) != 0 || files.count(from) == 0 || files.count(to) != 0) return false;
        files[to] = files[from];
        files.erase(from);
        check("rename " + from + " to " + to);
        return true;
    }

    bool copy_file_durably(const std::string& from, const std::string& to) override {
        if (from != temp || to != staging) unexpected("copy " + from);
        if (files.count(from) == 0) return false;
        if (failing.count(step::stage_copy) != 0) {
            // A full disk stops a copy part-way and leaves what was written.
            files[to] = files[from].substr(0, files[from].size() / 2);
            check("partial copy to " + to);
            return false;
        }
        files[to] = files[from];
        check("copy to " + to);
        return true;
    }

    step unexpected(const std::string& what) {
        violations.push_back("unexpected call: " + what);
        return step::remove_temp;
    }

    bool holds(const std::string& path, const std::string& content) const {
        const auto it = files.find(path);
        return it != files.end() && it->second == content;
    }

    // What a crash right now would leave: the source under its name, or under its backup name
    // with the whole result staged or installed beside it, or the whole result at the target.
    // The library's own names never hold a partial file.
    void check(const std::string& after) {
        const bool source_safe =
            holds(source, source_content) ||
            (holds(backup, source_content) &&
             (holds(staging, result_content) || holds(target, result_content)));
        if (!source_safe && !holds(target, result_content)) {
            violations.push_back("neither source nor result stands after " + after);
        }
        for (const std::string& name : {source, target}) {
            const auto it = files.find(name);
            if (it != files.end() && it->second != source_content && it->second != result_content &&
                it->second != "OLD") {
                violations.push_back(name + " holds a partial file after " + after);
            }
        }
    }
};

std::string describe(const std::map<std::string, std::string>& files) {
    std::ostringstream text;
    for (const auto& [name, content] : files) text << name << "=" << content << " ";
    return text.str();
}

TEST(ReplaceWithResult, EveryInjectedFailureLeavesTheLibraryWhole) {
    const std::string src = "lib/Show.x264.mkv", dst = "lib/Show.x265.mkv";
    const std::string bak = src + ".bak", tmp = "tempenc.mkv", stage = "lib/.brindle-9.part";
    const std::string same = "lib/Show.mkv", same_bak = same + ".bak";
    using files_t = std::map<std::string, std::string>;
    struct row {
        const char* what;
        std::string source, target;
        files_t before;
        std::set<step> failing;
        bool cross_device;
        replace_outcome outcome;
        files_t after;
    };
    const row rows[] = {
        {"a plain replace",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {},
         false,
         replace_outcome::replaced,
         {{dst, "RESULT"}}},
        {"a target standing beside the source is replaced",
         src,
         dst,
         {{src, "SOURCE"}, {dst, "OLD"}, {tmp, "RESULT"}},
         {},
         false,
         replace_outcome::replaced,
         {{dst, "RESULT"}}},
        {"a source without 264 is replaced under its own name",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {},
         false,
         replace_outcome::replaced,
         {{same, "RESULT"}}},
        {"no output at all",
         src,
         dst,
         {{src, "SOURCE"}},
         {},
         false,
         replace_outcome::no_output,
         {{src, "SOURCE"}}},
        {"an empty output",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, ""}},
         {},
         false,
         replace_outcome::no_output,
         {{src, "SOURCE"}}},
        {"an empty output that cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, ""}},
         {step::remove_temp},
         false,
         replace_outcome::no_output,
         {{src, "SOURCE"}, {tmp, ""}}},
        {"the output cannot be flushed",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::flush_temp},
         false,
         replace_outcome::staging_failed,
         {{src, "SOURCE"}}},
        {"another volume: copied instead",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {},
         true,
         replace_outcome::replaced,
         {{dst, "RESULT"}}},
        {"the staging rename fails, the copy works",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::stage_rename},
         false,
         replace_outcome::replaced,
         {{dst, "RESULT"}}},
        {"another volume and the copy fails part-way",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::stage_copy},
         true,
         replace_outcome::staging_failed,
         {{src, "SOURCE"}}},
        {"rename and copy fail, the partial copy cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::stage_rename, step::stage_copy, step::remove_staging},
         false,
         replace_outcome::staging_failed,
         {{src, "SOURCE"}, {stage, "RES"}}},
        {"the source cannot be moved aside",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::backup_rename},
         false,
         replace_outcome::backup_failed,
         {{src, "SOURCE"}}},
        {"a file already holds the backup name",
         src,
         dst,
         {{src, "SOURCE"}, {bak, "OTHER"}, {tmp, "RESULT"}},
         {},
         false,
         replace_outcome::backup_failed,
         {{src, "SOURCE"}, {bak, "OTHER"}}},
        {"no backup, and the staged file cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::backup_rename, step::remove_staging},
         false,
         replace_outcome::backup_failed,
         {{src, "SOURCE"}, {stage, "RESULT"}}},
        {"the install fails: the source comes back",
         src,
         dst,
         {{src, "SOURCE"}, {dst, "OLD"}, {tmp, "RESULT"}},
         {step::install_rename},
         false,
         replace_outcome::install_failed,
         {{src, "SOURCE"}, {dst, "OLD"}}},
        {"the install fails under the source's own name",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::install_rename},
         false,
         replace_outcome::install_failed,
         {{same, "SOURCE"}}},
        {"the install and the way back fail: backup and staged result both stay",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::install_rename, step::restore_rename},
         false,
         replace_outcome::install_failed,
         {{bak, "SOURCE"}, {stage, "RESULT"}}},
        {"the backup cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::remove_backup},
         false,
         replace_outcome::replaced,
         {{dst, "RESULT"}, {bak, "SOURCE"}}},
        {"copied, and the output cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::remove_temp},
         true,
         replace_outcome::replaced,
         {{dst, "RESULT"}, {tmp, "RESULT"}}},
        {"the backup of a same-name source cannot be deleted",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::remove_backup},
         false,
         replace_outcome::replaced,
         {{same, "RESULT"}, {same_bak, "SOURCE"}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_ops ops;
        ops.source = r.source;
        ops.target = r.target;
        ops.temp = tmp;
        ops.staging = stage;
        ops.backup = backup_path_for(r.source);
        ops.files = r.before;
        ops.failing = r.failing;
        ops.temp_on_other_volume = r.cross_device;

        EXPECT_EQ(replace_with_result(ops, r.source, r.target, tmp, stage), r.outcome);
        EXPECT_EQ(describe(ops.files), describe(r.after));
        for (const std::string& violation : ops.violations) ADD_FAILURE() << violation;
    }
}

}  // namespace
}  // namespace brindle
