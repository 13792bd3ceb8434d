#include "cli/options.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "cli/exit_codes.h"
#include "platform/paths.h"
#include "vocabulary/ascii_case.h"

namespace brindle {

namespace {

constexpr std::size_t max_path_length = 255;
constexpr std::size_t max_ext_length = 15;

parse_result usage_error(std::string printed_so_far, std::string_view message) {
    parse_result result;
    result.output = std::move(printed_so_far) + usage_text() + std::string(message);
    result.exit_code = exit_input_fault;
    return result;
}

parse_result answer_alone(std::string text) {
    parse_result result;
    result.output = std::move(text);
    result.exit_code = exit_success;
    return result;
}

// One option of the command line. A value option is looked for up to the last argument but one,
// where a value can still follow it; a switch anywhere.
struct option_rule {
    std::string_view name;
    bool takes_value = true;
    // Read at every occurrence, each announced, the last one standing; otherwise only the first
    // occurrence is read.
    bool every_occurrence = false;
    // Printed after the usage text when the option is absent; empty when it may be left out.
    std::string_view missing = {};
    // Printed after the usage text when `take` refuses the value.
    std::string_view bad_value = {};
    // Printed at each occurrence of an announced option; a value option's value and a line break
    // follow it.
    std::string_view announce = {};
    // Stores the value (empty for a switch) in the options; false when the value is refused.
    bool (*take)(run_options& options, const std::string& value) = nullptr;
};

bool fits(const std::string& value, std::size_t longest) {
    return platform::native_length(value) <= longest;
}

// In the order they are read, which is the order of their messages: the three a run cannot do
// without come first, and only then are unknown options looked for.
constexpr option_rule option_table[] = {
    {.name = "-days",
     .missing = "\n\tMissing -days flag. If you want all days use -days 9999999\n",
     .take =
         [](run_options& o, const std::string& v) {
             o.days = read_integer(v);
             return true;
         }},
    {.name = "-dir",
     .missing = "\n\tMissing -dir flag. Perhaps -dir c:\\movies \n",
     .bad_value = "\n\tThe -dir value is longer than 255 characters.\n",
     .take =
         [](run_options& o, const std::string& v) {
             o.dir = v;
             return fits(v, max_path_length);
         }},
    {.name = "-ext",
     .missing = "\n\tMissing -ext flag. Perhaps -ext mkv or -ext *\n",
     .bad_value = "\n\tThe -ext value is longer than 15 characters.\n",
     .take =
         [](run_options& o, const std::string& v) {
             o.ext = v;
             return fits(v, max_ext_length);
         }},
    {.name = "-until",
     .bad_value = "\n\tThe -until value must be a time of day from 0:00 to 23:59, as H:MM or "
                  "HH:MM.\n",
     .take =
         [](run_options& o, const std::string& v) {
             const std::optional<int> minutes = read_clock_time(v);
             if (minutes) o.until_minutes = *minutes;
             return minutes.has_value();
         }},
    {.name = "-priority",
     .bad_value = "\n\tThe -priority value must be low or normal.\n",
     .take =
         [](run_options& o, const std::string& v) {
             o.low_priority = v == "low";
             return v == "low" || v == "normal";
         }},
    {.name = "-shard",
     .bad_value = "\n\tThe -shard value must be K/N with 1 <= K <= N <= 1000, as in -shard 2/3.\n",
     .take =
         [](run_options& o, const std::string& v) {
             const std::optional<std::pair<int, int>> shard = read_shard(v);
             if (shard) std::tie(o.shard_index, o.shard_count) = *shard;
             return shard.has_value();
         }},
    {.name = "-retry",
     .takes_value = false,
     .take =
         [](run_options& o, const std::string&) {
             o.retry = true;
             return true;
         }},
    {.name = "-verify",
     .bad_value = "\n\tThe -verify value must be samples, full or headers.\n",
     .take =
         [](run_options& o, const std::string& v) {
             if (v == "samples") o.verify = verify_level::samples;
             if (v == "full") o.verify = verify_level::full;
             if (v == "headers") o.verify = verify_level::headers;
             return v == "samples" || v == "full" || v == "headers";
         }},
    {.name = "-quality",
     .bad_value = "\n\tThe -quality value must be an SSIM between 0 and 1, as in -quality 0.98.\n",
     .take =
         [](run_options& o, const std::string& v) {
             const std::optional<double> quality = read_quality(v);
             if (quality) o.quality = *quality;
             return quality.has_value();
         }},
    {.name = "-minsize",
     .take =
         [](run_options& o, const std::string& v) {
             o.minsize = read_integer(v);
             return true;
         }},
    {.name = "-config",
     .every_occurrence = true,
     .bad_value = "\n\tThe -config value is longer than 255 characters.\n",
     .announce = "Custom config file specified ",
     .take =
         [](run_options& o, const std::string& v) {
             o.config = v;
             return fits(v, max_path_length);
         }},
    {.name = "-scanonly",
     .takes_value = false,
     .every_occurrence = true,
     .announce = "Scan Only selected. No encoding\n",
     .take =
         [](run_options& o, const std::string&) {
             o.scanonly = true;
             return true;
         }},
    {.name = "-docurrent",
     .takes_value = false,
     .take =
         [](run_options& o, const std::string&) {
             o.docurrent = true;
             return true;
         }},
};

const option_rule* rule_for(std::string_view argument) {
    for (const option_rule& rule : option_table) {
        if (argument == rule.name) return &rule;
    }
    return nullptr;
}

// "/scanonly", "scanonly", "\u2014scanonly": an option name behind the marks a Windows habit or a
// word processor puts in front of it, in any case. Such an argument is no value anyone means, and
// passing over it would turn a dry run into an encode.
bool is_option_name_in_disguise(std::string_view argument) {
    for (bool stripped = true; stripped;) {
        stripped = false;
        for (const std::string_view mark : {"-", "/", "\u2013", "\u2014"}) {
            if (argument.starts_with(mark)) {
                argument.remove_prefix(mark.size());
                stripped = true;
            }
        }
    }
    for (const option_rule& rule : option_table) {
        const std::string_view name = rule.name.substr(1);
        if (name.size() == argument.size() &&
            std::equal(name.begin(), name.end(), argument.begin(),
                       [](char a, char b) { return a == lower_ascii(b); })) {
            return true;
        }
    }
    return false;
}

bool looks_like_option(const std::string& argument) {
    return (!argument.empty() && argument.front() == '-') || is_option_name_in_disguise(argument);
}

// The first argument that looks like an option but is none, and is not the value of the option
// before it: a mistyped "-ScanOnly" must not turn a dry run into an encode.
const std::string* find_unknown_option(const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& argument = args[i];
        if (rule_for(argument) != nullptr) continue;
        if (!looks_like_option(argument)) continue;
        const option_rule* before = i >= 2 ? rule_for(args[i - 1]) : nullptr;
        if (before != nullptr && before->takes_value) continue;
        return &argument;
    }
    return nullptr;
}

// Reads the occurrences of one option into `result`. Each option is looked for on its own over
// the whole range, values of other options included: arguments are never consumed in pairs.
// Answers the message of a usage error, or an empty text.
std::string_view read_option(const std::vector<std::string>& args, const option_rule& rule,
                             parse_result& result) {
    const std::size_t last = rule.takes_value ? args.size() - 2 : args.size() - 1;
    const std::string no_value;
    bool found = false;
    for (std::size_t i = 1; i <= last; ++i) {
        if (args[i] != rule.name) continue;
        found = true;
        const std::string& value = rule.takes_value ? args[i + 1] : no_value;
        if (!rule.take(result.options, value)) return rule.bad_value;
        if (!rule.announce.empty()) {
            result.output += rule.announce;
            if (rule.takes_value) result.output += value + "\n";
        }
        if (!rule.every_occurrence) break;
    }
    if (!found) return rule.missing;
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

std::string help_text() {
    return usage_text() +
           "\t-until HH:MM - optional. No encode starts at or after this time of day; the files "
           "left wait for the next run.\n"
           "\t-priority low|normal - optional. The encoder's priority; low unless normal is "
           "given.\n"
           "\t-shard K/N - optional. This run takes only part K of N of the files, so that N "
           "machines can share one library.\n"
           "\t-retry - optional. Tries files again that an earlier run noted as failing.\n"
           "\t-verify samples|full|headers - optional. How much of each result's picture is "
           "compared with its source's before it is put in place; samples unless another is "
           "given.\n"
           "\t-quality SSIM - optional. Each file gets the highest CRF whose sample windows keep "
           "this SSIM (0.98, say) against the source; the configuration line takes it at %q.\n"
           "\nThe README explains each option, the configuration file, the exit codes and how to "
           "schedule a run.\n";
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

std::optional<double> read_quality(const std::string& text) {
    // Digits only, so that neither a locale's decimal comma nor "nan" or "1e-1" gets in.
    if (!text.starts_with("0.") && !text.starts_with(".")) return std::nullopt;
    const std::string_view digits = std::string_view(text).substr(text.find('.') + 1);
    if (digits.empty() || digits.size() > 6) return std::nullopt;
    long whole = 0;
    long scale = 1;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        whole = whole * 10 + (c - '0');
        scale *= 10;
    }
    if (whole == 0) return std::nullopt;
    return static_cast<double>(whole) / static_cast<double>(scale);
}

std::optional<int> read_clock_time(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::string_view whole = text;
    const int hours = read_digits(whole.substr(0, colon), 2);
    const std::string_view minutes_text = whole.substr(colon + 1);
    const int minutes = minutes_text.size() == 2 ? read_digits(minutes_text, 2) : -1;
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
    return hours * 60 + minutes;
}

std::optional<std::pair<int, int>> read_shard(const std::string& text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return std::nullopt;
    const std::string_view whole = text;
    const int k = read_digits(whole.substr(0, slash), 4);
    const int n = read_digits(whole.substr(slash + 1), 4);
    if (k < 1 || n < k || n > 1000) return std::nullopt;
    return std::pair(k, n);
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
            return answer_alone(help_text());
        }
        if (only == "--version") return answer_alone("Brindle v1.0.1\n");
    }
    // The program name and three options with their values are the least a run needs.
    if (args.size() < 7) return usage_error({}, {});

    parse_result result;
    bool unknown_checked = false;
    for (const option_rule& rule : option_table) {
        if (rule.missing.empty() && !unknown_checked) {
            unknown_checked = true;
            if (const std::string* unknown = find_unknown_option(args)) {
                return usage_error({}, "\n\tUnknown option " + *unknown + "\n");
            }
        }
        if (const std::string_view fault = read_option(args, rule, result); !fault.empty()) {
            return usage_error(std::move(result.output), fault);
        }
    }

    result.ok = true;
    return result;
}

}  // namespace brindle
