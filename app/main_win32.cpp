// The program's entry on Windows: arguments arrive as UTF-16 and are handed on as UTF-8.

#include <windows.h>

#include <string>
#include <vector>

#include "cli/driver.h"
#include "platform/console.h"

// The C runtime must not expand wildcards in the arguments: "-ext *" means every extension.
extern "C" {
int _dowildcard = 0;
}

namespace {

std::string utf8_argument(const wchar_t* argument) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, argument, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return {};
    std::string text(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, argument, -1, text.data(), needed, nullptr, nullptr);
    text.pop_back();  // the terminating zero
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(utf8_argument(argv[i]));
    const int code = brindle::run(args);
    brindle::platform::flush_out();
    return code;
}
