#include "encode/command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "platform/paths.h"
#include "tests/test_support.h"

namespace brindle {
namespace {

const std::string default_tail =
    " -map 0:V:0 -map 0:a? -map 0:s? -map 0:t? -map_metadata 0 -disposition:v:0 -attached_pic "
    "-c:v libx265 -preset superfast -crf 19 -x265-params deblock=-4,0 -c:a copy -c:s copy -c:t "
    "copy tempenc.mkv";

TEST(CommandTemplate, DefaultTemplateComposesTheFfmpegCommand) {
    const std::string tmpl = load_command_template("").command_template;
    EXPECT_EQ(tmpl, default_command_template);
    EXPECT_EQ(tmpl.find("%%"), std::string::npos) << "the default holds single percent signs";

    const auto command =
        build_encode_command(tmpl, "D:\\tv\\Show.x264.mkv", shell_syntax::windows_cmd);
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ(*command, "ffmpeg -y -i \"D:\\tv\\Show.x264.mkv\"" + default_tail);
    EXPECT_EQ(command->rfind("ffmpeg -y -i ", 0), 0u);

    const auto on_sh = build_encode_command(tmpl, "/lib/tv/Show.mkv", shell_syntax::posix_sh);
    ASSERT_TRUE(on_sh.has_value());
    EXPECT_EQ(*on_sh, "ffmpeg -y -i \"/lib/tv/Show.mkv\"" + default_tail)
        << "a name without special characters is composed as it is";
}

TEST(CommandTemplate, ComposesEveryTemplateShape) {
    struct row {
        const char* what;
        std::string tmpl;
        std::optional<std::string> expected;
    };
    const std::string p = "C:\\v\\a b.mkv";
    const row rows[] = {
        {"options after %2 are dropped, its line break too", "enc -i %1 -o %2 -extra 1\n",
         "enc -i \"" + p + "\" -o tempenc.mkv"},
        {"%1 directly followed by %2", "enc %1%2", "enc \"" + p + "\"tempenc.mkv"},
        {"template quotes of its own quote the path twice", "enc \"%1\" %2",
         "enc \"\"" + p + "\"\" tempenc.mkv"},
        {"%%1 keeps a percent sign before the quoted path", "enc %%1 %2",
         "enc %\"" + p + "\" tempenc.mkv"},
        {"a second %1 before %2 stays literal, one after it is dropped", "a %1 b %1 c %2 d %1",
         "a \"" + p + "\" b %1 c tempenc.mkv"},
        {"no blank is added anywhere", "%1%2", "\"" + p + "\"tempenc.mkv"},
        {"an encoder path quoted with a blank", "\"C:\\Program Files\\ff.exe\" -i %1 %2",
         "\"C:\\Program Files\\ff.exe\" -i \"" + p + "\" tempenc.mkv"},
        {"no %2", "enc -i %1 out.mkv", std::nullopt},
        {"no %1", "enc -i in.mkv %2", std::nullopt},
        {"%12 is a %1 without any %2", "enc %12", std::nullopt},
        {"empty template", "", std::nullopt},
        {"%2 before %1", "enc -o %2 -i %1", std::nullopt},
    };
    for (const row& r : rows) {
        EXPECT_EQ(build_encode_command(r.tmpl, p, shell_syntax::windows_cmd), r.expected) << r.what;
    }
}

TEST(CommandTemplate, SplitReportsEachFault) {
    template_pieces pieces;
    EXPECT_EQ(split_command_template("pre %1 mid %2 post", pieces), template_fault::none);
    EXPECT_EQ(pieces.prefix, "pre ");
    EXPECT_EQ(pieces.middle, " mid ");

    EXPECT_EQ(split_command_template("%1%2", pieces), template_fault::none);
    EXPECT_EQ(pieces.prefix, "");
    EXPECT_EQ(pieces.middle, "");

    EXPECT_EQ(split_command_template("x %2 y %1", pieces), template_fault::output_before_input);
    EXPECT_EQ(split_command_template("%2%1%2", pieces), template_fault::output_before_input)
        << "only the first %2 counts";
    EXPECT_EQ(split_command_template("x %1 y", pieces), template_fault::missing_placeholder);
    EXPECT_EQ(split_command_template("x %2 y", pieces), template_fault::missing_placeholder);
    EXPECT_EQ(split_command_template("", pieces), template_fault::missing_placeholder);
    EXPECT_EQ(split_command_template("%%2 %%1", pieces), template_fault::output_before_input);
}

TEST(CommandTemplate, FirstLineFollowsTextModeReading) {
    EXPECT_EQ(first_line_of("enc %1 %2\r\nsecond line\r\n"), "enc %1 %2\n");
    EXPECT_EQ(first_line_of("enc %1 %2"), "enc %1 %2") << "no line break at the end";
    EXPECT_EQ(first_line_of("a\rb\r\n"), "a\rb\n") << "a lone carriage return stays";
    EXPECT_EQ(first_line_of("a\r"), "a\r") << "nothing follows the carriage return";
    EXPECT_EQ(first_line_of("a\r\x1a\n"), "a\r") << "0x1A ends the data, so no line feed follows";
    EXPECT_EQ(first_line_of("enc %1\x1a %2\n"), "enc %1");
    EXPECT_EQ(first_line_of(""), "");
    EXPECT_EQ(first_line_of("\n%1 %2"), "\n");
    EXPECT_EQ(first_line_of(std::string("a\0b\n", 4)), std::string("a\0b\n", 4));

    const std::string fits(254, 'x');
    EXPECT_EQ(first_line_of(fits + "\r\n"), fits + "\n") << "254 characters keep their break";
    const std::string full(255, 'x');
    EXPECT_EQ(first_line_of(full + "\n"), full) << "a 255-character line loses its break";
}

TEST(CommandTemplate, OverlongFirstLineIsCutTo255) {
    // The cut falls after %2: the command still composes.
    std::string late = "enc %1 " + std::string(200, 'o') + " %2 ";
    late += std::string(300 - late.size(), 'z');
    const std::string late_cut = first_line_of(late + "\n");
    EXPECT_EQ(late_cut.size(), 255u);
    EXPECT_EQ(late_cut, late.substr(0, 255));
    EXPECT_TRUE(build_encode_command(late_cut, "a", shell_syntax::posix_sh).has_value());

    // The cut falls inside %2: nothing is encoded.
    std::string early = "enc %1 " + std::string(254 - 7, 'o') + "%2 -more\n";
    const std::string early_cut = first_line_of(early);
    EXPECT_EQ(early_cut.size(), 255u);
    EXPECT_EQ(early_cut.back(), '%');
    EXPECT_FALSE(build_encode_command(early_cut, "a", shell_syntax::posix_sh).has_value());
}

TEST(CommandTemplate, LoadsTheFirstLineOfARealFileOrSaysWhyNot) {
    testing::scoped_temp_dir dir;
    const auto file = [&](const char* name, const std::string& content) {
        testing::write_file(dir.path() / name, content);
        return (dir.path() / name).string();
    };
    const std::string fits = "enc %1 %2" + std::string(246, 'y');
    const std::pair<std::string, template_load> cases[] = {
        {file("crlf.txt", "enc -i %1 %2\r\nnext\r\n"), {"enc -i %1 %2\n", ""}},
        {file("bom.txt", "\xEF\xBB\xBFsh %1 %2\n"), {"sh %1 %2\n", ""}},
        {file("pct.txt", "enc %%1 %2\n"), {"enc %%1 %2\n", ""}},
        {file("fits.txt", fits + "\r\n"), {fits, ""}},
        {file("eof.txt", std::string("enc %1\x1a %2\n")),
         {"enc %1", "its first line has no %2 for the output file"}},
        {file("empty.txt", ""), {"", "it is empty"}},
        {file("bom-only.txt", "\xEF\xBB\xBF"), {"", "it is empty"}},
        {file("blank.txt", "\nenc %1 %2\n"), {"\n", "its first line has no %1 for the input file"}},
        {file("backwards.txt", "enc %2 %1\n"),
         {"enc %2 %1\n", "its first line names the output (%2) before the input (%1)"}},
        {file("long.txt", "enc %1 %2" + std::string(2000, 'y')),
         {"enc %1 %2" + std::string(246, 'y'), "its first line is longer than 255 characters"}},
        {"", {default_command_template, ""}},
    };
    for (const auto& [path, expected] : cases) {
        const template_load loaded = load_command_template(path);
        EXPECT_EQ(loaded.command_template, expected.command_template) << path;
        EXPECT_EQ(loaded.fault, expected.fault) << path;
    }
    const template_load missing = load_command_template((dir.path() / "missing.txt").string());
    EXPECT_EQ(missing.fault.rfind("it cannot be read: ", 0), 0u) << missing.fault;
}

TEST(Quoting, ShEscapesOnlyWhatDoubleQuotesExpand) {
    for (int byte = 1; byte < 256; ++byte) {
        const std::string c(1, static_cast<char>(byte));
        const bool special = c == "\\" || c == "\"" || c == "$" || c == "`";
        EXPECT_EQ(escape_for_sh_double_quotes(c), special ? "\\" + c : c) << "byte " << byte;
    }
    EXPECT_EQ(escape_for_sh_double_quotes("$(touch x).mkv"), "\\$(touch x).mkv");
    EXPECT_EQ(escape_for_sh_double_quotes("a\\\"`b`\\"), "a\\\\\\\"\\`b\\`\\\\");
    EXPECT_EQ(escape_for_sh_double_quotes(""), "");

    const auto command =
        build_encode_command("enc %1 %2", "/l/\"$HOME\".mkv", shell_syntax::posix_sh);
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ(*command, "enc \"/l/\\\"\\$HOME\\\".mkv\" tempenc.mkv");
    EXPECT_TRUE(path_can_be_quoted("%a%b%c%", shell_syntax::posix_sh));
}

TEST(Quoting, CmdRefusesTwoPercentSigns) {
    EXPECT_TRUE(path_can_be_quoted("C:\\v\\100% Wolf.mkv", shell_syntax::windows_cmd));
    EXPECT_TRUE(path_can_be_quoted("C:\\v\\a^b&c!d(e).mkv", shell_syntax::windows_cmd));
    EXPECT_FALSE(path_can_be_quoted("C:\\v\\%CMDCMDLINE%.mkv", shell_syntax::windows_cmd));
    EXPECT_FALSE(path_can_be_quoted("C:\\v\\50% of 100%.mkv", shell_syntax::windows_cmd));
    EXPECT_FALSE(path_can_be_quoted("%%", shell_syntax::windows_cmd));

    EXPECT_EQ(build_encode_command("enc %1 %2", "C:\\v\\100% $x`.mkv", shell_syntax::windows_cmd),
              "enc \"C:\\v\\100% $x`.mkv\" tempenc.mkv")
        << "cmd's path goes in unescaped";
    EXPECT_EQ(build_encode_command("enc %1 %2", "C:\\v\\%OS%.mkv", shell_syntax::windows_cmd),
              std::nullopt);
}

// The example configuration the packages carry: the line Brindle uses without -config, as one
// line that loads as it stands (only the first line of a configuration file is read).
TEST(CommandTemplate, ShippedExampleIsTheDefaultLine) {
    std::string path = testing::config_example;
    if (platform::path_separator() == '\\' && path.front() == '/') {
        // A Windows build run under Wine sees the Unix root as drive Z:.
        std::replace(path.begin(), path.end(), '/', '\\');
        path = "Z:" + path;
    }
    const std::string text = testing::read_file(path);
    ASSERT_FALSE(text.empty()) << path;
    EXPECT_EQ(first_line_of(text), text) << "nothing may follow the first line";

    const template_load loaded = load_command_template(path);
    EXPECT_EQ(loaded.fault, "");
    EXPECT_EQ(loaded.command_template, std::string(default_command_template) + "\n");
}

}  // namespace
}  // namespace brindle
