// The program's entry on POSIX: arguments arrive as bytes and are passed on unchanged.

#include <string>
#include <vector>

#include "cli/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    const int code = brindle::run(args);
    brindle::platform::flush_out();
    return code;
}
