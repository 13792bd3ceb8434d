#pragma once

#include <string>
#include <vector>

namespace brindle {

// One whole run: parse, load the template, scan, report, encode. Answers the exit code.
int run(const std::vector<std::string>& args);

}  // namespace brindle
