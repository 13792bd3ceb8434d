#pragma once

// A bounds-checked cursor over a span of bytes. Every read checks what is left; one that runs
// out answers nothing and leaves the cursor at the end, so a loop over a damaged file stops.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace brindle::media {

class cursor {
public:
    explicit cursor(std::string_view bytes) : bytes_(bytes) {}

    std::size_t left() const { return bytes_.size() - position_; }
    bool empty() const { return left() == 0; }
    std::size_t position() const { return position_; }

    bool skip(std::size_t count) {
        if (count > left()) return exhaust();
        position_ += count;
        return true;
    }

    std::optional<std::string_view> take(std::size_t count) {
        if (count > left()) {
            exhaust();
            return std::nullopt;
        }
        const auto piece = bytes_.substr(position_, count);
        position_ += count;
        return piece;
    }

    std::optional<std::uint8_t> byte() {
        if (empty()) return std::nullopt;
        return static_cast<std::uint8_t>(bytes_[position_++]);
    }

    // An unsigned number of `width` bytes (1 to 8), most significant byte first.
    std::optional<std::uint64_t> big_endian(std::size_t width) {
        const auto piece = take_number(width);
        if (!piece) return std::nullopt;
        std::uint64_t value = 0;
        for (const char c : *piece) value = (value << 8) | static_cast<std::uint8_t>(c);
        return value;
    }

    // An unsigned number of `width` bytes (1 to 8), least significant byte first.
    std::optional<std::uint64_t> little_endian(std::size_t width) {
        const auto piece = take_number(width);
        if (!piece) return std::nullopt;
        std::uint64_t value = 0;
        for (std::size_t i = width; i-- > 0;) {
            value = (value << 8) | static_cast<std::uint8_t>((*piece)[i]);
        }
        return value;
    }

private:
    bool exhaust() {
        position_ = bytes_.size();
        return false;
    }

    std::optional<std::string_view> take_number(std::size_t width) {
        if (width == 0 || width > 8) {
            exhaust();
            return std::nullopt;
        }
        return take(width);
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
};

}  // namespace brindle::media
