#pragma once

// A file opened by the platform layer, as the readers' byte source.

#include <string>

#include "media/byte_source.h"
#include "platform/files.h"

namespace brindle::media {

class file_source final : public byte_source {
public:
    explicit file_source(platform::file_reader& file) : file_(file) {}
    std::size_t read_at(std::uint64_t offset, char* buffer, std::size_t size) override {
        return file_.read_at(offset, buffer, size);
    }
    std::uint64_t size() const override { return file_.size(); }

private:
    platform::file_reader& file_;
};

// Opens `path` (a regular file only, without blocking) and answers `read(reader)` over it, or
// `unreadable` when it cannot be opened.
template <typename Result, typename Read>
Result read_headers_of(const std::string& path, Result unreadable, Read read) {
    platform::file_reader file;
    if (file.open(path) != platform::file_reader::outcome::opened) return unreadable;
    file_source source(file);
    block_reader reader(source);
    return read(reader);
}

}  // namespace brindle::media
