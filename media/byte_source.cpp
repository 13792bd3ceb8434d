#include "media/byte_source.h"

#include <algorithm>
#include <cstring>

namespace brindle::media {

namespace {

// A miss reads at least this much: the next header a reader wants usually lies close by.
constexpr std::size_t smallest_block = 4096;

}  // namespace

std::size_t memory_source::read_at(std::uint64_t offset, char* buffer, std::size_t size) {
    if (offset >= bytes_.size()) return 0;
    const auto count = std::min<std::uint64_t>(size, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.data() + offset, static_cast<std::size_t>(count));
    return static_cast<std::size_t>(count);
}

std::string_view block_reader::bytes(std::uint64_t offset, std::size_t size,
                                     std::size_t read_ahead) {
    if (offset >= file_size_ || size == 0) return {};
    size = static_cast<std::size_t>(
        std::min<std::uint64_t>({size, largest_read, file_size_ - offset}));
    const bool inside = offset >= block_offset_ && offset - block_offset_ <= block_.size() &&
                        block_.size() - (offset - block_offset_) >= size;
    if (!inside) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(
            {std::max({size, smallest_block, std::min(read_ahead, largest_read)}),
             file_size_ - offset}));
        block_.resize(wanted);
        block_.resize(source_.read_at(offset, block_.data(), wanted));
        block_offset_ = offset;
        read_failed_ = read_failed_ || block_.size() < wanted;
    }
    const auto start = static_cast<std::size_t>(offset - block_offset_);
    const auto available = std::min(size, block_.size() - std::min(start, block_.size()));
    return {block_.data() + start, available};
}

}  // namespace brindle::media
