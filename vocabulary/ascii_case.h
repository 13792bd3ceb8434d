#pragma once

// Case folding of ASCII letters alone: names are UTF-8 and codes in headers are bytes, so no byte
// of a multi-byte character may change, and the locale has no say.

#include <string>
#include <string_view>

namespace brindle {

inline constexpr char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string to_lower_ascii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = lower_ascii(c);
    return lower;
}

inline bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    }
    return true;
}

}  // namespace brindle
