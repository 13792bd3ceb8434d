#!/usr/bin/env bash
# Makes the small real video files the media tests read: a couple of seconds of a 64x64 test
# picture, in every container the program recognises, with and without audio, in H.264 and HEVC.
#   make_samples.sh OUTDIR
# Without ffmpeg it makes nothing and succeeds: the tests that need the files then skip.
# When BRINDLE_MEDIA_SAMPLES_FROM names a folder this same script filled (another build folder of
# the same test run), its samples are copied instead of made again.
set -euo pipefail

out=${1:?usage: make_samples.sh OUTDIR}
if ! command -v ffmpeg >/dev/null 2>&1; then
    echo "ffmpeg not found: no media samples made"
    exit 0
fi

# Files are made under a temporary name and renamed when whole, so an interrupted run never
# leaves a half-made sample for the tests to take for a real one.
rm -rf "$out"
mkdir -p "$out"

# The marker of a whole folder names the script and the ffmpeg that made it.
made_by="$(sha256sum <"${BASH_SOURCE[0]}") $(ffmpeg -hide_banner -version | head -n 1)"
from=${BRINDLE_MEDIA_SAMPLES_FROM-}
if [[ -n $from && -f $from/complete && $(<"$from/complete") == "$made_by" ]]; then
    shopt -s dotglob
    for file in "$from"/*; do
        [[ $file == */complete ]] || cp -a "$file" "$out/"
    done
    cp "$from/complete" "$out/complete"  # last: the tests take only a whole folder
    echo "media samples copied from $from to $out"
    exit 0
fi

video=(-f lavfi -i testsrc2=size=64x64:rate=10)
audio=(-f lavfi -i sine=frequency=440:sample_rate=8000)

make() {
    local name=$1
    shift
    if ! ffmpeg -nostdin -hide_banner -loglevel error -y "$@" "$out/.part-$name"; then
        rm -f "$out/.part-$name"
        return 1
    fi
    mv "$out/.part-$name" "$out/$name"
}

# Samples of the rarer containers need encoders some ffmpeg builds leave out; the tests skip a
# sample that is missing.
try_make() {
    make "$@" || echo "sample $1 not made"
}

x264=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p)
x265=(-c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params log-level=none)
two=(-t 2)

make h264.mkv "${video[@]}" "${audio[@]}" "${two[@]}" "${x264[@]}" -c:a aac -f matroska
make h264_silent.mkv "${video[@]}" "${two[@]}" "${x264[@]}" -f matroska
make hevc.mkv "${video[@]}" "${audio[@]}" "${two[@]}" "${x265[@]}" -c:a aac -f matroska
make hevc_short.mkv "${video[@]}" -t 0.5 "${x265[@]}" -f matroska
# A title long enough to push the codec identifier past the first 16 KiB.
title=$(printf 'T%.0s' $(seq 1 20000))
make hevc_long_title.mkv "${video[@]}" "${two[@]}" "${x265[@]}" -metadata title="$title" \
    -f matroska
try_make vp9.webm "${video[@]}" "${two[@]}" -c:v libvpx-vp9 -deadline realtime -f webm
make audio.mka "${audio[@]}" "${two[@]}" -c:a flac -f matroska

make h264.mp4 "${video[@]}" "${audio[@]}" "${two[@]}" "${x264[@]}" -c:a aac -f mp4
make h264_faststart.mp4 "${video[@]}" "${two[@]}" "${x264[@]}" -movflags +faststart -f mp4
make hevc_hvc1.mp4 "${video[@]}" "${audio[@]}" "${two[@]}" "${x265[@]}" -tag:v hvc1 -c:a aac \
    -f mp4
# Larger than the first read of a probe, so that its moov needs a read of its own.
make hevc_long.mp4 -f lavfi -i testsrc2=size=128x128:rate=10 -t 10 "${x265[@]}" -f mp4
make hevc_hev1.mp4 "${video[@]}" "${two[@]}" "${x265[@]}" -tag:v hev1 -movflags +faststart \
    -f mp4
# Longer than twice the zero tail a result may not end in, with its moov at the front.
make hevc_long_faststart.mp4 -f lavfi -i testsrc2=size=160x120:rate=10 "${audio[@]}" -t 12 \
    "${x265[@]}" -c:a aac -movflags +faststart -f mp4
make hevc_long.mkv -f lavfi -i testsrc2=size=160x120:rate=10 "${audio[@]}" -t 12 "${x265[@]}" \
    -c:a aac -f matroska
# Times kept from a recording that began 600 s earlier; the Duration and the movie's duration
# count from zero.
make late.mkv "${video[@]}" "${two[@]}" "${x264[@]}" -output_ts_offset 600 -f matroska
make late.mp4 "${video[@]}" "${two[@]}" "${x264[@]}" -output_ts_offset 600 -f mp4
# The same, 4 s in Clusters of half a second, to be cut short at a Cluster's end.
make late_clusters.mkv "${video[@]}" -t 4 "${x264[@]}" -g 5 -output_ts_offset 600 \
    -cluster_time_limit 500 -f matroska
# Its picture starts 1.5 s after its sound, which starts at zero.
make video_after_sound.mp4 -itsoffset 1.5 -i "$out/h264_silent.mkv" -i "$out/audio.mka" \
    -map 0:v -map 1:a -c:v copy -c:a aac -f mp4
make hevc_long.m2ts -i "$out/hevc_long.mkv" -c copy -mpegts_m2ts_mode 1 -f mpegts
make hevc_frac.mp4 "${video[@]}" "${audio[@]}" -t 2.5 "${x265[@]}" -c:a aac -f mp4
make hevc_frag.mp4 "${video[@]}" "${audio[@]}" "${two[@]}" "${x265[@]}" -c:a aac \
    -movflags frag_keyframe+empty_moov -f mp4
make hevc_frag_moof.mp4 "${video[@]}" "${audio[@]}" "${two[@]}" "${x265[@]}" -c:a aac \
    -movflags frag_keyframe+empty_moov+default_base_moof -f mp4
# Written to a pipe: a Segment of unknown size.
ffmpeg -nostdin -hide_banner -loglevel error "${video[@]}" "${audio[@]}" "${two[@]}" \
    "${x265[@]}" -c:a aac -f matroska pipe:1 >"$out/.part-hevc_pipe.mkv"
mv "$out/.part-hevc_pipe.mkv" "$out/hevc_pipe.mkv"
# Two frames of video beside ten seconds of sound.
make .video2.mkv "${video[@]}" -frames:v 2 "${x265[@]}" -f matroska
make .audio10.mka "${audio[@]}" -t 10 -c:a aac -f matroska
for container in mkv mp4; do
    make "hevc_video2.$container" -i "$out/.video2.mkv" -i "$out/.audio10.mka" -c copy
done
rm -f "$out/.video2.mkv" "$out/.audio10.mka"
make h264.mov "${video[@]}" "${audio[@]}" "${two[@]}" "${x264[@]}" -c:a aac -f mov
make hevc.mov "${video[@]}" "${two[@]}" "${x265[@]}" -tag:v hvc1 -f mov
make h264.3gp "${video[@]}" "${two[@]}" "${x264[@]}" -f 3gp
make audio.m4a "${audio[@]}" "${two[@]}" -c:a aac -f mp4

make h264.ts "${video[@]}" "${audio[@]}" "${two[@]}" "${x264[@]}" -c:a aac -f mpegts
make hevc.ts "${video[@]}" "${two[@]}" "${x265[@]}" -f mpegts
make h264.m2ts "${video[@]}" "${two[@]}" "${x264[@]}" -mpegts_m2ts_mode 1 -f mpegts
make mpeg4.avi "${video[@]}" "${audio[@]}" "${two[@]}" -c:v mpeg4 -c:a pcm_s16le -f avi
make h264.avi "${video[@]}" "${two[@]}" "${x264[@]}" -f avi

try_make mpeg2.mpg "${video[@]}" "${two[@]}" -c:v mpeg2video -f mpeg
try_make wmv2.wmv "${video[@]}" "${two[@]}" -c:v wmv2 -f asf
try_make mpeg2.wtv "${video[@]}" "${two[@]}" -c:v mpeg2video -f wtv
try_make flv1.flv "${video[@]}" "${two[@]}" -c:v flv -f flv
try_make theora.ogv "${video[@]}" "${two[@]}" -c:v libtheora -f ogg
try_make rv10.rm "${video[@]}" "${two[@]}" -c:v rv10 -f rm

# Results of other programs, when they are installed.
# mkvmerge_sample NAME ARGUMENTS...: NAME made by mkvmerge from what its arguments give it.
mkvmerge_sample() {
    local name=$1 status=0
    shift
    # mkvmerge exits with 1 when it only warned.
    mkvmerge -q -o "$out/.part-$name" "$@" || status=$?
    if ((status <= 1)); then
        mv "$out/.part-$name" "$out/$name"
    else
        echo "sample $name not made"
    fi
}
if command -v mkvmerge >/dev/null 2>&1; then
    mkvmerge_sample mkvmerge.mkv "$out/hevc_hvc1.mp4"
    # It keeps the late times but writes a Duration that counts from the first.
    mkvmerge_sample late_mkvmerge.mkv "$out/late.mkv"
fi
if command -v HandBrakeCLI >/dev/null 2>&1; then
    for container in mkv mp4; do
        HandBrakeCLI -i "$out/h264.mkv" -o "$out/.part-handbrake.$container" -e x265 \
            --encoder-preset ultrafast >/dev/null 2>&1 &&
            mv "$out/.part-handbrake.$container" "$out/handbrake.$container" ||
            echo "sample handbrake.$container not made"
    done
fi

make picture.png "${video[@]}" -frames:v 1 -f image2 -c:v png
make sound.wav "${audio[@]}" "${two[@]}" -f wav

# Track lists: subtitles, attachments, chapters, cover art, sound alone.
printf '1\n00:00:00,000 --> 00:00:01,000\nOne\n\n2\n00:00:01,000 --> 00:00:02,000\nTwo\n' \
    >"$out/.subtitles.srt"
subtitles=(-i "$out/.subtitles.srt")
make .cover.jpg "${video[@]}" -frames:v 1 -f image2 -c:v mjpeg
printf ';FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=One\n' >"$out/.chapters.txt"
make mov_text.mp4 "${video[@]}" "${audio[@]}" "${subtitles[@]}" "${two[@]}" -map 0 -map 1 -map 2 \
    "${x264[@]}" -c:a aac -c:s mov_text -f mp4
make text.mov "${video[@]}" "${subtitles[@]}" "${two[@]}" -map 0 -map 1 "${x264[@]}" -c:s mov_text \
    -f mov
make chapters_cover.mp4 "${video[@]}" "${audio[@]}" -i "$out/.chapters.txt" -i "$out/.cover.jpg" \
    "${two[@]}" -map 0 -map 1 -map 3 -map_chapters 2 "${x264[@]}" -c:a aac -c:v:1 mjpeg \
    -disposition:v:1 attached_pic -f mp4
make audio_cover.mp4 "${audio[@]}" -i "$out/.cover.jpg" "${two[@]}" -map 0 -map 1 -c:a aac \
    -c:v mjpeg -disposition:v attached_pic -f mp4
make audio.ts "${audio[@]}" "${two[@]}" -c:a aac -f mpegts
try_make audio.mpg "${audio[@]}" "${two[@]}" -c:a mp2 -f mpeg
try_make audio.ogg "${audio[@]}" "${two[@]}" -c:a libvorbis -f ogg
try_make vp9_opus.mkv "${video[@]}" "${audio[@]}" "${two[@]}" -c:v libvpx-vp9 -deadline realtime \
    -c:a libopus -f matroska

# HEVC in every container that carries it, and TS at the frame rate of NTSC.
make hevc.m2ts "${video[@]}" "${two[@]}" "${x265[@]}" -mpegts_m2ts_mode 1 -f mpegts
make hevc.avi "${video[@]}" "${two[@]}" "${x265[@]}" -tag:v HEVC -f avi
make hevc_h265.avi "${video[@]}" "${two[@]}" "${x265[@]}" -tag:v h265 -f avi
try_make hevc.mpg "${video[@]}" "${two[@]}" "${x265[@]}" -f mpeg
make ntsc.ts -f lavfi -i testsrc2=size=64x64:rate=30000/1001 "${two[@]}" "${x264[@]}" -f mpegts

# Matroska as mkvmerge writes it: two ASS subtitle tracks and a font attachment.
if command -v mkvmerge >/dev/null 2>&1; then
    make .subtitles.ass "${subtitles[@]}" -c:s ass -f ass
    printf 'not really a font' >"$out/.font.ttf"
    mkvmerge_sample subtitles_font.mkv "$out/h264.mkv" "$out/.subtitles.ass" \
        "$out/.subtitles.ass" --attachment-mime-type font/ttf --attach-file "$out/.font.ttf"
else
    echo "mkvmerge not found: sample subtitles_font.mkv not made"
fi
# Pictures whose headers say more than their size: HDR10 with its static metadata, a stretched
# (anamorphic) picture, one turned a quarter, interlaced fields.
small=(-f lavfi -i testsrc2=size=64x48:rate=25 -t 1)
hdr10=(-c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -color_primaries bt2020
    -color_trc smpte2084 -colorspace bt2020nc -x265-params
    "log-level=none:hdr10=1:master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,50):max-cll=1000,400")
make hdr10.ts "${small[@]}" "${hdr10[@]}" -f mpegts
make anamorphic.mkv "${small[@]}" -vf setsar=4/3 "${x264[@]}" -f matroska
make anamorphic.mp4 "${small[@]}" -vf setsar=4/3 "${x264[@]}" -f mp4
make rotated.mp4 -i "$out/anamorphic.mkv" -c copy -metadata:s:v:0 rotate=90 -f mp4
# Matroska turns a picture by its Projection's roll, which only mkvpropedit writes here.
if command -v mkvpropedit >/dev/null 2>&1; then
    cp "$out/anamorphic.mkv" "$out/.part-rotated.mkv"
    if mkvpropedit -q "$out/.part-rotated.mkv" --edit track:v1 --set projection-pose-roll=-90; then
        mv "$out/.part-rotated.mkv" "$out/rotated.mkv"
    else
        echo "sample rotated.mkv not made"
    fi
fi
make interlaced.ts -f lavfi -i testsrc2=size=64x48:rate=50 -t 1 -vf tinterlace=interleave_top \
    -c:v libx264 -preset ultrafast -flags +ildct+ilme -x264-params tff=1 -f mpegts
make mpeg2_interlaced.ts -f lavfi -i testsrc2=size=64x48:rate=50 -t 1 \
    -vf tinterlace=interleave_top -c:v mpeg2video -flags +ildct+ilme -top 1 -aspect 16:9 -f mpegts
# The tests take the folder only once everything above is in it.
printf '%s\n' "$made_by" >"$out/complete"
echo "media samples made in $out"
