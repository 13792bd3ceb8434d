#include "encode/marks.h"

#include <charconv>

#include "platform/clock.h"
#include "platform/files.h"
#include "vocabulary/path_hash.h"

namespace brindle {

namespace {

constexpr std::string_view mark_version = "brindle-failed-2";

// Takes the text up to the next blank from `text`; false when there is none before the end.
bool take_field(std::string_view& text, std::string_view& field) {
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return false;
    field = text.substr(0, blank);
    text.remove_prefix(blank + 1);
    return true;
}

bool read_number(std::string_view text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::string mark_text(const failure_mark& mark) {
    return std::string(mark_version) + " " + std::to_string(mark.size) + " " +
           std::to_string(mark.write_ticks) + " " + std::to_string(mark.command_hash) + " " +
           mark.date + " " + mark.reason;
}

std::optional<failure_mark> read_mark_text(std::string_view text) {
    std::string_view version, size, ticks, command, date;
    if (!take_field(text, version) || version != mark_version) return std::nullopt;
    failure_mark mark;
    if (!take_field(text, size) || !read_number(size, mark.size)) return std::nullopt;
    if (!take_field(text, ticks) || !read_number(ticks, mark.write_ticks)) return std::nullopt;
    if (!take_field(text, command) || !read_number(command, mark.command_hash)) return std::nullopt;
    if (!take_field(text, date) || date.size() != 10) return std::nullopt;
    mark.date = date;
    mark.reason = text;
    return mark;
}

bool mark_matches(const failure_mark& mark, const file_stamp& stamp,
                  const std::string& command_line) {
    return mark.size == stamp.size && mark.write_ticks == stamp.write_ticks &&
           mark.command_hash == fnv1a_64(command_line);
}

std::optional<failure_mark> matching_mark(const std::string& path, const file_stamp& stamp,
                                          const std::string& command_line) {
    std::string text;
    if (!platform::read_file_note(path, text)) return std::nullopt;
    std::optional<failure_mark> mark = read_mark_text(text);
    if (!mark || !mark_matches(*mark, stamp, command_line)) return std::nullopt;
    return mark;
}

void mark_failure(const std::string& path, const file_stamp& stamp, const std::string& command_line,
                  const std::string& reason) {
    const failure_mark mark{stamp.size, stamp.write_ticks, fnv1a_64(command_line),
                            platform::local_date(), reason};
    platform::write_file_note(path, mark_text(mark));
}

}  // namespace brindle
