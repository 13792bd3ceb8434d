// The sequence parameter sets of H.264 and HEVC, read as far as their VUI, and the SEI messages
// that carry HDR10's static metadata.

#include <algorithm>
#include <cstdint>
#include <string>

#include "media/cursor.h"
#include "media/picture.h"

namespace brindle::media {

namespace {

// Reads the bits of a NAL unit's payload with its emulation prevention bytes removed. A read past
// the end answers zeros and marks the reader, so a damaged set is told from a short one.
class bit_reader {
public:
    explicit bit_reader(std::string_view nal) {
        int zeros = 0;
        for (const char c : nal) {
            const auto byte = static_cast<std::uint8_t>(c);
            if (zeros >= 2 && byte == 3) {
                zeros = 0;
                continue;
            }
            zeros = byte == 0 ? zeros + 1 : 0;
            bytes_.push_back(static_cast<char>(byte));
        }
    }

    std::uint32_t bits(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            if (position_ >= bytes_.size() * 8) {
                failed_ = true;
                return 0;
            }
            const auto byte = static_cast<std::uint8_t>(bytes_[position_ / 8]);
            value = (value << 1) | ((byte >> (7 - position_ % 8)) & 1u);
            ++position_;
        }
        return value;
    }
    bool flag() { return bits(1) != 0; }
    void skip(int count) {
        for (; count > 32; count -= 32) bits(32);
        bits(count);
    }
    // Exp-Golomb codes, at most 32 bits long.
    std::uint32_t ue() {
        int zeros = 0;
        while (!flag()) {
            if (failed_ || ++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return ((1u << zeros) - 1) + bits(zeros);
    }
    std::int32_t se() {
        const std::uint32_t code = ue();
        const auto half = static_cast<std::int32_t>((code + 1) / 2);
        return code % 2 ? half : -half;
    }
    bool failed() const { return failed_; }

private:
    std::string bytes_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

constexpr int sar_table[17][2] = {{0, 0},   {1, 1},    {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                  {24, 11}, {20, 11},  {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                  {64, 33}, {160, 99}, {4, 3},   {3, 2},   {2, 1}};

chroma_format chroma_of(std::uint32_t idc) {
    switch (idc) {
        case 0:
            return chroma_format::grey;
        case 1:
            return chroma_format::yuv420;
        case 2:
            return chroma_format::yuv422;
        case 3:
            return chroma_format::yuv444;
        default:
            return chroma_format::unknown;
    }
}

// The VUI's leading fields, alike in both codings: aspect ratio, overscan, signal type, chroma
// location.
void read_vui_signal(bit_reader& at, stream_picture& picture) {
    if (at.flag()) {
        const std::uint32_t idc = at.bits(8);
        if (idc == 255) {
            picture.sar_num = static_cast<int>(at.bits(16));
            picture.sar_den = static_cast<int>(at.bits(16));
        } else if (idc < 17) {
            picture.sar_num = sar_table[idc][0];
            picture.sar_den = sar_table[idc][1];
        }
    }
    if (at.flag()) at.skip(1);
    if (at.flag()) {
        at.skip(3);
        picture.full_range = at.flag();
        if (at.flag()) {
            picture.colour_described = true;
            picture.primaries = static_cast<int>(at.bits(8));
            picture.transfer = static_cast<int>(at.bits(8));
            picture.matrix = static_cast<int>(at.bits(8));
        }
    }
    if (at.flag()) {
        at.ue();
        at.ue();
    }
}

void skip_h264_scaling_list(bit_reader& at, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !at.failed(); ++j) {
        if (next != 0) next = (last + at.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

bool high_profile(std::uint32_t profile) {
    constexpr std::uint32_t high[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    return std::find(std::begin(high), std::end(high), profile) != std::end(high);
}

void read_h264_format(bit_reader& at, std::uint32_t profile, std::uint32_t& chroma_idc,
                      bool& separate_planes, stream_picture& picture) {
    chroma_idc = 1;
    picture.bit_depth = 8;
    if (!high_profile(profile)) return;
    chroma_idc = at.ue();
    if (chroma_idc == 3) separate_planes = at.flag();
    picture.bit_depth = static_cast<int>(at.ue()) + 8;
    at.ue();
    at.skip(1);
    if (at.flag()) {
        for (int i = 0; i < (chroma_idc != 3 ? 8 : 12) && !at.failed(); ++i) {
            if (at.flag()) skip_h264_scaling_list(at, i < 6 ? 16 : 64);
        }
    }
}

stream_picture parse_h264_sps(bit_reader& at) {
    stream_picture picture;
    const std::uint32_t profile = at.bits(8);
    at.skip(16);
    at.ue();
    std::uint32_t chroma_idc = 1;
    bool separate_planes = false;
    read_h264_format(at, profile, chroma_idc, separate_planes, picture);
    picture.chroma = chroma_of(chroma_idc);
    at.ue();
    const std::uint32_t order_type = at.ue();
    if (order_type == 0) at.ue();
    if (order_type == 1) {
        at.skip(1);
        at.se();
        at.se();
        const std::uint32_t cycle = at.ue();
        for (std::uint32_t i = 0; i < cycle && i < 256 && !at.failed(); ++i) at.se();
    }
    at.ue();
    at.skip(1);
    const std::uint32_t width_mbs = at.ue() + 1, height_units = at.ue() + 1;
    const bool frames_only = at.flag();
    if (!frames_only) at.skip(1);
    at.skip(1);
    std::uint32_t crop[4] = {};
    if (at.flag()) {
        for (auto& side : crop) side = at.ue();
    }
    const bool planar = chroma_idc == 0 || separate_planes;
    const std::uint32_t unit_x = planar || chroma_idc == 3 ? 1 : 2;
    const std::uint32_t unit_y = (planar || chroma_idc != 1 ? 1 : 2) * (frames_only ? 1 : 2);
    picture.coded_width = static_cast<int>(width_mbs * 16 - unit_x * (crop[0] + crop[1]));
    picture.coded_height =
        static_cast<int>((frames_only ? 1 : 2) * height_units * 16 - unit_y * (crop[2] + crop[3]));
    picture.fields = frames_only ? field_order::progressive : field_order::interlaced;
    if (at.failed()) return {};
    if (at.flag()) {
        read_vui_signal(at, picture);
        if (at.flag()) {
            const std::uint32_t units = at.bits(32), scale = at.bits(32);
            // A tick is a field's length: two make a frame.
            if (units != 0 && scale != 0) {
                picture.rate_num = scale;
                picture.rate_den = std::uint64_t{2} * units;
            }
        }
    }
    return picture;
}

void skip_profile_tier_level(bit_reader& at, std::uint32_t sub_layers) {
    at.skip(96);
    bool profile_present[8] = {}, level_present[8] = {};
    for (std::uint32_t i = 0; i < sub_layers; ++i) {
        profile_present[i] = at.flag();
        level_present[i] = at.flag();
    }
    if (sub_layers > 0) at.skip(2 * (8 - static_cast<int>(sub_layers)));
    for (std::uint32_t i = 0; i < sub_layers; ++i) {
        if (profile_present[i]) at.skip(88);
        if (level_present[i]) at.skip(8);
    }
}

void skip_hevc_scaling_lists(bit_reader& at) {
    for (int size = 0; size < 4; ++size) {
        for (int matrix = 0; matrix < 6 && !at.failed(); matrix += size == 3 ? 3 : 1) {
            if (!at.flag()) {
                at.ue();
                continue;
            }
            const int coefficients = std::min(64, 1 << (4 + (size << 1)));
            if (size > 1) at.se();
            for (int i = 0; i < coefficients && !at.failed(); ++i) at.se();
        }
    }
}

// The short-term reference picture sets; each may be predicted from the one before it, whose
// number of pictures it must know.
bool skip_short_term_sets(bit_reader& at) {
    const std::uint32_t sets = at.ue();
    if (sets > 64) return false;
    std::uint32_t previous = 0;
    for (std::uint32_t i = 0; i < sets && !at.failed(); ++i) {
        std::uint32_t pictures = 0;
        if (i != 0 && at.flag()) {
            at.skip(1);
            at.ue();
            for (std::uint32_t j = 0; j <= previous && !at.failed(); ++j) {
                const bool used = at.flag();
                if (used || at.flag()) ++pictures;
            }
        } else {
            const std::uint32_t negative = at.ue(), positive = at.ue();
            if (negative > 16 || positive > 16) return false;
            for (std::uint32_t j = 0; j < negative + positive; ++j) {
                at.ue();
                at.skip(1);
            }
            pictures = negative + positive;
        }
        previous = pictures;
    }
    return !at.failed();
}

// From the bit depth on to the VUI; answers false for a set that cannot be walked.
bool skip_hevc_coding_tools(bit_reader& at, std::uint32_t sub_layers) {
    const std::uint32_t order_bits = at.ue() + 4;
    const bool every_layer = at.flag();
    for (std::uint32_t i = every_layer ? 0 : sub_layers; i <= sub_layers; ++i) {
        at.ue();
        at.ue();
        at.ue();
    }
    for (int i = 0; i < 6; ++i) at.ue();
    if (at.flag() && at.flag()) skip_hevc_scaling_lists(at);
    at.skip(2);
    if (at.flag()) {
        at.skip(8);
        at.ue();
        at.ue();
        at.skip(1);
    }
    if (!skip_short_term_sets(at)) return false;
    if (at.flag()) {
        const std::uint32_t long_term = at.ue();
        if (long_term > 32 || order_bits > 16) return false;
        for (std::uint32_t i = 0; i < long_term; ++i) at.skip(static_cast<int>(order_bits) + 1);
    }
    at.skip(2);
    return !at.failed();
}

void read_hevc_vui(bit_reader& at, stream_picture& picture) {
    read_vui_signal(at, picture);
    at.skip(1);
    const bool field_sequence = at.flag();
    at.skip(1);
    if (field_sequence) picture.fields = field_order::interlaced;
    if (at.flag()) {
        for (int i = 0; i < 4; ++i) at.ue();
    }
    if (at.flag()) {
        const std::uint32_t units = at.bits(32), scale = at.bits(32);
        // With fields coded as pictures, a tick is a field's length.
        if (units != 0 && scale != 0) {
            picture.rate_num = scale;
            picture.rate_den = std::uint64_t{units} * (field_sequence ? 2 : 1);
        }
    }
}

stream_picture parse_hevc_sps(bit_reader& at) {
    stream_picture picture;
    at.skip(4);
    const std::uint32_t sub_layers = at.bits(3);
    at.skip(1);
    skip_profile_tier_level(at, sub_layers);
    at.ue();
    const std::uint32_t chroma_idc = at.ue();
    if (chroma_idc == 3) at.skip(1);
    picture.chroma = chroma_of(chroma_idc);
    const std::uint32_t width = at.ue(), height = at.ue();
    std::uint32_t crop[4] = {};
    if (at.flag()) {
        for (auto& side : crop) side = at.ue();
    }
    const std::uint32_t unit_x = chroma_idc == 1 || chroma_idc == 2 ? 2 : 1;
    const std::uint32_t unit_y = chroma_idc == 1 ? 2 : 1;
    picture.coded_width = static_cast<int>(width - unit_x * (crop[0] + crop[1]));
    picture.coded_height = static_cast<int>(height - unit_y * (crop[2] + crop[3]));
    picture.bit_depth = static_cast<int>(at.ue()) + 8;
    at.ue();
    picture.fields = field_order::progressive;
    if (at.failed()) return {};
    if (!skip_hevc_coding_tools(at, sub_layers)) return picture;
    if (at.flag()) read_hevc_vui(at, picture);
    return picture;
}

// An SEI message's type or size: a run of 0xFF bytes adds 255 each.
std::uint32_t sei_number(bit_reader& at) {
    std::uint32_t value = 0;
    std::uint32_t byte = 0;
    do {
        byte = at.bits(8);
        value += byte;
    } while (byte == 0xFF && !at.failed());
    return value;
}

}  // namespace

stream_picture parse_sequence_parameter_set(std::string_view nal, video_coding coding) {
    bit_reader at(nal);
    at.skip(coding == video_coding::h264 ? 8 : 16);
    stream_picture picture = coding == video_coding::h264 ? parse_h264_sps(at) : parse_hevc_sps(at);
    // A set cut short still told what came before the cut; a size of nothing tells nothing.
    picture.read = picture.coded_width > 0 && picture.coded_height > 0;
    return picture;
}

void parse_sei(std::string_view nal, video_coding coding,
               std::optional<mastering_display>& mastering, std::optional<content_light>& light) {
    bit_reader at(nal);
    at.skip(coding == video_coding::h264 ? 8 : 16);
    for (int message = 0; message < 64 && !at.failed(); ++message) {
        const std::uint32_t type = sei_number(at), size = sei_number(at);
        if (at.failed()) return;
        if (type == 137 && size >= 24) {
            mastering_display display;
            for (auto& value : display.primaries) value = at.bits(16);
            for (auto& value : display.white) value = at.bits(16);
            display.max_luminance = at.bits(32);
            display.min_luminance = at.bits(32);
            if (!at.failed()) mastering = display;
            at.skip(static_cast<int>(size - 24) * 8);
        } else if (type == 144 && size >= 4) {
            content_light level;
            level.max_cll = at.bits(16);
            level.max_fall = at.bits(16);
            if (!at.failed()) light = level;
            at.skip(static_cast<int>(size - 4) * 8);
        } else {
            at.skip(static_cast<int>(std::min<std::uint32_t>(size, 1u << 20)) * 8);
        }
    }
}

namespace {

int unit_type(std::string_view nal, video_coding coding) {
    if (nal.empty()) return -1;
    const auto first = static_cast<std::uint8_t>(nal[0]);
    return coding == video_coding::h264 ? first & 0x1F : (first >> 1) & 0x3F;
}

}  // namespace

void read_units_of_one(std::string_view nal, video_coding coding, stream_picture& picture,
                       std::optional<mastering_display>& mastering,
                       std::optional<content_light>& light) {
    const int type = unit_type(nal, coding);
    const bool sps = coding == video_coding::h264 ? type == 7 : type == 33;
    const bool sei = coding == video_coding::h264 ? type == 6 : type == 39;
    if (sps && !picture.read) picture = parse_sequence_parameter_set(nal, coding);
    if (sei) parse_sei(nal, coding, mastering, light);
}

void read_units(std::string_view units, int length_size, video_coding coding,
                stream_picture& picture, std::optional<mastering_display>& mastering,
                std::optional<content_light>& light) {
    if (length_size == 0) {
        for_each_annex_b_unit(units, [&](std::string_view nal) {
            read_units_of_one(nal, coding, picture, mastering, light);
        });
        return;
    }
    std::size_t at = 0;
    while (units.size() - at > static_cast<std::size_t>(length_size)) {
        std::size_t length = 0;
        for (int i = 0; i < length_size; ++i) {
            length = (length << 8) | static_cast<std::uint8_t>(units[at + i]);
        }
        at += static_cast<std::size_t>(length_size);
        if (length > units.size() - at) return;
        read_units_of_one(units.substr(at, length), coding, picture, mastering, light);
        at += length;
    }
}

picture_properties from_stream(const stream_picture& stream) {
    picture_properties picture;
    if (!stream.read) return picture;
    picture.known = true;
    picture.width = stream.coded_width;
    picture.height = stream.coded_height;
    if (stream.sar_num > 0 && stream.sar_den > 0 && stream.sar_num != stream.sar_den) {
        picture.width = static_cast<int>(
            (std::int64_t{stream.coded_width} * stream.sar_num + stream.sar_den / 2) /
            stream.sar_den);
    }
    picture.rate_num = stream.rate_num;
    picture.rate_den = stream.rate_den;
    picture.bit_depth = stream.bit_depth;
    picture.chroma = stream.chroma;
    picture.colour_known = true;
    picture.primaries = stream.primaries;
    picture.transfer = stream.transfer;
    picture.matrix = stream.matrix;
    picture.full_range = stream.full_range;
    picture.fields = stream.fields;
    return picture;
}

}  // namespace brindle::media

namespace brindle::media {

stream_picture read_codec_configuration(std::string_view config, video_coding coding) {
    stream_picture picture;
    std::optional<mastering_display> mastering;
    std::optional<content_light> light;
    cursor at(config);
    if (coding == video_coding::h264) {
        // avcC: version, profile, compatibility, level, length size, then the SPS list.
        if (!at.skip(5)) return picture;
        const auto sets = at.byte();
        for (unsigned i = 0; sets && i < (*sets & 0x1Fu) && !picture.read; ++i) {
            const auto length = at.big_endian(2);
            const auto nal = length ? at.take(static_cast<std::size_t>(*length)) : std::nullopt;
            if (!nal) break;
            read_units_of_one(*nal, coding, picture, mastering, light);
        }
        return picture;
    }
    // hvcC: 22 bytes of profile and format, then arrays of NAL units by type.
    if (!at.skip(22)) return picture;
    const auto arrays = at.byte();
    for (unsigned i = 0; arrays && i < *arrays; ++i) {
        const auto type = at.byte();
        const auto count = at.big_endian(2);
        if (!type || !count) break;
        for (std::uint64_t j = 0; j < *count; ++j) {
            const auto length = at.big_endian(2);
            const auto nal = length ? at.take(static_cast<std::size_t>(*length)) : std::nullopt;
            if (!nal) return picture;
            read_units_of_one(*nal, coding, picture, mastering, light);
        }
    }
    return picture;
}

}  // namespace brindle::media

namespace brindle::media {

namespace {

constexpr std::uint64_t mpeg2_rates[9][2] = {{0, 0},  {24000, 1001}, {24, 1},
                                             {25, 1}, {30000, 1001}, {30, 1},
                                             {50, 1}, {60000, 1001}, {60, 1}};

// The sequence header: sizes, the display's aspect ratio and the frame rate.
void read_sequence_header(bit_reader& at, stream_picture& picture, int& aspect) {
    picture.coded_width = static_cast<int>(at.bits(12));
    picture.coded_height = static_cast<int>(at.bits(12));
    aspect = static_cast<int>(at.bits(4));
    const std::uint32_t rate = at.bits(4);
    if (rate < 9) {
        picture.rate_num = mpeg2_rates[rate][0];
        picture.rate_den = mpeg2_rates[rate][1];
    }
    picture.bit_depth = 8;
    picture.chroma = chroma_format::yuv420;
    picture.colour_described = true;
    picture.fields = field_order::progressive;
}

// The sequence extension (fields, chroma), the display extension (colour) and the first
// picture's coding extension (which field comes first).
void read_extension(bit_reader& at, stream_picture& picture) {
    const std::uint32_t id = at.bits(4);
    if (id == 1) {
        at.skip(8);
        const bool progressive = at.flag();
        picture.chroma = chroma_of(at.bits(2));
        if (!progressive) picture.fields = field_order::interlaced;
    } else if (id == 2) {
        at.skip(3);
        if (at.flag()) {
            picture.primaries = static_cast<int>(at.bits(8));
            picture.transfer = static_cast<int>(at.bits(8));
            picture.matrix = static_cast<int>(at.bits(8));
        }
    } else if (id == 8 && picture.fields == field_order::interlaced) {
        at.skip(16 + 2 + 2);
        picture.fields = at.flag() ? field_order::top_first : field_order::bottom_first;
    }
}

}  // namespace

stream_picture parse_mpeg2_video(std::string_view stream) {
    stream_picture picture;
    int aspect = 0;
    bool sequence = false, picture_extension = false;
    for (std::size_t i = 0; i + 4 < stream.size() && !picture_extension; ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
        const auto code = static_cast<std::uint8_t>(stream[i + 3]);
        bit_reader at(stream.substr(i + 4, 16));
        if (code == 0xB3 && !sequence) {
            read_sequence_header(at, picture, aspect);
            sequence = !at.failed();
        } else if (code == 0xB5 && sequence) {
            picture_extension = (static_cast<std::uint8_t>(stream[i + 4]) >> 4) == 8;
            read_extension(at, picture);
        }
        i += 3;
    }
    if (!sequence || picture.coded_width == 0 || picture.coded_height == 0) return {};
    picture.read = true;
    // The aspect ratio is the display's: 4:3, 16:9 or 2.21:1 (1 is square pixels).
    constexpr int ratios[5][2] = {{0, 0}, {1, 1}, {4, 3}, {16, 9}, {221, 100}};
    if (aspect >= 2 && aspect <= 4) {
        picture.sar_num = picture.coded_height * ratios[aspect][0];
        picture.sar_den = picture.coded_width * ratios[aspect][1];
    }
    return picture;
}

}  // namespace brindle::media
