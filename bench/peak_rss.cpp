// Runs a command and reports its wall-clock time and peak resident memory, so that the scan
// benchmark measures brindle and its reference the same way on machines without GNU time.
//
//   peak_rss REPORT_FILE COMMAND [ARGUMENT...]
//
// The command inherits standard input, output and error. REPORT_FILE receives one line:
// "<wall nanoseconds> <peak resident KiB> <exit status>". The runner's own exit code is the
// command's, or 127 when it could not be started.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s REPORT_FILE COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 127;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("wait4");
        return 127;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    std::ofstream report(argv[1]);
    // Linux reports ru_maxrss in KiB.
    report << std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() << ' '
           << usage.ru_maxrss << ' ' << exit_status << '\n';
    return report ? exit_status : 127;
}
