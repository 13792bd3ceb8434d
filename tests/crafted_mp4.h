#pragma once

// A hand-made MP4 for the tests and benchmarks that need a layout no encoder writes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brindle::testing {

inline std::string big_endian_32(std::uint64_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (24 - 8 * i));
    return bytes;
}

inline std::string mp4_box(const char* type, const std::string& body) {
    return big_endian_32(8 + body.size()) + type + body;
}

// One HEVC video track of 2 s, one sample of 4 bytes per chunk, the chunks at `chunks` (counted
// from the end of the moov), then mdat boxes with bodies of `media_data` bytes each.
inline std::string crafted_mp4(const std::vector<std::uint64_t>& chunks,
                               const std::vector<std::size_t>& media_data) {
    const auto movie = [&](std::uint64_t base) {
        std::string offsets = big_endian_32(0) + big_endian_32(chunks.size());
        for (const auto chunk : chunks) offsets += big_endian_32(base + chunk);
        const std::string times = std::string(12, '\0') + big_endian_32(1000) + big_endian_32(2000);
        const std::uint64_t each =
            std::max<std::uint64_t>(1, 2000 / std::max<std::size_t>(1, chunks.size()));
        const std::string table =
            mp4_box("stsd",
                    big_endian_32(0) + big_endian_32(1) + mp4_box("hvc1", std::string(78, '\0'))) +
            mp4_box("stts", big_endian_32(0) + big_endian_32(1) + big_endian_32(chunks.size()) +
                                big_endian_32(each)) +
            mp4_box("stsc", big_endian_32(0) + big_endian_32(1) + big_endian_32(1) +
                                big_endian_32(1) + big_endian_32(1)) +
            mp4_box("stsz", big_endian_32(0) + big_endian_32(4) + big_endian_32(chunks.size())) +
            mp4_box("stco", offsets);
        const std::string media =
            mp4_box("mdhd", times + std::string(4, '\0')) +
            mp4_box("hdlr", std::string(8, '\0') + "vide" + std::string(13, '\0')) +
            mp4_box("minf", mp4_box("stbl", table));
        const std::string track_header = std::string(3, '\0') + "\x03" + std::string(8, '\0') +
                                         big_endian_32(1) + std::string(64, '\0');
        return mp4_box("moov",
                       mp4_box("mvhd", times + std::string(80, '\0')) +
                           mp4_box("trak", mp4_box("tkhd", track_header) + mp4_box("mdia", media)));
    };
    const std::string head = mp4_box("ftyp", "isom" + big_endian_32(0) + "isom");
    std::string bytes = head + movie(head.size() + movie(0).size());
    for (const std::size_t size : media_data) bytes += mp4_box("mdat", std::string(size, '\x5a'));
    return bytes;
}

}  // namespace brindle::testing
