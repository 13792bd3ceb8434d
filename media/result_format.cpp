#include "media/result_format.h"

#include <algorithm>
#include <array>

#include "media/byte_source.h"
#include "media/file_source.h"
#include "media/readers.h"

namespace brindle::media {

namespace {

constexpr std::array webm_codecs = {
    std::string_view("V_VP8"),
    std::string_view("V_VP9"),
    std::string_view("V_AV1"),
    std::string_view("A_VORBIS"),
    std::string_view("A_OPUS"),
    std::string_view("S_TEXT/WEBVTT"),
    std::string_view("D_WEBVTT/SUBTITLES"),
    std::string_view("D_WEBVTT/CAPTIONS"),
    std::string_view("D_WEBVTT/DESCRIPTIONS"),
    std::string_view("D_WEBVTT/METADATA"),
};

}  // namespace

bool is_valid_webm(std::string_view doc_type, const track_list& tracks) {
    if (!tracks.listed) return doc_type == "webm";
    if (tracks.attachments > 0 || tracks.tracks.empty()) return false;
    return std::all_of(tracks.tracks.begin(), tracks.tracks.end(), [](const track_entry& track) {
        return std::find(webm_codecs.begin(), webm_codecs.end(), track.codec) != webm_codecs.end();
    });
}

result_format read_result_format(block_reader& reader) {
    result_format format;
    const auto head = reader.bytes(0, recognition_size);
    format.kind = recognise_container(head);
    if (format.kind == container::matroska) {
        const auto doc_type = matroska_doc_type(head);
        format.valid_webm = is_valid_webm(doc_type, read_matroska(reader).tracks);
    }
    return format;
}

result_format read_result_format(const std::string& path) {
    return read_headers_of(path, result_format{},
                           [](block_reader& reader) { return read_result_format(reader); });
}

}  // namespace brindle::media
