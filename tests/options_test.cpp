#include "cli/options.h"

#include <gtest/gtest.h>

#include "platform/paths.h"

namespace brindle {
namespace {

parse_result parse(std::vector<std::string> args) {
    args.insert(args.begin(), "brindle");
    return parse_command_line(args);
}

const std::string missing_days = "\n\tMissing -days flag. If you want all days use -days 9999999\n";
const std::string missing_dir = "\n\tMissing -dir flag. Perhaps -dir c:\\movies \n";
const std::string missing_ext = "\n\tMissing -ext flag. Perhaps -ext mkv or -ext *\n";

void expect_usage_error(const parse_result& result, const std::string& message,
                        const std::string& printed_before = "") {
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.output, printed_before + usage_text() + message);
}

TEST(Options, UsageTextIsPrintedAsFormatted) {
    const std::string text = usage_text();
    EXPECT_EQ(text.rfind("\nBrindle v1.0.1 Brought to you by https://brindle.example.org\n\n", 0),
              0u);
    EXPECT_EQ(text.find("%%"), std::string::npos) << "each %% prints as one %";
    EXPECT_NE(text.find("command line with %1 in place of input file and %2 in place"),
              std::string::npos);
    EXPECT_NE(text.find("to do current.\t-dir X = the dir to scan. Example -dir \\\\server\\n\\tv\n"
                        "\t-ext X = the file extension without the period. Example -dir mkv\n"),
              std::string::npos)
        << "text 5 ends without a line break; backslashes print as stored";
    const std::string last =
        "\t-scanonly - if present at end of command line, will print out files to be processed "
        "but\n\t  no encoding will be done.\n";
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST(Options, TooFewArgumentsPrintTheUsageTextAlone) {
    expect_usage_error(parse({}), "");
    expect_usage_error(parse({"-days", "3", "-dir", "D", "-ext"}), "");
    const parse_result six = parse({"-days", "3", "-dir", "D", "-ext", "mkv"});
    ASSERT_TRUE(six.ok);
    EXPECT_EQ(six.exit_code, 0);
    EXPECT_EQ(six.output, "");
    EXPECT_EQ(six.options.days, 3);
    EXPECT_EQ(six.options.dir, "D");
    EXPECT_EQ(six.options.ext, "mkv");
    EXPECT_EQ(six.options.minsize, 0);
    EXPECT_EQ(six.options.config, "");
    EXPECT_FALSE(six.options.scanonly);
    EXPECT_FALSE(six.options.docurrent);
}

TEST(Options, EachMissingMandatoryOptionNamesItself) {
    expect_usage_error(parse({"-dir", "D", "-ext", "mkv", "x", "-days"}), missing_days);
    expect_usage_error(parse({"-DAYS", "3", "-dir", "D", "-ext", "mkv"}), missing_days);
    expect_usage_error(parse({"-days", "3", "-ext", "mkv", "x", "-dir"}), missing_dir);
    expect_usage_error(parse({"-days", "3", "-dir", "D", "x", "-ext"}), missing_ext);
    // Only the first missing one, in the order days, dir, ext.
    expect_usage_error(parse({"a", "b", "c", "d", "e", "f"}), missing_days);
}

TEST(Options, SearchesCoverEveryPositionAndValuesAreNotConsumed) {
    const parse_result shared = parse({"-dir", "-days", "3", "-ext", "mkv", "x"});
    ASSERT_TRUE(shared.ok);
    EXPECT_EQ(shared.options.dir, "-days");
    EXPECT_EQ(shared.options.days, 3);

    const parse_result last = parse({"-days", "3", "-dir", "D", "-ext", "mkv", "-minsize"});
    ASSERT_TRUE(last.ok);
    EXPECT_EQ(last.options.minsize, 0) << "a value option in the last position is ignored";

    const parse_result switches =
        parse({"-docurrent", "-days", "3", "-dir", "D", "-ext", "mkv", "-scanonly"});
    ASSERT_TRUE(switches.ok);
    EXPECT_TRUE(switches.options.docurrent);
    EXPECT_TRUE(switches.options.scanonly) << "switches are found in the last position";
}

TEST(Options, FirstOccurrenceOrEveryOccurrence) {
    const parse_result result =
        parse({"-scanonly", "-days",   "3",   "-days",     "5",       "-dir",     "A", "-dir",
               "B",         "-ext",    "mkv", "-ext",      "avi",     "-minsize", "7", "-minsize",
               "9",         "-config", "one", "-scanonly", "-config", "two"});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.options.days, 3);
    EXPECT_EQ(result.options.dir, "A");
    EXPECT_EQ(result.options.ext, "mkv");
    EXPECT_EQ(result.options.minsize, 7);
    EXPECT_TRUE(result.options.scanonly);
    EXPECT_EQ(result.options.config, "two")
        << "the last -config stands; a scan-only run reads none";
    EXPECT_EQ(result.output,
              "Custom config file specified one\nCustom config file specified two\n"
              "Scan Only selected. No encoding\nScan Only selected. No encoding\n");

    const parse_result kept =
        parse({"-days", "3", "-dir", "D", "-ext", "mkv", "-config", "one", "-config", "two"});
    ASSERT_TRUE(kept.ok);
    EXPECT_EQ(kept.options.config, "two") << "the last -config wins";
}

TEST(Options, IntegersReadLikeStrtolClampedTo32Bits) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"3", 3},
        {" \t\n\v\f\r42", 42},
        {"+7", 7},
        {"-7", -7},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"- 5", 0},
        {"+-5", 0},
        {"0000000000000000000000123", 123},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999", 2147483647},
        {"99999999999999999999999999999", 2147483647},
        {"18446744073709551621", 2147483647},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999999999", INT32_MIN},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(read_integer(text), value) << text;

    const parse_result result =
        parse({"-days", "-4", "-dir", "D", "-ext", "mkv", "-minsize", "99999999999"});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.options.days, -4);
    EXPECT_EQ(result.options.minsize, 2147483647);
}

TEST(Options, OverLongValuesAreRefusedNeverCut) {
    const std::string fits(255, 'd');
    const std::string too_long(256, 'd');
    const std::string dir_message = "\n\tThe -dir value is longer than 255 characters.\n";
    const std::string config_message = "\n\tThe -config value is longer than 255 characters.\n";
    const std::string ext_message = "\n\tThe -ext value is longer than 15 characters.\n";

    const parse_result whole =
        parse({"-days", "3", "-dir", fits, "-ext", std::string(15, 'e'), "-config", fits});
    ASSERT_TRUE(whole.ok);
    EXPECT_EQ(whole.options.dir, fits);
    EXPECT_EQ(whole.options.ext, std::string(15, 'e'));
    EXPECT_EQ(whole.options.config, fits);

    expect_usage_error(parse({"-days", "3", "-dir", too_long, "-ext", "mkv"}), dir_message);
    expect_usage_error(parse({"-days", "3", "-dir", "D", "-ext", std::string(16, 'e')}),
                       ext_message);
    expect_usage_error(parse({"-days", "3", "-dir", "D", "-ext", "mkv", "-config", "a", "-config",
                              too_long, "-config", "b"}),
                       config_message, "Custom config file specified a\n");

    // The limit counts what the system counts: bytes on POSIX, UTF-16 units on Windows.
    std::string wide;
    for (int i = 0; i < 128; ++i) wide += "\xC3\xA9";
    const parse_result counted = parse({"-days", "3", "-dir", wide, "-ext", "mkv"});
    EXPECT_EQ(counted.ok, platform::native_length(wide) <= 255);
}

TEST(Options, UnknownOptionsAreRefusedAfterTheMandatoryChecks) {
    const std::vector<std::string> base = {"-days", "3", "-dir", "D", "-ext", "mkv"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        return parse(args);
    };
    expect_usage_error(with({"-ScanOnly"}), "\n\tUnknown option -ScanOnly\n");
    expect_usage_error(with({"-scanonly", "--days", "x"}), "\n\tUnknown option --days\n");
    expect_usage_error(with({"-5"}), "\n\tUnknown option -5\n");
    // A mandatory option missing is reported as before, whatever else is mistyped.
    expect_usage_error(parse({"-DAYS", "3", "-dir", "D", "-ext", "mkv"}), missing_days);
    // Values of options stay values, negative numbers and option-like texts included.
    for (const auto& extra : std::vector<std::vector<std::string>>{
             {"-minsize", "-5"}, {"-config", "-x"}, {"-until", "-1:00", "-priority", "low"}}) {
        const parse_result result = with(extra);
        EXPECT_TRUE(result.ok || result.output.find("Unknown") == std::string::npos) << extra[1];
    }
    EXPECT_TRUE(parse({"-dir", "-days", "3", "-ext", "mkv", "x"}).ok);
    EXPECT_TRUE(parse({"-days", "-3", "-dir", "-x", "-ext", "-y"}).ok);
}

TEST(Options, OptionNamesBehindOtherMarksAreRefused) {
    const std::vector<std::string> base = {"-days", "3", "-dir", "D", "-ext", "mkv"};
    struct row {
        std::vector<std::string> extra;
        std::string unknown;  // empty: the command line is read as before
    };
    const row rows[] = {
        {{"/scanonly"}, "/scanonly"},
        {{"scanonly"}, "scanonly"},
        {{"\u2014scanonly"}, "\u2014scanonly"},
        {{"\u2013retry"}, "\u2013retry"},
        {{"/DoCurrent"}, "/DoCurrent"},
        {{"DAYS"}, "DAYS"},
        {{"-minsize", "5", "Minsize"}, "Minsize"},
        // The value of the option before it stays a value.
        {{"-config", "scanonly"}, ""},
        {{"-until", "6:00", "/until"}, "/until"},
        {{"/scanonlyx"}, ""},
        {{"scan"}, ""},
        {{"/?"}, ""},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = base;
        args.insert(args.end(), r.extra.begin(), r.extra.end());
        const parse_result result = parse(args);
        if (r.unknown.empty()) {
            EXPECT_TRUE(result.ok) << r.extra.back();
        } else {
            expect_usage_error(result, "\n\tUnknown option " + r.unknown + "\n");
        }
    }
    // A folder named like an option is the value of -dir.
    EXPECT_TRUE(parse({"-days", "3", "-dir", "/scanonly", "-ext", "mkv"}).ok);
}

TEST(Options, HelpAndVersionStandAlone) {
    for (const char* help : {"-h", "-?", "/?", "--help"}) {
        const parse_result result = parse({help});
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.exit_code, 0) << help;
        EXPECT_EQ(result.output, help_text()) << help;
    }
    const std::string help = help_text();
    EXPECT_TRUE(help.starts_with(usage_text()));
    for (const char* newer : {"\t-until ", "\t-priority ", "\t-shard ", "\t-retry ", "\t-verify ",
                              "\t-quality ", "README"}) {
        EXPECT_NE(help.find(newer, usage_text().size()), std::string::npos) << newer;
    }
    const parse_result version = parse({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.output, "Brindle v1.0.1\n");
    expect_usage_error(parse({"--help", "x"}), "");
}

TEST(Options, SchedulingValues) {
    const std::pair<const char*, int> times[] = {
        {"0:00", 0},    {"6:00", 360}, {"06:05", 365},   {"23:59", 1439}, {"24:00", -1},
        {"12:60", -1},  {"1200", -1},  {"12:00:00", -1}, {"noon", -1},    {"12:5", -1},
        {"123:00", -1}, {":30", -1},   {"-1:00", -1},    {" 1:00", -1},   {"", -1},
    };
    for (const auto& [text, minutes] : times)
        EXPECT_EQ(read_clock_time(text).value_or(-1), minutes) << text;

    // Digits after "0." only: no sign, exponent, locale comma, 1 or more, or 0.
    const std::pair<const char*, double> qualities[] = {
        {"0.98", 0.98},   {".5", 0.5}, {"0.999999", 0.999999},
        {"0.9999999", 0}, {"1", 0},    {"1.0", 0},
        {"0", 0},         {"0.", 0},   {"0,98", 0},
        {"-0.5", 0},      {"9e-1", 0}, {"0.9x", 0},
        {" 0.9", 0},      {"nan", 0},  {"", 0},
        {"0.000", 0},
    };
    for (const auto& [text, value] : qualities)
        EXPECT_EQ(read_quality(text).value_or(0), value) << text;

    const std::tuple<const char*, bool, int, int> shards[] = {
        {"1/1", true, 1, 1},  {"2/3", true, 2, 3},   {"1000/1000", true, 1000, 1000},
        {"0/3", false, 0, 0}, {"4/3", false, 0, 0},  {"1/1001", false, 0, 0},
        {"1/0", false, 0, 0}, {"a/3", false, 0, 0},  {"2/3/4", false, 0, 0},
        {"2", false, 0, 0},   {"+1/3", false, 0, 0},
    };
    for (const auto& [text, good, k, n] : shards) {
        const std::optional<std::pair<int, int>> shard = read_shard(text);
        EXPECT_EQ(shard.has_value(), good) << text;
        if (good) {
            EXPECT_EQ(shard, std::pair(k, n)) << text;
        }
    }

    const parse_result all = parse({"-days", "3", "-dir", "D", "-ext", "mkv", "-until", "6:30",
                                    "-priority", "normal", "-shard", "2/3", "-retry"});
    ASSERT_TRUE(all.ok) << all.output;
    EXPECT_EQ(all.options.until_minutes, 390);
    EXPECT_FALSE(all.options.low_priority);
    EXPECT_EQ(all.options.shard_index, 2);
    EXPECT_EQ(all.options.shard_count, 3);
    EXPECT_TRUE(all.options.retry);
    const parse_result none = parse({"-days", "3", "-dir", "D", "-ext", "mkv"});
    EXPECT_EQ(none.options.quality, 0);
    EXPECT_EQ(parse({"-days", "3", "-dir", "D", "-ext", "mkv", "-quality", "0.97"}).options.quality,
              0.97);
    EXPECT_EQ(none.options.until_minutes, -1);
    EXPECT_TRUE(none.options.low_priority);
    EXPECT_EQ(none.options.verify, verify_level::samples);
    for (const auto& [value, level] :
         {std::pair{"samples", verify_level::samples}, std::pair{"full", verify_level::full},
          std::pair{"headers", verify_level::headers}}) {
        const parse_result verified =
            parse({"-days", "3", "-dir", "D", "-ext", "mkv", "-verify", value});
        ASSERT_TRUE(verified.ok) << value;
        EXPECT_EQ(verified.options.verify, level) << value;
    }

    const std::vector<std::string> base = {"-days", "3", "-dir", "D", "-ext", "mkv"};
    for (const auto& [option, value] :
         {std::pair{"-until", "24:00"}, std::pair{"-priority", "high"}, std::pair{"-shard", "3/2"},
          std::pair{"-verify", "Headers"}, std::pair{"-verify", ""}, std::pair{"-quality", "98"}}) {
        std::vector<std::string> args = base;
        args.insert(args.end(), {option, value});
        const parse_result result = parse(args);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_NE(result.output.find(std::string("\n\tThe ") + option + " value must be"),
                  std::string::npos)
            << result.output;
    }
}

}  // namespace
}  // namespace brindle
