#pragma once

// While the encoder runs: whether its output, tempenc.mkv growing in the working directory, has
// passed its source's size. A file that cannot shrink then costs the part of its encode it took
// to tell, not the whole; the sample windows foretell most such files before the encode.

#include <cstdint>
#include <optional>
#include <string>

namespace brindle {

class size_watch {
public:
    size_watch(std::uint64_t source_size, std::optional<std::int64_t> source_duration_ms);
    // Asked once a second while the encoder runs: false once the output holds more bytes than
    // the source.
    bool keep_running();
    // Then why, in words for a "Not converted: PATH: " line; empty until then.
    const std::string& refusal() const { return refusal_; }

private:
    std::uint64_t source_size_;
    std::int64_t duration_ms_;
    std::string refusal_;
};

}  // namespace brindle
