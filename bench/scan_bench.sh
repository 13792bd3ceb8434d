#!/usr/bin/env bash
# How fast Brindle walks a large library, against find over the same tree, and how much memory
# it needs. Two libraries of 200,000 files in 2,000 folders (40 shows of 50 seasons, 100 names
# each, 2 of them .mkv):
#   taken:  the .mkv files are sparse 2 MiB files, so each passes the size test and is opened
#           for the HEVC check, as a real library's new episodes are (4,000 candidates);
#   walked: the .mkv files are empty, so none is taken and none is opened: the walk itself, where
#           most names are not candidates.
# For each, after one warm-up of each command, it times alternating runs of
#   brindle -days 9999999 -dir TREE -ext mkv -scanonly -docurrent
#   find TREE -name '*.mkv'
# and prints the median of the per-pair ratios and brindle's peak resident memory. Targets:
# ratio at most 1.0 (taken) and 0.5 (walked), peak at most 8 MiB. On the walked tree it also
# times BUILD_DIR/bench/bare_walk, a readdir walk that looks at names only: the floor for any
# scan, and how far this machine lets one get below find. It reports; it never fails because a
# target was missed.
#
#   bench/scan_bench.sh [BUILD_DIR]      (default: build; needs BUILD_DIR/brindle)
#
# The trees live in a temporary folder under ${TMPDIR:-/tmp}, removed at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
brindle=$build/brindle
runner=$build/bench/peak_rss
bare=$build/bench/bare_walk
pairs=${PAIRS:-7}

if [[ ! -x $brindle ]]; then
    echo "scan_bench: $brindle is missing; build it first (cmake --build $build)" >&2
    exit 1
fi
for tool in "$runner" "$bare"; do
    if [[ ! -x $tool ]]; then
        echo "scan_bench: $tool is missing; build it first (cmake --build $build)" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/scan-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# make_tree DIR VIDEO_SIZE: 2,000 folders of 100 names sharing long prefixes, 2 of them .mkv
# files of VIDEO_SIZE (truncate's notation), the others empty.
make_tree() {
    local tree=$1 video_size=$2 show season episode dir names videos
    echo "Making 200,000 files in 2,000 folders under $tree ..."
    for show in $(seq -w 1 40); do
        for season in $(seq -w 1 50); do
            dir="$tree/Show $show/Season $season"
            mkdir -p "$dir"
            names=()
            videos=()
            for episode in $(seq -w 1 100); do
                case $((10#$episode % 50)) in
                    0) videos+=("$dir/Show.$show.S${season}E$episode.x264.mkv") ;;
                    *) names+=("$dir/Show.$show.S${season}E$episode.$((10#$episode % 4)).nfo") ;;
                esac
            done
            touch "${names[@]}"
            truncate -s "$video_size" "${videos[@]}"
        done
    done
    echo "Files: $(find "$tree" -type f | wc -l), of which .mkv: $(find "$tree" -name '*.mkv' | wc -l)"
}

report=$work/report
# Runs one command under the runner with its output discarded; prints "<ns> <KiB>".
measure() {
    "$runner" "$report" "$@" >/dev/null
    cut -d' ' -f1,2 "$report"
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t) ? "PASS" : "ABOVE TARGET" }'; }

summary=()
# bench_tree LABEL TREE TARGET_RATIO [bare]
bench_tree() {
    local label=$1 tree=$2 target=$3 with_bare=${4-}
    local brindle_args=(-days 9999999 -dir "$tree" -ext mkv -scanonly -docurrent)
    local found
    found=$("$brindle" "${brindle_args[@]}" | grep -c '^Found: ' || true)
    echo "Brindle finds $found candidates in the $label tree"

    measure "$brindle" "${brindle_args[@]}" >/dev/null  # warm-up
    measure find "$tree" -name '*.mkv' >/dev/null

    local ratios=() bare_ratios=() over_bare=() brindle_times=() find_times=() peak_kib=0
    local pair brindle_ns find_ns bare_ns kib
    for ((pair = 1; pair <= pairs; pair++)); do
        read -r brindle_ns kib < <(measure "$brindle" "${brindle_args[@]}")
        read -r find_ns _ < <(measure find "$tree" -name '*.mkv')
        if [[ -n $with_bare ]]; then
            read -r bare_ns _ < <(measure "$bare" "$tree")
            bare_ratios+=("$(awk -v b="$bare_ns" -v f="$find_ns" 'BEGIN { printf "%.3f", b / f }')")
            over_bare+=("$(awk -v b="$brindle_ns" -v f="$bare_ns" 'BEGIN { printf "%.3f", b / f }')")
        fi
        if ((kib > peak_kib)); then peak_kib=$kib; fi
        brindle_times+=("$brindle_ns")
        find_times+=("$find_ns")
        ratios+=("$(awk -v b="$brindle_ns" -v f="$find_ns" 'BEGIN { printf "%.3f", b / f }')")
        printf '  pair %d: brindle %.1f ms, find %.1f ms, ratio %s\n' "$pair" \
            "$(awk -v n="$brindle_ns" 'BEGIN { print n / 1e6 }')" \
            "$(awk -v n="$find_ns" 'BEGIN { print n / 1e6 }')" "${ratios[-1]}"
    done

    local ratio brindle_ms find_ms peak_mib
    ratio=$(median "${ratios[@]}")
    brindle_ms=$(awk -v n="$(median "${brindle_times[@]}")" 'BEGIN { printf "%.1f", n / 1e6 }')
    find_ms=$(awk -v n="$(median "${find_times[@]}")" 'BEGIN { printf "%.1f", n / 1e6 }')
    peak_mib=$(awk -v k="$peak_kib" 'BEGIN { printf "%.1f", k / 1024 }')
    summary+=("Scan of 200,000 files, $found taken ($label), median of $pairs alternating pairs"
        "  brindle ${brindle_ms} ms, find ${find_ms} ms"
        "  ratio brindle/find: $ratio    target <= $target     $(verdict "$ratio" "$target")")
    if [[ -n $with_bare ]]; then
        summary+=("  floor: bare readdir walk/find $(median "${bare_ratios[@]}") (names only; nothing examined)"
            "  brindle/bare readdir walk: $(median "${over_bare[@]}")")
    fi
    summary+=(
        "  peak resident memory: ${peak_mib} MiB    target <= 8 MiB   $(verdict "$peak_mib" 8)")
}

make_tree "$work/taken" 2M
bench_tree taken "$work/taken" 1.0
rm -rf "$work/taken"
make_tree "$work/walked" 0
bench_tree walked "$work/walked" 0.5 bare

echo
printf '%s\n' "${summary[@]}"
