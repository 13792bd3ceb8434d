#include "scan/filters.h"

#include "vocabulary/ascii_case.h"

namespace brindle {

namespace {

// The names Win32 takes for devices in every folder: the part before the first dot, with blanks
// before that dot ignored ("nul .txt" is the device too). The superscript digits count as digits
// for COM and LPT.
bool is_device_name(std::string_view name) {
    std::string_view base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
        if (equal_ignoring_ascii_case(base, device)) return true;
    }
    if (base.size() < 4) return false;
    const std::string_view prefix = base.substr(0, 3), number = base.substr(3);
    if (!equal_ignoring_ascii_case(prefix, "com") && !equal_ignoring_ascii_case(prefix, "lpt"))
        return false;
    if (number.size() == 1) return number[0] >= '1' && number[0] <= '9';
    return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace

std::string join_path(std::string_view dir, std::string_view name, char separator) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir);
    // The system tidies no long-form path, so a second separator after a volume's root there
    // ("\\?\D:\") would make it no path at all.
    if (!(dir.starts_with("\\\\?\\") && dir.ends_with(separator))) path.push_back(separator);
    path.append(name);
    return path;
}

bool matches_extension(std::string_view name, std::string_view ext) {
    if (!ext.empty() && ext.front() == '*') return true;
    // No dot is required: the name's tail as long as ext is compared, or the whole name when it
    // is shorter, which then cannot match.
    if (name.size() < ext.size()) return false;
    const std::string_view tail = name.substr(name.size() - ext.size());
    return equal_ignoring_ascii_case(tail, ext);
}

std::uint64_t size_in_mib(std::uint64_t size_in_bytes) { return size_in_bytes >> 20; }

bool passes_size_test(std::uint64_t size_in_bytes, std::int32_t minsize) {
    // Widened with its sign and compared unsigned, a negative minsize exceeds every size.
    const auto bound = static_cast<std::uint64_t>(static_cast<std::int64_t>(minsize));
    return size_in_mib(size_in_bytes) > bound;
}

std::uint64_t age_in_days(std::uint64_t now_ticks, std::uint64_t creation_ticks) {
    // Unsigned subtraction: a creation time in the future wraps to an age of millions of days.
    return (now_ticks - creation_ticks) / ticks_per_day;
}

bool passes_age_test(std::uint64_t age, std::int32_t days, bool docurrent) {
    // 2^64 ticks are 21,350,398 days, so every age fits a signed 32-bit value.
    const auto age_days = static_cast<std::int32_t>(age);
    if (age_days > days) return false;
    // The last two days are left to downloaders unless asked for, or unless they are the
    // whole window (days 0 or 1).
    return age_days >= 2 || docurrent || age_days == days;
}

namespace {

// The length of the valid UTF-8 sequence that starts `text`, or 0 when it starts with a byte
// that begins none (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF,
// or a sequence cut short).
std::size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || text.size() < length) return 0;
    // The second byte's range narrows where a lead alone would allow an overlong form, a
    // surrogate or a code point beyond U+10FFFF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string printable_path(std::string_view path) {
    std::string shown;
    shown.reserve(path.size());
    while (!path.empty()) {
        const std::size_t length = utf8_sequence_length(path);
        const auto lead = static_cast<unsigned char>(path[0]);
        const auto second = length == 2 ? static_cast<unsigned char>(path[1]) : 0;
        // C0 controls and DEL; U+0080 to U+009F, which some terminals take as escape sequences
        // too (U+009B begins one, like ESC [); and bytes of no character, which a terminal
        // reading 8-bit text takes as those controls.
        if (length == 0 || lead < 0x20 || lead == 0x7F || (lead == 0xC2 && second <= 0x9F)) {
            shown.push_back('?');
        } else {
            shown.append(path.substr(0, length));
        }
        path.remove_prefix(length == 0 ? 1 : length);
    }
    return shown;
}

win32_name_fault win32_name_fault_of(std::string_view name) {
    if (name.empty()) return win32_name_fault::none;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
            return win32_name_fault::reserved_character;
        }
    }
    if (name.back() == '.' || name.back() == ' ') return win32_name_fault::trailing_dot_or_blank;
    if (is_device_name(name)) return win32_name_fault::device_name;
    return win32_name_fault::none;
}

std::string describe(win32_name_fault fault) {
    switch (fault) {
        case win32_name_fault::none:
            break;
        case win32_name_fault::trailing_dot_or_blank:
            return "Windows cannot open a name that ends in a dot or a blank";
        case win32_name_fault::device_name:
            return "Windows takes this name for a device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 "
                   "to LPT9)";
        case win32_name_fault::reserved_character:
            return "Windows cannot open a name holding a control character or one of < > : \" / "
                   "\\ | ? *";
    }
    return {};
}

}  // namespace brindle
