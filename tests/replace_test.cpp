#include "encode/replace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace brindle {
namespace {

TEST(ReplacePaths, TargetBackupAndStaging) {
    EXPECT_EQ(target_path_for("D:\\tv\\Show.x264.mkv", 6), "D:\\tv\\Show.x265.mkv");
    EXPECT_EQ(backup_path_for("D:\\tv\\Show.x264.mkv"), "D:\\tv\\Show.x264.mkv.bak");
    EXPECT_EQ(target_path_for("D:\\x264\\a.x264.mkv", 3), "D:\\x265\\a.x264.mkv")
        << "only the first 264, here in a directory name";
    EXPECT_EQ(target_path_for("D:\\tv\\Show.2640.mkv", 6), "D:\\tv\\Show.2640.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\12645.mkv", 6), "D:\\tv\\12645.mkv");
    EXPECT_EQ(target_path_for("a.264.264.mkv", 0), "a.264.264.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\Show.x26.mkv", 6), "D:\\tv\\Show.x26.mkv");
    EXPECT_EQ(target_path_for("D:\\tv\\Show.h264.avi", 6), "D:\\tv\\Show.h265.avi")
        << "the extension stays";
    EXPECT_EQ(target_path_for("26264", 0), "26264");

    EXPECT_EQ(staging_path_for("D:\\tv\\Show.x265.mkv", '\\', 42), "D:\\tv\\.brindle-42.part");
    EXPECT_EQ(staging_path_for("/lib/tv/Show.mkv", '/', 7), "/lib/tv/.brindle-7.part");
    EXPECT_EQ(staging_path_for("/Show.mkv", '/', 7), "/.brindle-7.part");
    EXPECT_EQ(staging_path_for("Show.mkv", '/', 123456), ".brindle-123456.part")
        << "a bare name stages in the working directory";
}

TEST(ReplacePaths, OnlyACodecTagBelowTheLibraryChanges) {
    struct row {
        const char* source;
        std::size_t relative_start;
        const char* target;
    };
    const row rows[] = {
        {"/lib/Anime - 264.mkv", 5, "/lib/Anime - 264.mkv"},
        {"/lib/Film.x264.mkv", 5, "/lib/Film.x265.mkv"},
        {"/lib/Film.X264.mkv", 5, "/lib/Film.X265.mkv"},
        {"/lib/Film.H.264.mkv", 5, "/lib/Film.H.265.mkv"},
        {"/lib/film.h.264.mkv", 5, "/lib/film.h.265.mkv"},
        {"/lib/film.h264.mkv", 5, "/lib/film.h265.mkv"},
        {"/lib/Film.H264-GRP.mkv", 5, "/lib/Film.H265-GRP.mkv"},
        {"/lib/x2640.mkv", 5, "/lib/x2640.mkv"},
        {"/lib/Film 2640x1080.mkv", 5, "/lib/Film 2640x1080.mkv"},
        {"/lib/Film.h..264.mkv", 5, "/lib/Film.h..264.mkv"},
        {"/lib/Film.x.264.mkv", 5, "/lib/Film.x.264.mkv"},
        {"/lib/Episode 264 x264.mkv", 5, "/lib/Episode 264 x265.mkv"},
        {"/lib/x2641 x264.mkv", 5, "/lib/x2641 x265.mkv"},
        {"/lib/a.x264.h264.mkv", 5, "/lib/a.x265.h264.mkv"},
        {"/lib/264.mkv", 5, "/lib/264.mkv"},
        {"/lib/Film.x264", 5, "/lib/Film.x265"},
        {"/lib/Film (2640).mkv", 5, "/lib/Film (2640).mkv"},
        {"/lib/x264/a.mkv", 5, "/lib/x265/a.mkv"},
        {"/lib/x264/a.x264.mkv", 5, "/lib/x265/a.x264.mkv"},
        {"/media/x264lib/a.mkv", 15, "/media/x264lib/a.mkv"},
        {"/media/x264lib/a.x264.mkv", 15, "/media/x264lib/a.x265.mkv"},
        {"/media/h.264/x264/a.mkv", 13, "/media/h.264/x265/a.mkv"},
        {"C:\\x264\\Show\\a.x264.mkv", 8, "C:\\x264\\Show\\a.x265.mkv"},
        {"", 0, ""},
        {"x264", 4, "x264"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(target_path_for(r.source, r.relative_start), r.target)
            << r.source << " from " << r.relative_start;
    }
}

// Every step the replace sequence may take, named by what it does, so that a test can make any
// one of them fail.
enum class step {
    flush_temp,
    stage_rename,
    stage_copy,
    carry_attributes,
    restore_attributes,
    link_backup,
    backup_rename,
    install,
    restore_rename,
    remove_staging,
    remove_backup,
    remove_source,
    remove_temp,
    clear_read_only,
};

const char* const step_names[] = {
    "flush_temp",    "stage_rename",  "stage_copy",  "carry_attributes", "restore_attributes",
    "link_backup",   "backup_rename", "install",     "restore_rename",   "remove_staging",
    "remove_backup", "remove_source", "remove_temp", "clear_read_only",
};

std::string injected(step s) { return std::string("injected ") + step_names[static_cast<int>(s)]; }

const std::string source_content = "SOURCE";
const std::string result_content = "RESULT";

// A file: its content and the one attribute that matters to the sequence (Windows refuses to
// delete a read-only file). Names lead to files; two names may lead to one.
struct fake_file {
    std::string content;
    bool read_only = false;
};

// An in-memory file system that knows the names of one replace, records what is done to them,
// fails the steps it is told to, and checks after every change that the library never holds
// less than the whole source or the whole result, and that no other file is ever touched.
struct fake_ops final : file_ops {
    std::string source, target, temp, staging, backup;
    std::map<std::string, int> names;
    std::map<int, fake_file> files;
    std::set<std::string> folders = {"lib"};
    std::set<std::string> unexaminable;
    std::set<step> failing;
    bool links_supported = true;
    bool temp_on_other_volume = false;
    std::map<std::string, int> others;  // names that are none of ours, with their files
    std::vector<std::string> violations;
    bool watching = false;  // the source stood at the start, so the library's invariants apply
    int next_file = 1;

    void add(const std::string& name, const std::string& content, bool read_only = false) {
        // "@NAME" makes a second name of NAME's file.
        if (content.starts_with('@')) {
            names[name] = names.at(content.substr(1));
            return;
        }
        names[name] = next_file;
        files[next_file++] = {content, read_only};
    }

    // Called once the files stand: every other name must come through unchanged, but for a
    // second name of the source, which holds nothing the source does not.
    void remember_others() {
        const auto source_file = names.find(source);
        watching = source_file != names.end();
        for (const auto& [name, file] : names) {
            if (name == source || name == temp) continue;
            if (watching && file == source_file->second) continue;
            others[name] = file;
        }
    }

    file_stamp stamp_for(int file) const {
        const auto& f = files.at(file);
        return {7, static_cast<std::uint64_t>(file), f.content.size(),
                1000u * static_cast<std::uint64_t>(file)};
    }

    path_state stamp_of(const std::string& path) override {
        path_state state;
        if (unexaminable.count(path) != 0) {
            state.what = path_state::kind::unknown;
            state.error = "injected: cannot examine " + path;
        } else if (const auto it = names.find(path); it != names.end()) {
            state.what = path_state::kind::regular;
            state.stamp = stamp_for(it->second);
        } else if (folders.count(path) != 0) {
            state.what = path_state::kind::directory;
        }
        return state;
    }

    op_result fail(step s, op_result::fault why = op_result::fault::other) {
        return {why, injected(s)};
    }
    op_result refuse(op_result::fault why, const std::string& text) { return {why, text}; }

    bool fails(step s) const { return failing.count(s) != 0; }

    op_result remove_file(const std::string& path) override {
        const step s = path == staging  ? step::remove_staging
                       : path == backup ? step::remove_backup
                       : path == temp   ? step::remove_temp
                       : path == source ? step::remove_source
                                        : unexpected("remove " + path);
        if (fails(s)) return fail(s);
        const auto it = names.find(path);
        if (it == names.end()) return refuse(op_result::fault::other, "No such file");
        if (files.at(it->second).read_only) return refuse(op_result::fault::other, "Access denied");
        names.erase(it);
        check("remove " + path);
        return {};
    }

    op_result flush_file(const std::string& path) override {
        if (path != temp) unexpected("flush " + path);
        if (fails(step::flush_temp)) return fail(step::flush_temp);
        return names.count(path) != 0 ? op_result{}
                                      : refuse(op_result::fault::other, "No such file");
    }

    op_result move(const std::string& from, const std::string& to) {
        if (names.count(from) == 0) return refuse(op_result::fault::other, "No such file");
        names[to] = names[from];
        names.erase(from);
        return {};
    }

    op_result rename_replace(const std::string& from, const std::string& to) override {
        if (from != staging || to != source || target != source) {
            unexpected("rename " + from + " over " + to);
        }
        if (fails(step::install)) return fail(step::install);
        const op_result moved = move(from, to);
        check("rename " + from + " over " + to);
        return moved;
    }

    op_result rename_no_replace(const std::string& from, const std::string& to) override {
        const step s = from == temp && to == staging                       ? step::stage_rename
                       : from == source && to == backup                    ? step::backup_rename
                       : from == staging && (to == target || to == source) ? step::install
                       : from == backup && to == source                    ? step::restore_rename
                                                        : unexpected("rename " + from);
        if (s == step::stage_rename && temp_on_other_volume) {
            return refuse(op_result::fault::cross_device, "Invalid cross-device link");
        }
        if (fails(s)) return fail(s);
        if (names.count(to) != 0) return refuse(op_result::fault::exists, "File exists");
        const op_result moved = move(from, to);
        check("rename " + from + " to " + to);
        return moved;
    }

    op_result hard_link(const std::string& from, const std::string& to) override {
        if (from != source || to != backup) unexpected("link " + from + " to " + to);
        if (!links_supported) return refuse(op_result::fault::not_supported, "Not supported");
        if (fails(step::link_backup)) return fail(step::link_backup);
        if (names.count(to) != 0) return refuse(op_result::fault::exists, "File exists");
        if (names.count(from) == 0) return refuse(op_result::fault::other, "No such file");
        names[to] = names[from];
        check("link " + from + " to " + to);
        return {};
    }

    op_result copy_to_new_file(const std::string& from, const std::string& to) override {
        if (from != temp || to != staging) unexpected("copy " + from + " to " + to);
        if (names.count(from) == 0) return refuse(op_result::fault::other, "No such file");
        if (names.count(to) != 0) return refuse(op_result::fault::exists, "File exists");
        const std::string whole = files.at(names.at(from)).content;
        if (fails(step::stage_copy)) {
            // A full disk stops a copy part-way; the copy removes what it wrote unless that
            // fails too.
            add(to, whole.substr(0, whole.size() / 2));
            check("partial copy to " + to);
            if (!fails(step::remove_staging)) names.erase(to);
            return fail(step::stage_copy);
        }
        add(to, whole);
        check("copy to " + to);
        return {};
    }

    op_result copy_attributes(const std::string& from, const std::string& to) override {
        const step s = from == source && to == staging   ? step::carry_attributes
                       : from == staging && to == source ? step::restore_attributes
                                                         : unexpected("attributes " + from);
        if (fails(s)) return fail(s);
        if (names.count(from) == 0 || names.count(to) == 0) {
            return refuse(op_result::fault::other, "No such file");
        }
        files.at(names.at(to)).read_only = files.at(names.at(from)).read_only;
        check("attributes of " + from + " to " + to);
        return {};
    }

    op_result clear_read_only(const std::string& path) override {
        if (path != staging && path != backup && path != source) unexpected("clear " + path);
        if (fails(step::clear_read_only)) return fail(step::clear_read_only);
        const auto it = names.find(path);
        if (it == names.end()) return refuse(op_result::fault::other, "No such file");
        if (!files.at(it->second).read_only) return refuse(op_result::fault::not_supported, "");
        files.at(it->second).read_only = false;
        return {};
    }

    step unexpected(const std::string& what) {
        violations.push_back("unexpected call: " + what);
        return step::remove_temp;
    }

    bool holds(const std::string& path, const std::string& content) const {
        const auto it = names.find(path);
        return it != names.end() && files.at(it->second).content == content;
    }

    // What a crash right now would leave: the source's bytes under its name or its backup name,
    // or the whole result at the target. The library's own names never hold a partial file, the
    // source's name never goes missing while hard links keep it, and no other file is touched.
    void check(const std::string& after) {
        if (!watching) return;
        if (!holds(source, source_content) && !holds(backup, source_content) &&
            !holds(target, result_content)) {
            violations.push_back("neither source nor result stands after " + after);
        }
        for (const std::string& name : {source, target, backup}) {
            const auto it = names.find(name);
            if (it == names.end() || others.count(name) != 0) continue;
            const std::string& content = files.at(it->second).content;
            if (content != source_content && content != result_content) {
                violations.push_back(name + " holds a partial file after " + after);
            }
        }
        if (target == source && links_supported && names.count(source) == 0) {
            violations.push_back("the source's name is missing after " + after);
        }
        for (const auto& [name, file] : others) {
            const auto it = names.find(name);
            if (it == names.end() || it->second != file) {
                violations.push_back(name + ", not ours, was changed by " + after);
            }
        }
    }

    std::string describe() const {
        std::ostringstream text;
        for (const auto& [name, file] : names) {
            const fake_file& f = files.at(file);
            text << name << "=" << f.content << (f.read_only ? "[ro]" : "") << " ";
        }
        return text.str();
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
    using outcome = replace_outcome;
    // Options of a row, any of them together.
    enum : unsigned {
        none = 0,
        cross_device = 1,     // the encoder's output lies on another volume
        no_links = 2,         // the library's file system has no hard links
        read_only = 4,        // the source carries the read-only attribute
        source_changed = 8,   // the source is not the file the scan saw
        source_unknown = 16,  // the source cannot be examined
        output_unknown = 32,  // the encoder's output cannot be examined
    };
    struct row {
        const char* what;
        std::string source, target;
        files_t before;
        std::set<step> failing;
        unsigned options;
        outcome result;
        std::string reason;
        files_t after;
    };
    const std::string put = "the result could not be put in place: ";
    const std::string written = "the result could not be written to " + stage + ": ";
    const row rows[] = {
        {"a plain replace",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {},
         none,
         outcome::replaced,
         "",
         {{dst, "RESULT"}}},
        {"a file that holds the target's name stays, and so does the source",
         src,
         dst,
         {{src, "SOURCE"}, {dst, "OLD"}, {tmp, "RESULT"}},
         {},
         none,
         outcome::target_taken,
         dst + " already exists",
         {{src, "SOURCE"}, {dst, "OLD"}}},
        {"a source without 264 is replaced under its own name",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {},
         none,
         outcome::replaced,
         "",
         {{same, "RESULT"}}},
        {"under its own name without hard links",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {},
         no_links,
         outcome::replaced,
         "",
         {{same, "RESULT"}}},
        {"no output at all",
         src,
         dst,
         {{src, "SOURCE"}},
         {},
         none,
         outcome::no_output,
         "the encoder left no output",
         {{src, "SOURCE"}}},
        {"an empty output",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, ""}},
         {},
         none,
         outcome::no_output,
         "the encoder left no output",
         {{src, "SOURCE"}}},
        {"an empty output that cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, ""}},
         {step::remove_temp},
         none,
         outcome::no_output,
         "the encoder left no output",
         {{src, "SOURCE"}, {tmp, ""}}},
        {"an output that cannot be examined",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {},
         output_unknown,
         outcome::no_output,
         "the encoder's output cannot be examined: injected: cannot examine " + tmp,
         {{src, "SOURCE"}}},
        {"the output cannot be flushed",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::flush_temp},
         none,
         outcome::staging_failed,
         "the encoder's output could not be flushed to disk: injected flush_temp",
         {{src, "SOURCE"}}},
        {"another volume: copied instead",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {},
         cross_device,
         outcome::replaced,
         "",
         {{dst, "RESULT"}}},
        {"the staging rename fails, the copy works",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::stage_rename},
         none,
         outcome::replaced,
         "",
         {{dst, "RESULT"}}},
        {"another volume and the copy fails part-way",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::stage_copy},
         cross_device,
         outcome::staging_failed,
         written + "injected stage_copy",
         {{src, "SOURCE"}}},
        {"rename and copy fail, the partial copy cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::stage_rename, step::stage_copy, step::remove_staging},
         none,
         outcome::staging_failed,
         written + "injected stage_copy",
         {{src, "SOURCE"}, {stage, "RES"}}},
        {"a file planted at the staging name is neither used nor removed",
         src,
         dst,
         {{src, "SOURCE"}, {stage, "PLANTED"}, {tmp, "RESULT"}},
         {},
         none,
         outcome::staging_failed,
         written + "File exists",
         {{src, "SOURCE"}, {stage, "PLANTED"}}},
        {"the same across volumes",
         src,
         dst,
         {{src, "SOURCE"}, {stage, "PLANTED"}, {tmp, "RESULT"}},
         {},
         cross_device,
         outcome::staging_failed,
         written + "File exists",
         {{src, "SOURCE"}, {stage, "PLANTED"}}},
        {"the source's permissions cannot be carried over",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::carry_attributes},
         none,
         outcome::staging_failed,
         "the source's permissions could not be given to the result: injected carry_attributes",
         {{src, "SOURCE"}}},
        {"the source changed while it was encoded",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {},
         source_changed,
         outcome::source_changed,
         "the source changed while it was being encoded",
         {{same, "SOURCE"}}},
        {"the source changed, and the staged result cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::remove_staging},
         source_changed,
         outcome::source_changed,
         "the source changed while it was being encoded",
         {{src, "SOURCE"}, {stage, "RESULT"}}},
        {"the source cannot be examined",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {},
         source_unknown,
         outcome::source_changed,
         "the source cannot be examined: injected: cannot examine " + src,
         {{src, "SOURCE"}}},
        {"the source is gone",
         same,
         same,
         {{tmp, "RESULT"}},
         {},
         none,
         outcome::source_changed,
         "the source changed while it was being encoded",
         {}},
        {"the source cannot be given a second name",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::link_backup},
         none,
         outcome::backup_failed,
         "the source could not be given its backup name " + same_bak + ": injected link_backup",
         {{same, "SOURCE"}}},
        {"a file already holds the backup name",
         same,
         same,
         {{same, "SOURCE"}, {same_bak, "OTHER"}, {tmp, "RESULT"}},
         {},
         none,
         outcome::backup_failed,
         same_bak + " already exists",
         {{same, "SOURCE"}, {same_bak, "OTHER"}}},
        {"a file already holds the backup name, without hard links",
         same,
         same,
         {{same, "SOURCE"}, {same_bak, "OTHER"}, {tmp, "RESULT"}},
         {},
         no_links,
         outcome::backup_failed,
         same_bak + " already exists",
         {{same, "SOURCE"}, {same_bak, "OTHER"}}},
        {"a backup that is a second name of the source, left by a stopped run",
         same,
         same,
         {{same, "SOURCE"}, {same_bak, "@" + same}, {tmp, "RESULT"}},
         {},
         none,
         outcome::replaced,
         "",
         {{same, "RESULT"}}},
        {"the source cannot be moved aside",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::backup_rename},
         no_links,
         outcome::backup_failed,
         "the source could not be given its backup name " + same_bak + ": injected backup_rename",
         {{same, "SOURCE"}}},
        {"no backup, and the staged file cannot be deleted",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::backup_rename, step::remove_staging},
         no_links,
         outcome::backup_failed,
         "the source could not be given its backup name " + same_bak + ": injected backup_rename",
         {{same, "SOURCE"}, {stage, "RESULT"}}},
        {"the install fails under the source's own name",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::install},
         none,
         outcome::install_failed,
         put + "injected install",
         {{same, "SOURCE"}}},
        {"the install fails and the second name stays",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::install, step::remove_backup},
         none,
         outcome::install_failed,
         put + "injected install, and " + same_bak +
             ", a second name of the source, could not be removed: injected remove_backup",
         {{same, "SOURCE"}, {same_bak, "SOURCE"}}},
        {"the install fails without hard links: the source comes back",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::install},
         no_links,
         outcome::install_failed,
         put + "injected install",
         {{same, "SOURCE"}}},
        {"the install and the way back fail: backup and staged result both stay",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::install, step::restore_rename},
         no_links,
         outcome::install_failed,
         put + "injected install, and the source could not be renamed back from " + same_bak +
             ": injected restore_rename",
         {{same_bak, "SOURCE"}, {stage, "RESULT"}}},
        {"the install beside the source fails",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::install},
         none,
         outcome::install_failed,
         put + "injected install",
         {{src, "SOURCE"}}},
        {"a stale backup does not matter when the name changes",
         src,
         dst,
         {{src, "SOURCE"}, {bak, "OTHER"}, {tmp, "RESULT"}},
         {},
         none,
         outcome::replaced,
         "",
         {{dst, "RESULT"}, {bak, "OTHER"}}},
        {"the backup cannot be deleted",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::remove_backup},
         none,
         outcome::replaced_old_kept,
         "the result stands, but " + same_bak + " could not be removed: injected remove_backup",
         {{same, "RESULT"}, {same_bak, "SOURCE"}}},
        {"the backup cannot be deleted, without hard links",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::remove_backup},
         no_links,
         outcome::replaced_old_kept,
         "the result stands, but " + same_bak + " could not be removed: injected remove_backup",
         {{same, "RESULT"}, {same_bak, "SOURCE"}}},
        {"the old source cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::remove_source},
         none,
         outcome::replaced_old_kept,
         "the result stands, but " + src + " could not be removed: injected remove_source",
         {{dst, "RESULT"}, {src, "SOURCE"}}},
        {"copied, and the output cannot be deleted",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {step::remove_temp},
         cross_device,
         outcome::replaced,
         "",
         {{dst, "RESULT"}, {tmp, "RESULT"}}},
        {"a read-only source: the result keeps the attribute, the backup goes",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {},
         read_only,
         outcome::replaced,
         "",
         {{same, "RESULT[ro]"}}},
        {"the same without hard links",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {},
         read_only | no_links,
         outcome::replaced,
         "",
         {{same, "RESULT[ro]"}}},
        {"a read-only source under another name",
         src,
         dst,
         {{src, "SOURCE"}, {tmp, "RESULT"}},
         {},
         read_only,
         outcome::replaced,
         "",
         {{dst, "RESULT[ro]"}}},
        {"a read-only source whose install fails keeps its attribute",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::install},
         read_only,
         outcome::install_failed,
         put + "injected install",
         {{same, "SOURCE[ro]"}}},
        {"a read-only backup whose attribute cannot be cleared",
         same,
         same,
         {{same, "SOURCE"}, {tmp, "RESULT"}},
         {step::clear_read_only},
         read_only,
         outcome::replaced_old_kept,
         "the result stands, but " + same_bak + " could not be removed: Access denied",
         {{same, "RESULT[ro]"}, {same_bak, "SOURCE[ro]"}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_ops ops;
        ops.source = r.source;
        ops.target = r.target;
        ops.temp = tmp;
        ops.staging = stage;
        ops.backup = backup_path_for(r.source);
        for (const auto& [name, content] : r.before) {
            if (!content.starts_with('@')) {
                ops.add(name, content, name == r.source && (r.options & read_only));
            }
        }
        for (const auto& [name, content] : r.before) {
            if (content.starts_with('@')) ops.add(name, content);
        }
        ops.remember_others();
        ops.failing = r.failing;
        ops.links_supported = !(r.options & no_links);
        ops.temp_on_other_volume = r.options & cross_device;
        if (r.options & source_unknown) ops.unexaminable.insert(r.source);
        if (r.options & output_unknown) ops.unexaminable.insert(tmp);
        file_stamp scanned = ops.stamp_of(r.source).stamp;
        if (r.options & source_changed) scanned.write_ticks += 1;

        const replace_report report =
            replace_with_result(ops, r.source, r.target, tmp, stage, scanned);
        EXPECT_EQ(report.outcome, r.result);
        EXPECT_EQ(report.reason, r.reason);
        EXPECT_EQ(ops.describe(), describe(r.after));
        for (const std::string& violation : ops.violations) ADD_FAILURE() << violation;
    }
}

TEST(ReplaceWithResult, TheTargetIsCheckedBeforeTheEncoderStarts) {
    const std::string src = "lib/Show.x264.mkv", same = "lib/Show.mkv";
    struct row {
        const char* what;
        std::string source, target;
        std::map<std::string, std::string> files;
        std::set<std::string> folders, unexaminable;
        std::string answer;
    };
    const row rows[] = {
        {"a free name in an existing folder",
         src,
         "lib/Show.x265.mkv",
         {{src, "S"}},
         {"lib"},
         {},
         ""},
        {"the name is taken",
         src,
         "lib/Show.x265.mkv",
         {{src, "S"}, {"lib/Show.x265.mkv", "T"}},
         {"lib"},
         {},
         "lib/Show.x265.mkv already exists"},
        {"the name is a folder",
         src,
         "lib/Show.x265.mkv",
         {{src, "S"}},
         {"lib", "lib/Show.x265.mkv"},
         {},
         "lib/Show.x265.mkv already exists"},
        {"the folder does not exist",
         "lib/x264/a.mkv",
         "lib/x265/a.mkv",
         {{"lib/x264/a.mkv", "S"}},
         {"lib", "lib/x264"},
         {},
         "the folder of lib/x265/a.mkv does not exist"},
        {"the folder is a file",
         "lib/x264/a.mkv",
         "lib/x265/a.mkv",
         {{"lib/x264/a.mkv", "S"}, {"lib/x265", "F"}},
         {"lib", "lib/x264"},
         {},
         "the folder of lib/x265/a.mkv is not a folder"},
        {"the folder cannot be examined",
         "lib/x264/a.mkv",
         "lib/x265/a.mkv",
         {{"lib/x264/a.mkv", "S"}},
         {"lib", "lib/x264"},
         {"lib/x265"},
         "the folder of lib/x265/a.mkv cannot be examined: injected: cannot examine lib/x265"},
        {"the target cannot be examined",
         src,
         "lib/Show.x265.mkv",
         {{src, "S"}},
         {"lib"},
         {"lib/Show.x265.mkv"},
         "lib/Show.x265.mkv cannot be examined: injected: cannot examine lib/Show.x265.mkv"},
        {"a bare name lies in the working directory",
         "a.x264.mkv",
         "a.x265.mkv",
         {{"a.x264.mkv", "S"}},
         {},
         {},
         ""},
        {"the source itself", same, same, {{same, "S"}}, {"lib"}, {}, ""},
        {"the source itself, with a stale backup",
         same,
         same,
         {{same, "S"}, {same + ".bak", "OLD"}},
         {"lib"},
         {},
         same + ".bak already exists"},
        {"the source itself, with a backup that is its second name",
         same,
         same,
         {{same, "S"}, {same + ".bak", "@" + same}},
         {"lib"},
         {},
         ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_ops ops;
        for (const auto& [name, content] : r.files) {
            if (!content.starts_with('@')) ops.add(name, content);
        }
        for (const auto& [name, content] : r.files) {
            if (content.starts_with('@')) ops.add(name, content);
        }
        ops.folders = r.folders;
        ops.unexaminable = r.unexaminable;
        const std::string before = ops.describe();
        EXPECT_EQ(check_target_before_encode(ops, r.source, r.target), r.answer);
        EXPECT_EQ(ops.describe(), before) << "a check changes nothing";
        for (const std::string& violation : ops.violations) ADD_FAILURE() << violation;
    }
}

namespace fs = std::filesystem;
using testing::read_file;
using testing::scoped_temp_dir;
using testing::write_file;

bool on_windows() { return platform::path_separator() == '\\'; }

std::string join(const scoped_temp_dir& dir, const std::string& name) {
    return dir.str() + platform::path_separator() + name;
}

// The whole sequence on this system's file system, with the run's own names.
replace_report replace_for_real(const std::string& source, const std::string& target,
                                const std::string& temp, const std::string& staging) {
    const file_stamp scanned = system_file_ops().stamp_of(source).stamp;
    return replace_with_result(system_file_ops(), source, target, temp, staging, scanned);
}

std::vector<std::string> names_in(const scoped_temp_dir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReplaceOnDisk, TheResultTakesTheSourcesPlaceAndPermissions) {
    scoped_temp_dir dir;
    const auto source = join(dir, "Show.mkv"), temp = join(dir, "tempenc.mkv");
    const auto staging = join(dir, ".brindle-1.part");
    write_file(source, "SOURCE");
    write_file(temp, "RESULT");
    const auto before = platform::status_of(source);
    // Windows: read-only; POSIX: a mode the encoder would not give, and a stranger's owner.
    fs::permissions(source, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#ifndef _WIN32
    const bool may_give_away = ::geteuid() == 0;
    if (may_give_away) {
        ASSERT_EQ(::chown(source.c_str(), 65534, 65534), 0);
    }
#endif
    const replace_report report = replace_for_real(source, source, temp, staging);
    EXPECT_EQ(report.outcome, replace_outcome::replaced) << report.reason;
    EXPECT_EQ(read_file(source), "RESULT");
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"Show.mkv"})
        << "no backup, staged file or output left";
    EXPECT_NE(platform::status_of(source).index, before.index);
    EXPECT_EQ(fs::status(source).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read)
        << (on_windows() ? "the read-only attribute" : "the mode") << " comes along";
#ifndef _WIN32
    struct stat result {};
    ASSERT_EQ(::stat(source.c_str(), &result), 0);
    if (may_give_away) {
        EXPECT_EQ(result.st_uid, 65534u);
        EXPECT_EQ(result.st_gid, 65534u);
    }
#endif
    fs::permissions(source, fs::perms::owner_write, fs::perm_options::add);
}

TEST(ReplaceOnDisk, NothingPlantedAtTheStagingNameIsFollowedOrReplaced) {
    scoped_temp_dir dir;
    const auto source = join(dir, "a.x264.mkv"), target = join(dir, "a.x265.mkv");
    const auto temp = join(dir, "tempenc.mkv"), staging = join(dir, ".brindle-1.part");
    const auto secret = join(dir, "secret");
    write_file(source, "SOURCE");
    write_file(secret, "SECRET");
    std::error_code no_links;  // links need privileges on Windows; test them where they can be made
    fs::create_symlink(secret, staging, no_links);
    if (no_links) write_file(staging, "PLANTED");

    write_file(temp, "RESULT");
    const replace_report report = replace_for_real(source, target, temp, staging);
    EXPECT_EQ(report.outcome, replace_outcome::staging_failed);
    EXPECT_TRUE(report.reason.starts_with("the result could not be written to " + staging + ": "))
        << report.reason;
    EXPECT_EQ(read_file(source), "SOURCE");
    EXPECT_EQ(read_file(secret), "SECRET");
    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(fs::exists(temp)) << "the output goes in every case";

    // The copy that stages across volumes refuses the name the same way.
    write_file(temp, "RESULT");
    const auto copied = platform::copy_to_new_file(temp, staging);
    EXPECT_EQ(copied.how, platform::file_op_result::status::exists) << copied.error;
    EXPECT_EQ(read_file(secret), "SECRET");
    EXPECT_EQ(fs::is_symlink(staging), !no_links);
}

TEST(ReplaceOnDisk, ATargetThatAppearedIsNeverReplaced) {
    scoped_temp_dir dir;
    const auto source = join(dir, "a.x264.mkv"), target = join(dir, "a.x265.mkv");
    const auto temp = join(dir, "tempenc.mkv"), staging = join(dir, ".brindle-1.part");
    write_file(source, "SOURCE");
    write_file(temp, "RESULT");
    EXPECT_EQ(check_target_before_encode(system_file_ops(), source, target), "");
    write_file(target, "EPISODE 265");
    EXPECT_EQ(check_target_before_encode(system_file_ops(), source, target),
              target + " already exists");
    const replace_report report = replace_for_real(source, target, temp, staging);
    EXPECT_EQ(report.outcome, replace_outcome::target_taken);
    EXPECT_EQ(report.reason, target + " already exists");
    EXPECT_EQ(read_file(source), "SOURCE");
    EXPECT_EQ(read_file(target), "EPISODE 265");
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"a.x264.mkv", "a.x265.mkv"}));
    EXPECT_EQ(
        check_target_before_encode(system_file_ops(), source,
                                   join(dir, "x265") + platform::path_separator() + "a.mkv"),
        "the folder of " + join(dir, "x265") + platform::path_separator() + "a.mkv does not exist");
}

#ifndef _WIN32
// A run that may not give files away still carries the mode over, and says nothing of owners.
TEST(ReplaceOnDisk, AnOwnerThatCannotBeSetIsNoFailure) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a user to become";
    scoped_temp_dir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const auto source = join(dir, "a.mkv"), staged = join(dir, ".staged");
    write_file(source, "SOURCE");
    ASSERT_EQ(::chmod(source.c_str(), 0640), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        write_file(staged, "RESULT");
        ::_exit(platform::copy_attributes(source, staged) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    struct stat result {};
    ASSERT_EQ(::stat(staged.c_str(), &result), 0);
    EXPECT_EQ(result.st_mode & 07777, 0640u);
    EXPECT_EQ(result.st_uid, 65534u);
}
#endif

}  // namespace
}  // namespace brindle
