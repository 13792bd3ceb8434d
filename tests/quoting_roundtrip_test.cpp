// The composed command, run through the real command interpreter, must hand every file name to
// the encoder exactly as it is, and must run nothing that a name holds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "encode/command.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

// The argument printer's path as the interpreter must be given it. A Windows build run under
// Wine is handed the Unix path the build produced; Wine shows the Unix root as drive Z:.
std::string print_arg_path() {
    std::string path = testing::print_arg_built;
    if (platform::path_separator() == '\\' && !path.empty() && path[0] == '/') {
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
        path = "Z:" + path;
    }
    return path;
}

std::string visible(const std::string& text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 15]);
        }
    }
    return out;
}

// Enters a fresh directory for the encoder's relative output name, and leaves it again.
class working_directory_guard {
public:
    explicit working_directory_guard(const std::filesystem::path& dir)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~working_directory_guard() {
        std::error_code error;
        std::filesystem::current_path(previous_, error);
    }
    working_directory_guard(const working_directory_guard&) = delete;
    working_directory_guard& operator=(const working_directory_guard&) = delete;

private:
    std::filesystem::path previous_;
};

// A number drawn evenly enough from [0, n); the same for every standard library, unlike the
// standard distributions.
std::size_t below(std::mt19937& random, std::size_t n) { return random() % n; }

// Names a stranger might choose on POSIX: every byte but '/' and the zero byte.
std::vector<std::string> posix_names() {
    std::vector<std::string> names = {
        "$(touch x).mkv",
        "`touch x`.mkv",
        "a\\\"b",
        "\\",
        "\"",
        "\\\"",
        "$HOME",
        "${IFS}x",
        "'; touch x; '",
        "a'b\"c",
        "x && touch y",
        "a | b > c",
        "*",
        "?",
        "!!",
        "-n",
        "\n",
        "line\nnext",
        "100% Wolf.mkv",
        "%PATH%",
        "tab\there",
        " lead and trail ",
        "$'\\x41'",
        "a\\",
        "ends in $",
    };
    std::mt19937 random(20240501u);
    const std::string special = "$`\"\\';&|()*?! \n<>{}[]#~=%^\t";
    const std::string prefixes[] = {"", "", "/lib/tv/", "/srv/my videos/x264/", "./"};
    for (int i = 0; i < 2000; ++i) {
        std::string name = prefixes[below(random, 5)];
        const std::size_t length = 1 + below(random, 24);
        const bool mostly_special = i % 3 == 0;
        for (std::size_t k = 0; k < length; ++k) {
            char c;
            if (mostly_special && below(random, 4) != 0) {
                c = special[below(random, special.size())];
            } else {
                do {
                    c = static_cast<char>(1 + below(random, 255));
                } while (c == '/');
            }
            name.push_back(c);
        }
        names.push_back(name);
    }
    return names;
}

// Names Windows allows in a file name, with at most one '%', in paths that look like real ones.
std::vector<std::string> windows_names() {
    std::vector<std::string> names = {
        "C:\\v\\100% Wolf.mkv",
        "C:\\v\\a^b^^c.mkv",
        "C:\\v\\a & echo x.mkv",
        "C:\\v\\!x!.mkv",
        "C:\\v\\(a) (b).mkv",
        "D:\\tv shows\\x264\\Caf\xc3\xa9.mkv",
        "^",
        "&",
        "a;b,c=d",
        "C:\\v\\%",
        "C:\\v\\'quoted'",
        "C:\\v\\\xd0\x96\xd0\xb8\xd0\xb2.mkv",
    };
    std::vector<std::string> alphabet;
    for (char c = ' '; c <= '~'; ++c) {
        if (std::string("\\/:*?\"<>|%").find(c) == std::string::npos) {
            alphabet.emplace_back(1, c);
        }
    }
    for (const char* special : {"^", "&", "!", "(", ")", " "}) alphabet.emplace_back(special);
    for (const char* letter : {"\xc3\xa9", "\xc3\x9f", "\xc3\xbc", "\xc3\xb1", "\xd0\x96",
                               "\xce\xa9", "\xe4\xb8\xad", "\xe6\x97\xa5", "\xf0\x9f\x8e\xac"}) {
        alphabet.emplace_back(letter);
    }
    std::mt19937 random(20240502u);
    const std::string prefixes[] = {"", "C:\\dir\\", "D:\\tv shows\\x264\\", "\\\\srv\\share\\"};
    while (names.size() < 100) {
        std::string name = prefixes[below(random, 4)];
        const std::size_t length = 1 + below(random, 16);
        const std::size_t percent_at = below(random, 2 * length);
        for (std::size_t k = 0; k < length; ++k) {
            name += k == percent_at ? std::string("%") : alphabet[below(random, alphabet.size())];
        }
        names.push_back(name);
    }
    return names;
}

// Runs the commands composed for `names` in one interpreter, each writing to its own numbered
// output, and adds a failure for each name that did not arrive unchanged. sh takes a script of
// several lines, so a batch costs one interpreter instead of one per name; cmd.exe takes one
// line, on which '%' would pair across names, so there each batch holds one name. Answers the
// number of names that failed.
int run_batch(const std::vector<std::string>& names, shell_syntax shell,
              const std::filesystem::path& dir) {
    std::vector<std::string> commands;
    std::string script;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::string tmpl = "\"" + print_arg_path() + "\" %1 " + std::to_string(k) + "%2";
        const auto command = build_encode_command(tmpl, names[k], shell);
        if (!command.has_value()) {
            ADD_FAILURE() << "no command for " << visible(names[k]);
            return static_cast<int>(names.size());
        }
        commands.push_back(*command);
        script += (k == 0 ? "" : "\n") + *command;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::filesystem::remove_all(entry.path());
    }
    const auto ran = platform::run_command(script);
    const int result = ran.how == platform::command_result::ending::exited ? ran.code : -1;
    // Anything beside the outputs would have been made by a command hidden in a name.
    const auto present = std::distance(std::filesystem::directory_iterator(dir),
                                       std::filesystem::directory_iterator());
    int mismatches = 0;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const auto output = dir / (std::to_string(k) + temp_output_name);
        const std::string delivered = testing::read_file(output);
        const bool ok = result == 0 && delivered == names[k] &&
                        present == static_cast<std::ptrdiff_t>(names.size());
        if (!ok && ++mismatches <= 10) {
            ADD_FAILURE() << "name " << visible(names[k]) << ": exit " << result << ", delivered "
                          << visible(delivered) << ", " << present
                          << " files in the working directory\ncommand: " << visible(commands[k]);
        }
    }
    return mismatches;
}

TEST(QuotingRoundTrip, InterpreterHandsEveryNameOverUnchanged) {
    const shell_syntax shell =
        platform::command_interpreter() == platform::interpreter_kind::windows_cmd
            ? shell_syntax::windows_cmd
            : shell_syntax::posix_sh;
    const std::string tmpl = "\"" + print_arg_path() + "\" %1 %2";
    const auto names = shell == shell_syntax::posix_sh ? posix_names() : windows_names();
    const std::size_t batch = shell == shell_syntax::posix_sh ? 40 : 1;

    testing::scoped_temp_dir dir;
    working_directory_guard enter(dir.path());
    int mismatches = 0;
    for (std::size_t first = 0; first < names.size(); first += batch) {
        const auto end =
            names.begin() + static_cast<std::ptrdiff_t>(std::min(first + batch, names.size()));
        const std::vector<std::string> some(names.begin() + static_cast<std::ptrdiff_t>(first),
                                            end);
        mismatches += run_batch(some, shell, dir.path());
    }
    EXPECT_EQ(mismatches, 0) << "of " << names.size() << " names";

    if (shell == shell_syntax::windows_cmd) {
        EXPECT_FALSE(build_encode_command(tmpl, "C:\\v\\%CMDCMDLINE%.mkv", shell).has_value());
        EXPECT_FALSE(build_encode_command(tmpl, "C:\\v\\5% & 6%.mkv", shell).has_value());
    }
}

// The comparison's ffmpeg is started from an argument list: every argument, a filter graph and a
// name a stranger chose alike, must arrive as it is, and no name may run anything.
TEST(QuotingRoundTrip, ProgramGetsEachArgumentUnchanged) {
    const bool windows = platform::command_interpreter() == platform::interpreter_kind::windows_cmd;
    std::vector<std::string> names = windows ? windows_names() : posix_names();
    names.resize(std::min<std::size_t>(names.size(), 150));
    for (const char* argument : {"", " ", "a\"b", "a\\\"b", "ends in \\", "C:\\my dir\\", "\"\"",
                                 "%PATH%", "a & b | c", "[0:V:0]trim=start=1;[a][b]ssim"}) {
        names.emplace_back(argument);
    }
    testing::scoped_temp_dir dir;
    working_directory_guard enter(dir.path());
    int mismatches = 0;
    for (const std::string& name : names) {
        std::filesystem::remove(dir.path() / "delivered");
        const auto ran = platform::run_program(print_arg_path(), {name, "delivered"});
        const int result = ran.how == platform::command_result::ending::exited ? ran.code : -1;
        const std::string delivered = testing::read_file(dir.path() / "delivered");
        const auto present = std::distance(std::filesystem::directory_iterator(dir.path()),
                                           std::filesystem::directory_iterator());
        if ((result != 0 || delivered != name || present != 1) && ++mismatches <= 10) {
            ADD_FAILURE() << "argument " << visible(name) << ": exit " << result << ", delivered "
                          << visible(delivered) << ", " << present << " files";
        }
    }
    EXPECT_EQ(mismatches, 0) << "of " << names.size() << " arguments";

    // A program that is not there cannot start; the caller tells that from a failure of its own.
    const auto missing = platform::run_program((dir.path() / "no-such-program").string(), {});
    EXPECT_TRUE(missing.how == platform::command_result::ending::not_started ||
                (missing.how == platform::command_result::ending::exited && missing.code == 127));
}

}  // namespace
}  // namespace brindle
