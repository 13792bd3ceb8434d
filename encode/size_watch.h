#pragma once

// While the encoder runs: whether its output, tempenc.mkv growing in the working directory, may
// still come out smaller than its source. A file that cannot shrink then costs the part of its
// encode it took to tell, not the whole.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/container.h"
#include "media/wholeness.h"

namespace brindle {

// The foretelling starts once the output reaches this share of the source's duration, for a
// source of at least foretold_from_ms; before that, and for shorter sources, only the output
// passing the source's size stops the encode.
inline constexpr int foretold_from_percent = 10;
inline constexpr std::int64_t foretold_from_ms = 60000;
// The foretold size must pass the source's by more than this share to stop the encode: more than
// the foretelling's error (within 7 % from a tenth of the duration on, on the kinds of source
// bench/foretell_bench measured), so that it errs on the side of encoding.
inline constexpr int foretold_margin_percent = 10;
// How many of the watch's questions (one a second) go by between two looks at the output's
// Clusters, until it reaches foretold_from_percent; from then on it is foretold once more at each
// further tenth of the duration, up to foretold_until_percent, where the output passing the
// source's size is left to stop what is left.
inline constexpr int foretold_every = 2;
inline constexpr int foretold_until_percent = 50;

// The result's size foretold from the output so far, `written`, against the source's own marks
// over the same time: the source's size times the output's bytes over the source's bytes up to
// the time the output reaches. Nothing when the source's marks do not reach that time.
std::optional<std::uint64_t> foretold_size(const std::vector<media::written_mark>& source,
                                           std::uint64_t source_size,
                                           const media::written_mark& written);

// The foretold size when it says the result would not be smaller than the source: the output
// reaches foretold_from_percent of a source of foretold_from_ms or more, and the size passes the
// source's by more than foretold_margin_percent. Nothing otherwise.
std::optional<std::uint64_t> larger_result_foretold(const std::vector<media::written_mark>& source,
                                                    std::uint64_t source_size,
                                                    std::int64_t source_duration_ms,
                                                    const media::written_mark& written);

class size_watch {
public:
    // The foretelling compares like with like: the output's Clusters with a Matroska source's
    // Clusters, an MP4 source's chunks, an MPEG-TS source's packets or an AVI source's index.
    // Other sources are stopped only once the output passes their size.
    size_watch(std::string source, std::uint64_t source_size,
               std::optional<std::int64_t> source_duration_ms, media::container source_kind);
    // Asked once a second while the encoder runs: false once the output holds more bytes than
    // the source, or its Clusters so far foretell a result larger than the source.
    bool keep_running();
    // Then why, in words for a "Not converted: PATH: " line; empty until then.
    const std::string& refusal() const { return refusal_; }

private:
    std::vector<media::written_mark> output_marks() const;

    std::string source_;
    std::uint64_t source_size_;
    std::int64_t duration_ms_;
    media::container source_kind_;
    bool foretells_;
    bool source_read_ = false;
    std::vector<media::written_mark> source_marks_;
    int asked_ = 0;
    std::int64_t next_percent_ = foretold_from_percent;
    std::string refusal_;
};

}  // namespace brindle
