#pragma once

// The boxes of MP4, MOV and 3GP files, as the readers walk them: a header giving the size and
// the four-character type, then a body that may hold further boxes.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "media/byte_source.h"

namespace brindle::media {

struct box {
    std::string type;  // four characters
    std::uint64_t offset = 0;
    std::uint64_t body_offset = 0;
    std::uint64_t size = 0;  // the whole box, header included
};

// The box header at `offset`, in a parent that ends at `end`. A box whose size is 0 runs to
// `end`. Answers nothing when no whole header is there or the size is smaller than the header.
std::optional<box> box_at(block_reader& reader, std::uint64_t offset, std::uint64_t end);

// Calls `visit(child)` for each child box that lies whole inside [begin, end), in order, until
// `visit` answers false or a child does not fit.
void for_each_box(block_reader& reader, std::uint64_t begin, std::uint64_t end,
                  const std::function<bool(const box&)>& visit);

std::uint64_t end_of(const box& b);

// The body of a small box (a header's fields), or an empty view.
std::string_view body_of(block_reader& reader, const box& b, std::size_t most);

// `duration` units of 1/`timescale` second in milliseconds; nothing for a zero timescale or a
// duration past the longest a reader believes.
std::optional<std::int64_t> milliseconds(std::uint64_t duration, std::uint64_t timescale);

}  // namespace brindle::media
