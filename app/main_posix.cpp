// The program's entry on POSIX: arguments arrive as bytes and are passed on unchanged.

#include <csignal>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "platform/console.h"

int main(int argc, char** argv) {
    // A parent that ignores SIGCHLD would have every child collected by the system, and the
    // encoder's exit code with it; the setting is inherited, so put the default back.
    std::signal(SIGCHLD, SIG_DFL);
    std::vector<std::string> args(argv, argv + argc);
    const int code = brindle::run(args);
    brindle::platform::flush_out();
    return code;
}
