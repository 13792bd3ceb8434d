// Processes on Linux: the encoder run under a guardian, the stop requests, and the run's lock.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/output_tail.h"
#include "platform/posix_support.h"
#include "platform/process.h"

extern char** environ;

namespace brindle::platform {

using posix::open_retrying;
using posix::ticks_from_unix;
using posix::unique_fd;

interpreter_kind command_interpreter() { return interpreter_kind::posix_sh; }

// ---- Running a command and stopping cleanly ---------------------------------------------
//
// Brindle starts a guardian process, and the guardian starts the interpreter in a process
// group of its own, so that a stop reaches everything the command started (dash does not exec
// the last command of -c: the encoder is a grandchild) and nothing of Brindle's. The guardian is
// the parent of the interpreter and the subreaper of everything below it: it collects every
// process of the group itself and so knows when the group is gone. It learns of Brindle's death
// from end-of-file on a socket whose other end only Brindle holds (however Brindle dies: the
// parent-death signal is tied to a thread, the socket to the process), and then ends the group.
// Over the same socket Brindle tells it that a stop was passed on. Brindle waits with the stop
// signals and SIGCHLD blocked and taken by sigtimedwait, so no signal can fall between a check and
// the wait, and passes each stop on to the group.

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t requested_stop = 0;

void record_stop(int signal_number) {
    if (requested_stop == 0) requested_stop = signal_number;
}

bool is_stop_signal(int signal_number) {
    return std::find(std::begin(stop_signals), std::end(stop_signals), signal_number) !=
           std::end(stop_signals);
}

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : stop_signals) sigaddset(&set, signal_number);
    return set;
}

// Blocks a set of signals for the length of a scope and restores the mask it found.
class blocked_signals {
public:
    explicit blocked_signals(const sigset_t& set) { ::sigprocmask(SIG_BLOCK, &set, &before_); }
    ~blocked_signals() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }
    blocked_signals(const blocked_signals&) = delete;
    blocked_signals& operator=(const blocked_signals&) = delete;
    const sigset_t& before() const { return before_; }

private:
    sigset_t before_;
};

// Takes a stop signal that is waiting in the pending set (blocked, so its handler has not seen
// it) and records it. Answers the stop asked for so far.
int take_pending_stop() {
    const sigset_t stops = stop_signal_set();
    const timespec no_wait{};
    int taken;
    while ((taken = ::sigtimedwait(&stops, nullptr, &no_wait)) > 0) record_stop(taken);
    return requested_stop;
}

// The nice value 10 steps below Brindle's own, as far as the system's lowest priority allows.
int lowered_nice_value() {
    errno = 0;
    int own = ::getpriority(PRIO_PROCESS, 0);
    if (own == -1 && errno != 0) own = 0;
    return std::min(own + 10, 19);
}

// The signals whose disposition the guardian changes for itself; the interpreter gets
// Brindle's back (ignored stays ignored, anything else becomes the default).
constexpr int guardian_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// What the guardian and the interpreter need, prepared before the fork: after it, they call only
// async-signal-safe functions.
struct command_plan {
    const char* program = nullptr;  // /bin/sh, or the program run_program starts
    char* const* argv = nullptr;
    int null_input = -1;
    int output_write = -1;  // the capture pipe, or -1: the command writes to Brindle's own output
    int lock = -1;          // the run's lock, which the command holds on
    bool set_nice = false;
    int nice_value = 0;
    sigset_t mask{};  // the interpreter's signal mask
    bool ignored[std::size(guardian_signals)] = {};
    int life_read = -1;     // a byte: a stop was passed on; end-of-file: Brindle has died
    int life_write = -1;    // Brindle's end
    int report_read = -1;   // Brindle's end
    int report_write = -1;  // what the guardian tells Brindle
};

// The guardian's first word to Brindle: the interpreter's process id (its group), or -1 and
// the fork's error.
struct start_report {
    pid_t group = -1;
    int error = 0;
};

[[noreturn]] void become_interpreter(const command_plan& plan) {
    ::setpgid(0, 0);
    if (plan.set_nice) ::setpriority(PRIO_PROCESS, 0, plan.nice_value);
    // The group is not the terminal's foreground group: an encoder reading or setting up the
    // terminal would be stopped by SIGTTIN or SIGTTOU and never end. Stops come through Brindle.
    if (plan.null_input >= 0) ::dup2(plan.null_input, STDIN_FILENO);
    if (plan.output_write >= 0) {
        ::dup2(plan.output_write, STDOUT_FILENO);
        ::dup2(plan.output_write, STDERR_FILENO);
    }
    // An encoder left behind by a run that was killed with its guardian keeps the lock, so no
    // later run starts a second encoder beside it.
    if (plan.lock >= 0) ::fcntl(plan.lock, F_SETFD, 0);
    // Set while the signals are still blocked: a stop passed on before the exec ends this child.
    for (std::size_t i = 0; i < std::size(guardian_signals); ++i) {
        struct sigaction action {};
        action.sa_handler = plan.ignored[i] ? SIG_IGN : SIG_DFL;
        ::sigaction(guardian_signals[i], &action, nullptr);
    }
    ::sigprocmask(SIG_SETMASK, &plan.mask, nullptr);
    ::execve(plan.program, plan.argv, environ);
    ::_exit(127);
}

void write_whole(int fd, const void* data, std::size_t size) {
    while (::write(fd, data, size) < 0 && errno == EINTR) {
    }
}

std::int64_t monotonic_milliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

constexpr char stop_passed_on = 's';

// The descriptor that holds the run's lock, once taken.
int run_lock_descriptor = -1;

// The guardian: starts the interpreter, collects every process of its group, and writes the
// interpreter's wait status to Brindle once the group is gone. What the interpreter leaves
// running when it ends is killed; after a stop it has a few seconds first (an encoder that got
// the signal with the interpreter finishes its file). When Brindle dies, the group is killed. The
// guardian keeps every descriptor it was born with, the run's lock among them, until then: a second
// run cannot start beside a dying encoder. It sits in a process group of its own, out of reach of a
// signal sent to Brindle's group, and ignores the stop signals.
[[noreturn]] void guard_command(const command_plan& plan) {
    ::setpgid(0, 0);
    ::close(plan.life_write);
    ::close(plan.report_read);
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    for (const int signal_number : guardian_signals) ::sigaction(signal_number, &action, nullptr);
    action.sa_handler = SIG_DFL;  // an ignored SIGCHLD would collect the children unseen
    ::sigaction(SIGCHLD, &action, nullptr);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);  // blocked since Brindle blocked it
    const int child_events = ::signalfd(-1, &child_signal, SFD_CLOEXEC | SFD_NONBLOCK);

    start_report started;
    started.group = ::fork();
    if (started.group == 0) become_interpreter(plan);
    started.error = errno;
    if (started.group > 0) ::setpgid(started.group, started.group);
    write_whole(plan.report_write, &started, sizeof started);
    if (started.group < 0) ::_exit(1);

    constexpr std::int64_t grace_milliseconds = 5000;
    const pid_t group = started.group;
    int status = 0;
    bool ended = false, killed = false, brindle_alive = true, stopping = false;
    std::int64_t ended_at = 0;
    for (;;) {
        int child_status = 0;
        pid_t collected;
        while ((collected = ::waitpid(-1, &child_status, WNOHANG)) > 0) {
            if (collected != group) continue;
            status = child_status;
            ended = true;
            ended_at = monotonic_milliseconds();
        }
        // Read after collecting: Brindle tells of a stop before it passes the signal on, so an
        // interpreter ended by the signal is always seen as stopped.
        while (brindle_alive) {
            char word = 0;
            const ssize_t got = ::recv(plan.life_read, &word, 1, MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
            if (got == 1 && word == stop_passed_on) stopping = true;
            if (got != 1) brindle_alive = false;
        }
        if (ended && ::waitpid(-group, nullptr, WNOHANG) < 0 && errno == ECHILD) break;
        const std::int64_t grace = stopping ? grace_milliseconds : 0;
        const std::int64_t left = ended ? ended_at + grace - monotonic_milliseconds() : -1;
        if (!killed && (!brindle_alive || (ended && left <= 0))) {
            ::kill(-group, SIGKILL);
            killed = true;
        }
        pollfd events[2] = {{child_events, POLLIN, 0},
                            {brindle_alive ? plan.life_read : -1, POLLIN, 0}};
        const int timeout =
            ended && !killed ? static_cast<int>(std::max<std::int64_t>(left, 0)) : -1;
        ::poll(events, 2, child_events >= 0 ? timeout : 100);
        signalfd_siginfo drained;
        while (child_events >= 0 && ::read(child_events, &drained, sizeof drained) > 0) {
        }
    }
    write_whole(plan.report_write, &status, sizeof status);
    ::_exit(0);
}

bool read_whole(int fd, void* data, std::size_t size) {
    ssize_t got;
    do got = ::read(fd, data, size);
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(size);
}

// Closes both ends of a pipe that are still open.
struct pipe_ends {
    int fd[2] = {-1, -1};
    ~pipe_ends() {
        for (const int end : fd) {
            if (end >= 0) ::close(end);
        }
    }
    void close_end(int which) {
        ::close(fd[which]);
        fd[which] = -1;
    }
};

// Reads what the command wrote so far into the tail. Answers false at the end of the output.
bool read_output(int output, output_tail& tail) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(output, buffer, sizeof buffer);
        if (got > 0) {
            tail.add(std::string_view(buffer, static_cast<std::size_t>(got)));
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

// What Brindle watches while the command runs.
struct command_watch {
    pid_t guardian = -1;
    pid_t group = -1;
    int life_write = -1;
    int output = -1;  // the capture pipe's read end, or -1
    sigset_t watched{};
    const std::function<bool()>* keep_running = nullptr;
};

// Passes a stop signal on to the command's group; a second stop kills the group.
void pass_stop_on(const command_watch& watch, int taken, command_result& result) {
    record_stop(taken);
    if (result.stop_signal != 0) {
        if (result.killed == stop_kill::none) result.killed = stop_kill::at_second_stop;
        ::kill(-watch.group, SIGKILL);
        return;
    }
    result.stop_signal = taken;
    ::send(watch.life_write, &stop_passed_on, 1, MSG_NOSIGNAL);
    ::kill(-watch.group, taken);
    ::kill(-watch.group, SIGCONT);  // a stopped process acts on the signal only once continued
}

// Takes the watched signals that have come: through the signalfd, and any it missed.
std::vector<int> take_signals(int signals, const sigset_t& watched) {
    std::vector<int> taken;
    signalfd_siginfo info;
    while (signals >= 0 && ::read(signals, &info, sizeof info) == sizeof info) {
        taken.push_back(static_cast<int>(info.ssi_signo));
    }
    const timespec no_wait{};
    int signal_number;
    while ((signal_number = ::sigtimedwait(&watched, nullptr, &no_wait)) > 0) {
        taken.push_back(signal_number);
    }
    return taken;
}

// Waits until the guardian has ended, passing each stop signal on to the command's group, killing
// the group stop_wait_seconds after the first stop, and reading the captured output meanwhile.
// The stop signals and SIGCHLD, blocked, wake the wait through a signalfd. Answers false when the
// guardian cannot be waited for.
bool wait_for_guardian(command_watch& watch, command_result& result) {
    const unique_fd signals(::signalfd(-1, &watch.watched, SFD_CLOEXEC | SFD_NONBLOCK));
    output_tail tail;
    std::int64_t kill_at = 0;
    std::int64_t next_watch = monotonic_milliseconds() + watch_period_milliseconds;
    for (;;) {
        const pid_t ended = ::waitpid(watch.guardian, nullptr, WNOHANG);
        if (ended == watch.guardian) break;
        if (ended < 0 && errno != EINTR) return false;
        std::int64_t wait_ms = signals.get() >= 0 ? 1000 : 100;
        if (*watch.keep_running && result.stop_signal == 0 && !result.cut_short) {
            const std::int64_t now = monotonic_milliseconds();
            if (now >= next_watch) {
                next_watch = now + watch_period_milliseconds;
                if (!(*watch.keep_running)()) {
                    result.cut_short = true;
                    ::kill(-watch.group, SIGKILL);
                }
            }
            wait_ms = std::clamp<std::int64_t>(next_watch - now, 0, wait_ms);
        }
        if (result.stop_signal != 0 && result.killed == stop_kill::none) {
            wait_ms = std::clamp<std::int64_t>(kill_at - monotonic_milliseconds(), 0, wait_ms);
        }
        pollfd events[2] = {{signals.get(), POLLIN, 0}, {watch.output, POLLIN, 0}};
        ::poll(events, 2, static_cast<int>(wait_ms));
        if (watch.output >= 0 && !read_output(watch.output, tail)) watch.output = -1;
        for (const int taken : take_signals(signals.get(), watch.watched)) {
            if (!is_stop_signal(taken)) continue;
            const std::int64_t now = monotonic_milliseconds();
            if (result.stop_signal == 0) {
                kill_at = now + stop_wait_seconds * 1000;
            } else if (now < kill_at - stop_wait_seconds * 1000 + same_stop_milliseconds) {
                continue;
            }
            pass_stop_on(watch, taken, result);
        }
        if (result.stop_signal != 0 && result.killed == stop_kill::none &&
            monotonic_milliseconds() >= kill_at) {
            result.killed = stop_kill::after_wait;
            ::kill(-watch.group, SIGKILL);
        }
    }
    if (watch.output >= 0) read_output(watch.output, tail);
    result.output_tail = tail.lines();
    return true;
}

// Starts `program` with `arguments` (its own name first) under a guardian and waits for it, as
// run_command and run_program promise.
command_result run_guarded(const std::string& program, std::vector<std::string> arguments,
                           const command_settings& settings) {
    command_result result;
    sigset_t watched = stop_signal_set();
    sigaddset(&watched, SIGCHLD);
    const blocked_signals blocked(watched);
    if (const int stop = take_pending_stop(); stop != 0) {
        result.stop_signal = stop;
        result.error = "a stop was asked for before the command could start";
        return result;
    }

    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const unique_fd null_input(open_retrying("/dev/null", O_RDONLY | O_CLOEXEC));
    pipe_ends life, report, output;
    // A socket, so that a word to a guardian that has died cannot raise SIGPIPE in Brindle.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, life.fd) != 0 ||
        ::pipe2(report.fd, O_CLOEXEC) != 0 ||
        (settings.capture_output &&
         (::pipe2(output.fd, O_CLOEXEC) != 0 || ::fcntl(output.fd[0], F_SETFL, O_NONBLOCK) != 0))) {
        result.error = std::strerror(errno);
        return result;
    }
    command_plan plan;
    plan.program = program.c_str();
    plan.argv = argv.data();
    plan.null_input = null_input.get();
    plan.output_write = output.fd[1];
    plan.lock = run_lock_descriptor;
    plan.set_nice = settings.low_priority;
    plan.nice_value = lowered_nice_value();
    plan.mask = blocked.before();
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigdelset(&plan.mask, signal_number);
    }
    for (std::size_t i = 0; i < std::size(guardian_signals); ++i) {
        struct sigaction current {};
        ::sigaction(guardian_signals[i], nullptr, &current);
        plan.ignored[i] = current.sa_handler == SIG_IGN;
    }
    plan.life_read = life.fd[0];
    plan.life_write = life.fd[1];
    plan.report_read = report.fd[0];
    plan.report_write = report.fd[1];

    const pid_t guardian = ::fork();
    if (guardian == 0) guard_command(plan);
    if (guardian < 0) {
        result.error = std::strerror(errno);
        return result;
    }
    ::setpgid(guardian, guardian);  // as the guardian does: whichever runs first
    life.close_end(0);
    report.close_end(1);
    if (settings.capture_output) output.close_end(1);

    start_report started;
    const bool reported = read_whole(report.fd[0], &started, sizeof started);
    if (!reported || started.group < 0) {
        result.error = reported ? std::strerror(started.error) : "the command could not be started";
        ::kill(guardian, SIGKILL);
        while (::waitpid(guardian, nullptr, 0) < 0 && errno == EINTR) {
        }
        return result;
    }
    command_watch watch{guardian,     started.group, life.fd[1],
                        output.fd[0], watched,       &settings.keep_running};
    const bool guardian_ended = wait_for_guardian(watch, result);
    int status = 0;
    if (!guardian_ended || !read_whole(report.fd[0], &status, sizeof status)) {
        // The guardian was killed: end what it guarded, so nothing runs on unseen.
        ::kill(-started.group, SIGKILL);
        result.how = command_result::ending::unseen;
        result.error = "the command's end could not be seen";
        return result;
    }
    if (WIFEXITED(status)) {
        result.how = command_result::ending::exited;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.how = command_result::ending::signalled;
        result.code = WTERMSIG(status);
    }
    return result;
}

}  // namespace

command_result run_command(const std::string& command_line, const command_settings& settings) {
    return run_guarded("/bin/sh", {"sh", "-c", command_line}, settings);
}

command_result run_program(const std::string& program, const std::vector<std::string>& arguments,
                           const command_settings& settings) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_guarded(program, std::move(argv), settings);
}

std::optional<std::string> find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    for (const std::string& folder : search_path_folders(path == nullptr ? "" : path, ':')) {
        const std::string candidate = folder + "/" + name;
        struct stat status;
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = record_stop;
    sigemptyset(&action.sa_mask);
    // Outside run_command nothing waits for a stop; a call it interrupts goes on where it was.
    action.sa_flags = SA_RESTART;
    for (const int signal_number : stop_signals) {
        struct sigaction previous {};
        ::sigaction(signal_number, nullptr, &previous);
        // A signal ignored from the start (nohup, a background job) stays ignored.
        if (previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signal_number, &action, nullptr);
    }
    const sigset_t stops = stop_signal_set();
    ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

int stop_requested() { return requested_stop; }

namespace {

// Deferrals nest; the outermost one blocks the stop signals and restores the mask it found.
int deferral_depth = 0;
sigset_t mask_before_deferral;

}  // namespace

stop_deferral::stop_deferral() {
    if (deferral_depth++ > 0) return;
    const sigset_t stops = stop_signal_set();
    ::sigprocmask(SIG_BLOCK, &stops, &mask_before_deferral);
}

// Unblocking delivers a stop that came meanwhile to its handler before sigprocmask returns, so
// stop_requested() reports it from here on.
stop_deferral::~stop_deferral() {
    if (--deferral_depth > 0) return;
    ::sigprocmask(SIG_SETMASK, &mask_before_deferral, nullptr);
}

namespace {

// The first bytes of a file under /proc, or nothing.
std::string read_proc_file(const std::string& path) {
    const unique_fd fd(open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return {};
    std::string text(4096, '\0');
    const ssize_t got = ::read(fd.get(), text.data(), text.size());
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

// What /proc/PID/stat tells of a process: whether it has ended but not been waited for (a zombie)
// and when it started, in clock ticks since boot (0 when unknown).
struct proc_start {
    bool ended = false;
    unsigned long long ticks = 0;
};

proc_start read_proc_start(unsigned long pid) {
    const std::string text = read_proc_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name in parentheses may hold blanks and parentheses: the fields after its
    // last ')' are the state (the third field) and then the rest, the start time the 22nd.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return {};
    const char* field = text.c_str() + close + 1;
    while (*field == ' ') ++field;
    const bool ended = *field == 'Z' || *field == 'X';
    for (int skipped = 0; skipped < 19 && *field != '\0'; ++skipped) {
        field = std::strchr(field, ' ');
        if (field == nullptr) return {ended, 0};
        ++field;
    }
    return {ended, std::strtoull(field, nullptr, 10)};
}

// When the process `pid` started, in clock ticks since boot, as the lock file keeps it; 0 when
// it is gone or unknown.
unsigned long long process_start_time(pid_t pid) {
    return read_proc_start(static_cast<unsigned long>(pid)).ticks;
}

// The run's identity, written into the lock file: its process id and when it started.
std::string run_identity(pid_t pid) {
    return std::to_string(pid) + " " + std::to_string(process_start_time(pid)) + "\n";
}

// Whether the run whose identity the lock file holds has ended. A file that names no run, or a
// system that tells no start times, answers false: another run may hold the lock.
bool locking_run_has_ended(int fd) {
    char text[64] = {};
    if (::pread(fd, text, sizeof text - 1, 0) <= 0) return false;
    char* rest = nullptr;
    const long pid = std::strtol(text, &rest, 10);
    const unsigned long long started = std::strtoull(rest, nullptr, 10);
    if (pid <= 0 || started == 0) return false;
    return process_start_time(static_cast<pid_t>(pid)) != started;
}

}  // namespace

lock_result lock_working_directory(const std::string& name) {
    // The lock file is emptied and written: never through a link planted at its name, and never
    // a file that has a second name elsewhere (a video of the library, say).
    unique_fd file(open_retrying(
        name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    struct stat status;
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_nlink != 1) {
        return lock_result::cannot_create;
    }
    int locked;
    do locked = ::flock(file.get(), LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        if (errno != EWOULDBLOCK) return lock_result::cannot_create;
        return locking_run_has_ended(file.get()) ? lock_result::held_by_left_encoder
                                                 : lock_result::held_elsewhere;
    }
    const std::string identity = run_identity(::getpid());
    if (::ftruncate(file.get(), 0) == 0) {
        write_whole(file.get(), identity.data(), identity.size());
    }
    // The descriptor stays open until the process ends, and the lock with it; the system drops
    // both however the process ends. O_CLOEXEC keeps other children from holding it on; the
    // interpreter of an encode is given it on purpose.
    run_lock_descriptor = file.release();
    return lock_result::acquired;
}

bool output_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

namespace {

// The boot time in seconds since 1970, which the process start times under /proc count from.
std::uint64_t boot_time() {
    const std::string text = read_proc_file("/proc/stat");
    const auto at = text.find("\nbtime ");
    return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 7, nullptr, 10);
}

}  // namespace

process_start look_up_process(unsigned long pid) {
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return {};
    const proc_start start = read_proc_start(pid);
    if (start.ended) return {};
    const long per_second = ::sysconf(_SC_CLK_TCK);
    if (start.ticks == 0 || per_second <= 0) return {true, std::nullopt};
    return {true, boot_time() + start.ticks / static_cast<std::uint64_t>(per_second)};
}

}  // namespace brindle::platform
