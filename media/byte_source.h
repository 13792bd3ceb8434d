#pragma once

// Where the container readers get their bytes: an open file in production, a block of memory in
// tests. The readers ask for a few small pieces of a file and never trust a size the file states.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace brindle::media {

class byte_source {
public:
    virtual ~byte_source() = default;
    // Copies up to `size` bytes from `offset` into `buffer`; answers how many it copied (fewer
    // where the file ends, 0 past its end or when the read fails).
    virtual std::size_t read_at(std::uint64_t offset, char* buffer, std::size_t size) = 0;
    // The file's size, as it was when the source was opened.
    virtual std::uint64_t size() const = 0;
};

// The bytes of a string or array the caller keeps alive.
class memory_source final : public byte_source {
public:
    explicit memory_source(std::string_view bytes) : bytes_(bytes) {}
    std::size_t read_at(std::uint64_t offset, char* buffer, std::size_t size) override;
    std::uint64_t size() const override { return bytes_.size(); }

private:
    std::string_view bytes_;
};

// Serves the readers' many small requests (element and box headers) from one block of the file,
// so that walking a container costs a few calls of the source rather than one per header.
class block_reader {
public:
    explicit block_reader(byte_source& source) : source_(source), file_size_(source.size()) {}
    // Up to `size` bytes from `offset`: fewer where the file ends or a read fails. The view
    // stays valid until the next call. A read the block cannot serve takes at least `read_ahead`
    // bytes, for a caller that will ask for the bytes after these next.
    std::string_view bytes(std::uint64_t offset, std::size_t size, std::size_t read_ahead = 0);
    std::uint64_t file_size() const { return file_size_; }
    // A read delivered less than the file holds there: it failed, or the file shrank.
    bool read_failed() const { return read_failed_; }

private:
    byte_source& source_;
    std::uint64_t file_size_;
    std::vector<char> block_;
    std::uint64_t block_offset_ = 0;
    bool read_failed_ = false;
};

// The most any reader asks for at once; larger elements are not read.
inline constexpr std::size_t largest_read = std::size_t{4} << 20;

}  // namespace brindle::media
