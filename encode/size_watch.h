#pragma once

// While the encoder runs: whether its output, tempenc.mkv growing in the working directory, has
// passed its source's size, or foretells that it will. A file that cannot shrink then costs the
// part of its encode it took to tell, not the whole; the sample windows foretell most such files
// before the encode.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/container.h"
#include "media/wholeness.h"

namespace brindle {

// The output foretells its size for sources of foretold_from_ms or more: from the time it reaches
// foretold_first_percent of the duration until it reaches foretold_last_percent, its bytes against
// the source's over the same time, applied to the source. Only when every such figure passes the
// source's size by foretold_margin_percent is the encoder stopped. The margin is wide because a
// fifth of a file is its opening, not the whole: an animation-like source whose result came out
// at 93 % of it was foretold at 132 % from its first fifth. Heavy noise that the built-in line
// makes nearly twice as large was foretold within 1 % of its result; what lies between is left to
// the stop once the output passes the source's size.
inline constexpr std::int64_t foretold_from_ms = 60'000;
inline constexpr int foretold_first_percent = 10;
inline constexpr int foretold_last_percent = 20;
inline constexpr int foretold_margin_percent = 50;

// The size a whole result would have whose output so far reached `reach`, when the source's
// own `source_marks` (its bytes by time, in order) hold `source_size` bytes: the output's bytes
// against the source's up to the same time. Nothing when the source's marks do not reach as far
// or hold no bytes by then.
std::optional<std::uint64_t> size_foretold(const std::vector<media::written_mark>& source_marks,
                                           const media::written_mark& reach,
                                           std::uint64_t source_size);

// A refusal for a result foretold not to be smaller than its source: "the result would not be
// smaller than the source (about 10.1 MiB of 9.9 MiB, from 3 sample windows)", `from` saying what
// foretold it.
std::string not_smaller_reason(std::uint64_t foretold, std::uint64_t source_size,
                               const std::string& from);

class size_watch {
public:
    // `source` is read for its bytes by time (its container is `kind`) when it lasts long enough.
    size_watch(const std::string& source, media::container kind, std::uint64_t source_size,
               std::optional<std::int64_t> source_duration_ms);
    // Asked once a second while the encoder runs: false once the output holds more bytes than
    // the source, or foretells that it will.
    bool keep_running();
    // Then why, in words for a "Not converted: PATH: " line; empty until then.
    const std::string& refusal() const { return refusal_; }

private:
    // Whether the output, by the marks it has written, foretells a result larger than the source
    // by the margin; `refusal_` says so when it does.
    bool foretells_larger(std::uint64_t output_size);

    std::uint64_t source_size_;
    std::int64_t duration_ms_;
    std::string refusal_;
    std::vector<media::written_mark> source_marks_;  // empty when nothing is to be foretold
    std::uint64_t output_size_read_ = 0;             // the output's size when its marks were read
};

}  // namespace brindle
