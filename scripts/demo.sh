#!/usr/bin/env bash
# Brindle's main job on a small library of its own: installs what is missing, builds
# build/brindle, makes demo/sample-library with ffmpeg's test source (H.264 episodes, one in a
# subfolder, one file that is HEVC already and one too small to be taken), then runs
#   build/brindle -days 9999999 -dir sample-library -ext mkv -docurrent
# in demo/, the working directory that holds the encoder's temporary output and the run's lock,
# and shows each file's codec and size before and after. demo/ is made anew on every run.
# Ends with exit code 0 when every H.264 episode stands converted under its x265 name and
# nothing else changed.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
root=$(repo_root)
cd "$root"

demo=$root/demo
library=sample-library  # relative to $demo, as a user would name it
brindle=$root/build/brindle

section "Packages"
install_missing_packages cmake make g++ ffmpeg

section "Build (build/brindle)"
if [[ ! -f build/CMakeCache.txt ]]; then
    # The demo needs the program only; scripts/test.sh turns the tests on in this folder.
    cmake -S . -B build -DBRINDLE_TESTS=OFF
fi
cmake --build build -j2 --target brindle

# make_clip PATH SECONDS CODEC: a clip of ffmpeg's moving test picture with a tone, at 2 Mbit/s.
make_clip() {
    local path=$1 seconds=$2 codec=$3
    local codec_args=(-c:v libx264 -b:v 2M)
    if [[ $codec == hevc ]]; then
        codec_args=(-c:v libx265 -b:v 2M -x265-params log-level=error)
    fi
    mkdir -p "$(dirname "$path")"
    ffmpeg -nostdin -v error -y \
        -f lavfi -i testsrc2=size=640x360:rate=25 \
        -f lavfi -i sine=frequency=440:sample_rate=48000 \
        -t "$seconds" "${codec_args[@]}" -c:a aac -b:a 96k "$path"
}

codec_of() {
    ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$1" ||
        echo "unreadable"
}

show_library() {
    local file
    printf '  %-44s %-8s %12s\n' "File" "Video" "Bytes"
    while IFS= read -r file; do
        local codec=-
        [[ $file == *.mkv ]] && codec=$(codec_of "$file")
        printf '  %-44s %-8s %12s\n' "$file" "$codec" "$(stat -c %s "$file")"
    done < <(find "$library" -type f | LC_ALL=C sort)
}

# Runs brindle as a user would, echoing the command first.
run_brindle() {
    echo "+ ../build/brindle $*"
    "$brindle" "$@" </dev/null
}

section "Sample library ($demo/$library)"
rm -rf "$demo"
mkdir -p "$demo"
cd "$demo"
make_clip "$library/Show.S01E01.x264.mkv" 8 h264
make_clip "$library/Show.S01E02.x264.mkv" 10 h264
make_clip "$library/Season 2/Show.S02E01.x264.mkv" 8 h264
make_clip "$library/Movie.2019.x265.mkv" 8 hevc
make_clip "$library/Extras/Trailer.x264.mkv" 2 h264  # under 1 MiB: too small to be taken
echo "Sample episode notes" >"$library/Show.S01E01.nfo"
show_library
untouched_before=$(md5sum "$library/Movie.2019.x265.mkv" "$library/Extras/Trailer.x264.mkv")

section "What Brindle would take (scan only)"
run_brindle -days 9999999 -dir "$library" -ext mkv -scanonly -docurrent

section "Brindle converts the library"
run_brindle -days 9999999 -dir "$library" -ext mkv -docurrent

section "The library afterwards"
show_library

section "Check"
problems=0
for episode in Show.S01E01 Show.S01E02 "Season 2/Show.S02E01"; do
    converted="$library/$episode.x265.mkv"
    if [[ -e "$library/$episode.x264.mkv" || ! -f $converted ]]; then
        echo "NOT CONVERTED: $library/$episode.x264.mkv"
        problems=$((problems + 1))
    elif [[ $(codec_of "$converted") != hevc ]]; then
        echo "NOT HEVC: $converted"
        problems=$((problems + 1))
    fi
done
if [[ $(md5sum "$library/Movie.2019.x265.mkv" "$library/Extras/Trailer.x264.mkv") != "$untouched_before" ]]; then
    echo "CHANGED: a file that should have been left alone"
    problems=$((problems + 1))
fi
leftovers=$(find . \( -name '*.bak' -o -name '.brindle-*' -o -name tempenc.mkv \) -print)
if [[ -n $leftovers ]]; then
    echo "LEFT BEHIND:"
    echo "$leftovers"
    problems=$((problems + 1))
fi
echo "A second scan should find nothing left to do:"
second_scan=$(run_brindle -days 9999999 -dir "$library" -ext mkv -scanonly -docurrent)
echo "$second_scan"
if ! grep -qx 'Scan found 0 files' <<<"$second_scan"; then
    echo "STILL FOUND: files the first run should have converted"
    problems=$((problems + 1))
fi

if ((problems > 0)); then
    echo "Demo failed: $problems problem(s) above."
    exit 1
fi
echo "Demo finished: 3 H.264 episodes now HEVC under x265 names; the HEVC movie, the short"
echo "trailer and the notes file were left alone. Files are in $demo."
