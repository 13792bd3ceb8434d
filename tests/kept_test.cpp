#include "encode/kept.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

media::track_inventory tracks(int video, int audio, int subtitle, int attachment) {
    media::track_inventory inventory;
    inventory.known = true;
    inventory.video = video;
    inventory.audio = audio;
    inventory.subtitle = subtitle;
    inventory.attachment = attachment;
    return inventory;
}

TEST(KeptTracks, WhatTheResultLacksAndWhatTheDefaultLineMustKeep) {
    struct row {
        media::track_inventory source;
        media::track_inventory result;
        bool source_is_matroska;
        const char* missing;
        bool refused_with_default_line;
    };
    media::track_inventory unknown;
    media::track_inventory teletext = tracks(1, 1, 2, 0);
    teletext.unsupported_in_matroska = {"teletext"};
    const row rows[] = {
        {tracks(1, 2, 2, 1), tracks(1, 2, 2, 1), true, "", false},
        {tracks(1, 1, 2, 0), tracks(1, 1, 0, 0), true, "the result has 0 of 2 subtitle tracks",
         true},
        {tracks(2, 1, 0, 3), tracks(1, 1, 0, 1), true,
         "the result has 1 of 2 video tracks; the result has 1 of 3 attachments", true},
        {tracks(1, 1, 0, 1), tracks(1, 1, 0, 0), false, "the result has 0 of 1 attachments", false},
        {teletext, tracks(1, 1, 1, 0), false, "the result has 1 of 2 subtitle tracks", false},
        {tracks(1, 1, 1, 0), unknown, true, "", false},
        {unknown, tracks(1, 0, 0, 0), true, "", false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(missing_tracks_text(r.source, r.result), r.missing) << r.missing;
        EXPECT_EQ(lacks_kept_track(kept_by_default_line(r.source, r.source_is_matroska), r.result),
                  r.refused_with_default_line)
            << r.missing;
    }
    EXPECT_EQ(left_out_text(teletext), "left out: teletext (Matroska cannot hold it)");
    EXPECT_EQ(left_out_text(tracks(1, 1, 1, 0)), "");
}

}  // namespace
}  // namespace brindle
