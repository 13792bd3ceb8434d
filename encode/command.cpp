#include "encode/command.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include "platform/files.h"

namespace brindle {

namespace {

// The template buffer holds 256 bytes with its terminating zero.
constexpr std::size_t max_template_length = 255;
// Enough to hold a 255-character first line even when its line break is read as "\r\n".
constexpr std::size_t template_read_size = 1024;

}  // namespace

std::string first_line_of(const std::string& raw_bytes) {
    std::string line;
    for (std::size_t i = 0; i < raw_bytes.size() && line.size() < max_template_length; ++i) {
        const char byte = raw_bytes[i];
        if (byte == '\x1a') break;
        if (byte == '\r' && i + 1 < raw_bytes.size() && raw_bytes[i + 1] == '\n') continue;
        line.push_back(byte);
        if (byte == '\n') break;
    }
    return line;
}

std::string without_byte_order_mark(const std::string& raw_bytes) {
    constexpr std::string_view mark = "\xEF\xBB\xBF";
    if (raw_bytes.compare(0, mark.size(), mark) == 0) return raw_bytes.substr(mark.size());
    return raw_bytes;
}

namespace {

// Does the first line, read as first_line_of reads it, hold more than the template can keep?
bool first_line_too_long(const std::string& raw_bytes) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < raw_bytes.size(); ++i) {
        const char byte = raw_bytes[i];
        if (byte == '\x1a' || byte == '\n') break;
        if (byte == '\r' && i + 1 < raw_bytes.size() && raw_bytes[i + 1] == '\n') break;
        if (++length > max_template_length) return true;
    }
    return false;
}

// Why a template read from a file cannot be used; empty when it can.
std::string fault_of(const std::string& raw_bytes, const std::string& command_template) {
    if (raw_bytes.empty()) return "it is empty";
    if (first_line_too_long(raw_bytes)) return "its first line is longer than 255 characters";
    template_pieces pieces;
    switch (split_command_template(command_template, pieces)) {
        case template_fault::none:
            return {};
        case template_fault::missing_placeholder:
            return command_template.find("%1") == std::string::npos
                       ? "its first line has no %1 for the input file"
                       : "its first line has no %2 for the output file";
        case template_fault::output_before_input:
            return "its first line names the output (%2) before the input (%1)";
    }
    return {};
}

}  // namespace

template_load load_command_template(const std::string& config) {
    if (config.empty()) return {default_command_template, {}};
    std::vector<char> buffer(template_read_size);
    std::string error;
    const std::optional<std::size_t> read =
        platform::read_file_start(config, buffer.data(), buffer.size(), &error);
    if (!read) return {default_command_template, "it cannot be read: " + error};
    const std::string raw = without_byte_order_mark(std::string(buffer.data(), *read));
    template_load loaded;
    loaded.command_template = first_line_of(raw);
    loaded.fault = fault_of(raw, loaded.command_template);
    return loaded;
}

template_fault split_command_template(const std::string& command_template,
                                      template_pieces& pieces) {
    pieces = {};
    const std::size_t input_at = command_template.find("%1");
    const std::size_t output_at = command_template.find("%2");
    if (input_at == std::string::npos || output_at == std::string::npos) {
        return template_fault::missing_placeholder;
    }
    // The two cannot overlap, so the output placeholder either comes first or starts at least
    // two characters after the input placeholder.
    if (output_at < input_at) return template_fault::output_before_input;
    pieces.prefix = command_template.substr(0, input_at);
    pieces.middle = command_template.substr(input_at + 2, output_at - input_at - 2);
    return template_fault::none;
}

std::string default_template_for(bool mov_text, bool interlaced) {
    std::string line = mov_text ? default_mov_text_command_template : default_command_template;
    if (interlaced) line.insert(line.find("-c:v "), deinterlace_option);
    return line;
}

bool path_can_be_quoted(const std::string& path, shell_syntax shell) {
    if (shell == shell_syntax::posix_sh) return true;
    // cmd.exe expands %NAME% even between double quotes, and no escape for '%' works alike in
    // every cmd.exe. A lone '%' cannot start an expansion; two can.
    return std::count(path.begin(), path.end(), '%') < 2;
}

std::string escape_for_sh_double_quotes(const std::string& path) {
    std::string escaped;
    escaped.reserve(path.size());
    for (const char c : path) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

std::optional<std::string> build_encode_command(const std::string& command_template,
                                                const std::string& input_path, shell_syntax shell) {
    template_pieces pieces;
    if (split_command_template(command_template, pieces) != template_fault::none) {
        return std::nullopt;
    }
    if (!path_can_be_quoted(input_path, shell)) return std::nullopt;
    const std::string quoted_input =
        shell == shell_syntax::posix_sh ? escape_for_sh_double_quotes(input_path) : input_path;
    return pieces.prefix + "\"" + quoted_input + "\"" + pieces.middle + temp_output_name;
}

}  // namespace brindle
