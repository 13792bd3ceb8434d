#include "scan/hevc.h"

#include <algorithm>
#include <cstring>

#include "media/byte_source.h"
#include "media/file_source.h"
#include "media/probe.h"
#include "platform/files.h"

namespace brindle {

namespace {

// The Matroska codec identifier of HEVC video, compared without a terminator.
constexpr char signature[] = {'V', '_', 'M', 'P', 'E', 'G', 'H', '/',
                              'I', 'S', 'O', '/', 'H', 'E', 'V', 'C'};
constexpr std::size_t signature_size = sizeof signature;
// Windows start at offsets 0 to 16,367: the last byte of the probe never ends a match.
constexpr std::size_t last_window_start = hevc_probe_size - signature_size - 1;

}  // namespace

bool contains_hevc_signature(const char* data, std::size_t size) {
    if (data == nullptr || size < signature_size) return false;
    const std::size_t last = std::min(last_window_start, size - signature_size);
    // Most of a video's first bytes are not 'V': finding each one first is several times faster
    // than comparing a whole window at every offset, and the scan does this for every candidate.
    const char* const end = data + last + 1;
    for (const char* at = data; at < end; ++at) {
        at = static_cast<const char*>(
            std::memchr(at, signature[0], static_cast<std::size_t>(end - at)));
        if (at == nullptr) return false;
        if (std::memcmp(at, signature, signature_size) == 0) return true;
    }
    return false;
}

bool is_already_hevc(const std::string& path) {
    // A file that cannot be examined counts as not yet HEVC, so it stays a candidate; a FIFO or
    // device is never opened, so the scan cannot wait on one.
    platform::file_reader file;
    if (file.open(path) != platform::file_reader::outcome::opened) return false;
    media::file_source source(file);
    media::block_reader reader(source);
    // A short read (a file that shrank, a failing read) is searched only as far as it went.
    const auto start = reader.bytes(0, hevc_probe_size);
    if (contains_hevc_signature(start.data(), start.size())) return true;
    // The container's own track list: MP4 and MOV, and Matroska files whose codec id lies past
    // the first 16 KiB (a long title) or is stored elsewhere.
    return declares_hevc_video(reader);
}

}  // namespace brindle
