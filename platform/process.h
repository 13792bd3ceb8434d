#pragma once

// Processes: the encoder run through the command interpreter, the stop requests, and the run's
// lock.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::platform {

// The command line that starts cmd.exe on `command`: `interpreter /d /v:off /s /c "command"`.
// /d skips the AutoRun commands a registry may hold; /v:off keeps delayed expansion, switched on
// in some registries, from turning a name holding !X! into another text. cmd strips the outer
// quotes again, so a command that begins with a quoted program path stays whole. An
// interpreter path holding a blank is quoted. Pure, so that it is tested on every platform.
inline std::string cmd_interpreter_line(std::string interpreter, const std::string& command) {
    // cmd.exe reads its own switches out of its command line, its own path included: in
    // "C:/Windows/System32/cmd.exe" it would find "/c" and take the rest for the command.
    for (char& c : interpreter) {
        if (c == '/') c = '\\';
    }
    const bool has_blank = interpreter.find_first_of(" \t") != std::string::npos;
    const std::string program = has_blank ? "\"" + interpreter + "\"" : interpreter;
    return program + " /d /v:off /s /c \"" + command + "\"";
}

// Does `path` name a file by an absolute Windows path: a drive letter, a colon and a separator,
// or two separators (a share, or the \\?\ and \\.\ forms)? "C:x" and "\\x" depend on the current
// drive and directory, and a bare name on the working directory and PATH.
inline bool is_absolute_windows_path(std::string_view path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 3 && path[1] == ':' && separator(path[2])) {
        const char drive = static_cast<char>(path[0] | 0x20);
        return drive >= 'a' && drive <= 'z';
    }
    return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

// The folders of a PATH value, in order, split at `separator`. An empty entry means the working
// directory, as sh takes it. With ';' (Windows) a folder may stand in double quotes, which may
// hold a ';'; with ':' (POSIX) a quote is part of a folder's name. Pure, so that it is tested on
// every platform.
inline std::vector<std::string> search_path_folders(std::string_view value, char separator) {
    std::vector<std::string> folders;
    if (value.empty()) return folders;
    const bool quotes = separator == ';';
    std::string folder;
    bool quoted = false;
    for (const char c : value) {
        if (quotes && c == '"') {
            quoted = !quoted;
        } else if (c == separator && !quoted) {
            folders.push_back(folder.empty() ? "." : folder);
            folder.clear();
        } else {
            folder += c;
        }
    }
    folders.push_back(folder.empty() ? "." : folder);
    return folders;
}

// The command line from which CommandLineToArgvW and the C runtime take back `program` and each
// of `arguments` exactly: the program in double quotes (a path holds none), each argument as it
// is when it holds no blank, tab or quote and is not empty, else quoted with the backslashes
// before a quote and before the closing quote doubled. Pure, so that it is tested everywhere.
inline std::string windows_argument_line(const std::string& program,
                                         const std::vector<std::string>& arguments) {
    std::string line = "\"" + program + "\"";
    for (const std::string& argument : arguments) {
        line += ' ';
        if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
            line += argument;
            continue;
        }
        line += '"';
        std::size_t backslashes = 0;
        for (const char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            line += c;
            backslashes = 0;
        }
        line.append(2 * backslashes, '\\');
        line += '"';
    }
    return line;
}

enum class interpreter_kind { posix_sh, windows_cmd };
// Which command interpreter run_command hands its command line to.
interpreter_kind command_interpreter();

struct command_settings {
    // The encoder runs below Brindle's own priority unless told otherwise.
    bool low_priority = true;
    // The command's standard output and error go to a pipe, and only their last lines are kept
    // (see output_tail), instead of going to Brindle's own.
    bool capture_output = false;
    // Asked every watch_period_milliseconds while the command runs: answering false ends the
    // command and everything it started at once, as of no more use (its output has grown past
    // what it may be). Not asked after a stop.
    std::function<bool()> keep_running;
};

inline constexpr int watch_period_milliseconds = 1000;

// How long a command may go on after a stop was passed on to it before it is killed.
inline constexpr int stop_wait_seconds = 10;
// A stop that comes sooner than this after the first is the same stop sent twice (timeout(1)
// signals Brindle and then its whole process group), not a second one.
inline constexpr int same_stop_milliseconds = 500;

// Whether a command that was asked to stop had to be killed.
enum class stop_kill { none, after_wait, at_second_stop };

struct command_result {
    // unseen: the command started, but how it ended could not be told (on POSIX, its guardian
    // was killed); what it left running has been killed.
    enum class ending { exited, signalled, not_started, unseen };
    ending how = ending::not_started;
    int code = -1;      // the exit code, or the signal that ended it
    std::string error;  // not_started, unseen: why
    // A stop was asked for (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, closing the console)
    // while the command ran; it was passed on and the command has ended. 0 when none. A stop
    // asked for before the command could start leaves it not_started with this set.
    int stop_signal = 0;
    stop_kill killed = stop_kill::none;
    // keep_running answered false and the command was ended for it.
    bool cut_short = false;
    // capture_output: the last lines the command wrote, without their line ends.
    std::vector<std::string> output_tail;
};

// Whether Brindle's standard output is a terminal (a console on Windows), where a person watches
// the encoder's own output.
bool output_is_terminal();

// The numbers that stand for Windows console events where POSIX has a signal number: those of
// SIGINT and SIGHUP, and 21, the number the Windows C runtime gives SIGBREAK.
inline constexpr int stop_by_ctrl_c = 2;
inline constexpr int stop_by_ctrl_break = 21;
inline constexpr int stop_by_console_close = 1;

// Runs `command_line` through the system's command interpreter (Windows: COMSPEC when it names
// an existing file by an absolute path and starts, else cmd.exe from the system directory;
// POSIX: /bin/sh -c), inheriting the console, working directory and environment, and waits for
// it without limit. After a stop it waits stop_wait_seconds more, then kills everything the
// command started; a second stop kills it at once. On POSIX standard input is /dev/null: the
// command runs in a process group of its own, which may not read the terminal. Whatever the command
// leaves running when the interpreter ends is ended; if Brindle dies, the command ends with it.
command_result run_command(const std::string& command_line, const command_settings& settings = {});

// Runs the program at `program` with `arguments` (its own name not among them) as run_command
// runs the interpreter, in a process group or job object of its own, with the same priority,
// output and stop handling, but with no interpreter: each argument reaches the program as it is,
// so no name in one can become a command. A program that cannot be started ends with exit code
// 127 on POSIX and not_started on Windows.
command_result run_program(const std::string& program, const std::vector<std::string>& arguments,
                           const command_settings& settings = {});

// Where the command interpreter finds the program `name` ("ffmpeg") when a command line names it
// bare: on POSIX the first executable regular file of that name in the folders of PATH; on
// Windows NAME.exe in the working directory, then in Brindle's own folder, then in the folders
// of PATH. Nothing when there is none.
std::optional<std::string> find_program(const std::string& name);

// Installs the handlers that turn a stop request into a stop_signal: called once, when encoding
// begins (before that a stop ends the program at once, as it ends any other). On POSIX a stop
// signal ignored from the start (nohup, a background job) stays ignored.
void install_stop_handlers();
// The stop asked for so far, 0 when none.
int stop_requested();

// While one of these lives, a stop request waits: the few steps of a replace finish or are undone
// before the run stops.
class stop_deferral {
public:
    stop_deferral();
    ~stop_deferral();
    stop_deferral(const stop_deferral&) = delete;
    stop_deferral& operator=(const stop_deferral&) = delete;
};

enum class lock_result { acquired, held_elsewhere, held_by_left_encoder, cannot_create };
// Takes an exclusive lock on the file `name` in the working directory, creating it when needed,
// and writes this process's identity into it. The system releases the lock when the process ends,
// however it ends; on POSIX the encoders run_command starts hold it too, for as long as they live.
// held_by_left_encoder: the run that wrote the file has ended, and what holds the lock now is
// what it started.
lock_result lock_working_directory(const std::string& name);

// The process id, for names that must not collide with another run's.
unsigned long process_id();

// This machine's name as the system tells it; empty when it will not.
std::string host_name();

// What the system tells of the process `pid`: whether it runs (one that has ended but not been
// waited for does not), and when it started, in whole seconds of the system's clock, where the
// system tells.
struct process_start {
    bool running = false;
    std::optional<std::uint64_t> seconds;
};
process_start look_up_process(unsigned long pid);

}  // namespace brindle::platform
