#include "media/probe.h"

#include <algorithm>
#include <utility>

#include "media/byte_source.h"
#include "media/container.h"
#include "media/file_source.h"
#include "media/readers.h"
#include "media/wholeness.h"
#include "platform/files.h"

namespace brindle {

namespace {

constexpr std::int64_t shortest_result_ms = 1000;
// A file that ends in this many zero bytes is taken for an unfinished download.
constexpr std::size_t zero_tail = std::size_t{64} << 10;

struct source_facts {
    std::optional<std::int64_t> duration_ms;
    media::track_list tracks;
};

source_facts read_source(media::block_reader& reader, media::container kind) {
    switch (kind) {
        case media::container::matroska: {
            auto facts = media::read_matroska(reader);
            // Only a file that starts late is walked: its result starts at zero.
            if (facts.first_cluster_ms.value_or(0) >= media::late_start_ms) {
                if (const auto span = media::matroska_late_span_ms(reader, facts.duration_ms)) {
                    facts.duration_ms = span;
                }
            }
            return {facts.duration_ms, std::move(facts.tracks)};
        }
        case media::container::mp4: {
            auto facts = media::read_mp4(reader);
            return {facts.duration_ms, std::move(facts.tracks)};
        }
        case media::container::mpeg_ts:
            return {media::read_transport_stream_duration(reader, 188),
                    media::read_track_list(reader, kind)};
        case media::container::m2ts:
            return {media::read_transport_stream_duration(reader, 192),
                    media::read_track_list(reader, kind)};
        case media::container::avi:
            return {media::read_avi_duration(reader), media::read_track_list(reader, kind)};
        default:
            return {std::nullopt, media::read_track_list(reader, kind)};
    }
}

// A download that reserves the whole file before its data arrives leaves zeros where the rest
// will go, and an encoder reads the part that came and ends without an error. No container ends
// in 64 KiB of zeros: each ends in an index, a table or packets with headers.
bool ends_in_zeros(media::block_reader& reader) {
    const auto size = reader.file_size();
    if (size < 2 * zero_tail) return false;
    const auto tail = reader.bytes(size - zero_tail, zero_tail);
    return tail.size() == zero_tail && tail.find_first_not_of('\0') == std::string_view::npos;
}

}  // namespace

std::string judge_result_duration(std::optional<std::int64_t> result_ms,
                                  std::optional<std::int64_t> source_ms) {
    if (!result_ms) return "the result declares no duration";
    if (*result_ms < shortest_result_ms) {
        return "the result lasts " + media::seconds_text(*result_ms) + ", less than one second";
    }
    if (source_ms && (*result_ms < *source_ms - media::allowed_difference_ms(*source_ms) ||
                      *result_ms > *source_ms + media::allowed_difference_ms(*source_ms))) {
        return "the result lasts " + media::seconds_text(*result_ms) + ", the source " +
               media::seconds_text(*source_ms);
    }
    return {};
}

namespace {

// Opens a file for the checks; answers the fault when it cannot, with `what` naming the file
// ("it", "the result").
std::string open_for_reading(platform::file_reader& file, const std::string& path,
                             const std::string& what) {
    switch (file.open(path)) {
        case platform::file_reader::outcome::opened:
            return {};
        case platform::file_reader::outcome::not_regular:
            return what + " is not a regular file";
        case platform::file_reader::outcome::failed:
        case platform::file_reader::outcome::missing:
            break;
    }
    return what + " cannot be read: " + file.error();
}

}  // namespace

source_probe probe_source(media::byte_source& source) {
    source_probe probe;
    media::block_reader reader(source);
    const auto head = reader.bytes(0, media::head_size);
    const auto kind = media::recognise_container(head);
    if (reader.read_failed()) {
        probe.fault = "it cannot be read";
        return probe;
    }
    if (kind == media::container::none) {
        const auto other = media::describe_other_file(head);
        probe.fault = "it is not a video file";
        if (!other.empty()) probe.fault += " (" + std::string(other) + ")";
        return probe;
    }
    auto facts = read_source(reader, kind);
    probe.duration_ms = facts.duration_ms;
    if (!reader.read_failed() && ends_in_zeros(reader)) {
        probe.duration_ms.reset();
        probe.fault = "it is not complete: it ends in " + std::to_string(zero_tail) +
                      " zero bytes, as an unfinished download does";
        return probe;
    }
    if (reader.read_failed()) {
        probe.duration_ms.reset();
        probe.fault = "it cannot be read";
        return probe;
    }
    probe.tracks = media::tally_tracks(facts.tracks);
    if (media::is_audio_only(probe.tracks)) {
        probe.duration_ms.reset();
        probe.fault = "it is not a video file (audio only)";
        return probe;
    }
    probe.is_video_container = true;
    return probe;
}

source_probe probe_source(const std::string& path) {
    platform::file_reader file;
    source_probe probe;
    probe.fault = open_for_reading(file, path, "it");
    if (!probe.fault.empty()) return probe;
    media::file_source source(file);
    return probe_source(source);
}

source_headers read_source_headers(const std::string& path) {
    platform::file_reader file;
    source_headers facts;
    facts.probe.fault = open_for_reading(file, path, "it");
    if (!facts.probe.fault.empty()) return facts;
    media::file_source source(file);
    facts.probe = probe_source(source);
    if (!facts.probe.is_video_container) return facts;
    media::block_reader picture(source);
    facts.picture = media::read_picture_properties(picture);
    media::block_reader format(source);
    facts.kind = media::read_result_format(format).kind;
    return facts;
}

result_verdict check_result(media::byte_source& source,
                            std::optional<std::int64_t> source_duration_ms) {
    result_verdict verdict;
    media::block_reader reader(source);
    const auto head = reader.bytes(0, media::head_size);
    const auto kind = media::recognise_container(head);
    const auto doc_type = media::matroska_doc_type(head);
    media::container_facts facts;
    if (kind == media::container::matroska) {
        facts = media::read_matroska(reader);
    } else if (kind == media::container::mp4) {
        facts = media::read_mp4(reader);
    } else {
        verdict.fault = reader.read_failed() ? "the result cannot be read"
                                             : "the result is not a Matroska or MP4 file";
        return verdict;
    }
    if (facts.whole && ends_in_zeros(reader)) {
        facts.whole = false;
        facts.damage = "it ends in " + std::to_string(zero_tail) + " zero bytes";
    }
    if (kind == media::container::matroska) media::walk_clusters(reader, facts);
    if (kind == media::container::mp4) media::walk_samples(reader, facts);
    verdict.duration_ms = facts.duration_ms;
    verdict.tracks = media::tally_tracks(facts.tracks);
    verdict.format.kind = kind;
    verdict.format.valid_webm =
        kind == media::container::matroska && media::is_valid_webm(doc_type, facts.tracks);
    // What a failed read hid cannot be judged: the result is refused as unreadable.
    if (reader.read_failed()) {
        verdict.fault = "the result cannot be read";
    } else if (!facts.whole) {
        verdict.fault = "the result is not a complete " + std::string(media::container_name(kind)) +
                        " file: " + facts.damage;
    } else if (!facts.has_video) {
        verdict.fault = "the result holds no video track";
    } else {
        verdict.fault = judge_result_duration(facts.duration_ms, source_duration_ms);
    }
    verdict.whole = verdict.fault.empty();
    return verdict;
}

result_verdict check_result(const std::string& path,
                            std::optional<std::int64_t> source_duration_ms) {
    platform::file_reader file;
    result_verdict verdict;
    verdict.fault = open_for_reading(file, path, "the result");
    if (!verdict.fault.empty()) return verdict;
    media::file_source source(file);
    return check_result(source, source_duration_ms);
}

bool declares_hevc_video(media::block_reader& reader) {
    const auto kind = media::recognise_container(reader.bytes(0, media::recognition_size));
    // The scan asks this of every candidate: attachments, a read each, do not matter here.
    if (kind == media::container::matroska) {
        return media::read_matroska(reader, /*count_attachments=*/false).has_hevc_video;
    }
    const auto list = media::read_track_list(reader, kind);
    return std::any_of(list.tracks.begin(), list.tracks.end(), [](const media::track_entry& track) {
        return track.kind == media::track_kind::video && track.hevc;
    });
}

}  // namespace brindle

namespace brindle::media {

std::vector<written_mark> written_marks_of(block_reader& reader, container kind) {
    switch (kind) {
        case container::matroska:
            return matroska_written_marks(reader);
        case container::mp4:
            return mp4_written_marks(reader);
        case container::mpeg_ts:
            return transport_stream_written_marks(reader, 188);
        case container::m2ts:
            return transport_stream_written_marks(reader, 192);
        case container::avi:
            return avi_written_marks(reader);
        default:
            return {};
    }
}

}  // namespace brindle::media
