#include "encode/marks.h"

#include <charconv>

#include "platform/clock.h"
#include "platform/files.h"
#include "vocabulary/path_hash.h"

namespace brindle {

namespace {

// The first field names the kind; "brindle-failed-2" is also what earlier versions wrote.
constexpr std::string_view failed_tag = "brindle-failed-2";
constexpr std::string_view failed_once_tag = "brindle-failed-once-2";
constexpr std::string_view pending_tag = "brindle-pending-2";

std::string_view tag_of(mark_kind kind) {
    switch (kind) {
        case mark_kind::failed_once:
            return failed_once_tag;
        case mark_kind::pending:
            return pending_tag;
        case mark_kind::failed:
            break;
    }
    return failed_tag;
}

std::optional<mark_kind> kind_of(std::string_view tag) {
    if (tag == failed_tag) return mark_kind::failed;
    if (tag == failed_once_tag) return mark_kind::failed_once;
    if (tag == pending_tag) return mark_kind::pending;
    return std::nullopt;
}

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
    return std::string(tag_of(mark.kind)) + " " + std::to_string(mark.size) + " " +
           std::to_string(mark.write_ticks) + " " + std::to_string(mark.command_hash) + " " +
           mark.date + " " + mark.reason;
}

std::optional<failure_mark> read_mark_text(std::string_view text) {
    std::string_view version, size, ticks, command, date;
    if (!take_field(text, version)) return std::nullopt;
    const std::optional<mark_kind> kind = kind_of(version);
    if (!kind) return std::nullopt;
    failure_mark mark;
    mark.kind = *kind;
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
    const std::optional<std::string> text = platform::read_file_note(path);
    if (!text) return std::nullopt;
    std::optional<failure_mark> mark = read_mark_text(*text);
    if (!mark || !mark_matches(*mark, stamp, command_line)) return std::nullopt;
    return mark;
}

mark_kind kind_after_failure(const std::optional<failure_mark>& earlier, const file_stamp& stamp,
                             std::uint64_t command_hash, const std::string& today) {
    const bool same = earlier && earlier->size == stamp.size &&
                      earlier->write_ticks == stamp.write_ticks &&
                      earlier->command_hash == command_hash;
    // A file already skipped that fails again when tried with -retry stays skipped.
    if (same && earlier->kind == mark_kind::failed) return mark_kind::failed;
    if (same && earlier->kind == mark_kind::failed_once && earlier->date != today) {
        return mark_kind::failed;
    }
    return mark_kind::failed_once;
}

namespace {

std::optional<failure_mark> note_of(const std::string& path) {
    const std::optional<std::string> text = platform::read_file_note(path);
    if (!text) return std::nullopt;
    return read_mark_text(*text);
}

}  // namespace

bool note_encode_failure(const std::string& path, const file_stamp& stamp,
                         const std::string& command_line, const std::string& reason) {
    const std::optional<failure_mark> earlier = note_of(path);
    const std::string today = platform::local_date();
    failure_mark mark{mark_kind::failed,      stamp.size, stamp.write_ticks,
                      fnv1a_64(command_line), today,      reason};
    // A second failure on the same day keeps the note at one strike, dated that day.
    mark.kind = kind_after_failure(earlier, stamp, mark.command_hash, today);
    platform::write_file_note(path, mark_text(mark));
    return mark.kind == mark_kind::failed_once;
}

void note_pending(const std::string& path, const file_stamp& stamp) {
    const std::optional<failure_mark> earlier = note_of(path);
    if (earlier && earlier->kind != mark_kind::pending && earlier->size == stamp.size &&
        earlier->write_ticks == stamp.write_ticks) {
        return;
    }
    const failure_mark mark{mark_kind::pending,     stamp.size,           stamp.write_ticks, 0,
                            platform::local_date(), "left over by -until"};
    platform::write_file_note(path, mark_text(mark));
}

bool is_pending(const std::string& path, const file_stamp& stamp) {
    const std::optional<failure_mark> mark = note_of(path);
    return mark && mark->kind == mark_kind::pending && mark->size == stamp.size &&
           mark->write_ticks == stamp.write_ticks;
}

bool is_size_refusal(std::string_view reason) {
    // The words the size refusals begin with; a note keeps its reason, so they stay readable.
    return (reason.starts_with("the result (") &&
            reason.find(") is not smaller than the source (") != std::string_view::npos) ||
           reason.starts_with("the result passed the source's size") ||
           reason.starts_with("the result would not be smaller");
}

std::string_view size_refusal_advice_for(double quality) {
    return quality > 0 ? size_refusal_advice_under_quality : size_refusal_advice;
}

std::string skipped_failure_text(const failure_mark& mark, double quality) {
    return "it failed on " + mark.date + " (" + mark.reason + ") and has not changed since; " +
           (is_size_refusal(mark.reason) ? std::string(size_refusal_advice_for(quality))
                                         : std::string("-retry tries it again"));
}

void mark_failure(const std::string& path, const file_stamp& stamp, const std::string& command_line,
                  const std::string& reason) {
    const failure_mark mark{mark_kind::failed,      stamp.size,
                            stamp.write_ticks,      fnv1a_64(command_line),
                            platform::local_date(), reason};
    platform::write_file_note(path, mark_text(mark));
}

}  // namespace brindle
