#pragma once

// The command line: the options of one run, the usage text and the rules that read them.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "encode/compare.h"

namespace brindle {

struct run_options {
    std::int32_t days = 0;
    std::string dir;           // at most 255 characters as the system counts them
    std::string ext;           // at most 15
    std::int32_t minsize = 0;  // MiB
    std::string config;        // at most 255; a scan-only run reads none
    bool scanonly = false;
    bool docurrent = false;
    // No encoder starts at or after the next time the local clock shows this many minutes past
    // midnight; -1 when there is no such limit.
    int until_minutes = -1;
    bool low_priority = true;  // the encoder runs below Brindle's own priority
    // This run takes only the candidates of shard `shard_index` (1-based) of `shard_count`.
    int shard_index = 1;
    int shard_count = 1;
    bool retry = false;  // try files again that an earlier run marked as failing
    // How much of each result's picture is compared with its source's before it is installed.
    verify_level verify = verify_level::samples;
    // The SSIM each result must keep (-quality); 0 without one, when the line's CRF is used.
    double quality = 0;
};

struct parse_result {
    bool ok = false;
    run_options options;
    // What the parse prints, in order: the "-config" and "-scanonly" lines, or on a usage error
    // the usage text and the message naming the fault.
    std::string output;
    int exit_code = 0;  // 1 on a usage error, 0 after --help or --version
};

// Reads the argument vector; args[0] is the program name and is never examined.
parse_result parse_command_line(const std::vector<std::string>& args);

// "H:MM" or "HH:MM" from 0:00 to 23:59 as minutes past midnight; nothing for anything else.
std::optional<int> read_clock_time(const std::string& text);

// A -quality value: a decimal number between 0 and 1, both left out, as "0.98"; nothing for
// anything else.
std::optional<double> read_quality(const std::string& text);

// "K/N" with 1 <= K <= N <= 1000, as K and N; nothing for anything else.
std::optional<std::pair<int, int>> read_shard(const std::string& text);

// The usage text, as printed.
std::string usage_text();
// What a request for help prints: the usage text, a line for each newer option and a pointer to
// the README.
std::string help_text();

// Reads a base-10 integer the way the options are read: leading white space skipped, one
// optional sign, digits up to the first non-digit, 0 without digits, clamped to 32 bits.
std::int32_t read_integer(const std::string& text);

}  // namespace brindle
