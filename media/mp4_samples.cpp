#include <algorithm>
#include <bit>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "media/cursor.h"
#include "media/mp4_boxes.h"
#include "media/wholeness.h"

namespace brindle::media {

namespace {

// How much of a sample table is copied at once.
constexpr std::size_t table_window = std::size_t{64} << 10;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > ~std::uint64_t{0} - b ? ~std::uint64_t{0} : a + b;
}

std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > ~std::uint64_t{0} / b ? ~std::uint64_t{0} : a * b;
}

// A table of big-endian entries of 4, 8, 16, 32 or 64 bits, read a window at a time: the walk
// reads several tables side by side, which would cost the block_reader a read per entry.
class table_stream {
public:
    table_stream() = default;
    // The caller has checked that `count` entries from `offset` lie inside their box.
    table_stream(block_reader& reader, std::uint64_t offset, std::uint64_t count, unsigned bits)
        : reader_(&reader),
          next_offset_(offset),
          end_(offset + (bits == 4 ? (count + 1) / 2 : count * (bits / 8))),
          left_(count),
          bits_(bits) {}

    std::uint64_t left() const { return left_; }

    // The next entry; nothing when the table is used up or a read fails.
    std::optional<std::uint64_t> next() {
        if (left_ == 0) return std::nullopt;
        --left_;
        if (bits_ == 4 && half_pending_) {
            half_pending_ = false;
            return pending_ & 0x0F;
        }
        const std::size_t width = bits_ == 4 ? 1 : bits_ / 8;
        if (window_.size() - position_ < width && !refill()) {
            left_ = 0;
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value = (value << 8) | static_cast<std::uint8_t>(window_[position_++]);
        }
        if (bits_ != 4) return value;
        half_pending_ = true;
        pending_ = value;
        return value >> 4;
    }

private:
    bool refill() {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(table_window, end_ - next_offset_));
        const auto bytes = reader_->bytes(next_offset_, wanted);
        if (wanted == 0 || bytes.size() != wanted) return false;
        window_.assign(bytes);
        position_ = 0;
        next_offset_ += wanted;
        return true;
    }

    block_reader* reader_ = nullptr;
    std::uint64_t next_offset_ = 0;
    std::uint64_t end_ = 0;
    std::uint64_t left_ = 0;
    unsigned bits_ = 32;
    std::string window_;
    std::size_t position_ = 0;
    bool half_pending_ = false;
    std::uint64_t pending_ = 0;
};

struct track {
    std::uint64_t id = 0;
    bool video = false;
    std::uint64_t timescale = 0;
    std::uint64_t duration = 0;  // mdhd, in timescale units; 0 when unknown
    std::optional<box> chunk_map, sizes, offsets, times;
    // From trex: what a fragment's samples are when neither tfhd nor trun says.
    std::uint64_t default_duration = 0, default_size = 0;
    std::uint64_t fragment_duration = 0;  // the sum over the fragments, in timescale units
};

struct samples_walk {
    block_reader& reader;
    std::vector<track> tracks;
    // mvhd's timescale, in `movie.timescale`, and mehd's duration of all fragments in it.
    track movie;
    // Where the file's mdat boxes hold their data: every chunk of samples lies inside one.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> media_data;
    std::string damage;
};

bool fail(samples_walk& w, std::string damage) {
    w.damage = std::move(damage);
    return false;
}

std::string track_name(const track& t) { return "its track " + std::to_string(t.id); }

// Zeros where a box should start read as a box that runs to the end of its parent: they would
// hide the tables or the fragments they overwrote.
bool zeroed(samples_walk& w, const box& b) {
    if (b.type != std::string(4, '\0')) return false;
    fail(w, "at byte " + std::to_string(b.offset) + ", where a box should start, it holds zeros");
    return true;
}

track* track_with_id(samples_walk& w, std::uint64_t id) {
    for (auto& t : w.tracks) {
        if (t.id == id) return &t;
    }
    return nullptr;
}

// A table's entries after its `header` bytes (version, flags, counts), when `count` entries of
// `bits` bits fit in the box; nothing when they do not.
std::optional<table_stream> table_of(samples_walk& w, const box& b, std::size_t header,
                                     std::uint64_t count, unsigned bits) {
    const std::uint64_t room = end_of(b) - b.body_offset;
    if (room < header) return std::nullopt;
    const std::uint64_t entry_room = room - header;
    const bool fits = bits == 4 ? count <= entry_room * 2 : count <= entry_room / (bits / 8);
    if (!fits) return std::nullopt;
    return table_stream(w.reader, b.body_offset + header, count, bits);
}

// mdhd, laid out as mvhd: version and flags, two times, the timescale, the duration.
void read_media_header(std::string_view body, track& t) {
    cursor at(body);
    const auto version = at.byte();
    if (!version || !at.skip(3)) return;
    const std::size_t width = *version == 1 ? 8 : 4;
    if (!at.skip(2 * width)) return;
    t.timescale = at.big_endian(4).value_or(0);
    const auto duration = at.big_endian(width).value_or(0);
    const bool unknown = duration == (width == 8 ? ~std::uint64_t{0} : 0xFFFFFFFFu);
    t.duration = unknown ? 0 : duration;
}

void read_sample_tables(samples_walk& w, const box& stbl, track& t) {
    for_each_box(w.reader, stbl.body_offset, end_of(stbl), [&](const box& table) {
        if (zeroed(w, table)) return false;
        if (table.type == "stsc") t.chunk_map = table;
        if (table.type == "stsz" || table.type == "stz2") t.sizes = table;
        if (table.type == "stco" || table.type == "co64") t.offsets = table;
        if (table.type == "stts") t.times = table;
        return true;
    });
}

void read_track(samples_walk& w, const box& trak) {
    track t;
    for_each_box(w.reader, trak.body_offset, end_of(trak), [&](const box& part) {
        if (zeroed(w, part)) return false;
        if (part.type == "tkhd") {
            // version and flags, two times of 4 or 8 bytes, then the track's id
            cursor at(body_of(w.reader, part, 24));
            const auto version = at.byte();
            if (version && at.skip(3 + 2 * (*version == 1 ? 8 : 4))) {
                t.id = at.big_endian(4).value_or(0);
            }
        }
        if (part.type != "mdia") return true;
        for_each_box(w.reader, part.body_offset, end_of(part), [&](const box& media) {
            if (zeroed(w, media)) return false;
            const auto body = body_of(w.reader, media, 32);
            if (media.type == "mdhd") read_media_header(body, t);
            if (media.type == "hdlr") t.video = body.size() >= 12 && body.substr(8, 4) == "vide";
            if (media.type != "minf") return true;
            for_each_box(w.reader, media.body_offset, end_of(media), [&](const box& stbl) {
                if (zeroed(w, stbl)) return false;
                if (stbl.type == "stbl") read_sample_tables(w, stbl, t);
                return stbl.type != "stbl";
            });
            return true;
        });
        return true;
    });
    w.tracks.push_back(t);
}

void read_movie_extends(samples_walk& w, const box& mvex) {
    for_each_box(w.reader, mvex.body_offset, end_of(mvex), [&](const box& trex) {
        if (trex.type == "mehd") {
            cursor at(body_of(w.reader, trex, 12));
            const auto version = at.byte();
            if (version && at.skip(3)) {
                w.movie.fragment_duration = at.big_endian(*version == 1 ? 8 : 4).value_or(0);
            }
        }
        if (trex.type != "trex") return true;
        // version and flags, the track's id, the sample description, then the defaults
        cursor at(body_of(w.reader, trex, 24));
        const auto id = at.skip(4) ? at.big_endian(4) : std::nullopt;
        track* t = id ? track_with_id(w, *id) : nullptr;
        if (t && at.skip(4)) {
            t->default_duration = at.big_endian(4).value_or(0);
            t->default_size = at.big_endian(4).value_or(0);
        }
        return true;
    });
}

// The first number of each entry of the chunk map: entries are first chunk, samples per chunk
// and sample description.
struct chunk_run {
    std::uint64_t first_chunk = 0, samples = 0;
};

std::optional<chunk_run> next_run(table_stream& map) {
    const auto first = map.next();
    const auto samples = map.next();
    if (!first || !samples || !map.next()) return std::nullopt;
    return chunk_run{*first, *samples};
}

std::optional<std::uint64_t> count_at(block_reader& reader, const box& b, std::size_t offset) {
    cursor at(body_of(reader, b, offset + 4));
    if (!at.skip(offset)) return std::nullopt;
    return at.big_endian(4);
}

// The mdat boxes are top-level boxes met in file order, so they lie sorted and apart: only the
// last one that starts at or before `start` can hold the chunk. A binary search keeps a file of
// many boxes and many chunks from costing their product.
bool in_media_data(const samples_walk& w, std::uint64_t start, std::uint64_t end) {
    const auto after = std::upper_bound(
        w.media_data.begin(), w.media_data.end(), start,
        [](std::uint64_t offset, const auto& data) { return offset < data.first; });
    return after != w.media_data.begin() && end <= std::prev(after)->second;
}

// Reads the time-to-sample table one sample at a time: entries of a sample count and a duration.
class sample_times {
public:
    sample_times(samples_walk& w, const track& t) {
        const auto count = t.times ? count_at(w.reader, *t.times, 4) : std::nullopt;
        if (count) table_ = table_of(w, *t.times, 8, saturating_multiply(*count, 2), 32);
    }
    // The duration of the next sample, in the track's timescale; 0 once the table is used up.
    std::uint64_t next() {
        while (left_ == 0 && table_ && table_->left() >= 2) {
            left_ = table_->next().value_or(0);
            each_ = table_->next().value_or(0);
        }
        if (left_ == 0) return 0;
        --left_;
        return each_;
    }

private:
    std::optional<table_stream> table_;
    std::uint64_t left_ = 0, each_ = 0;
};

// Places every sample of a track: chunk by chunk, the chunk map says how many samples each
// chunk holds and the size table how large they are; each chunk must lie inside an mdat. With
// `marks`, also the track's bytes and time reached after each chunk.
bool place_samples(samples_walk& w, const track& t, std::vector<written_mark>* marks = nullptr) {
    // Every track has its tables, empty in a fragmented file; one without them was overwritten.
    if (!t.sizes || !t.offsets || !t.chunk_map) {
        return fail(w, track_name(t) + " has no sample tables");
    }
    const auto sample_count = count_at(w.reader, *t.sizes, 8);
    if (sample_count == 0) return true;
    const std::string damaged = track_name(t) + "'s sample tables are damaged";
    if (!sample_count) return fail(w, damaged);
    const bool compact = t.sizes->type == "stz2";
    const auto field = count_at(w.reader, *t.sizes, 4);  // stsz: the constant size
    const unsigned bits = compact ? static_cast<unsigned>(field.value_or(0) & 0xFF) : 32;
    const std::uint64_t constant = compact ? 0 : field.value_or(0);
    const auto chunk_count = count_at(w.reader, *t.offsets, 4);
    const auto run_count = count_at(w.reader, *t.chunk_map, 4);
    if (!chunk_count || !run_count || (bits != 4 && bits != 8 && bits != 16 && bits != 32)) {
        return fail(w, damaged);
    }
    auto sizes = table_of(w, *t.sizes, 12, constant != 0 ? 0 : *sample_count, bits);
    auto offsets = table_of(w, *t.offsets, 8, *chunk_count, t.offsets->type == "co64" ? 64 : 32);
    auto map = table_of(w, *t.chunk_map, 8, saturating_multiply(*run_count, 3), 32);
    if (!sizes || !offsets || !map) return fail(w, damaged);

    std::uint64_t samples_left = *sample_count, per_chunk = 0;
    std::uint64_t placed_bytes = 0, placed_time = 0;
    sample_times times(w, t);
    auto run = next_run(*map);
    for (std::uint64_t chunk = 1; offsets->left() > 0; ++chunk) {
        while (run && run->first_chunk <= chunk) {
            per_chunk = run->samples;
            run = next_run(*map);
        }
        const auto start = offsets->next();
        if (!start) return fail(w, damaged);
        const std::uint64_t in_chunk = std::min(per_chunk, samples_left);
        std::uint64_t bytes = saturating_multiply(in_chunk, constant);
        for (std::uint64_t i = 0; constant == 0 && i < in_chunk; ++i) {
            const auto size = sizes->next();
            if (!size) return fail(w, damaged);
            bytes = saturating_add(bytes, *size);
        }
        samples_left -= in_chunk;
        if (marks && t.timescale != 0) {
            for (std::uint64_t i = 0; i < in_chunk; ++i) {
                placed_time = saturating_add(placed_time, times.next());
            }
            placed_bytes = saturating_add(placed_bytes, bytes);
            const std::int64_t ms = milliseconds(placed_time, t.timescale).value_or(0);
            if ((marks->empty() || ms >= marks->back().ms + written_mark_step_ms) &&
                marks->size() <= written_marks_most) {
                marks->push_back({placed_bytes, ms});
            }
        }
        const auto end = saturating_add(*start, bytes);
        if (end > w.reader.file_size()) {
            return fail(w, "a chunk of samples of " + track_name(t) + " ends at byte " +
                               std::to_string(end) + ", the file holds " +
                               std::to_string(w.reader.file_size()));
        }
        if (bytes != 0 && !in_media_data(w, *start, end)) {
            return fail(w, "a chunk of samples of " + track_name(t) +
                               " lies outside the media data, at bytes " + std::to_string(*start) +
                               " to " + std::to_string(end));
        }
    }
    if (samples_left == 0) return true;
    return fail(w, track_name(t) + " lists " + std::to_string(*sample_count) +
                       " samples, its chunks hold " + std::to_string(*sample_count - samples_left));
}

// The sum of the time-to-sample table: entries of a sample count and a duration each.
std::uint64_t table_duration(samples_walk& w, const track& t) {
    if (!t.times) return 0;
    const auto count = count_at(w.reader, *t.times, 4);
    auto times =
        count ? table_of(w, *t.times, 8, saturating_multiply(*count, 2), 32) : std::nullopt;
    std::uint64_t total = 0;
    while (times && times->left() >= 2) {
        const auto samples = times->next(), each = times->next();
        if (!samples || !each) break;
        total = saturating_add(total, saturating_multiply(*samples, *each));
    }
    return total;
}

// One fragment of one track: where its data starts when trun does not say, and its defaults.
struct track_fragment {
    track* owner = nullptr;
    std::uint64_t data_start = 0;
    std::uint64_t default_duration = 0, default_size = 0;
};

std::optional<track_fragment> read_fragment_header(samples_walk& w, const box& tfhd,
                                                   const box& moof, std::uint64_t previous_end) {
    cursor at(body_of(w.reader, tfhd, 40));
    const auto flags = at.big_endian(4);
    const auto id = at.big_endian(4);
    track_fragment fragment;
    fragment.owner = id ? track_with_id(w, *id) : nullptr;
    if (!flags || !fragment.owner) return std::nullopt;
    // Without a base offset, data follows the previous fragment's, or starts at the moof.
    fragment.data_start = (*flags & 0x020000) ? moof.offset : previous_end;
    if (*flags & 0x01) fragment.data_start = at.big_endian(8).value_or(0);
    if (*flags & 0x02) at.skip(4);
    fragment.default_duration = fragment.owner->default_duration;
    fragment.default_size = fragment.owner->default_size;
    if (*flags & 0x08) fragment.default_duration = at.big_endian(4).value_or(0);
    if (*flags & 0x10) fragment.default_size = at.big_endian(4).value_or(0);
    return fragment;
}

// One trun: its samples' sizes and durations, from its own entries or the defaults. Answers
// where its data ends, nothing on damage.
std::optional<std::uint64_t> read_run(samples_walk& w, const box& trun, track_fragment& fragment,
                                      std::uint64_t data_start, const box& mdat) {
    cursor at(body_of(w.reader, trun, 16));
    const auto flags = at.big_endian(4);
    const auto count = at.big_endian(4);
    if (!flags || !count) return std::nullopt;
    std::uint64_t start = data_start;
    std::size_t header = 8;
    if (*flags & 0x01) {
        const auto offset = at.big_endian(4);
        if (!offset) return std::nullopt;
        const auto relative = static_cast<std::int32_t>(static_cast<std::uint32_t>(*offset));
        start = fragment.data_start + static_cast<std::uint64_t>(std::int64_t{relative});
        header += 4;
    }
    if (*flags & 0x04) header += 4;
    const auto fields = static_cast<std::uint64_t>(std::popcount(*flags & 0xF00));
    auto entries = table_of(w, trun, header, saturating_multiply(*count, fields), 32);
    if (!entries) return std::nullopt;
    std::uint64_t bytes = 0, duration = 0;
    if (fields == 0) {
        bytes = saturating_multiply(*count, fragment.default_size);
        duration = saturating_multiply(*count, fragment.default_duration);
    }
    for (std::uint64_t i = 0; fields != 0 && i < *count; ++i) {
        std::uint64_t size = fragment.default_size, length = fragment.default_duration;
        for (unsigned bit = 0x100; bit <= 0x800; bit <<= 1) {
            if (!(*flags & bit)) continue;
            const auto value = entries->next();
            if (!value) return std::nullopt;
            if (bit == 0x100) length = *value;
            if (bit == 0x200) size = *value;
        }
        bytes = saturating_add(bytes, size);
        duration = saturating_add(duration, length);
    }
    const auto end = saturating_add(start, bytes);
    if (start < mdat.body_offset || end > end_of(mdat)) return std::nullopt;
    fragment.owner->fragment_duration = saturating_add(fragment.owner->fragment_duration, duration);
    return end;
}

// A moof and the mdat after it: every run of samples the moof describes lies inside the mdat.
bool check_fragment(samples_walk& w, const box& moof, const box& mdat) {
    const std::string where = "its moof at byte " + std::to_string(moof.offset);
    std::uint64_t data_end = moof.offset;
    bool whole = true;
    for_each_box(w.reader, moof.body_offset, end_of(moof), [&](const box& traf) {
        if (traf.type != "traf") return true;
        std::optional<track_fragment> fragment;
        for_each_box(w.reader, traf.body_offset, end_of(traf), [&](const box& part) {
            if (part.type == "tfhd") {
                fragment = read_fragment_header(w, part, moof, data_end);
                if (fragment) data_end = fragment->data_start;
                whole = fragment.has_value();
            } else if (part.type == "trun") {
                const auto end =
                    fragment ? read_run(w, part, *fragment, data_end, mdat) : std::nullopt;
                whole = end.has_value();
                data_end = end.value_or(data_end);
            }
            return whole;
        });
        return whole;
    });
    if (whole) return true;
    return fail(w, where + " places samples outside the mdat after it");
}

// Every top-level box: the moov's tracks first, then each moof with the mdat that follows it.
bool walk_boxes(samples_walk& w) {
    std::optional<box> moof;
    bool movie_read = false;
    const std::uint64_t file_size = w.reader.file_size();
    for (std::uint64_t offset = 0; offset < file_size;) {
        const auto found = box_at(w.reader, offset, file_size);
        if (!found || found->size > file_size - offset) return true;  // the reader said why
        if (zeroed(w, *found)) return false;
        // Only the first moov counts, as for the container's reader.
        if (found->type == "moov" && !movie_read) {
            movie_read = true;
            for_each_box(w.reader, found->body_offset, end_of(*found), [&](const box& child) {
                if (zeroed(w, child)) return false;
                if (child.type == "mvhd") read_media_header(body_of(w.reader, child, 32), w.movie);
                if (child.type == "trak") read_track(w, child);
                if (child.type == "mvex") read_movie_extends(w, child);
                return w.damage.empty();
            });
            if (!w.damage.empty()) return false;
        }
        if (found->type == "mdat") w.media_data.emplace_back(found->body_offset, end_of(*found));
        if (found->type == "moof" && moof) {
            return fail(
                w, "its moof at byte " + std::to_string(moof->offset) + " has no mdat after it");
        }
        if (found->type == "moof") moof = found;
        if (found->type == "mdat" && moof) {
            if (!check_fragment(w, *moof, *found)) return false;
            moof.reset();
        }
        offset += found->size;
    }
    if (!moof) return true;
    return fail(w, "its moof at byte " + std::to_string(moof->offset) + " has no mdat after it");
}

}  // namespace

std::vector<written_mark> mp4_written_marks(block_reader& reader) {
    samples_walk w{reader, {}, {}, {}, {}};
    if (!walk_boxes(w)) return {};
    // Each track's chunk ends, as (time, track, the track's bytes by then).
    struct chunk_end {
        std::int64_t ms;
        std::size_t track;
        std::uint64_t bytes;
    };
    std::vector<chunk_end> ends;
    for (std::size_t i = 0; i < w.tracks.size(); ++i) {
        std::vector<written_mark> marks;
        if (!place_samples(w, w.tracks[i], &marks)) return {};
        if (ends.size() + marks.size() > written_marks_most) return {};
        for (const written_mark& mark : marks) ends.push_back({mark.ms, i, mark.bytes});
    }
    // All tracks together: at each time a chunk ends, the bytes of every track's chunks ended by
    // then.
    std::stable_sort(ends.begin(), ends.end(),
                     [](const chunk_end& a, const chunk_end& b) { return a.ms < b.ms; });
    std::vector<std::uint64_t> by_track(w.tracks.size(), 0);
    std::uint64_t total = 0;
    std::vector<written_mark> merged;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        total = saturating_add(total - by_track[ends[i].track], ends[i].bytes);
        by_track[ends[i].track] = ends[i].bytes;
        const bool last_at_this_time = i + 1 == ends.size() || ends[i + 1].ms != ends[i].ms;
        if (!last_at_this_time) continue;
        if (!merged.empty() && ends[i].ms < merged.back().ms + written_mark_step_ms) continue;
        merged.push_back({total, ends[i].ms});
    }
    return merged;
}

void walk_samples(block_reader& reader, container_facts& facts) {
    if (!facts.whole) return;
    samples_walk w{reader, {}, {}, {}, {}};
    bool whole = walk_boxes(w);
    std::optional<std::int64_t> video_ms;
    for (const auto& t : w.tracks) {
        if (!whole) break;
        whole = place_samples(w, t);
        if (!t.video) continue;
        const auto own = t.duration != 0 ? t.duration : table_duration(w, t);
        const auto ms = milliseconds(saturating_add(own, t.fragment_duration), t.timescale);
        if (ms && *ms > 0) video_ms = std::max(video_ms.value_or(0), *ms);
    }
    // Fragments whose samples state no durations: the movie's own sum of them.
    if (!video_ms && w.movie.fragment_duration != 0) {
        video_ms = milliseconds(w.movie.fragment_duration, w.movie.timescale);
    }
    facts.whole = whole;
    facts.damage = w.damage;
    if (facts.has_video) facts.duration_ms = video_ms;
}

}  // namespace brindle::media
