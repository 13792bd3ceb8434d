#pragma once

// The tracks a video file holds, as its container's headers list them: how many of each kind,
// which codings, and which of them Matroska cannot hold. Read from the headers only, so that a
// source and its result can be compared after every encode at the cost of a few small reads.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "media/container.h"

namespace brindle::media {

class block_reader;

enum class track_kind {
    video,
    audio,
    subtitle,
    // A still picture stored as a track (an MP4 track of one JPEG or PNG picture): cover art,
    // counted with the attachments.
    cover,
    other,  // data, timecodes, menus, chapters: neither counted nor compared
    // A stream the headers list without saying what it is: it may be video.
    unknown,
};

// One track (stream) as a container's header describes it.
struct track_entry {
    track_kind kind = track_kind::other;
    // The container's own name for the coding ("V_MPEGH/ISO/HEVC", "tx3g", "vids:HEVC").
    std::string codec;
    bool hevc = false;
    // A subtitle track in MP4's timed text (mov_text), which Matroska holds once made SRT.
    bool mov_text = false;
    // When Matroska cannot hold the track, what a user calls it ("teletext"); empty otherwise.
    std::string_view lost_in_matroska;
};

// The tracks and attachments a container lists.
struct track_list {
    // The container's list was found and read; without it the counts below mean nothing.
    bool listed = false;
    std::vector<track_entry> tracks;
    // Attached files (Matroska) and pictures in the metadata (MP4's covr).
    int attachments = 0;
};

struct track_inventory {
    // The headers were read and list the file's tracks. When false the counts are zeros, and
    // nothing may be concluded from them.
    bool known = false;
    int video = 0;  // cover art is not video: it is counted with the attachments
    int audio = 0;
    int subtitle = 0;
    int attachment = 0;
    // Streams of a kind the headers do not tell.
    int unknown = 0;
    // A video track is HEVC.
    bool hevc_video = false;
    // A subtitle track is MP4 timed text (mov_text).
    bool has_mov_text = false;
    // One name per subtitle track Matroska cannot hold ("teletext"), in the file's order.
    std::vector<std::string> unsupported_in_matroska;
};

// The counts of a list of tracks.
track_inventory tally_tracks(const track_list& list);

// The tracks of a file whose container is `kind`, from its headers (an empty, unlisted list for
// containers that tell nothing cheaply: ASF, WTV, RealMedia).
track_list read_track_list(block_reader& reader, container kind);

// The tracks of the file `reader` reads, from the headers of Matroska/WebM, MP4/MOV, MPEG-TS,
// M2TS, MPEG-PS, AVI and Ogg; not known for other containers and for files whose headers could
// not be read.
track_inventory read_track_inventory(block_reader& reader);
track_inventory read_track_inventory(const std::string& path);

// Does an inventory show a file of sound alone: its tracks known, one audio track at least, no
// video (cover art is no video) and no stream that might be video?
bool is_audio_only(const track_inventory& inventory);

// The readers of the containers whose track lists are not part of container_facts. Each reads
// only the head of the file: a few hundred KiB at most.

// MPEG-TS (packet_size 188) and M2TS (192): the streams of the first program's map.
track_list read_transport_stream_tracks(block_reader& reader, std::size_t packet_size);
// MPEG-PS: the program stream map when there is one, else the streams of the packets near the
// start.
track_list read_program_stream_tracks(block_reader& reader);
// AVI: the stream headers of the header list.
track_list read_avi_tracks(block_reader& reader);
// Ogg: the codecs of the logical streams that begin on the first pages.
track_list read_ogg_tracks(block_reader& reader);
// FLV: the first video tag's coding only (the list is never complete, so never `listed`).
track_list read_flv_tracks(block_reader& reader);

}  // namespace brindle::media
