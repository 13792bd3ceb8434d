#include "cli/options.h"

#include <cstddef>
#include <string_view>
#include <utility>

#include "platform/paths.h"

namespace brindle {

namespace {

constexpr std::size_t max_path_length = 255;
constexpr std::size_t max_ext_length = 15;

// Each option is looked for on its own over the whole range, values of other options included:
// arguments are never consumed in pairs. Answers the position, or 0 when it is absent.
std::size_t find_option(const std::vector<std::string>& args, std::string_view option,
                        std::size_t first, std::size_t last) {
    for (std::size_t i = first; i <= last && i < args.size(); ++i) {
        if (args[i] == option) return i;
    }
    return 0;
}

parse_result usage_error(std::string printed_so_far, std::string_view message) {
    parse_result result;
    result.output = std::move(printed_so_far) + usage_text() + std::string(message);
    result.exit_code = 1;
    return result;
}

parse_result answer_alone(std::string text) {
    parse_result result;
    result.output = std::move(text);
    result.exit_code = 0;
    return result;
}

constexpr std::string_view value_options[] = {"-days",   "-dir",   "-ext",      "-minsize",
                                              "-config", "-until", "-priority", "-shard"};
constexpr std::string_view switch_options[] = {"-scanonly", "-docurrent", "-retry"};

bool is_one_of(std::string_view argument, const auto& names) {
    for (const std::string_view name : names) {
        if (argument == name) return true;
    }
    return false;
}

// The first argument that looks like an option but is none, and is not the value of the option
// before it: a mistyped "-ScanOnly" must not turn a dry run into an encode.
const std::string* find_unknown_option(const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& argument = args[i];
        if (argument.empty() || argument.front() != '-') continue;
        if (is_one_of(argument, value_options) || is_one_of(argument, switch_options)) continue;
        if (i >= 2 && is_one_of(args[i - 1], value_options)) continue;
        return &argument;
    }
    return nullptr;
}

// The values of the scheduling options; an empty message when they are all good.
std::string read_run_controls(const std::vector<std::string>& args, std::size_t last_with_value,
                              run_options& options) {
    if (const std::size_t at = find_option(args, "-until", 1, last_with_value); at != 0) {
        options.until_minutes = read_clock_time(args[at + 1]);
        if (options.until_minutes < 0) {
            return "\n\tThe -until value must be a time of day from 0:00 to 23:59, as H:MM or "
                   "HH:MM.\n";
        }
    }
    if (const std::size_t at = find_option(args, "-priority", 1, last_with_value); at != 0) {
        const std::string& value = args[at + 1];
        if (value != "low" && value != "normal") {
            return "\n\tThe -priority value must be low or normal.\n";
        }
        options.low_priority = value == "low";
    }
    if (const std::size_t at = find_option(args, "-shard", 1, last_with_value); at != 0) {
        if (!read_shard(args[at + 1], options.shard_index, options.shard_count)) {
            return "\n\tThe -shard value must be K/N with 1 <= K <= N <= 1000, as in -shard 2/3.\n";
        }
    }
    options.retry = find_option(args, "-retry", 1, args.size() - 1) != 0;
    return {};
}

bool is_white_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string usage_text() {
    // Stored texts print through the formatter, so each "%%" of the originals is one "%" here.
    static constexpr std::string_view texts[] = {
        "\nBrindle v1.0.1 Brought to you by https://brindle.example.org\n",
        "\nThis will recursively scan the path given for new non-H.265 files and encode them to "
        "H.265. This is ideal for \nusing automated downloader and wanting to keep your library "
        "converted. Recommended days value is 3 days. This allows \nfor propers and better "
        "versions to be obtained before encoding. This should be run every day \nby the windows "
        "task scheduler at midnight or 8am or such.\nPlace in same folder with ffmpeg.exe.\n",
        "\nUsage:\n",
        "  Brindle.exe -days X -dir X -ext X -minsize X -config X -docurrent\n",
        "\t-days X = the amount of days to scan, example -days 3 for the last 3 days\n\t  By "
        "default we do not do the last two days. Add -docurrent to end of\n\t  command line to "
        "do current.",
        "\t-dir X = the dir to scan. Example -dir \\\\server\\n\\tv\n",
        "\t-ext X = the file extension without the period. Example -dir mkv\n",
        "\t-minsize X = the minimum size in MB. Optional. Leaving this out will result in no size "
        "filter.\n",
        "\t  Example: -minsize 1000 for 1GB.\n",
        "\t-config X = path to ffmpeg config file. This is optional\n",
        "\t  If it exists, it has the ffmpeg command line with %1 in place of input file and %2 "
        "in place of output file\n",
        "\t  example: ffmpeg -i %1 -sn -c:v libx265 -preset superfast -crf 19 -x265-params "
        "deblock=-4,0 -c:a copy %2\n",
        "\t-docurrent - if present at end of command line, will include the last two days in the "
        "scan.\n\t  These are left out so auto downloaders have a chance to get better "
        "versions\n\t  or get propers before we take over the file.\n",
        "\t-scanonly - if present at end of command line, will print out files to be processed "
        "but\n\t  no encoding will be done.\n",
    };
    std::string text;
    for (const auto piece : texts) text += piece;
    return text;
}

namespace {

// Digits only, at least one and at most `most`; -1 otherwise.
int read_digits(std::string_view text, std::size_t most) {
    if (text.empty() || text.size() > most) return -1;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

int read_clock_time(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return -1;
    const std::string_view whole = text;
    const int hours = read_digits(whole.substr(0, colon), 2);
    const std::string_view minutes_text = whole.substr(colon + 1);
    const int minutes = minutes_text.size() == 2 ? read_digits(minutes_text, 2) : -1;
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return -1;
    return hours * 60 + minutes;
}

bool read_shard(const std::string& text, int& index, int& count) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    const std::string_view whole = text;
    const int k = read_digits(whole.substr(0, slash), 4);
    const int n = read_digits(whole.substr(slash + 1), 4);
    if (k < 1 || n < k || n > 1000) return false;
    index = k;
    count = n;
    return true;
}

std::int32_t read_integer(const std::string& text) {
    constexpr std::uint64_t int32_limit = 2147483648ULL;  // one past the largest positive value
    std::size_t i = 0;
    while (i < text.size() && is_white_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Past the limit the value is clamped anyway, so the magnitude stops growing there.
    std::uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude <= int32_limit) {
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0');
        }
    }
    if (negative) {
        if (magnitude >= int32_limit) return INT32_MIN;
        return -static_cast<std::int32_t>(magnitude);
    }
    if (magnitude >= int32_limit) return INT32_MAX;
    return static_cast<std::int32_t>(magnitude);
}

parse_result parse_command_line(const std::vector<std::string>& args) {
    if (args.size() == 2) {
        const std::string& only = args[1];
        if (only == "-h" || only == "-?" || only == "/?" || only == "--help") {
            return answer_alone(usage_text());
        }
        if (only == "--version") return answer_alone("Brindle v1.0.1\n");
    }
    // The program name and three options with their values are the least a run needs.
    if (args.size() < 7) return usage_error({}, {});

    // Value options are never matched in the last position, where no value could follow them;
    // the switches are matched anywhere.
    const std::size_t last_with_value = args.size() - 2;
    const std::size_t last_switch = args.size() - 1;

    parse_result result;
    run_options& options = result.options;

    const std::size_t days_at = find_option(args, "-days", 1, last_with_value);
    if (days_at == 0) {
        return usage_error({}, "\n\tMissing -days flag. If you want all days use -days 9999999\n");
    }
    options.days = read_integer(args[days_at + 1]);

    const std::size_t dir_at = find_option(args, "-dir", 1, last_with_value);
    if (dir_at == 0) {
        return usage_error({}, "\n\tMissing -dir flag. Perhaps -dir c:\\movies \n");
    }
    if (platform::native_length(args[dir_at + 1]) > max_path_length) {
        return usage_error({}, "\n\tThe -dir value is longer than 255 characters.\n");
    }
    options.dir = args[dir_at + 1];

    const std::size_t ext_at = find_option(args, "-ext", 1, last_with_value);
    if (ext_at == 0) {
        return usage_error({}, "\n\tMissing -ext flag. Perhaps -ext mkv or -ext *\n");
    }
    if (platform::native_length(args[ext_at + 1]) > max_ext_length) {
        return usage_error({}, "\n\tThe -ext value is longer than 15 characters.\n");
    }
    options.ext = args[ext_at + 1];

    if (const std::string* unknown = find_unknown_option(args)) {
        return usage_error({}, "\n\tUnknown option " + *unknown + "\n");
    }
    if (std::string message = read_run_controls(args, last_with_value, options); !message.empty()) {
        return usage_error({}, message);
    }

    const std::size_t minsize_at = find_option(args, "-minsize", 1, last_with_value);
    if (minsize_at != 0) options.minsize = read_integer(args[minsize_at + 1]);

    for (std::size_t i = 1; i <= last_with_value; ++i) {
        if (args[i] != "-config") continue;
        const std::string& value = args[i + 1];
        if (platform::native_length(value) > max_path_length) {
            return usage_error(std::move(result.output),
                               "\n\tThe -config value is longer than 255 characters.\n");
        }
        options.config = value;
        result.output += "Custom config file specified " + value + "\n";
    }

    // Searched after "-config", so scan-only mode never opens a configuration file.
    for (std::size_t i = 1; i <= last_switch; ++i) {
        if (args[i] != "-scanonly") continue;
        options.scanonly = true;
        options.config.clear();
        result.output += "Scan Only selected. No encoding\n";
    }

    options.docurrent = find_option(args, "-docurrent", 1, last_switch) != 0;

    result.ok = true;
    return result;
}

}  // namespace brindle
