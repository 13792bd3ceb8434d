#include "media/tracks.h"

#include "media/byte_source.h"
#include "media/file_source.h"
#include "media/readers.h"

namespace brindle::media {

track_inventory tally_tracks(const track_list& list) {
    track_inventory inventory;
    if (!list.listed) return inventory;
    inventory.known = true;
    inventory.attachment = list.attachments;
    for (const auto& track : list.tracks) {
        switch (track.kind) {
            case track_kind::video:
                ++inventory.video;
                inventory.hevc_video = inventory.hevc_video || track.hevc;
                break;
            case track_kind::audio:
                ++inventory.audio;
                break;
            case track_kind::subtitle:
                ++inventory.subtitle;
                inventory.has_mov_text = inventory.has_mov_text || track.mov_text;
                if (!track.lost_in_matroska.empty()) {
                    inventory.unsupported_in_matroska.emplace_back(track.lost_in_matroska);
                }
                break;
            case track_kind::cover:
                ++inventory.attachment;
                break;
            case track_kind::unknown:
                ++inventory.unknown;
                break;
            case track_kind::other:
                break;
        }
    }
    return inventory;
}

track_list read_track_list(block_reader& reader, container kind) {
    switch (kind) {
        case container::matroska:
            return read_matroska(reader).tracks;
        case container::mp4:
            return read_mp4(reader).tracks;
        case container::mpeg_ts:
            return read_transport_stream_tracks(reader, 188);
        case container::m2ts:
            return read_transport_stream_tracks(reader, 192);
        case container::mpeg_ps:
            return read_program_stream_tracks(reader);
        case container::avi:
            return read_avi_tracks(reader);
        case container::ogg:
            return read_ogg_tracks(reader);
        case container::flv:
            return read_flv_tracks(reader);
        default:
            return {};
    }
}

track_inventory read_track_inventory(block_reader& reader) {
    const auto kind = recognise_container(reader.bytes(0, recognition_size));
    auto inventory = tally_tracks(read_track_list(reader, kind));
    // What a failed read hid cannot be counted.
    if (reader.read_failed()) inventory = {};
    return inventory;
}

track_inventory read_track_inventory(const std::string& path) {
    return read_headers_of(path, track_inventory{},
                           [](block_reader& reader) { return read_track_inventory(reader); });
}

bool is_audio_only(const track_inventory& inventory) {
    return inventory.known && inventory.video == 0 && inventory.unknown == 0 && inventory.audio > 0;
}

}  // namespace brindle::media
