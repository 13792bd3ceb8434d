#include "encode/replace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "tests/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace brindle {
namespace {

// A file of the fake: its content and the one attribute that matters to the sequence (Windows
// deletes no read-only file). Names lead to files; two names may lead to one.
struct fake_file {
    std::string content;
    bool read_only = false;
};

// Each step a call can be, by the call and the roles of its names: S the source, T the target,
// B the backup, P the staged result, O the encoder's output, A the source's private name while
// it is taken away. A call not listed is a fault.
const std::map<std::string, std::string> steps = {
    {"flush O", "flush_temp"},
    {"rename O>P", "stage_rename"},
    {"copy O>P", "stage_copy"},
    {"attributes S>P", "carry_attributes"},
    {"link S>B", "link_backup"},
    {"rename S>B", "backup_rename"},
    {"replace P>S", "install"},
    {"exchange P>S", "install"},
    {"rename S>A", "aside_source"},
    {"rename A>S", "restore_source"},
    {"remove A", "remove_source"},
    {"clear A", "clear_read_only"},
    {"rename T>P", "aside_result"},
    {"rename P>T", "install"},
    {"rename P>S", "install"},
    {"rename B>S", "restore_rename"},
    {"attributes P>S", "restore_attributes"},
    {"remove P", "remove_staging"},
    {"remove B", "remove_backup"},
    {"remove S", "remove_source"},
    {"remove O", "remove_temp"},
    {"clear P", "clear_read_only"},
    {"clear B", "clear_read_only"},
    {"clear S", "clear_read_only"},
};

// An in-memory library for one replace. It fails the steps it is told to, refuses what a real
// system refuses, and checks after every change what a crash would leave: the source's bytes
// under its name or its backup name, or the whole result at the target; never a partial file
// under a library name; the source's name present throughout while hard links keep it; and no
// file of anyone else's changed.
struct fake_ops final : file_ops {
    std::map<std::string, std::string> paths;  // role -> path
    std::map<std::string, int> names;          // path -> file
    std::map<int, fake_file> files;
    std::set<std::string> folders = {"lib"}, unexaminable, failing;
    bool links = true, exchange = true, other_volume = false, watching = false;
    // Counts the calls that may change something. From the call numbered `killed_at` on, each
    // fails and changes nothing, as after a kill; before the call numbered `newer_at`, a newer
    // file is moved onto the source's name, replacing whatever stood there.
    int calls = 0, killed_at = 0, newer_at = 0, newer_file = 0;
    bool source_discarded = false;
    std::string journal;
    int source_file = 0;
    std::string appears;  // a file that appears once the result is staged
    std::map<std::string, int> others;
    std::vector<std::string> violations;

    const std::string& path(const char* role) { return paths[role]; }
    std::string role_of(const std::string& name) const {
        for (const char* role : {"S", "T", "B", "P", "O", "A"}) {
            if (paths.count(role) != 0 && paths.at(role) == name) return role;
        }
        return name;
    }

    // "S=SOURCE T=OLD[ro] B=@S": the files by role, "[ro]" read-only, "@S" a second name of S.
    void add(const std::string& description) {
        std::istringstream words(description);
        for (std::string word; words >> word;) {
            const std::string role = word.substr(0, word.find('='));
            std::string content = word.substr(role.size() + 1);
            const std::string& name = paths.count(role) != 0 ? paths[role] : role;
            if (content.starts_with('@')) {
                const std::string first = content.substr(1);
                names[name] = names.at(paths.count(first) != 0 ? paths[first] : first);
                continue;
            }
            const bool read_only = content.ends_with("[ro]");
            if (read_only) content.resize(content.size() - 4);
            names[name] = static_cast<int>(files.size()) + 1;
            files[names[name]] = {content, read_only};
        }
    }
    void watch() {
        const auto source = names.find(path("S"));
        watching = source != names.end();
        if (watching) source_file = source->second;
        for (const auto& [name, file] : names) {
            if (name != path("S") && name != path("O") && !(watching && file == source->second)) {
                others[name] = file;
            }
        }
    }
    std::string describe() const {
        std::set<std::string> words;
        for (const auto& [name, file] : names) {
            const fake_file& f = files.at(file);
            words.insert(role_of(name) + "=" + f.content + (f.read_only ? "[ro]" : ""));
        }
        std::string text;
        for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
        return text;
    }

    // Counts a call; answers the failure of a call made after the kill.
    std::optional<op_result> count_call() {
        ++calls;
        if (calls == newer_at) {
            const auto old = names.find(path("S"));
            if (old != names.end()) {
                int left = 0;
                for (const auto& named : names) left += named.second == old->second ? 1 : 0;
                source_discarded = source_discarded || (old->second == source_file && left == 1);
            }
            newer_file = static_cast<int>(files.size()) + 1;
            files[newer_file] = {"NEWER", false};
            names[path("S")] = newer_file;
        }
        if (killed_at != 0 && calls >= killed_at) {
            return op_result{op_result::fault::other, "killed"};
        }
        return std::nullopt;
    }
    // Answers the failure the call meets, if any.
    std::optional<op_result> begin(const std::string& call, const std::string& from,
                                   const std::string& to = {}) {
        if (auto killed = count_call()) return killed;
        const auto it =
            steps.find(call + " " + role_of(from) + (to.empty() ? "" : ">" + role_of(to)));
        if (it == steps.end()) {
            violations.push_back("unexpected call: " + call + " " + from + " " + to);
            return op_result{op_result::fault::other, "unexpected"};
        }
        if (failing.count(it->second) != 0) {
            return op_result{op_result::fault::other, "injected " + it->second};
        }
        if (names.count(from) == 0) return op_result{op_result::fault::other, "No such file"};
        return std::nullopt;
    }
    static op_result refused(op_result::fault why, const char* text) { return {why, text}; }

    path_state stamp_of(const std::string& name) override {
        path_state state;
        if (unexaminable.count(name) != 0) {
            state.what = path_state::kind::unknown;
            state.error = "cannot examine " + name;
        } else if (const auto it = names.find(name); it != names.end()) {
            state.what = path_state::kind::regular;
            const auto index = static_cast<std::uint64_t>(it->second);
            state.stamp = {7, index, files.at(it->second).content.size(), 1000 * index};
            for (const auto& named : names) state.names += named.second == it->second ? 1 : 0;
        } else if (folders.count(name) != 0) {
            state.what = path_state::kind::directory;
        }
        return state;
    }
    op_result remove_file(const std::string& name) override {
        if (auto failed = begin("remove", name)) return *failed;
        if (files.at(names.at(name)).read_only) return refused(op_result::fault::other, "Denied");
        names.erase(name);
        return check("remove " + name);
    }
    op_result flush_file(const std::string& name) override {
        if (auto failed = begin("flush", name)) return *failed;
        return {};
    }
    op_result rename_replace(const std::string& from, const std::string& to) override {
        if (auto failed = begin("replace", from, to)) return *failed;
        if (names.count(to) == 0 || names.at(to) != source_file) {
            violations.push_back("replaced " + to + ", which does not hold the source");
        }
        names[to] = names.at(from);
        names.erase(from);
        return check("rename " + from + " over " + to);
    }
    op_result rename_no_replace(const std::string& from, const std::string& to) override {
        if (from == path("O") && other_volume)
            return refused(op_result::fault::cross_device, "EXDEV");
        if (auto failed = begin("rename", from, to)) return *failed;
        if (names.count(to) != 0) return refused(op_result::fault::exists, "File exists");
        names[to] = names.at(from);
        names.erase(from);
        if (to == path("P") && !appears.empty()) {  // someone else's file, made meanwhile
            add(appears);
            others[path(appears.substr(0, 1).c_str())] =
                names.at(path(appears.substr(0, 1).c_str()));
        }
        return check("rename " + from + " to " + to);
    }
    op_result hard_link(const std::string& from, const std::string& to) override {
        if (!links) return refused(op_result::fault::not_supported, "no links");
        if (auto failed = begin("link", from, to)) return *failed;
        if (names.count(to) != 0) return refused(op_result::fault::exists, "File exists");
        names[to] = names.at(from);
        return check("link " + from + " to " + to);
    }
    op_result copy_to_new_file(const std::string& from, const std::string& to) override {
        if (names.count(to) != 0) return refused(op_result::fault::exists, "File exists");
        const bool full_disk = failing.count("stage_copy") != 0;
        failing.erase("stage_copy");
        if (auto failed = begin("copy", from, to)) return *failed;
        const std::string whole = files.at(names.at(from)).content;
        add(role_of(to) + "=" + whole.substr(0, full_disk ? whole.size() / 2 : whole.size()));
        check("copy to " + to);
        if (!full_disk) return {};
        // A full disk stops the copy part-way; it removes what it wrote unless that fails too.
        if (failing.count("remove_staging") == 0) names.erase(to);
        return refused(op_result::fault::other, "injected stage_copy");
    }
    op_result copy_attributes(const std::string& from, const std::string& to) override {
        if (auto failed = begin("attributes", from, to)) return *failed;
        if (names.count(to) == 0) return refused(op_result::fault::other, "No such file");
        files.at(names.at(to)).read_only = files.at(names.at(from)).read_only;
        return check("attributes to " + to);
    }
    op_result exchange_names(const std::string& a, const std::string& b) override {
        if (!exchange) return refused(op_result::fault::not_supported, "no exchange");
        if (auto failed = begin("exchange", a, b)) return *failed;
        if (names.count(b) == 0) return refused(op_result::fault::other, "No such file");
        std::swap(names.at(a), names.at(b));
        return check("exchange " + a + " and " + b);
    }
    op_result write_journal(const std::string& text) override {
        if (auto killed = count_call()) return *killed;
        if (failing.count("write_journal") != 0) return refused(op_result::fault::other, "Full");
        journal = text;
        return {};
    }
    op_result clear_read_only(const std::string& name) override {
        if (auto failed = begin("clear", name)) return *failed;
        fake_file& file = files.at(names.at(name));
        if (!file.read_only) return refused(op_result::fault::not_supported, "");
        file.read_only = false;
        return {};
    }

    bool holds(const std::string& name, const std::string& content) const {
        const auto it = names.find(name);
        return it != names.end() && files.at(it->second).content == content;
    }
    op_result check(const std::string& after) {
        if (!watching) return {};
        const std::string &source = path("S"), &target = path("T"), &backup = path("B");
        if (!holds(source, "SOURCE") && !holds(backup, "SOURCE") && !holds(target, "RESULT") &&
            newer_file == 0) {
            violations.push_back("neither source nor result stands after " + after);
        }
        for (const std::string& name : {source, target, backup}) {
            if (names.count(name) != 0 && others.count(name) == 0 && !holds(name, "SOURCE") &&
                !holds(name, "RESULT") && !holds(name, "NEWER")) {
                violations.push_back(name + " holds a partial file after " + after);
            }
        }
        const bool newer_named = std::any_of(names.begin(), names.end(), [&](const auto& named) {
            return named.second == newer_file;
        });
        if (newer_file != 0 && !newer_named) {
            violations.push_back("the newer file is lost after " + after);
        }
        if (target == source && links && exchange && names.count(source) == 0) {
            violations.push_back("the source's name is missing after " + after);
        }
        for (const auto& [name, file] : others) {
            const auto it = names.find(name);
            if (it == names.end() || it->second != file) {
                violations.push_back(name + ", not ours, changed by " + after);
            }
        }
        return {};
    }
};

// Replaces "$S", "$T", "$B" and "$P" with the row's paths.
std::string expand(std::string text, fake_ops& ops) {
    for (const char* role : {"S", "T", "B", "P"}) {
        const std::string token = std::string("$") + role;
        for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
            text.replace(at, token.size(), ops.path(role));
        }
    }
    return text;
}

TEST(ReplaceWithResult, EveryInjectedFailureLeavesTheLibraryWhole) {
    enum : unsigned {
        beside = 1,           // the name changes (x264 to x265); else the source's own name
        other_volume = 2,     // the encoder's output lies on another volume
        no_links = 4,         // the library's file system has no hard links
        changed = 8,          // the source is not the file the scan saw
        source_unknown = 16,  // the source cannot be examined
        output_unknown = 32,  // the encoder's output cannot be examined
        no_folder = 64,       // the library folder is gone
        appears = 128,        // a file takes the target's name while the result is staged
    };
    using outcome = replace_outcome;
    struct row {
        const char* what;
        unsigned options;
        const char* before;
        std::set<std::string> failing;
        outcome result;
        const char* reason;
        const char* after;
    };
    // clang-format off
    const row rows[] = {
        {"a plain replace", beside, "S=SOURCE O=RESULT", {}, outcome::replaced, "", "T=RESULT"},
        {"a file holding the target's name stays, and so does the source", beside,
         "S=SOURCE T=OLD O=RESULT", {}, outcome::target_taken, "$T already exists", "S=SOURCE T=OLD"},
        {"a file takes the target's name at the last moment", beside | appears, "S=SOURCE O=RESULT",
         {}, outcome::target_taken, "$T already exists", "S=SOURCE T=LATE"},
        {"the target's folder went away", beside | no_folder, "S=SOURCE O=RESULT", {},
         outcome::target_taken, "the folder of $T does not exist", "S=SOURCE"},
        {"under the source's own name", 0, "S=SOURCE O=RESULT", {}, outcome::replaced, "", "S=RESULT"},
        {"without hard links", no_links, "S=SOURCE O=RESULT", {}, outcome::replaced, "", "S=RESULT"},
        {"no output at all", beside, "S=SOURCE", {}, outcome::no_output, "the encoder left no output",
         "S=SOURCE"},
        {"an empty output that cannot be deleted", beside, "S=SOURCE O=", {"remove_temp"},
         outcome::no_output, "the encoder left no output", "O= S=SOURCE"},
        {"an output with a second name elsewhere is no result of the encoder's own", beside,
         "S=SOURCE O=RESULT X=@O", {}, outcome::not_own_file,
         "the result has more than one name, so it is not the encoder's own new file",
         "S=SOURCE X=RESULT"},
        {"an output that cannot be examined", output_unknown, "S=SOURCE O=RESULT", {},
         outcome::no_output, "the encoder's output cannot be examined: cannot examine tempenc.mkv",
         "S=SOURCE"},
        {"the output cannot be flushed", beside, "S=SOURCE O=RESULT", {"flush_temp"},
         outcome::staging_failed, "the encoder's output could not be flushed to disk: injected flush_temp",
         "S=SOURCE"},
        {"another volume: copied instead", beside | other_volume, "S=SOURCE O=RESULT", {},
         outcome::replaced, "", "T=RESULT"},
        {"the staging rename fails, the copy works", beside, "S=SOURCE O=RESULT", {"stage_rename"},
         outcome::replaced, "", "T=RESULT"},
        {"another volume and the copy fails part-way", beside | other_volume, "S=SOURCE O=RESULT",
         {"stage_copy"}, outcome::staging_failed,
         "the result could not be written to $P: injected stage_copy", "S=SOURCE"},
        {"rename and copy fail, the partial copy cannot be deleted", beside, "S=SOURCE O=RESULT",
         {"stage_rename", "stage_copy", "remove_staging"}, outcome::staging_failed,
         "the result could not be written to $P: injected stage_copy", "P=RES S=SOURCE"},
        {"a file planted at the staging name is neither used nor removed", beside | other_volume,
         "S=SOURCE P=PLANTED O=RESULT", {}, outcome::staging_failed,
         "the result could not be written to $P: File exists", "P=PLANTED S=SOURCE"},
        {"the source's permissions cannot be carried over", beside, "S=SOURCE O=RESULT",
         {"carry_attributes"}, outcome::staging_failed,
         "the source's permissions could not be given to the result: injected carry_attributes",
         "S=SOURCE"},
        {"the source changed while it was encoded", changed, "S=SOURCE O=RESULT", {},
         outcome::source_changed, "the source changed while it was being encoded", "S=SOURCE"},
        {"the source changed, and the staged result cannot be deleted", beside | changed,
         "S=SOURCE O=RESULT", {"remove_staging"}, outcome::source_changed,
         "the source changed while it was being encoded", "P=RESULT S=SOURCE"},
        {"the source cannot be examined", source_unknown, "S=SOURCE O=RESULT", {},
         outcome::source_changed, "the source cannot be examined: cannot examine $S", "S=SOURCE"},
        {"the source is gone", 0, "O=RESULT", {}, outcome::source_changed,
         "the source changed while it was being encoded", ""},
        {"the source cannot be given a second name", 0, "S=SOURCE O=RESULT", {"link_backup"},
         outcome::backup_failed, "the source could not be given its backup name $B: injected link_backup",
         "S=SOURCE"},
        {"a file already holds the backup name", 0, "S=SOURCE B=OTHER O=RESULT", {},
         outcome::backup_failed, "$B already exists", "B=OTHER S=SOURCE"},
        {"the same without hard links", no_links, "S=SOURCE B=OTHER O=RESULT", {},
         outcome::backup_failed, "$B already exists", "B=OTHER S=SOURCE"},
        {"a backup that is a second name of the source, left by a stopped run", 0,
         "S=SOURCE B=@S O=RESULT", {}, outcome::replaced, "", "S=RESULT"},
        {"no backup, and the staged file cannot be deleted", no_links, "S=SOURCE O=RESULT",
         {"backup_rename", "remove_staging"}, outcome::backup_failed,
         "the source could not be given its backup name $B: injected backup_rename", "P=RESULT S=SOURCE"},
        {"the install fails, the second name goes", 0, "S=SOURCE O=RESULT", {"install"},
         outcome::install_failed, "the result could not be put in place: injected install", "S=SOURCE"},
        {"the install fails and the second name stays", 0, "S=SOURCE O=RESULT",
         {"install", "remove_backup"}, outcome::install_failed,
         "the result could not be put in place: injected install, and $B, a second name of the source, "
         "could not be removed: injected remove_backup", "B=SOURCE S=SOURCE"},
        {"the install fails without hard links: the source comes back", no_links, "S=SOURCE O=RESULT",
         {"install"}, outcome::install_failed, "the result could not be put in place: injected install",
         "S=SOURCE"},
        {"the install and the way back fail: backup and staged result both stay", no_links,
         "S=SOURCE O=RESULT", {"install", "restore_rename"}, outcome::install_failed,
         "the result could not be put in place: injected install, and the source could not be "
         "renamed back from $B: injected restore_rename", "B=SOURCE P=RESULT"},
        {"the install beside the source fails", beside, "S=SOURCE O=RESULT", {"install"},
         outcome::install_failed, "the result could not be put in place: injected install", "S=SOURCE"},
        {"a stale backup does not matter when the name changes", beside, "S=SOURCE B=OTHER O=RESULT",
         {}, outcome::replaced, "", "B=OTHER T=RESULT"},
        {"the backup cannot be deleted", 0, "S=SOURCE O=RESULT", {"remove_backup"},
         outcome::replaced_old_kept, "the result stands, but $B could not be removed: injected remove_backup",
         "B=SOURCE S=RESULT"},
        {"the old source cannot be deleted", beside, "S=SOURCE O=RESULT", {"remove_source"},
         outcome::replaced_old_kept, "the result stands, but $S could not be removed: injected remove_source",
         "S=SOURCE T=RESULT"},
        {"copied, and the output cannot be deleted", beside | other_volume, "S=SOURCE O=RESULT",
         {"remove_temp"}, outcome::replaced, "", "O=RESULT T=RESULT"},
        {"a read-only source: the result keeps the attribute, the backup goes", 0,
         "S=SOURCE[ro] O=RESULT", {}, outcome::replaced, "", "S=RESULT[ro]"},
        {"the same without hard links", no_links, "S=SOURCE[ro] O=RESULT", {}, outcome::replaced, "",
         "S=RESULT[ro]"},
        {"a read-only source under another name", beside, "S=SOURCE[ro] O=RESULT", {},
         outcome::replaced, "", "T=RESULT[ro]"},
        {"a read-only source whose install fails keeps its attribute", 0, "S=SOURCE[ro] O=RESULT",
         {"install"}, outcome::install_failed, "the result could not be put in place: injected install",
         "S=SOURCE[ro]"},
        {"a read-only backup whose attribute cannot be cleared", 0, "S=SOURCE[ro] O=RESULT",
         {"clear_read_only"}, outcome::replaced_old_kept,
         "the result stands, but $B could not be removed: Denied",
         "B=SOURCE[ro] P=SOURCE[ro] S=RESULT[ro]"},
    };
    // clang-format on
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_ops ops;
        const std::string source = r.options & beside ? "lib/Show.x264.mkv" : "lib/Show.mkv";
        ops.paths = {{"S", source},
                     {"T", r.options & beside ? "lib/Show.x265.mkv" : source},
                     {"B", backup_path_for(source)},
                     {"P", "lib/.brindle-9.part"},
                     {"O", "tempenc.mkv"},
                     {"A", "lib/.brindle-9.old"}};
        ops.add(r.before);
        ops.watch();
        ops.failing = r.failing;
        ops.links = !(r.options & no_links);
        ops.other_volume = r.options & other_volume;
        if (r.options & source_unknown) ops.unexaminable.insert(source);
        if (r.options & output_unknown) ops.unexaminable.insert("tempenc.mkv");
        if (r.options & no_folder) ops.folders.clear();
        if (r.options & appears) ops.appears = "T=LATE";
        file_stamp scanned = ops.stamp_of(source).stamp;
        if (r.options & changed) scanned.write_ticks += 1;

        const replace_report report =
            replace_with_result(ops, source, ops.path("T"), ops.path("O"), ops.path("P"), scanned);
        EXPECT_EQ(report.outcome, r.result);
        EXPECT_EQ(report.reason, expand(r.reason, ops));
        EXPECT_EQ(ops.describe(), r.after);
        for (const std::string& violation : ops.violations) ADD_FAILURE() << violation;
    }
}

// The ways through the install, each with steps of its own.
struct install_case {
    const char* what;
    bool beside, links, exchange, other_volume;
};
const install_case install_cases[] = {
    {"the name changes", true, true, true, false},
    {"the name changes, the result copied from another volume", true, true, true, true},
    {"the source's own name, swapped in one step", false, true, true, false},
    {"the source's own name, where names cannot be swapped", false, true, false, false},
    {"the source's own name, without hard links", false, false, false, false},
};

void set_up(fake_ops& ops, const install_case& c) {
    const std::string source = c.beside ? "lib/Show.x264.mkv" : "lib/Show.mkv";
    ops.paths = {{"S", source},
                 {"T", c.beside ? "lib/Show.x265.mkv" : source},
                 {"B", backup_path_for(source)},
                 {"P", "lib/.brindle-9.part"},
                 {"O", "tempenc.mkv"},
                 {"A", "lib/.brindle-9.old"}};
    ops.add("S=SOURCE O=RESULT");
    ops.watch();
    ops.links = c.links;
    ops.exchange = c.exchange;
    ops.other_volume = c.other_volume;
}

replace_report install(fake_ops& ops, install_journal& journal) {
    const file_stamp scanned = ops.stamp_of(ops.path("S")).stamp;
    return replace_with_result(ops, ops.path("S"), ops.path("T"), ops.path("O"), ops.path("P"),
                               scanned, &journal);
}

// How many calls that may change something a whole install makes.
int calls_of_whole_install(const install_case& c) {
    fake_ops ops;
    set_up(ops, c);
    install_journal journal;
    EXPECT_EQ(install(ops, journal).outcome, replace_outcome::replaced) << c.what;
    EXPECT_EQ(ops.journal, "") << c.what << ": a whole install leaves no journal";
    return ops.calls;
}

TEST(ReplaceWithResult, AnInstallKilledAtAnyStepIsFinishedOrUndoneByTheNextRun) {
    for (const install_case& c : install_cases) {
        const int calls = calls_of_whole_install(c);
        for (int killed_at = 1; killed_at <= calls; ++killed_at) {
            SCOPED_TRACE(std::string(c.what) + ", killed at call " + std::to_string(killed_at));
            fake_ops ops;
            set_up(ops, c);
            ops.killed_at = killed_at;
            install_journal journal;
            install(ops, journal);
            const std::string left = ops.describe();
            ops.killed_at = 0;
            for (const install_intent& intent : parse_journal(ops.journal)) {
                EXPECT_TRUE(settle_install(ops, intent, true).finished);
                EXPECT_TRUE(settle_install(ops, intent, false).finished) << "nothing is left";
                ops.names.erase(intent.staging);  // then the dead run's stage files go by name
            }
            ops.names.erase(ops.path("O"));  // every run removes a leftover tempenc.mkv
            const std::string after = ops.describe();
            EXPECT_TRUE(after == "S=SOURCE" || after == (c.beside ? "T=RESULT" : "S=RESULT"))
                << "killed with " << left << ", then " << after;
            for (const std::string& violation : ops.violations) ADD_FAILURE() << violation;
        }
    }
}

// On Windows a source that another program opened during its encode cannot be deleted.
TEST(ReplaceWithResult, AnOldNameThatCannotBeRemovedNowIsRemovedByTheNextRun) {
    for (const install_case& c : install_cases) {
        SCOPED_TRACE(c.what);
        fake_ops ops;
        set_up(ops, c);
        ops.failing = {"remove_source", "remove_backup"};
        install_journal journal;
        EXPECT_EQ(install(ops, journal).outcome, replace_outcome::replaced_old_kept);
        const std::vector<install_intent> left = parse_journal(ops.journal);
        ASSERT_EQ(left.size(), 1u) << "the journal keeps the install: " << ops.describe();
        ops.failing.clear();
        EXPECT_TRUE(settle_install(ops, left[0], true).finished);
        EXPECT_EQ(ops.describe(), c.beside ? "T=RESULT" : "S=RESULT");
        for (const std::string& violation : ops.violations) ADD_FAILURE() << violation;
    }
}

TEST(ReplaceWithResult, ANewerFileMovedOntoTheSourceAtAnyStepSurvives) {
    for (const install_case& c : install_cases) {
        const int calls = calls_of_whole_install(c);
        for (int newer_at = 1; newer_at <= calls; ++newer_at) {
            SCOPED_TRACE(std::string(c.what) + ", moved in before call " +
                         std::to_string(newer_at));
            fake_ops ops;
            set_up(ops, c);
            ops.newer_at = newer_at;
            install_journal journal;
            const replace_report report = install(ops, journal);
            const std::string held = ops.describe();
            const auto newer = std::find_if(ops.names.begin(), ops.names.end(), [&](const auto& n) {
                return ops.files.at(n.second).content == "NEWER";
            });
            ASSERT_NE(newer, ops.names.end()) << "the newer file is lost: " << held;
            EXPECT_TRUE(newer->first == ops.path("S") ||
                        report.reason.find(newer->first) != std::string::npos)
                << "the newer file stands as " << newer->first << ": " << report.reason;
            const bool converted = report.outcome == replace_outcome::replaced ||
                                   report.outcome == replace_outcome::replaced_old_kept;
            if (!converted) {
                EXPECT_TRUE(report.outcome == replace_outcome::source_replaced ||
                            report.outcome == replace_outcome::source_changed)
                    << report.reason;
                EXPECT_EQ(held.find("RESULT"), std::string::npos) << "not installed: " << held;
                EXPECT_TRUE(ops.source_discarded || held.find("SOURCE") != std::string::npos)
                    << "the checked source is kept: " << held;
            }
            EXPECT_EQ(ops.journal, "") << "nothing is left half done";
            for (const std::string& violation : ops.violations) ADD_FAILURE() << violation;
        }
    }
}

TEST(ReplaceWithResult, TheTargetIsCheckedBeforeTheEncoderStarts) {
    struct row {
        const char* source;
        const char* target;
        const char* files;  // by path; "@PATH" a second name of PATH
        std::set<std::string> folders, unexaminable;
        const char* answer;
    };
    // clang-format off
    const row rows[] = {
        {"lib/a.x264.mkv", "lib/a.x265.mkv", "lib/a.x264.mkv=S", {"lib"}, {}, ""},
        {"lib/a.x264.mkv", "lib/a.x265.mkv", "lib/a.x264.mkv=S lib/a.x265.mkv=T", {"lib"}, {},
         "lib/a.x265.mkv already exists"},
        {"lib/a.x264.mkv", "lib/a.x265.mkv", "lib/a.x264.mkv=S", {"lib", "lib/a.x265.mkv"}, {},
         "lib/a.x265.mkv already exists"},
        {"lib/x264/a.mkv", "lib/x265/a.mkv", "lib/x264/a.mkv=S", {"lib", "lib/x264"}, {},
         "the folder of lib/x265/a.mkv does not exist"},
        {"lib/x264/a.mkv", "lib/x265/a.mkv", "lib/x264/a.mkv=S lib/x265=F", {"lib", "lib/x264"}, {},
         "the folder of lib/x265/a.mkv is not a folder"},
        {"lib/x264/a.mkv", "lib/x265/a.mkv", "lib/x264/a.mkv=S", {"lib", "lib/x264"}, {"lib/x265"},
         "the folder of lib/x265/a.mkv cannot be examined: cannot examine lib/x265"},
        {"lib/a.x264.mkv", "lib/a.x265.mkv", "lib/a.x264.mkv=S", {"lib"}, {"lib/a.x265.mkv"},
         "lib/a.x265.mkv cannot be examined: cannot examine lib/a.x265.mkv"},
        {"a.x264.mkv", "a.x265.mkv", "a.x264.mkv=S", {}, {}, ""},
        {"lib/a.mkv", "lib/a.mkv", "lib/a.mkv=S", {"lib"}, {}, ""},
        {"lib/a.mkv", "lib/a.mkv", "lib/a.mkv=S lib/a.mkv.bak=OLD", {"lib"}, {},
         "lib/a.mkv.bak already exists"},
        {"lib/a.mkv", "lib/a.mkv", "lib/a.mkv=S lib/a.mkv.bak=@lib/a.mkv", {"lib"}, {}, ""},
    };
    // clang-format on
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.files) + " -> " + r.target);
        fake_ops ops;
        ops.add(r.files);
        ops.folders = r.folders;
        ops.unexaminable = r.unexaminable;
        const std::string before = ops.describe();
        EXPECT_EQ(check_target_before_encode(ops, r.source, r.target), r.answer);
        EXPECT_EQ(ops.describe(), before) << "a check changes nothing";
        EXPECT_TRUE(ops.violations.empty());
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

TEST(ReplaceOnDisk, TheResultTakesTheSourcesPlacePermissionsAndModificationTime) {
    scoped_temp_dir dir;
    const auto source = join(dir, "Show.mkv"), temp = join(dir, "tempenc.mkv");
    const auto staging = join(dir, ".brindle-1.part");
    write_file(source, "SOURCE");
    write_file(temp, "RESULT");
    // Years old, as a library's files are: a result dated by its conversion would show as new.
    const auto recorded = fs::last_write_time(source) - std::chrono::hours(24 * 3000);
    fs::last_write_time(source, recorded);
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
    EXPECT_NE(platform::status_of(source).stamp.index, before.stamp.index);
    EXPECT_EQ(fs::status(source).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read)
        << (on_windows() ? "the read-only attribute" : "the mode") << " comes along";
    EXPECT_EQ(fs::last_write_time(source), recorded)
        << "the source's modification time comes along";
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
    EXPECT_EQ(copied.why, op_result::fault::exists) << copied.error;
    EXPECT_EQ(read_file(secret), "SECRET");
    EXPECT_EQ(fs::is_symlink(staging), !no_links);
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
        ::_exit(platform::copy_attributes(source, staged).ok() ? 0 : 1);
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
