#pragma once

// The encoder command template and the command line composed from it for one input file.

#include <optional>
#include <string>

namespace brindle {

inline constexpr const char* temp_output_name = "tempenc.mkv";
// The default lines keep the first video track (not cover art), every audio and subtitle track,
// the attachments, chapters and metadata. `-map_metadata 0` keeps the tags ffmpeg drops when it
// copies them by itself (creation_time); a disposition given on the command line, even one that
// changes nothing (the first video track is never cover art), keeps ffmpeg from marking the first
// track of a kind default when the source marks none. MP4's timed text must become SRT to fit in
// Matroska.
inline constexpr const char* default_command_template =
    "ffmpeg -y -i %1 -map 0:V:0 -map 0:a? -map 0:s? -map 0:t? -map_metadata 0 "
    "-disposition:v:0 -attached_pic -c:v libx265 -preset superfast -crf 19 "
    "-x265-params deblock=-4,0 -c:a copy -c:s copy -c:t copy %2";
inline constexpr const char* default_mov_text_command_template =
    "ffmpeg -y -i %1 -map 0:V:0 -map 0:a? -map 0:s? -map 0:t? -map_metadata 0 "
    "-disposition:v:0 -attached_pic -c:v libx265 -preset superfast -crf 19 "
    "-x265-params deblock=-4,0 -c:a copy -c:s srt -c:t copy %2";
// An interlaced source's fields become pictures of their own: each field shown at its time, as
// the source plays, at twice the frame rate. Frames the source codes as progressive pass.
inline constexpr const char* deinterlace_option = "-vf bwdif=mode=send_field:deint=interlaced ";

// The default line for a source: with SRT for timed text, and deinterlacing an interlaced one.
std::string default_template_for(bool mov_text, bool interlaced);

enum class shell_syntax { posix_sh, windows_cmd };

struct template_load {
    // The first line of the configuration file (stored unchanged, its line break kept when it
    // fits, a UTF-8 byte-order mark before it dropped), or the default when `config` is empty.
    std::string command_template;
    // Why the configuration file gives no usable template, in plain words; empty when it does.
    std::string fault;
};
template_load load_command_template(const std::string& config);

// Drops a UTF-8 byte-order mark (Windows editors write one) from the start of `raw_bytes`.
std::string without_byte_order_mark(const std::string& raw_bytes);

// Applies the C runtime's text-mode reading to raw bytes and keeps the first line, bounded to
// 255 characters: a carriage return before a line feed is dropped, a byte 0x1A ends the data.
std::string first_line_of(const std::string& raw_bytes);

struct template_pieces {
    std::string prefix;  // up to the first "%1"
    std::string middle;  // between that "%1" and the first "%2"
};

enum class template_fault { none, missing_placeholder, output_before_input };

// Splits at the first "%1" and the first "%2".
template_fault split_command_template(const std::string& command_template, template_pieces& pieces);

// Can `path` be placed inside double quotes on this interpreter's command line and reach the
// encoder literally? On cmd.exe a path with two or more '%' cannot (%NAME% expands even inside
// quotes); on sh every path can once escaped.
bool path_can_be_quoted(const std::string& path, shell_syntax shell);

// The path escaped for the inside of sh's double quotes: a backslash before \ " $ and `.
std::string escape_for_sh_double_quotes(const std::string& path);

// prefix, '"', the input path (escaped for sh), '"', middle, "tempenc.mkv". Nothing when the
// template lacks a placeholder, names its output first, or the path cannot be quoted safely.
std::optional<std::string> build_encode_command(const std::string& command_template,
                                                const std::string& input_path, shell_syntax shell);

}  // namespace brindle
