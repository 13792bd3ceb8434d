#include "scan/filters.h"

namespace brindle {

namespace {

// Only A to Z fold: names are UTF-8, and no byte of a multi-byte character may change.
char fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string join_path(std::string_view dir, std::string_view name, char separator) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir);
    path.push_back(separator);
    path.append(name);
    return path;
}

bool matches_extension(std::string_view name, std::string_view ext) {
    if (!ext.empty() && ext.front() == '*') return true;
    // No dot is required: the name's tail as long as ext is compared, or the whole name when it
    // is shorter, which then cannot match.
    if (name.size() < ext.size()) return false;
    const std::string_view tail = name.substr(name.size() - ext.size());
    for (std::size_t i = 0; i < ext.size(); ++i) {
        if (fold_ascii(tail[i]) != fold_ascii(ext[i])) return false;
    }
    return true;
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

}  // namespace brindle
