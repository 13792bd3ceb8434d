#!/usr/bin/env bash
# End-to-end tests: the real brindle, run as a user runs it, on small temporary libraries. Each
# case compares standard output byte for byte and the exit code, and checks which files stand
# under which names afterwards. A fake encoder stands in for ffmpeg (it logs its arguments and
# writes a real HEVC file made at the start of the run); one case runs the real ffmpeg. The library
# files are real H.264 files too, made the same way and padded to the sizes the cases need, so the
# program takes them for video and can read their durations. Making them needs ffmpeg and ffprobe.
#
#   run.sh --brindle PROGRAM --fake-encoder PROGRAM [--print-arg PROGRAM]
#          --platform posix|windows [--runner EMULATOR]
#
# EMULATOR runs Windows programs (Wine); it may be a ;-separated list, as CMake writes one.
# Every case works in its own folder under one temporary folder, which is removed at the end
# (kept, for a look at what went wrong, when BRINDLE_E2E_KEEP is set).

# File names with $( ) and ` in single quotes are meant literally.
# shellcheck disable=SC2016,SC1003
set -u
umask 022

brindle=
fake_encoder=
platform=posix
runner_text=
while (($# > 0)); do
    case $1 in
    --brindle) brindle=${2-} ;;
    --fake-encoder) fake_encoder=${2-} ;;
    --print-arg) ;;
    --platform) platform=${2-} ;;
    --runner) runner_text=${2-} ;;
    *)
        echo "run.sh: unknown argument $1" >&2
        exit 2
        ;;
    esac
    shift 2 || shift
done
if [[ ! -f $brindle || ! -f $fake_encoder || ($platform != posix && $platform != windows) ]]; then
    echo "usage: run.sh --brindle PROGRAM --fake-encoder PROGRAM --platform posix|windows" \
        "[--runner EMULATOR]" >&2
    echo "E2E: 0 passed, 1 failed"
    exit 2
fi
brindle=$(realpath -- "$brindle")
fake_encoder=$(realpath -- "$fake_encoder")

runner=()
if [[ -n $runner_text ]]; then
    IFS=';' read -r -a runner <<<"$runner_text"
    # The cases run in folders of their own.
    [[ ${runner[0]} == */* && -e ${runner[0]} ]] && runner[0]=$(realpath -- "${runner[0]}")
fi
if [[ $platform == windows ]]; then
    sep='\'
    # Wine mangles non-ASCII names without a UTF-8 locale.
    export WINEDEBUG=-all LC_ALL=C.UTF-8
    if ((${#runner[@]} == 0)); then
        runner=(env "WINEPREFIX=$(dirname -- "$brindle")/wineprefix" wine)
    fi
else
    sep='/'
fi
windows() { [[ $platform == windows ]]; }

root=$(mktemp -d "${TMPDIR:-/tmp}/brindle-e2e.XXXXXX") || exit 2
chmod 755 "$root"  # an unprivileged user runs brindle in some cases
cleanup() {
    cd / || return
    if [[ -n ${BRINDLE_E2E_KEEP-} ]]; then
        echo "E2E: the cases' folders stay in $root"
        return
    fi
    chmod -R u+rwX "$root" 2>/dev/null
    rm -rf -- "$root"
}
trap cleanup EXIT
# Bash runs the EXIT trap on a signal only when the signal itself is trapped.
trap 'exit 1' INT TERM HUP PIPE

# A fake "ffmpeg" for the POSIX build, found first on PATH.
mkdir "$root/bin"
ln -s "$fake_encoder" "$root/bin/ffmpeg"
hevc_id='V_MPEGH/ISO/HEVC'
started=$SECONDS

# Small real files, made once per run (64x64, 10 frames a second, a sine as the one audio track):
#   sample_source_mkv, sample_source_mp4  3 s of H.264 and AAC, the sources make_video starts
#                                         with; the MP4 has its moov first, so the headers stay
#                                         readable whatever follows
#   sample_result                         3 s of HEVC and AAC in Matroska, the fake encoder's output
#   sample_result_short                   1 s of the same: more than a second shorter than a source
#   sample_result_mp4                     sample_result in MP4
# A case may hand the fake encoder another file (use_fake_result), such as a truncated copy. The
# results' title is the placeholder the fake encoder fills in with its input's path.
samples=$root/samples
sample_source_mkv=$samples/source.mkv
sample_source_mp4=$samples/source.mp4
sample_result=$samples/result.mkv
sample_result_short=$samples/result-short.mkv
sample_result_mp4=$samples/result.mp4
source_marker=fake-encoder-source:
source_field_length=108
declare -A sample_bytes=()  # the samples' sizes: they never change during a run

# ---- Texts the program prints --------------------------------------------------------------

usage=$'\nBrindle v1.0.1 Brought to you by https://brindle.example.org\n'
usage+=$'\nThis will recursively scan the path given for new non-H.265 files and encode them to H.265. This is ideal for \nusing automated downloader and wanting to keep your library converted. Recommended days value is 3 days. This allows \nfor propers and better versions to be obtained before encoding. This should be run every day \nby the windows task scheduler at midnight or 8am or such.\nPlace in same folder with ffmpeg.exe.\n'
usage+=$'\nUsage:\n'
usage+=$'  Brindle.exe -days X -dir X -ext X -minsize X -config X -docurrent\n'
usage+=$'\t-days X = the amount of days to scan, example -days 3 for the last 3 days\n\t  By default we do not do the last two days. Add -docurrent to end of\n\t  command line to do current.'
usage+=$'\t-dir X = the dir to scan. Example -dir \\\\server\\n\\tv\n'
usage+=$'\t-ext X = the file extension without the period. Example -dir mkv\n'
usage+=$'\t-minsize X = the minimum size in MB. Optional. Leaving this out will result in no size filter.\n'
usage+=$'\t  Example: -minsize 1000 for 1GB.\n'
usage+=$'\t-config X = path to ffmpeg config file. This is optional\n'
usage+=$'\t  If it exists, it has the ffmpeg command line with %1 in place of input file and %2 in place of output file\n'
usage+=$'\t  example: ffmpeg -i %1 -sn -c:v libx265 -preset superfast -crf 19 -x265-params deblock=-4,0 -c:a copy %2\n'
usage+=$'\t-docurrent - if present at end of command line, will include the last two days in the scan.\n\t  These are left out so auto downloaders have a chance to get better versions\n\t  or get propers before we take over the file.\n'
usage+=$'\t-scanonly - if present at end of command line, will print out files to be processed but\n\t  no encoding will be done.\n'

newer_options=$'\t-until HH:MM - optional. No encode starts at or after this time of day; the files left wait for the next run.\n'
newer_options+=$'\t-priority low|normal - optional. The encoder\'s priority; low unless normal is given.\n'
newer_options+=$'\t-shard K/N - optional. This run takes only part K of N of the files, so that N machines can share one library.\n'
newer_options+=$'\t-retry - optional. Tries files again that an earlier run noted as failing.\n'
newer_options+=$'\nThe README explains each option, the configuration file, the exit codes and how to schedule a run.\n'
missing_days=$'\n\tMissing -days flag. If you want all days use -days 9999999\n'
missing_dir=$'\n\tMissing -dir flag. Perhaps -dir c:\\movies \n'
missing_ext=$'\n\tMissing -ext flag. Perhaps -ext mkv or -ext *\n'
long_dir=$'\n\tThe -dir value is longer than 255 characters.\n'
long_config=$'\n\tThe -config value is longer than 255 characters.\n'
long_ext=$'\n\tThe -ext value is longer than 15 characters.\n'
scan_only_line=$'Scan Only selected. No encoding\n'
# What follows the reason of a first failure of the encoder or of its result.
again='; it will be tried again on the next run'
lock_held=$'Another Brindle run is encoding in this working directory; this run does nothing.\n'
if windows; then
    reason_missing='File not found'
    reason_not_folder='Directory name invalid'
else
    reason_missing='No such file or directory'
    reason_not_folder='Not a directory'
fi

# ---- Cases and checks ----------------------------------------------------------------------

passed=0
failed=0
case_number=0
case_name=
case_dir=
failures=()
case_env=()
as_user=()
fake_mode=
fake_result=
fake_result_field=
wd_extra=()
run_label=

begin_case() {
    case_number=$((case_number + 1))
    case_name=$1
    case_dir=$root/$(printf '%02d' "$case_number")
    mkdir -p "$case_dir/wd" "$case_dir/orig"
    cd "$case_dir/wd" || exit 2
    failures=()
    case_env=()
    as_user=()
    fake_mode=
    expect_missing_encoder=
    fake_result=
    fake_result_field=
    wd_extra=()
    expect_reset
}

end_case() {
    if ((${#failures[@]} == 0)); then
        passed=$((passed + 1))
        echo "PASS $case_name"
    else
        failed=$((failed + 1))
        echo "FAIL $case_name"
        printf '       %s\n' "${failures[@]}"
    fi
    cd "$root" || exit 2
}

skip_case() {
    echo "SKIP $case_name: $1"
    cd "$root" || exit 2
}

fail() { failures+=("${run_label:+$run_label: }$1"); }

# A path written with '/' in the form the program prints it: '\' on Windows.
native() {
    local path=$1
    printf '%s' "${path//\//"$sep"}"
}

# The absolute path of a file of the case as the encoder sees it.
host_path() {
    if windows; then
        local path=$1
        printf 'Z:%s' "${path//\//\\}"
    else
        printf '%s' "$1"
    fi
}

# A video file of SIZE bytes: the H.264 sample (MP4 for the names .mp4, .m4v and .mov, Matroska
# for the others) followed by random bytes (so a copy can be told from it), or extended sparsely
# when the size is given as "sparse:SIZE" (all but its last 4 KiB). A size too small for the sample gives random bytes (or
# a sparse file) alone.
make_video() {
    local path=$1 size=${2#sparse:} sample=$sample_source_mkv sample_size
    case $size in
    *K) size=$((${size%K} << 10)) ;;
    *M) size=$((${size%M} << 20)) ;;
    esac
    mkdir -p -- "$(dirname -- "$path")"
    case ${path,,} in
    *.mp4 | *.m4v | *.mov) sample=$sample_source_mp4 ;;
    esac
    [[ -n ${sample_bytes[$sample]-} ]] || sample_bytes[$sample]=$(stat -c %s -- "$sample")
    sample_size=${sample_bytes[$sample]}
    if ((size < sample_size)); then
        if [[ $2 == sparse:* ]]; then
            truncate -s "$size" -- "$path"
        else
            head -c "$size" /dev/urandom >"$path"
        fi
    elif [[ $2 == sparse:* ]]; then
        # A few random bytes at the end: a file ending in zeros is an unfinished download.
        cp -- "$sample" "$path" && truncate -s "$((size - 4096))" -- "$path" &&
            head -c 4096 /dev/urandom >>"$path"
    else
        { cat -- "$sample" && head -c "$((size - sample_size))" /dev/urandom; } >"$path"
    fi
}

make_samples() {
    local lavfi=(-f lavfi -i testsrc2=size=64x64:rate=10 -f lavfi -i sine=frequency=440:sample_rate=8000)
    local audio=(-map 0:v -map 1:a -c:a aac -b:a 16k) title
    title=$source_marker$(printf '.%.0s' $(seq "$source_field_length"))
    local hevc=(-c:v libx265 -preset ultrafast -x265-params log-level=error -metadata "title=$title")
    mkdir -p "$samples"
    ffmpeg -nostdin -v error "${lavfi[@]}" -t 3 "${audio[@]}" -c:v libx264 -preset ultrafast \
        -pix_fmt yuv420p "$sample_source_mkv" &&
        ffmpeg -nostdin -v error -i "$sample_source_mkv" -c copy -movflags +faststart "$sample_source_mp4" &&
        ffmpeg -nostdin -v error "${lavfi[@]}" -t 3 "${audio[@]}" "${hevc[@]}" "$sample_result" &&
        ffmpeg -nostdin -v error "${lavfi[@]}" -t 1 "${audio[@]}" "${hevc[@]}" "$sample_result_short" &&
        ffmpeg -nostdin -v error -i "$sample_result" -c copy "$sample_result_mp4"
}

probe_duration() { ffprobe -v error -show_entries format=duration -of csv=p=0 -i "$1" 2>&1; }

# Prints what is wrong with the samples: the results, and the files make_video makes of the
# sources, must hold the durations they were made with, as ffprobe reads them from the headers.
check_samples() {
    local entry file seconds duration offset made=()
    for entry in padded.mkv:1100000 sparse.mkv:sparse:2M padded.mp4:1100000 sparse.mp4:sparse:2M; do
        make_video "$samples/check/${entry%%:*}" "${entry#*:}"
        made+=("$samples/check/${entry%%:*}:3")
    done
    local checks=("${made[@]}" "$sample_result:3" "$sample_result_short:1" "$sample_result_mp4:3")
    # ffprobe spends its time starting; start them all at once.
    for entry in "${checks[@]}"; do
        file=${entry%:*}
        probe_duration "$file" >"$samples/check/${file##*/}.duration" &
    done
    wait
    for entry in "${checks[@]}"; do
        file=${entry%:*} seconds=${entry##*:}
        duration=$(<"$samples/check/${file##*/}.duration")
        awk -v d="$duration" -v s="$seconds" 'BEGIN { exit !(d ~ /^[0-9.]+$/ && d >= s && d < s + 0.3) }' ||
            echo "$file: duration [$duration], expected $seconds s"
    done
    for file in "$sample_result" "$sample_result_short"; do
        offset=$(LC_ALL=C grep -obaF -- "$hevc_id" "$file" | head -n 1 | cut -d: -f1)
        ((${offset:-16384} + ${#hevc_id} <= 16384)) || echo "$file: no $hevc_id in the first 16 KiB"
    done
    for file in "$sample_result" "$sample_result_short" "$sample_result_mp4"; do
        LC_ALL=C grep -qaF -- "$source_marker" "$file" || echo "$file: no $source_marker title"
    done
    rm -rf -- "$samples/check"
}

original_of() { printf '%s/orig/%s' "$case_dir" "$(printf '%s' "$1" | md5sum | cut -c1-32)"; }
keep_originals() {
    local file
    for file in "$@"; do cp -- "$file" "$(original_of "$file")"; done
}

# The file the fake encoder writes as its output from now on in this case.
use_fake_result() {
    fake_result=$(realpath -- "$1")
    case_env+=("BRINDLE_FAKE_RESULT=$(host_path "$fake_result")")
    fake_result_field=$(source_field_of "$fake_result")
}

# The offset of the whole placeholder's path field in FILE, or nothing.
source_field_of() {
    local offset field
    offset=$(LC_ALL=C grep -obaF -- "$source_marker" "$1" | head -n 1 | cut -d: -f1)
    [[ -n $offset ]] || return 0
    field=$((offset + ${#source_marker}))
    (($(stat -c %s -- "$1") - field >= source_field_length)) && echo "$field"
}

# What the fake encoder logs and writes, whatever the case calls it.
fake_encoder_env() {
    case_env+=("BRINDLE_FAKE_LOG=$(host_path "$case_dir/log")")
    use_fake_result "$sample_result"
}

# The fake encoder as "ffmpeg": first on PATH on POSIX; in the working directory on Windows,
# where cmd.exe looks first.
use_fake_encoder() {
    fake_encoder_env
    if windows; then
        cp -- "$fake_encoder" ffmpeg.exe
        wd_extra+=(ffmpeg.exe)
    else
        case_env+=("PATH=$root/bin:$PATH")
    fi
}

run_brindle() {
    local env_args=("${case_env[@]}")
    [[ -n $fake_mode ]] && env_args+=("BRINDLE_FAKE_MODE=$fake_mode")
    run_label="brindle $*"
    local attempt
    for attempt in 1 2; do
        timeout -k 5 120 env "${env_args[@]}" "${as_user[@]}" "${runner[@]}" "$brindle" "$@" \
            </dev/null >"$case_dir/raw" 2>"$case_dir/err"
        status=$?
        normalise_output "$case_dir/raw" "$case_dir/out"
        # Wine now and then fails to start an encoder that is there, where address randomization
        # could not be turned off (see wine-run.sh). The run then stops before the encoder ran,
        # having changed nothing, and is tried once more.
        windows && ((attempt == 1 && status == 3)) && ! missing_encoder_expected || break
        grep -q '^The encoder could not be \(found (exit code 9009)\|started\)' "$case_dir/out" || break
        echo "NOTE $case_name: the encoder did not start under Wine; tried once more:"
        tail -n 3 "$case_dir/out" "$case_dir/err" | sed 's/^/       /'
    done
}

# Set by the one case whose encoder is meant to be missing.
missing_encoder_expected() { [[ ${expect_missing_encoder:-} == yes ]]; }

# Wine writes CRLF line ends. Start times and durations in the outcome lines vary from run to run.
normalise_output() {
    local date='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}'
    local times="s/^(Converting .*) \\(started $date(.*\\))\$/\\1 (started DATE HH:MM\\2/"
    times+='; s/^(Converting .*; .* done, about )[0-9]+:[0-9]{2} left\)$/\1H:MM left)/'
    times+='; s/^(Converted: .*), [0-9]+:[0-9]{2}:[0-9]{2}\)(; .*)?$/\1, H:MM:SS)\2/'
    times+="; s/^Finished $date: (.*); [0-9]+:[0-9]{2}:[0-9]{2}\$/Finished DATE HH:MM: \\1; H:MM:SS/"
    tr -d '\r' <"$1" | sed -E "$times" >"$2"
}

# Starts brindle in the background, its output going to OUT; sets started_pid.
start_brindle() {
    local out=$1
    shift
    local env_args=("${case_env[@]}")
    [[ -n $fake_mode ]] && env_args+=("BRINDLE_FAKE_MODE=$fake_mode")
    env "${env_args[@]}" "${runner[@]}" "$brindle" "$@" </dev/null >"$out" 2>"$out.err" &
    started_pid=$!
}

expect_reset() {
    : >"$case_dir/expected"
    expect_scanned=0 expect_total=0 expect_index=0 expect_done=0 expect_bytes=0
    tally_converted=0 tally_not_converted=0 tally_before=0 tally_after=0
}
expect() { printf '%s' "$1" >>"$case_dir/expected"; }
# The count line and one Found line per path (paths written with '/').
expect_scan() {
    local path
    printf 'Scan found %d files\n' "$#" >>"$case_dir/expected"
    for path in "$@"; do printf 'Found: %s\n' "$(native "$path")" >>"$case_dir/expected"; done
    expect_scanned=1 expect_total=$# expect_index=0 expect_done=0 expect_bytes=0
    for path in "$@"; do expect_bytes=$((expect_bytes + $(scanned_size "$path"))); done
}
# The size the scan saw: the kept original when there is one (the case may run first).
scanned_size() { stat -c %s -- "$(original_of "$1")" 2>/dev/null || stat -c %s -- "$1" 2>/dev/null || echo 0; }
# "4.1 of 9.8 GiB": DONE and TOTAL bytes in the unit that suits TOTAL.
progress_figures() {
    awk -v d="$1" -v t="$2" 'function n(v, u) { v /= u; return sprintf(v < 99.95 ? "%.1f" : "%.0f", v) }
        BEGIN {
        if (t < 1024) printf "%d of %d bytes", d, t
        else if (t < 1048576) printf "%s of %s KiB", n(d, 1024), n(t, 1024)
        else if (t < 1073741824) printf "%s of %s MiB", n(d, 1048576), n(t, 1048576)
        else printf "%s of %s GiB", n(d, 1073741824), n(t, 1073741824) }'
}
expect_encoder() {
    local path
    for path in "$@"; do printf 'fake encoder: %s\n' "$(native "$path")" >>"$case_dir/expected"; done
}
# The fake encoder's line as the last words of a failed encode.
expect_encoder_tail() {
    printf '\tfake encoder: %s\n' "$(native "$1")" >>"$case_dir/expected"
}

# Sizes and shrinkage as the program writes them in its outcome lines.
size_text() {
    awk -v b="$1" 'BEGIN {
        if (b < 1024) printf "%d bytes", b
        else if (b < 1048576) printf "%.1f KiB", b / 1024
        else if (b < 1073741824) printf "%.1f MiB", b / 1048576
        else printf "%.2f GiB", b / 1073741824 }'
}
change_text() {
    local before=$1 after=$2
    if ((before == after || before == 0)); then
        printf 'the same size'
    elif ((after < before)); then
        printf '%d%% smaller' $(((before - after) * 100 / before))
    else
        printf '%d%% larger' $(((after - before) * 100 / before))
    fi
}

# The lines of one candidate's encode, in list order: the Converting line (start times and
# durations are normalised, see normalise_output), the fake encoder's line, and the outcome.
# SOURCE is converted to TARGET (default: itself) with the fake encoder's current result.
expect_conversion() {
    local source=$1 target=${2:-$1} before after
    # The size the scan saw: the kept original when there is one (the case may run first).
    before=$(stat -c %s -- "$(original_of "$source")" 2>/dev/null || stat -c %s -- "$source")
    after=$(stat -c %s -- "$fake_result")
    expect_converting "$source"
    expect "Converted: $(native "$source")"
    [[ $target != "$source" ]] && expect " -> $(native "$target")"
    expect " ($(size_text "$before") -> $(size_text "$after"), $(change_text "$before" "$after"), H:MM:SS)"$'\n'
    tally_converted=$((tally_converted + 1))
    tally_before=$((tally_before + before)) tally_after=$((tally_after + after))
}
# The encoder runs on SOURCE, and SOURCE stays as it was for REASON.
# When the encoder itself failed, its output, captured, follows indented by a tab.
expect_encode_fails() {
    expect_converting "$1"
    expect_not_converted "$1" "$2"
    if [[ $2 == "the encoder "* ]]; then expect_encoder_tail "$1"; fi
}
# SOURCE is refused for REASON before any encoder starts.
expect_refused() {
    expect_index=$((expect_index + 1))
    expect_done=$((expect_done + $(scanned_size "$1")))
    expect_not_converted "$1" "$2"
}
# Brindle's output goes to a file, so the encoder's own is captured, not passed on.
expect_converting() {
    expect_index=$((expect_index + 1))
    local progress=
    if ((tally_converted > 0)); then
        progress="; $(progress_figures "$expect_done" "$expect_bytes") done, about H:MM left"
    fi
    expect_done=$((expect_done + $(scanned_size "$1")))
    expect "Converting $expect_index of $expect_total: $(native "$1") (started DATE HH:MM$progress)"$'\n'
}
expect_not_converted() {
    expect "Not converted: $(native "$1"): $2"$'\n'
    tally_not_converted=$((tally_not_converted + 1))
}
expect_summary() {
    expect "Finished DATE HH:MM: $tally_converted converted, $tally_not_converted not converted; "
    expect "$(size_text "$tally_before") before, $(size_text "$tally_after") after; H:MM:SS"$'\n'
}

show() { cat -A -- "$1" | head -c 4000; }

# A wrong exit code shows the end of what the run printed, which usually says why.
check_status() {
    [[ $status == "$1" ]] && return
    fail "exit code $status, expected $1; the run's last lines:"$'\n'"$(tail -n 6 "$case_dir/out" "$case_dir/err" 2>/dev/null | cat -A | head -c 2000 | sed "s/^/         /")"
}

check_output() {
    if ! cmp -s "$case_dir/expected" "$case_dir/out"; then
        fail "standard output differs (< expected, > actual):"$'\n'"$(diff <(show "$case_dir/expected") <(show "$case_dir/out") | head -n 24)"
    fi
}

# The output begins with the expected text (what follows comes from a command interpreter).
check_output_begins() {
    local size
    size=$(stat -c %s "$case_dir/expected")
    if ! cmp -s "$case_dir/expected" <(head -c "$size" "$case_dir/out"); then
        fail "standard output does not begin as expected (< expected, > actual):"$'\n'"$(diff <(show "$case_dir/expected") <(show "$case_dir/out") | head -n 24)"
    fi
}

# The same lines in any order (for the order in which the system lists names that sort
# differently under other collations).
check_output_lines() {
    if ! cmp -s <(LC_ALL=C sort "$case_dir/expected") <(LC_ALL=C sort "$case_dir/out"); then
        fail "output lines differ (< expected, > actual):"$'\n'"$(diff <(LC_ALL=C sort "$case_dir/expected" | cat -A) <(LC_ALL=C sort "$case_dir/out" | cat -A) | head -n 24)"
    fi
}

expect_run() {
    local want=$1
    shift
    # An encode run that got as far as its scan ends with the summary.
    if ((want == 0 || want == 2 || want == 3)) && ((expect_scanned)) && ! in_list -scanonly "$@"; then
        expect_summary
    fi
    run_brindle "$@"
    check_status "$want"
    check_output
    expect_reset
}

# Wine keeps a file's alternate data stream NAME:brindle (the failure note) as a file of that name
# beside it; on NTFS it is part of the file. It is not one of the library's files.
list_files() {
    (cd "$1" && find . -mindepth 1 "${@:2}" ! -name '*:brindle' -printf '%P\n' | LC_ALL=C sort)
}

# Every file and directory under DIR, by relative path.
check_tree() {
    local dir=$1
    shift
    local actual wanted
    actual=$(list_files "$dir")
    wanted=$( (($# > 0)) && printf '%s\n' "$@" | LC_ALL=C sort)
    [[ $actual == "$wanted" ]] ||
        fail "files under $dir: expected [${wanted//$'\n'/ | }], found [${actual//$'\n'/ | }]"
}

# What stands in the working directory besides the library and the files the case put there.
check_working_dir() {
    local actual wanted
    actual=$(list_files "$case_dir/wd" -maxdepth 1)
    wanted=$(printf '%s\n' lib "${wd_extra[@]}" "$@" | LC_ALL=C sort)
    [[ $actual == "$wanted" ]] ||
        fail "working directory: expected [${wanted//$'\n'/ | }], found [${actual//$'\n'/ | }]"
}

check_untouched() {
    local file
    for file in "$@"; do
        cmp -s -- "$(original_of "$file")" "$file" 2>/dev/null || fail "$file is not the original"
    done
}

# Writes to OUT the case's fake result as the fake encoder makes it from INPUT (written with '/').
expected_result() {
    local input out=$2
    input=$(native "$1")
    cp -- "$fake_result" "$out"
    [[ -n $fake_result_field ]] || return 0
    LC_ALL=C printf "%-${source_field_length}.${source_field_length}s" "$input" |
        dd of="$out" bs="$source_field_length" seek="$fake_result_field" iflag=fullblock \
            oflag=seek_bytes conv=notrunc status=none
}

# TARGET holds what the fake encoder made of SOURCE.
check_encoded() {
    local source=$1 target=$2
    expected_result "$source" "$case_dir/expected-result"
    cmp -s -- "$case_dir/expected-result" "$target" 2>/dev/null ||
        fail "$target does not hold the encoded $source"
}

log_calls() {
    if [[ -f $case_dir/log ]]; then awk '$0 == "--" { n++ } END { print n + 0 }' "$case_dir/log"; else echo 0; fi
}
log_inputs() { [[ -f $case_dir/log ]] && awk 'previous == "-i" { print } { previous = $0 }' "$case_dir/log"; }

check_log_calls() {
    local calls
    calls=$(log_calls)
    [[ $calls == "$1" ]] || fail "the encoder ran $calls times, expected $1"
}

# The inputs the encoder was given, in order (paths written with '/').
check_log_inputs() {
    local actual wanted path
    actual=$(log_inputs)
    wanted=$(for path in "$@"; do printf '%s\n' "$(native "$path")"; done)
    [[ $actual == "$wanted" ]] ||
        fail "encoder inputs: expected [${wanted//$'\n'/ | }], got [${actual//$'\n'/ | }]"
}

wait_until() {
    local tries=$1
    shift
    while ((tries-- > 0)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

descendants() {
    local child
    for child in $(pgrep -P "$1"); do
        echo "$child"
        descendants "$child"
    done
}

# The processes whose working directory is DIR (zombies aside), but for this script: brindle,
# its interpreter and its encoder while a case runs there. Each is listed as "PID COMMAND LINE".
processes_in() {
    local dir=$1 cwd proc stat state
    while IFS= read -r cwd; do
        proc=${cwd%/cwd}
        [[ ${proc#/proc/} == "$$" || ${proc#/proc/} == "$BASHPID" ]] && continue
        read -r stat <"$proc/stat" 2>/dev/null || continue
        state=${stat##*) }
        [[ ${state:0:1} == Z ]] && continue
        printf '%s %s\n' "${proc#/proc/}" "$(tr '\0' ' ' <"$proc/cmdline" 2>/dev/null | head -c 100)"
    done < <(cd / && find /proc -mindepth 2 -maxdepth 2 -name cwd -lname "$dir" 2>/dev/null)
}

# Fails unless no process works in DIR within five seconds; then ends whatever still does.
check_nothing_runs_in() {
    local dir=$1 left tries=50
    # What the last look saw is what the failure names: a later look may find it gone.
    while left=$(processes_in "$dir") && [[ -n $left ]] && ((tries-- > 0)); do
        sleep 0.1
    done
    [[ -z $left ]] && return 0
    fail "still running in the case's folder:"$'\n'"$left"
    [[ -n $left ]] && kill -KILL $(cut -d' ' -f1 <<<"$left") 2>/dev/null
}

# Runs commands as an unprivileged user where the test runs as root (root reads and writes
# everything, so permissions would prove nothing). Answers false when that is not possible.
drop_privileges() {
    if (($(id -u) != 0)); then
        return 0
    fi
    command -v setpriv >/dev/null || return 1
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    "${as_user[@]}" test -x "$brindle" || return 1
}

# Whether POSIX permissions can be tested here, as an unprivileged user; skips the case if not.
permissions_apply() {
    if windows; then
        skip_case "POSIX permissions"
        return 1
    fi
    if ! drop_privileges; then
        skip_case "running as root and cannot switch to an unprivileged user"
        return 1
    fi
}

has_birth_time() {
    local probe=$case_dir/birth-probe birth
    : >"$probe"
    birth=$(stat -c %W "$probe")
    rm -f "$probe"
    [[ $birth != 0 && $birth != - ]]
}

# ---- Scan-only: the command line ------------------------------------------------------------

case_usage() {
    begin_case "fewer than six arguments: the usage text alone, exit code 1"
    expect "$usage"
    expect_run 1
    expect "$usage"
    expect_run 1 -days 3 -dir lib -ext
    expect "$usage"
    expect_run 1 -scanonly -scanonly -scanonly -scanonly -scanonly
    end_case
}

case_missing_options() {
    begin_case "a missing mandatory option: the usage text and its message, exit code 1"
    expect "$usage$missing_days"
    expect_run 1 -dir lib -ext mkv -scanonly -docurrent
    expect "$usage$missing_days"
    expect_run 1 -DAYS 3 -dir lib -ext mkv
    expect "$usage$missing_days"
    expect_run 1 -dir lib -ext mkv -scanonly -days
    expect "$usage$missing_dir"
    expect_run 1 -days 3 -ext mkv -scanonly -docurrent
    expect "$usage$missing_ext"
    expect_run 1 -days 3 -dir lib -scanonly -docurrent
    expect "$usage$missing_ext"
    expect_run 1 -days 3 -dir lib -config x -ext
    end_case
}

case_long_values() {
    begin_case "over-long -dir, -ext and -config values are refused, the limits are accepted"
    local d255 d256 e15=abcdefghijklmno c255 c256
    d255=$(printf 'd%.0s' {1..255})
    d256=${d255}d
    c255=$(printf 'c%.0s' {1..255})
    c256=${c255}c
    make_video "lib/v.$e15" sparse:2M
    mkdir "$d255"
    expect "$scan_only_line"
    expect_scan
    expect_run 0 -days 3 -dir "$d255" -ext mkv -scanonly
    expect "$usage$long_dir"
    expect_run 1 -days 3 -dir "$d256" -ext mkv -scanonly
    expect "$scan_only_line"
    expect_scan "lib/v.$e15"
    expect_run 0 -days 3 -dir lib -ext "$e15" -scanonly -docurrent
    expect "$usage$long_ext"
    expect_run 1 -days 3 -dir lib -ext "${e15}p" -scanonly -docurrent
    expect "Custom config file specified $c255"$'\n'"$scan_only_line"
    expect_scan
    expect_run 0 -days 3 -dir lib -ext mkv -config "$c255" -scanonly
    expect "$usage$long_config"
    expect_run 1 -days 3 -dir lib -ext mkv -config "$c256" -scanonly
    # 128 two-byte letters and a separator: 257 bytes, but 129 UTF-16 code units.
    local wide
    wide=$(printf 'é%.0s' {1..64})/$(printf 'é%.0s' {1..64})
    mkdir -p "$wide"
    if windows; then
        expect "$scan_only_line"
        expect_scan
        expect_run 0 -days 3 -dir "$wide" -ext mkv -scanonly
        expect "$usage$long_dir"
        expect_run 1 -days 3 -dir "$wide$wide" -ext mkv -scanonly
    else
        expect "$usage$long_dir"
        expect_run 1 -days 3 -dir "$wide" -ext mkv -scanonly
    fi
    end_case
}

case_message_order() {
    begin_case "config and scan-only lines: every occurrence, config lines first"
    make_video lib/a.mkv sparse:2M
    expect $'Custom config file specified first.cfg\nCustom config file specified second.cfg\n'
    expect "$scan_only_line$scan_only_line"
    expect_scan lib/a.mkv
    expect_run 0 -scanonly -days 3 -config first.cfg -dir lib -ext mkv -scanonly \
        -config second.cfg -docurrent -config
    check_working_dir  # scan-only takes no lock
    end_case
}

# ---- Scan-only: the walk and the filters ---------------------------------------------------

case_walk_order() {
    begin_case "depth-first order, sorted names, size, extension and dot-name rules"
    make_video lib/a.mkv sparse:2M
    make_video lib/a.avi sparse:2M
    make_video lib/amkv sparse:2M
    make_video lib/exact.mkv sparse:1M
    make_video lib/under.mkv sparse:1048575
    make_video lib/m/n.mkv sparse:2M
    make_video lib/m/o/p.mkv sparse:3M
    make_video lib/m/small.mkv 100
    make_video lib/q/UP.MKV sparse:2M
    make_video lib/x.mkv/y.mkv sparse:2M
    make_video lib/z.mkv sparse:2M
    make_video lib/.hidden.mkv sparse:2M
    make_video lib/.cache/c.mkv sparse:2M
    mkdir lib/empty
    # A file of exactly 1 MiB counts 1 whole MiB, more than the default minimum of 0.
    local found=(a.mkv amkv exact.mkv m/n.mkv m/o/p.mkv q/UP.MKV x.mkv/y.mkv z.mkv)
    expect "$scan_only_line"
    expect_scan "${found[@]/#/lib/}"
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    # The directory text is used as given: a trailing separator doubles, "." stays.
    expect "$scan_only_line"
    expect_scan "${found[@]/#/lib//}"
    expect_run 0 -days 3 -dir "$(native lib/)" -ext mkv -scanonly -docurrent
    expect "$scan_only_line"
    expect_scan "${found[@]/#/./lib/}"
    expect_run 0 -days 3 -dir . -ext mkv -scanonly -docurrent
    # A path that leads to a file, or to nothing, cannot be listed.
    expect "$scan_only_line"
    expect "Cannot read the library folder $(native lib/a.mkv): $reason_not_folder"$'\n'
    expect_run 1 -days 3 -dir "$(native lib/a.mkv)" -ext mkv -scanonly -docurrent
    expect "$scan_only_line"
    expect "Cannot read the library folder nowhere: $reason_missing"$'\n'
    expect_run 1 -days 3 -dir nowhere -ext mkv -scanonly -docurrent
    end_case
}

case_long_paths() {
    begin_case "a path over 255 characters: listed on POSIX; on Windows skipped with a line naming its folder"
    local folder name
    folder=$(printf 'f%.0s' {1..200})
    # lib/ + folder + / + name: 255 characters with a name of 50.
    name=$(printf 'n%.0s' {1..46}).mkv
    make_video "lib/$folder/$name" sparse:2M
    make_video "lib/$folder/o$name" sparse:2M
    make_video lib/short.mkv sparse:2M
    expect "$scan_only_line"
    if windows; then
        expect "Passed over 1 name in the folder $(native "lib/$folder"): its full path would be longer than 255 characters"$'\n'
        expect_scan "lib/$folder/$name" lib/short.mkv
    else
        expect_scan "lib/$folder/$name" "lib/$folder/o$name" lib/short.mkv
    fi
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    end_case
}

case_minsize() {
    begin_case "-minsize: only files of more whole MiB than the minimum"
    make_video lib/three.mkv sparse:3M
    make_video lib/under3.mkv sparse:3145727
    make_video lib/two.mkv sparse:2M
    expect "$scan_only_line"
    expect_scan lib/three.mkv
    expect_run 0 -days 3 -dir lib -ext mkv -minsize 2 -scanonly -docurrent
    expect "$scan_only_line"
    expect_scan
    expect_run 0 -days 3 -dir lib -ext mkv -minsize -1 -scanonly -docurrent
    end_case
}

case_ext_patterns() {
    begin_case "-ext * reaches the program unexpanded; *, *.avi, an empty -ext take every name"
    make_video lib/a.avi sparse:2M
    make_video lib/b.mkv sparse:2M
    make_video lib/c sparse:2M
    make_video lib/small.txt 10
    local ext
    for ext in '*' '*.avi' ''; do
        expect "$scan_only_line"
        expect_scan lib/a.avi lib/b.mkv lib/c
        expect_run 0 -days 3 -dir lib -ext "$ext" -scanonly -docurrent
    done
    for ext in MKV kv .mkv; do
        expect "$scan_only_line"
        expect_scan lib/b.mkv
        expect_run 0 -days 3 -dir lib -ext "$ext" -scanonly -docurrent
    done
    end_case
}

case_age_window() {
    begin_case "the age window: days 0 takes today's files; without -docurrent they wait"
    make_video lib/new.mkv sparse:2M
    expect "$scan_only_line"
    expect_scan
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly
    expect "$scan_only_line"
    expect_scan lib/new.mkv
    expect_run 0 -days 0 -dir lib -ext mkv -scanonly
    expect "$scan_only_line"
    expect_scan
    expect_run 0 -days -1 -dir lib -ext mkv -scanonly -docurrent
    # Where the creation time is the modification time, touch sets ages.
    if windows || ! has_birth_time; then
        make_video lib/old.mkv sparse:2M
        make_video lib/mid.mkv sparse:2M
        touch -d '5 days ago' lib/old.mkv
        touch -d '60 hours ago' lib/mid.mkv
        make_video lib/future.mkv sparse:2M
        touch -d '1 hour' lib/future.mkv
        expect "$scan_only_line"
        expect_scan lib/mid.mkv
        expect_run 0 -days 3 -dir lib -ext mkv -scanonly
        expect "$scan_only_line"
        expect_scan lib/mid.mkv lib/new.mkv
        expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
        expect "$scan_only_line"
        expect_scan lib/mid.mkv lib/old.mkv
        expect_run 0 -days 9999 -dir lib -ext mkv -scanonly
    fi
    end_case
}

case_hevc_signature() {
    begin_case "files carrying the HEVC codec identifier in their first 16 KiB are left out"
    local name offset
    for name in at0:0 at1000:1000 at16367:16367 at16368:16368; do
        offset=${name#*:}
        make_video "lib/${name%:*}.mkv" sparse:2M
        printf '%s' "$hevc_id" | dd of="lib/${name%:*}.mkv" bs=1 seek="$offset" conv=notrunc status=none
    done
    make_video lib/lower.mkv sparse:2M
    printf '%s' 'v_mpegh/iso/hevc' | dd of=lib/lower.mkv bs=1 seek=10 conv=notrunc status=none
    expect "$scan_only_line"
    expect_scan lib/at16368.mkv lib/lower.mkv
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    end_case
}

case_names_printed() {
    begin_case "names with shell metacharacters and non-ASCII letters are printed as they are"
    local names=('a b.mkv' 'amp&.mkv' 'bang!.mkv' "tick'.mkv" 'paren (1).mkv' 'semi;colon,eq=.mkv'
        'caret^.mkv' 'pct%d%s%n.mkv' '100% Wolf.mkv' 'Ünïcödé ж 日本.mkv' 'x$(touch PWNED).mkv')
    windows || names+=('quote".mkv' 'back\slash.mkv' 'q`touch PWNED`.mkv' 'star*?.mkv')
    local name paths=()
    for name in "${names[@]}"; do
        make_video "lib/$name" sparse:2M
        paths+=("lib/$name")
    done
    expect "$scan_only_line"
    expect_scan "${paths[@]}"
    # cmd.exe could expand two % signs: the encode run would refuse that name.
    windows && expect "Would not convert: $(native 'lib/pct%d%s%n.mkv'): the name holds two or more % signs, which cmd.exe could expand into a command"$'\n'
    run_brindle -days 3 -dir lib -ext mkv -scanonly -docurrent
    check_status 0
    if windows; then
        check_output_lines
    else
        # POSIX lists names sorted byte-wise.
        expect_reset
        expect "$scan_only_line"
        mapfile -t paths < <(printf '%s\n' "${paths[@]}" | LC_ALL=C sort)
        expect_scan "${paths[@]}"
        check_output
    fi
    [[ -z $(find "$case_dir" -name 'PWNED*') ]] || fail "a command in a file name ran"
    end_case
}

case_unreadable_directory() {
    begin_case "an unreadable subdirectory gets one line, the walk goes on"
    if windows; then
        skip_case "POSIX permissions"
        return
    fi
    if ! drop_privileges; then
        skip_case "running as root and cannot switch to an unprivileged user"
        return
    fi
    make_video lib/a.mkv sparse:2M
    make_video lib/locked/b.mkv sparse:2M
    make_video lib/z.mkv sparse:2M
    chmod 000 lib/locked
    expect "$scan_only_line"
    expect $'Cannot read the folder lib/locked: Permission denied\n'
    expect_scan lib/a.mkv lib/z.mkv
    # The unprivileged user cannot write in the library, and the dry run says so.
    expect "Would not convert: $(native lib/a.mkv): its folder cannot be written: Permission denied"$'\n'
    expect "Would not convert: $(native lib/z.mkv): its folder cannot be written: Permission denied"$'\n'
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    chmod 755 lib/locked
    end_case
}

case_link_cycle() {
    begin_case "directory links are followed inside the library, a cycle is listed once"
    if windows; then
        skip_case "POSIX symbolic links"
        return
    fi
    make_video lib/a.mkv sparse:2M
    make_video lib/loop/b.mkv sparse:2M
    make_video other/o.mkv sparse:2M
    ln -s .. lib/loop/back
    ln -s . lib/loop/self
    ln -s ../other lib/alias
    expect "$scan_only_line"
    expect $'Passed over the link lib/alias: it leads out of the library folder\n'
    expect_scan lib/a.mkv lib/loop/b.mkv
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    end_case
}

# ---- Encoding with the fake encoder ---------------------------------------------------------

encode_args=(-days 3 -dir lib -ext mkv -docurrent)

in_list() {
    local item=$1 each
    shift
    for each in "$@"; do [[ $each == "$item" ]] && return 0; done
    return 1
}

# The whole log: each call's arguments, then "--". Arguments are written with '/'.
check_log_is() {
    local arg
    for arg in "$@"; do
        if [[ $arg == lib/* ]]; then native "$arg"; else printf '%s' "$arg"; fi
        printf '\n'
    done >"$case_dir/expected-log"
    cmp -s "$case_dir/expected-log" "$case_dir/log" 2>/dev/null ||
        fail "encoder arguments (< expected, > actual):"$'\n'"$(diff "$case_dir/expected-log" "$case_dir/log" 2>&1 | head -n 24)"
}

case_default_template() {
    begin_case "default template: every argument reaches ffmpeg, x264 becomes x265, only the result is left"
    use_fake_encoder
    make_video lib/Show.x264.mkv 2100000
    make_video lib/sub/ep.mkv 1100000
    keep_originals lib/Show.x264.mkv lib/sub/ep.mkv
    expect_scan lib/Show.x264.mkv lib/sub/ep.mkv
    expect_conversion lib/Show.x264.mkv lib/Show.x265.mkv
    expect_conversion lib/sub/ep.mkv
    expect_run 0 "${encode_args[@]}"
    local input default_args=()
    for input in lib/Show.x264.mkv lib/sub/ep.mkv; do
        default_args+=(-y -i "$input" -map 0:V:0 -map "0:a?" -map "0:s?" -map "0:t?" -c:v libx265
            -preset superfast -crf 19 -x265-params 'deblock=-4,0' -c:a copy -c:s copy -c:t copy
            tempenc.mkv --)
    done
    check_log_is "${default_args[@]}"
    check_tree lib Show.x265.mkv sub sub/ep.mkv
    check_encoded lib/Show.x264.mkv lib/Show.x265.mkv
    check_encoded lib/sub/ep.mkv lib/sub/ep.mkv
    check_working_dir brindle.lock
    # The lock file names the run that held it: its process id and start time (none on Windows).
    if windows; then
        [[ ! -s brindle.lock ]] || fail "brindle.lock is not empty"
    else
        grep -Eqx '[0-9]+ [0-9]+' brindle.lock || fail "brindle.lock does not name its run: $(cat brindle.lock)"
    fi
    # The results carry the HEVC identifier, so the next runs find nothing to do.
    expect "$scan_only_line"
    expect_scan
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    expect_scan
    expect_run 0 "${encode_args[@]}"
    check_log_calls 2
    end_case
}

case_config_template() {
    begin_case "config template: options after %2 dropped"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    printf 'ffmpeg -i %%1 -c:v libx265 %%2 -after out2.mkv\r\n' >../custom.cfg
    expect "Custom config file specified $(native ../custom.cfg)"$'\n'
    expect_scan lib/a.mkv
    expect_conversion lib/a.mkv
    expect_run 0 "${encode_args[@]}" -config "$(native ../custom.cfg)"
    check_log_is -i lib/a.mkv -c:v libx265 tempenc.mkv --
    check_encoded lib/a.mkv lib/a.mkv
    check_log_calls 1
    check_tree lib a.mkv
    check_working_dir brindle.lock
    end_case
}

case_template_faults() {
    begin_case "a configuration file that gives no usable encoder line stops an encode run"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    local name config
    printf 'ffmpeg -y %%2 -i %%1\n' >../backwards.cfg
    printf 'ffmpeg -i in.mkv out.mkv\n' >../plain.cfg
    : >../empty.cfg
    printf '\xef\xbb\xbfffmpeg -i %%1 %%2\n' >../bom.cfg
    local -A faults=(
        [backwards]='its first line names the output (%2) before the input (%1)'
        [plain]='its first line has no %1 for the input file'
        [empty]='it is empty'
    )
    for name in backwards plain empty; do
        config=$(native "../$name.cfg")
        expect "Custom config file specified $config"$'\n'
        expect "Cannot use the configuration file $config: ${faults[$name]}"$'\n'
        expect_run 1 "${encode_args[@]}" -config "$config"
    done
    config=$(native ../nothere.cfg)
    run_brindle "${encode_args[@]}" -config "$config"
    check_status 1
    grep -qF "Cannot use the configuration file $config: it cannot be read: " "$case_dir/out" ||
        fail "no line naming the unreadable configuration file: $(show "$case_dir/out")"
    # Scan-only mode reads no configuration file.
    config=$(native ../backwards.cfg)
    expect "Custom config file specified $config"$'\n'"$scan_only_line"
    expect_scan lib/a.mkv
    expect_run 0 "${encode_args[@]}" -config "$config" -scanonly
    check_log_calls 0
    check_untouched lib/a.mkv
    # A byte-order mark before the line (Windows editors write one) is not part of the command.
    config=$(native ../bom.cfg)
    run_brindle "${encode_args[@]}" -config "$config"
    check_status 0
    check_log_calls 1
    end_case
}

case_encoder_fails() {
    begin_case "an encoder that fails leaves every source as it was"
    use_fake_encoder
    fake_mode=fail
    make_video lib/a.x264.mkv 1100000
    make_video lib/b.mkv 1100000
    keep_originals lib/a.x264.mkv lib/b.mkv
    expect_scan lib/a.x264.mkv lib/b.mkv
    expect_encode_fails lib/a.x264.mkv "the encoder failed with exit code 3$again"
    expect_encode_fails lib/b.mkv "the encoder failed with exit code 3$again"
    expect_run 2 "${encode_args[@]}"
    check_log_calls 2
    check_untouched lib/a.x264.mkv lib/b.mkv
    check_tree lib a.x264.mkv b.mkv
    check_working_dir brindle.lock
    end_case
}

case_no_output() {
    begin_case "an encoder that exits 0 without output, or with an empty one, costs nothing"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    # What an earlier, killed encode left must not be taken for this one's output, even when it
    # is a whole result.
    cp -- "$sample_result" tempenc.mkv
    local mode
    local -A said=([nooutput]='the encoder left no output' [empty]='the encoder left an empty output')
    for mode in nooutput empty; do
        fake_mode=$mode
        expect_scan lib/a.mkv
        expect_encode_fails lib/a.mkv "${said[$mode]}"
        expect_run 2 "${encode_args[@]}"
        check_untouched lib/a.mkv
        check_tree lib a.mkv
        check_working_dir brindle.lock
    done
    check_log_calls 2
    end_case
}

case_missing_target_directory() {
    begin_case "264 in a folder's name: the file is converted in its own folder"
    use_fake_encoder
    make_video lib/show.S01.h264-GRP/a.mkv 1100000
    make_video lib/b.x264.mkv 1100000
    keep_originals lib/show.S01.h264-GRP/a.mkv lib/b.x264.mkv
    expect_scan lib/b.x264.mkv lib/show.S01.h264-GRP/a.mkv
    expect_conversion lib/b.x264.mkv lib/b.x265.mkv
    expect_conversion lib/show.S01.h264-GRP/a.mkv
    expect_run 0 "${encode_args[@]}"
    check_log_calls 2
    check_encoded lib/show.S01.h264-GRP/a.mkv lib/show.S01.h264-GRP/a.mkv
    check_encoded lib/b.x264.mkv lib/b.x265.mkv
    check_tree lib b.x265.mkv show.S01.h264-GRP show.S01.h264-GRP/a.mkv
    check_working_dir brindle.lock
    end_case
}

case_existing_backup() {
    begin_case "a file already named like the backup: source and that file untouched, the run goes on"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    make_video lib/a.mkv.bak 5000
    make_video lib/b.mkv 1100000
    keep_originals lib/a.mkv lib/a.mkv.bak lib/b.mkv
    expect_scan lib/a.mkv lib/b.mkv
    expect_refused lib/a.mkv "$(native lib/a.mkv.bak) already exists"
    expect_conversion lib/b.mkv
    expect_run 0 "${encode_args[@]}"
    check_untouched lib/a.mkv lib/a.mkv.bak
    check_encoded lib/b.mkv lib/b.mkv
    check_tree lib a.mkv a.mkv.bak b.mkv
    check_working_dir brindle.lock
    end_case
}

# Encodes a library of odd names; names in REFUSED must be refused with their message. Checks
# that each other name reaches the encoder literally and is replaced, and that nothing in a name
# ran. The listing order is taken from the program's own Found lines (the collation of Wine's
# listing is Wine's), after checking they name exactly the expected files.
encode_odd_names() {
    local -n odd_names=$1 refused_names=$2
    local name paths=()
    for name in "${odd_names[@]}" "${refused_names[@]}"; do
        make_video "lib/$name" 1100000
        keep_originals "lib/$name"
    done
    run_brindle "${encode_args[@]}"
    check_status 0
    mapfile -t paths < <(sed -n "s#^Found: $(native lib/ | sed 's/\\/\\\\/g')##p" "$case_dir/out")
    if [[ $(printf '%s\n' "${paths[@]}" | LC_ALL=C sort) != \
        "$(printf '%s\n' "${odd_names[@]}" "${refused_names[@]}" | LC_ALL=C sort)" ]]; then
        fail "the Found lines do not name the library's files: $(show "$case_dir/out")"
        return
    fi
    paths=("${paths[@]/#/lib/}")
    expect_scan "${paths[@]}"
    local encoded=() path
    for path in "${paths[@]}"; do
        name=${path#lib/}
        if in_list "$name" "${refused_names[@]}"; then
            expect_refused "$path" 'the name holds two or more % signs, which cmd.exe could expand into a command'
        else
            expect_conversion "$path" "${path/264/265}"
            encoded+=("$path")
        fi
    done
    expect_summary
    check_output
    check_log_inputs "${encoded[@]}"
    local wanted=()
    for path in "${encoded[@]}"; do
        name=${path#lib/}
        wanted+=("${name/264/265}")
        check_encoded "$path" "lib/${name/264/265}"
    done
    for name in "${refused_names[@]}"; do
        wanted+=("$name")
        check_untouched "lib/$name"
    done
    check_tree lib "${wanted[@]}"
    check_working_dir brindle.lock
    [[ -z $(find "$root" -iname '*PWNED*' ! -path '*/lib/*' ! -path '*/orig/*') ]] ||
        fail "a command in a file name ran"
}

case_odd_names_posix() {
    begin_case "names with \$( ) \` \" \\ ; & % ! ' blanks and non-ASCII letters reach the encoder literally"
    # shellcheck disable=SC2034 # read through a name reference
    local posix_names=('a b.mkv' 'x$(touch PWNED).mkv' 'q`touch PWNED2`.mkv' 'semi;colon&amp.mkv'
        'quote".mkv' 'back\slash\.mkv' "tick'.mkv" 'bang!.mkv' 'pct%d%s%%.mkv'
        'dollar$HOME ${PATH}.mkv' 'Ünïcödé ж 日本.mkv' 'star*?[a].mkv' 'pipe|<in >out.mkv'
        'x264 $(touch PWNED3) ".mkv' '-i.mkv' '  lead and trail  .mkv')
    # shellcheck disable=SC2034
    local posix_refused=()
    use_fake_encoder
    encode_odd_names posix_names posix_refused
    end_case
}

case_odd_names_windows() {
    begin_case "names cmd.exe treats specially (^ & ! one %, non-ASCII) encode; two % are refused"
    # shellcheck disable=SC2034 # read through a name reference
    local windows_names=('a b.mkv' 'amp&.mkv' 'caret^.mkv' 'bang!.mkv' '100% Wolf.mkv' "tick'.mkv"
        'paren (1).mkv' 'semi;colon,eq=.mkv' 'Ünïcödé ж 日本.mkv' 'x264 & echo PWNED.mkv')
    # shellcheck disable=SC2034
    local windows_refused=('two%PATH%.mkv' 'a%b%c%.mkv' '%CMDCMDLINE%.mkv')
    use_fake_encoder
    encode_odd_names windows_names windows_refused
    end_case
}

case_concurrent_runs() {
    begin_case "two runs started at once in one working directory: one encodes, one steps aside"
    use_fake_encoder
    fake_mode=slow
    make_video lib/a.mkv 1100000
    make_video lib/b.mkv 1100000
    keep_originals lib/a.mkv lib/b.mkv
    local first second first_status second_status
    start_brindle "$case_dir/raw1" "${encode_args[@]}"
    first=$started_pid
    start_brindle "$case_dir/raw2" "${encode_args[@]}"
    second=$started_pid
    wait "$first"
    first_status=$?
    wait "$second"
    second_status=$?
    normalise_output "$case_dir/raw1" "$case_dir/out1"
    normalise_output "$case_dir/raw2" "$case_dir/out2"
    expect_scan lib/a.mkv lib/b.mkv
    expect_conversion lib/a.mkv
    expect_conversion lib/b.mkv
    expect_summary
    printf '%s' "$lock_held" >"$case_dir/lock-held"
    if ! { cmp -s "$case_dir/out1" "$case_dir/expected" && cmp -s "$case_dir/out2" "$case_dir/lock-held"; } &&
        ! { cmp -s "$case_dir/out2" "$case_dir/expected" && cmp -s "$case_dir/out1" "$case_dir/lock-held"; }; then
        fail "expected one run to encode and the other to print the lock message; got:"$'\n'"$(show "$case_dir/out1")"$'\n'"and:"$'\n'"$(show "$case_dir/out2")"
    fi
    ((first_status == 0 && second_status == 0)) || fail "exit codes $first_status and $second_status"
    check_log_calls 2
    check_encoded lib/a.mkv lib/a.mkv
    check_encoded lib/b.mkv lib/b.mkv
    check_tree lib a.mkv b.mkv
    check_working_dir brindle.lock
    end_case
}

case_killed_run() {
    begin_case "a run killed with SIGKILL during the encode: source intact, the next run completes"
    if windows; then
        skip_case "POSIX signals"
        return
    fi
    use_fake_encoder
    fake_mode=hang
    make_video lib/a.x264.mkv 2100000
    keep_originals lib/a.x264.mkv
    start_brindle "$case_dir/raw1" "${encode_args[@]}"
    local pid=$started_pid children=()
    if ! wait_until 100 test -s tempenc.mkv; then
        fail "the encoder never started"
    fi
    mapfile -t children < <(descendants "$pid")
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    # The encoder ends with brindle, without help.
    check_nothing_runs_in "$(pwd -P)"
    ((${#children[@]} > 0)) && kill -KILL "${children[@]}" 2>/dev/null
    sleep 0.2
    check_untouched lib/a.x264.mkv
    check_tree lib a.x264.mkv
    fake_mode=
    expect_scan lib/a.x264.mkv
    expect_conversion lib/a.x264.mkv lib/a.x265.mkv
    expect_run 0 "${encode_args[@]}"
    check_encoded lib/a.x264.mkv lib/a.x265.mkv
    check_tree lib a.x265.mkv
    check_working_dir brindle.lock
    end_case
}

# One run over a fresh library of a name-changing and a same-name file, killed with SIGKILL as it
# enters call N of SYSCALL (traced in brindle's own process only). Answers 0 when it was killed.
run_killed_at_call() {
    local syscall=$1 n=$2
    rm -rf -- lib tempenc.mkv brindle.journal brindle.journal.new
    make_video lib/a.x264.mkv 1100000
    make_video lib/b.mkv 1200000
    # In a shell of its own, which says nothing of the kill.
    (
        env "${case_env[@]}" ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace="$syscall" \
            -e inject="$syscall:signal=KILL:when=$n" "$brindle" "${encode_args[@]}" \
            </dev/null >"$case_dir/raw" 2>"$case_dir/err"
        exit $?
    ) 2>/dev/null
    (($? == 137))
}

case_killed_during_install() {
    begin_case "a run killed at any step of its installs: the next run ends with every file converted, nothing beside them"
    if windows || ! command -v strace >/dev/null; then
        skip_case "needs strace and POSIX signals"
        return
    fi
    use_fake_encoder
    local syscall n kills=0
    for syscall in renameat2 renameat linkat unlinkat; do
        for ((n = 1; n <= 40; n++)); do
            run_killed_at_call "$syscall" "$n" || break
            kills=$((kills + 1))
            run_label="the run after a kill at $syscall call $n"
            run_brindle "${encode_args[@]}"
            check_status 0
            grep -q 'could not be completed' "$case_dir/out" && fail "$(show "$case_dir/out")"
            check_tree lib a.x265.mkv b.mkv
            check_encoded lib/a.x264.mkv lib/a.x265.mkv
            check_encoded lib/b.mkv lib/b.mkv
            check_working_dir brindle.lock
            run_label=
            ((${#failures[@]} > 0)) && break 2
        done
    done
    ((kills > 10)) || fail "only $kills runs were killed"
    end_case
}

# Whether brindle, traced by strace as TRACER, is held on entering the syscall numbered NUMBER.
held_in_syscall() {
    local child number
    child=$(pgrep -P "$1" | head -n 1)
    [[ -n $child ]] && { read -r number _ <"/proc/$child/syscall"; } 2>/dev/null &&
        [[ $number == "$2" ]]
}

# A run over SOURCE alone, held for a second as it enters call N of SYSCALL (numbered NUMBER);
# when the encoder has run by then, a newer file is moved onto SOURCE's name meanwhile (before
# the encode, it would simply be the file converted). Answers 1 when the run never got that
# far, 2 when it got there before the encode.
move_newer_in_at_call() {
    local source=$1 syscall=$2 number=$3 n=$4 pid held=1
    rm -rf -- lib tempenc.mkv brindle.journal "$case_dir/log"
    make_video "$source" 1100000
    make_video newer.mkv 1300000
    cp -- newer.mkv "$case_dir/newer"
    (env "${case_env[@]}" ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace="$syscall" \
        -e inject="$syscall:delay_enter=1000000:when=$n" "$brindle" "${encode_args[@]}" \
        </dev/null >"$case_dir/raw" 2>"$case_dir/err") &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        if held_in_syscall "$pid" "$number"; then
            held=2
            [[ -s $case_dir/log ]] && mv -- newer.mkv "$source" && held=0
            break
        fi
        sleep 0.05
    done
    wait "$pid"
    status=$?
    rm -f -- newer.mkv
    normalise_output "$case_dir/raw" "$case_dir/out"
    return "$held"
}

case_newer_file_moved_in_during_install() {
    begin_case "a newer file moved onto the source's name at any step of the install survives"
    if windows || ! command -v strace >/dev/null || [[ $(uname -m) != x86_64 ]]; then
        skip_case "needs strace on x86-64"
        return
    fi
    use_fake_encoder
    local source entry syscall number n name held_at=0
    for source in lib/a.x264.mkv lib/b.mkv; do
        for entry in renameat2:316 linkat:265 unlinkat:263; do
            syscall=${entry%:*} number=${entry#*:}
            for ((n = 1; n <= 12; n++)); do
                move_newer_in_at_call "$source" "$syscall" "$number" "$n"
                case $? in
                1) break ;;
                2) continue ;;
                esac
                held_at=$((held_at + 1))
                run_label="$source, moved in at $syscall call $n"
                ((status == 0 || status == 2)) || check_status 0
                name=$(find lib -type f -exec cmp -s "$case_dir/newer" {} \; -print | head -n 1)
                if [[ -z $name ]]; then
                    fail "the newer file is lost: $(show "$case_dir/out")"
                elif [[ $name != "$source" ]] && ! grep -qF -- "$name" "$case_dir/out"; then
                    fail "the newer file stands as $name, which no line names: $(show "$case_dir/out")"
                fi
                run_label=
            done
        done
    done
    ((held_at > 10)) || fail "only $held_at runs were held"
    end_case
}

case_unwritable_working_dir() {
    begin_case "a working directory that cannot be written: the lock message, exit code 1, nothing else happens"
    permissions_apply || return
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    chmod 555 .
    expect "Cannot create the lock file brindle.lock in $(pwd -P); this run does nothing."$'\n'
    expect_run 1 "${encode_args[@]}"
    chmod 755 .
    check_log_calls 0
    check_untouched lib/a.mkv
    check_tree lib a.mkv
    check_working_dir
    end_case
}

# ---- Stopping ------------------------------------------------------------------------------

case_stopped_by_signal() {
    begin_case "kill -TERM during an encode: the encoder's group ends before the lock is let go; nothing is left"
    if windows; then
        skip_case "POSIX signals"
        return
    fi
    use_fake_encoder
    fake_mode=hang
    make_video lib/a.x264.mkv 2100000
    keep_originals lib/a.x264.mkv
    # The interpreter takes four seconds to end after the signal (the encoder ends at once): a
    # run started meanwhile must find the lock still held.
    printf "trap 'sleep 4' TERM; ffmpeg -y -i %%1 %%2\n" >../slow-stop.cfg
    start_brindle "$case_dir/raw1" "${encode_args[@]}" -config "$(native ../slow-stop.cfg)"
    local pid=$started_pid here
    here=$(pwd -P)
    wait_until 100 test -s tempenc.mkv || fail "the encoder never started"
    kill -TERM "$pid"
    sleep 0.5
    expect "$lock_held"
    expect_run 0 "${encode_args[@]}"
    wait_with_deadline 20 "$pid"
    status=$?
    run_label="the stopped run"
    check_status 143
    normalise_output "$case_dir/raw1" "$case_dir/out1"
    local config_line
    config_line="Custom config file specified $(native ../slow-stop.cfg)"
    expect "$config_line"$'\n'
    expect_scan lib/a.x264.mkv
    expect_converting lib/a.x264.mkv
    expect $'Stopped by signal 15; lib/a.x264.mkv was not converted\n'
    expect "Finished DATE HH:MM: 0 converted, 0 not converted; 0 bytes before, 0 bytes after; H:MM:SS"$'\n'
    cmp -s "$case_dir/expected" "$case_dir/out1" ||
        fail "the stopped run printed:"$'\n'"$(diff <(show "$case_dir/expected") <(show "$case_dir/out1"))"
    expect_reset
    check_nothing_runs_in "$here"
    [[ -e tempenc.mkv ]] && fail "tempenc.mkv was left behind"
    check_untouched lib/a.x264.mkv
    check_tree lib a.x264.mkv
    check_working_dir brindle.lock
    check_log_calls 1
    end_case
}

case_parent_ignores_sigchld() {
    begin_case "a parent that ignores SIGCHLD: the encoder's exit code is still seen"
    if windows; then
        skip_case "POSIX signals"
        return
    fi
    if ! command -v perl >/dev/null; then
        skip_case "perl is not installed"
        return
    fi
    use_fake_encoder
    make_video lib/a.x264.mkv 1100000
    keep_originals lib/a.x264.mkv
    # An ignored SIGCHLD is inherited through exec.
    timeout -k 5 120 env "${case_env[@]}" perl -e '$SIG{CHLD} = "IGNORE"; exec @ARGV or die' \
        "$brindle" "${encode_args[@]}" </dev/null >"$case_dir/out" 2>"$case_dir/err"
    status=$?
    check_status 0
    check_encoded lib/a.x264.mkv lib/a.x265.mkv
    check_tree lib a.x265.mkv
    end_case
}

case_ended_windows() {
    begin_case "brindle.exe ended while its encoder runs: the interpreter and the encoder end with it"
    if ! windows; then
        skip_case "Windows job objects"
        return
    fi
    use_fake_encoder
    fake_mode=hang
    make_video lib/a.mkv 2100000
    keep_originals lib/a.mkv
    start_brindle "$case_dir/raw1" "${encode_args[@]}"
    local here
    here=$(pwd -P)
    wait_until 150 test -s tempenc.mkv || fail "the encoder never started"
    # As the Task Scheduler stops a task: TerminateProcess.
    "${runner[@]}" taskkill /F /IM brindle.exe >"$case_dir/taskkill" 2>&1 ||
        fail "taskkill: $(cat "$case_dir/taskkill")"
    wait "$started_pid"
    check_nothing_runs_in "$here"
    check_untouched lib/a.mkv
    check_tree lib a.mkv
    end_case
}

# ---- Windows: cmd.exe as the interpreter ----------------------------------------------------

case_cmd_copy_template() {
    begin_case "cmd's own copy /b %1+MARK %2 as the encoder: it runs, and its larger result is refused"
    printf 'MARK' >MARK
    wd_extra+=(MARK)
    printf 'copy /b %%1+MARK %%2\r\n' >../copy.cfg
    make_video lib/a.x264.mkv 1100000
    keep_originals lib/a.x264.mkv
    expect "Custom config file specified $(native ../copy.cfg)"$'\n'
    expect_scan lib/a.x264.mkv
    run_brindle "${encode_args[@]}" -config "$(native ../copy.cfg)"
    check_status 2
    check_output_begins
    grep -qF -- "$(size_text $(($(stat -c %s -- lib/a.x264.mkv) + 4)))) is not smaller than the source" \
        "$case_dir/out" || fail "no refusal of the larger result in: $(show "$case_dir/out")"
    check_untouched lib/a.x264.mkv
    check_tree lib a.x264.mkv
    check_working_dir brindle.lock
    end_case
}

case_quoted_encoder_path() {
    begin_case "a template whose quoted encoder path holds a blank"
    mkdir "enc dir"
    cp -- "$fake_encoder" "enc dir/fake encoder.exe"
    wd_extra+=("enc dir")
    fake_encoder_env
    printf '"enc dir\\fake encoder.exe" -i %%1 %%2\r\n' >../relative.cfg
    printf '"%s" -i %%1 %%2\r\n' "$(host_path "$case_dir/wd/enc dir/fake encoder.exe")" >../absolute.cfg
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    expect "Custom config file specified $(native ../relative.cfg)"$'\n'
    expect_scan lib/a.mkv
    expect_conversion lib/a.mkv
    expect_run 0 "${encode_args[@]}" -config "$(native ../relative.cfg)"
    check_encoded lib/a.mkv lib/a.mkv
    make_video lib/b.mkv 1100000
    keep_originals lib/b.mkv
    expect "Custom config file specified $(native ../absolute.cfg)"$'\n'
    expect_scan lib/b.mkv
    expect_conversion lib/b.mkv
    expect_run 0 "${encode_args[@]}" -config "$(native ../absolute.cfg)"
    check_encoded lib/b.mkv lib/b.mkv
    check_log_is -i lib/a.mkv tempenc.mkv -- -i lib/b.mkv tempenc.mkv --
    check_tree lib a.mkv b.mkv
    check_working_dir brindle.lock
    end_case
}

case_no_encoder_found() {
    begin_case "an encoder that cannot be found: the run stops at once, exit code 3, no note"
    make_video lib/a.mkv 1100000
    make_video lib/b.mkv 1100000
    keep_originals lib/a.mkv lib/b.mkv
    local code=127 args=("${encode_args[@]}")
    windows && code=9009
    expect_missing_encoder=yes
    if ! windows; then
        # ffmpeg itself may be installed here: a line naming a program nowhere to be found.
        printf 'no-such-encoder -i %%1 %%2\n' >../missing.cfg
        expect "Custom config file specified ../missing.cfg"$'\n'
        args+=(-config ../missing.cfg)
    fi
    expect_scan lib/a.mkv lib/b.mkv
    expect "Converting 1 of 2: $(native lib/a.mkv) (started DATE HH:MM)"$'\n'
    expect "The encoder could not be found (exit code $code); no other file was tried"$'\n'
    expect_summary
    run_brindle "${args[@]}"
    check_status 3
    check_output_begins
    check_untouched lib/a.mkv lib/b.mkv
    check_tree lib a.mkv b.mkv
    check_working_dir brindle.lock
    if ! windows && getfattr -d lib/a.mkv 2>/dev/null | grep -q brindle; then
        fail "a note was written on lib/a.mkv"
    fi
    end_case
}

# ---- The real ffmpeg ------------------------------------------------------------------------

case_real_ffmpeg() {
    begin_case "the real ffmpeg turns an H.264 file with two audio tracks into HEVC under the 265 name"
    if windows; then
        skip_case "the real ffmpeg runs with the native build"
        return
    fi
    if ! command -v ffmpeg >/dev/null || ! command -v ffprobe >/dev/null; then
        skip_case "ffmpeg or ffprobe is not installed"
        return
    fi
    mkdir lib
    ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=440 \
        -f lavfi -i sine=880 -t 6 -map 0 -map 1 -map 2 -c:v libx264 -preset ultrafast -b:v 2M \
        -pix_fmt yuv420p -c:a aac -metadata:s:a:0 language=eng -metadata:s:a:1 language=jpn \
        lib/clip.x264.mkv 2>"$case_dir/ffmpeg-err"
    if (($(stat -c %s lib/clip.x264.mkv 2>/dev/null || echo 0) <= 1048576)); then
        fail "could not make an H.264 sample of over 1 MiB: $(head -c 400 "$case_dir/ffmpeg-err")"
        end_case
        return
    fi
    run_brindle "${encode_args[@]}"
    check_status 0
    local line
    for line in 'Scan found 1 files' 'Found: lib/clip.x264.mkv' \
        'Converting 1 of 1: lib/clip.x264.mkv (started DATE HH:MM)' \
        'Converted: lib/clip.x264.mkv -> lib/clip.x265.mkv (' 'Finished DATE HH:MM: 1 converted, 0 not converted;'; do
        grep -qF -- "$line" "$case_dir/out" || fail "no line [$line] in: $(show "$case_dir/out")"
    done
    local codec audio
    codec=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 \
        lib/clip.x265.mkv 2>&1)
    [[ $codec == hevc ]] || fail "lib/clip.x265.mkv: codec [$codec], expected hevc"
    audio=$(ffprobe -v error -select_streams a -show_entries stream_tags=language -of csv=p=0 \
        lib/clip.x265.mkv 2>&1 | tr '\n' ' ')
    [[ $audio == "eng jpn " ]] || fail "lib/clip.x265.mkv: audio tracks [$audio], expected eng and jpn"
    check_tree lib clip.x265.mkv
    check_working_dir brindle.lock
    expect "$scan_only_line"
    expect_scan
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    end_case
}

case_target_names_taken() {
    begin_case "a result never takes another file's name; a 264 that names no codec stays"
    use_fake_encoder
    make_video "lib/Anime - 264.mkv" 1100000
    make_video "lib/Anime - 265.mkv" 5000
    make_video lib/Film.x264.mkv 1100000
    make_video lib/Film.x265.mkv 5000
    make_video lib/x264/a.mkv 1100000
    make_video lib/x265/a.mkv 5000
    keep_originals "lib/Anime - 264.mkv" "lib/Anime - 265.mkv" lib/Film.x264.mkv \
        lib/Film.x265.mkv lib/x264/a.mkv lib/x265/a.mkv
    expect_scan "lib/Anime - 264.mkv" lib/Film.x264.mkv lib/x264/a.mkv
    run_brindle "${encode_args[@]}"
    check_status 0
    check_output_begins
    check_encoded "lib/Anime - 264.mkv" "lib/Anime - 264.mkv"
    check_encoded lib/x264/a.mkv lib/x264/a.mkv
    check_untouched "lib/Anime - 265.mkv" lib/Film.x264.mkv lib/Film.x265.mkv lib/x265/a.mkv
    check_tree lib "Anime - 264.mkv" "Anime - 265.mkv" Film.x264.mkv Film.x265.mkv x264 \
        x264/a.mkv x265 x265/a.mkv
    check_working_dir brindle.lock
    end_case
}

# The mode of a file, e.g. 640.
mode_of() { stat -c %a -- "$1"; }

case_result_keeps_permissions() {
    begin_case "a result keeps its source's permissions (Windows: read-only) and leaves no backup"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    make_video lib/b.x264.mkv 1100000
    keep_originals lib/a.mkv lib/b.x264.mkv
    local mode_a=640 mode_b=604 owner_a
    windows && mode_a=444 mode_b=444 # a file without write rights is read-only to Windows
    chmod "$mode_a" lib/a.mkv
    chmod "$mode_b" lib/b.x264.mkv
    if ! windows && (($(id -u) == 0)); then chown 65534:65534 lib/a.mkv; fi
    owner_a=$(stat -c %u:%g lib/a.mkv)
    expect_scan lib/a.mkv lib/b.x264.mkv
    run_brindle "${encode_args[@]}"
    check_status 0
    check_output_begins
    check_encoded lib/a.mkv lib/a.mkv
    check_encoded lib/b.x264.mkv lib/b.x265.mkv
    check_tree lib a.mkv b.x265.mkv
    [[ $(mode_of lib/a.mkv) == "$mode_a" ]] || fail "lib/a.mkv has mode $(mode_of lib/a.mkv), not $mode_a"
    [[ $(mode_of lib/b.x265.mkv) == "$mode_b" ]] ||
        fail "lib/b.x265.mkv has mode $(mode_of lib/b.x265.mkv), not $mode_b"
    windows || [[ $(stat -c %u:%g lib/a.mkv) == "$owner_a" ]] ||
        fail "lib/a.mkv belongs to $(stat -c %u:%g lib/a.mkv), not $owner_a"
    chmod u+w lib/a.mkv lib/b.x265.mkv
    check_working_dir brindle.lock
    end_case
}

# ---- What the walk refuses and says ---------------------------------------------------------

case_unlistable_library() {
    begin_case "a library folder that is missing, a file or unreadable: one line, exit code 1, both modes"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    local mode
    for mode in scan encode; do
        local extra=(-scanonly)
        [[ $mode == encode ]] && extra=()
        [[ $mode == scan ]] && expect "$scan_only_line"
        expect "Cannot read the library folder nowhere: $reason_missing"$'\n'
        expect_run 1 -days 3 -dir nowhere -ext mkv -docurrent "${extra[@]}"
        [[ $mode == scan ]] && expect "$scan_only_line"
        expect "Cannot read the library folder $(native lib/a.mkv): $reason_not_folder"$'\n'
        expect_run 1 -days 3 -dir "$(native lib/a.mkv)" -ext mkv -docurrent "${extra[@]}"
    done
    if ! windows && drop_privileges; then
        # The unprivileged user may take the lock here, but not list the library.
        chmod 777 .
        rm -f brindle.lock
        chmod 000 lib
        for mode in scan encode; do
            local extra=(-scanonly)
            [[ $mode == encode ]] && extra=()
            [[ $mode == scan ]] && expect "$scan_only_line"
            expect $'Cannot read the library folder lib: Permission denied\n'
            expect_run 1 -days 3 -dir lib -ext mkv -docurrent "${extra[@]}"
        done
        chmod 755 lib .
    fi
    check_log_calls 0
    check_untouched lib/a.mkv
    check_tree lib a.mkv
    end_case
}

case_control_characters_printed() {
    begin_case "control characters in a file name are printed as ?; the file keeps its name"
    make_video lib/$'new\nline.mkv' sparse:2M
    make_video lib/$'esc\e[31mred.mkv' sparse:2M
    make_video lib/$'tab\there.mkv' sparse:2M
    make_video lib/plain.mkv sparse:2M
    expect "$scan_only_line"
    if windows; then
        # Windows programs cannot open such names at all.
        local why='Windows cannot open a name holding a control character or one of < > : " / \ | ? *'
        run_brindle -days 3 -dir lib -ext mkv -scanonly -docurrent
        check_status 0
        expect "Passed over lib\\esc?[31mred.mkv: $why"$'\n'
        expect "Passed over lib\\new?line.mkv: $why"$'\n'
        expect "Passed over lib\\tab?here.mkv: $why"$'\n'
        expect_scan lib/plain.mkv
        check_output_lines
    else
        expect_scan lib/$'esc?[31mred.mkv' lib/$'new?line.mkv' lib/plain.mkv lib/$'tab?here.mkv'
        expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    fi
    check_tree lib $'esc\e[31mred.mkv' $'new\nline.mkv' $'tab\there.mkv' plain.mkv
    end_case
}

case_link_out_of_library() {
    begin_case "a link out of the library is passed over: ln -s /private lib/a264; mkdir lib/a265"
    make_video private/secret.mkv sparse:2M
    make_video lib/own.mkv sparse:2M
    ln -s "$case_dir/wd/private" lib/a264
    mkdir lib/a265
    # Windows shows a POSIX link as a plain folder; its real path still gives it away.
    expect "$scan_only_line"
    expect "Passed over the link $(native lib/a264): it leads out of the library folder"$'\n'
    expect_scan lib/own.mkv
    expect_run 0 -days 3 -dir lib -ext mkv -scanonly -docurrent
    end_case
}

case_links_inside_library() {
    begin_case "a folder met through three names (Latest -> Show/Season 3) is encoded once"
    use_fake_encoder
    make_video "lib/Show/Season 3/e1.mkv" 1100000
    ln -s "Show/Season 3" lib/Latest
    ln -s "Season 3" lib/Show/Current
    expect_scan "lib/Show/Season 3/e1.mkv"
    run_brindle "${encode_args[@]}"
    check_status 0
    check_output_begins
    check_log_calls 1
    # The encoder was given the name that crosses no link.
    check_encoded "lib/Show/Season 3/e1.mkv" "lib/Show/Season 3/e1.mkv"
    end_case
}

case_link_sorting_first() {
    begin_case "a file behind a link that sorts first (Latest -> Show) is encoded under its own folder"
    use_fake_encoder
    make_video lib/Show/Show.S01E02.x264.mkv 1100000
    ln -s Show lib/Latest
    expect_scan lib/Show/Show.S01E02.x264.mkv
    run_brindle "${encode_args[@]}"
    check_status 0
    check_output_begins
    check_log_calls 1
    check_encoded lib/Show/Show.S01E02.x264.mkv lib/Show/Show.S01E02.x265.mkv
    end_case
}

# ---- Options, scheduling and remembered failures ------------------------------------------

case_mistyped_options() {
    begin_case "unknown options are refused before anything is encoded; --help and --version"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    local mistyped
    for mistyped in -ScanOnly /scanonly scanonly —scanonly /DoCurrent; do
        expect "$usage"$'\n\tUnknown option '"$mistyped"$'\n'
        expect_run 1 "${encode_args[@]}" "$mistyped"
    done
    expect "$usage"$'\n\tThe -until value must be a time of day from 0:00 to 23:59, as H:MM or HH:MM.\n'
    expect_run 1 "${encode_args[@]}" -until 24:00
    local help
    for help in -h '-?' '/?' --help; do
        expect "$usage$newer_options"
        expect_run 0 "$help"
    done
    expect $'Brindle v1.0.1\n'
    expect_run 0 --version
    check_log_calls 0
    check_untouched lib/a.mkv
    end_case
}

case_shards() {
    begin_case "-shard K/3: three runs take every file exactly once"
    local name all=() shard found=() listed
    for name in a b c d e f g h i j k l; do
        make_video "lib/$name/$name.x264.mkv" 1100000
        all+=("$(native "lib/$name/$name.x264.mkv")")
    done
    for shard in 1 2 3; do
        run_brindle -days 3 -dir lib -ext mkv -docurrent -scanonly -shard "$shard/3"
        check_status 0
        mapfile -t listed < <(sed -n 's/^Found: //p' "$case_dir/out")
        [[ $(sed -n 's/^Scan found \([0-9]*\) files$/\1/p' "$case_dir/out") == "${#listed[@]}" ]] ||
            fail "shard $shard: the count line does not count its share"
        ((${#listed[@]} > 0 && ${#listed[@]} < 12)) || fail "shard $shard took ${#listed[@]} of 12 files"
        found+=("${listed[@]}")
    done
    [[ $(printf '%s\n' "${found[@]}" | LC_ALL=C sort) == "$(printf '%s\n' "${all[@]}" | LC_ALL=C sort)" ]] ||
        fail "the shards are not a partition of the library: $(printf '%s ' "${found[@]}")"
    end_case
}

case_until() {
    begin_case "-until: no encoder starts once the clock has reached the time; the rest is left"
    # A sanitizer build refuses to start behind faketime's preloaded library.
    if windows || ! command -v faketime >/dev/null ||
        ! faketime '2026-12-07 05:59:58' "$brindle" --version >/dev/null 2>&1; then
        skip_case "needs faketime and a native build that runs under it"
        return
    fi
    use_fake_encoder
    fake_mode=slow
    make_video lib/a.mkv 1100000
    make_video lib/b.mkv 1100000
    keep_originals lib/a.mkv lib/b.mkv
    # Files made now lie in the future of the fake clock, so every age is taken.
    local args=(-days 99999999 -dir lib -ext mkv -docurrent -until 6:00)
    expect_scan lib/a.mkv lib/b.mkv
    expect_conversion lib/a.mkv
    expect $'Left for the next run: 1 files, the -until time was reached\n'
    expect "Finished DATE HH:MM: 1 converted, 0 not converted, 1 left for the next run; "
    expect "$(size_text "$tally_before") before, $(size_text "$tally_after") after; H:MM:SS"$'\n'
    expect_scanned=0
    case_env+=(TZ=UTC)
    as_user=(faketime '2026-12-07 05:59:58')
    expect_run 0 "${args[@]}"
    check_log_calls 1
    check_encoded lib/a.mkv lib/a.mkv
    check_untouched lib/b.mkv
    # The file left over is taken by the next run, though it lies outside that run's days.
    [[ $(note_of lib/b.mkv) == brindle-pending-2\ * ]] || fail "no pending note on lib/b.mkv"
    as_user=()
    fake_mode=
    expect_scan lib/b.mkv
    expect_conversion lib/b.mkv
    expect_run 0 -days 3 -dir lib -ext mkv
    check_encoded lib/b.mkv lib/b.mkv
    end_case
}

case_priority() {
    begin_case "-priority: the encoder runs 10 nice steps lower unless told normal"
    if windows; then
        skip_case "POSIX nice values"
        return
    fi
    use_fake_encoder
    make_video lib/a.mkv 1100000
    printf 'nice >>../nice.txt; ffmpeg -i %%1 %%2\n' >../nice.cfg
    local own
    own=$(nice)
    run_brindle "${encode_args[@]}" -config ../nice.cfg -scanonly
    rm -f ../nice.txt
    run_brindle "${encode_args[@]}" -config ../nice.cfg
    make_video lib/b.mkv 1100000
    run_brindle "${encode_args[@]}" -config ../nice.cfg -priority normal
    local expected_low=$((own + 10 > 19 ? 19 : own + 10))
    [[ $(tr '\n' ' ' <../nice.txt) == "$expected_low $own " ]] ||
        fail "nice values [$(tr '\n' ' ' <../nice.txt)], expected $expected_low then $own"
    end_case
}

# The note FILE carries: an extended attribute on POSIX; on Wine, a file beside it.
note_of() {
    if windows; then
        cat -- "$1:brindle" 2>/dev/null
    else
        getfattr --only-values -n user.brindle -- "$1" 2>/dev/null
    fi
}
# Dates FILE's note a day back, as if it was written the night before.
backdate_note() {
    local text
    text=$(note_of "$1" | awk -v d="$(date -d yesterday +%F)" '{ $5 = d; print }')
    if windows; then
        printf '%s' "$text" >"$1:brindle"
    else
        setfattr -n user.brindle -v "$text" -- "$1"
    fi
}

case_remembered_failures() {
    begin_case "a file the encoder fails on two days is skipped until it changes or -retry"
    use_fake_encoder
    fake_mode=fail
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    local reason='the encoder failed with exit code 3'
    expect_scan lib/a.mkv
    expect_encode_fails lib/a.mkv "$reason$again"
    expect_run 2 "${encode_args[@]}"
    if [[ -z $(note_of lib/a.mkv) ]]; then
        skip_case "this file system keeps no notes, so nothing is remembered"
        return
    fi
    # A second failure on the same day is still the first strike.
    expect_scan lib/a.mkv
    expect_encode_fails lib/a.mkv "$reason$again"
    expect_run 2 "${encode_args[@]}"
    # The next night it fails again, and from then on it is skipped.
    backdate_note lib/a.mkv
    expect_scan lib/a.mkv
    expect_encode_fails lib/a.mkv "$reason"
    expect_run 2 "${encode_args[@]}"
    check_log_calls 3
    expect_scan lib/a.mkv
    expect_refused lib/a.mkv "it failed on $(date +%F) ($reason) and has not changed since; -retry tries it again"
    expect_run 0 "${encode_args[@]}"
    check_log_calls 3
    expect_scan lib/a.mkv
    expect_encode_fails lib/a.mkv "$reason"
    expect_run 2 "${encode_args[@]}" -retry
    check_log_calls 4
    # Another encoder line (a mistyped option corrected) tries the file again too.
    printf 'ffmpeg -y -i %%1 %%2\n' >../other.cfg
    expect "Custom config file specified $(native ../other.cfg)"$'\n'
    expect_scan lib/a.mkv
    expect_encode_fails lib/a.mkv "$reason$again"
    expect_run 2 "${encode_args[@]}" -config "$(native ../other.cfg)"
    check_log_calls 5
    fake_mode=
    printf 'more' >>lib/a.mkv
    keep_originals lib/a.mkv
    expect_scan lib/a.mkv
    expect_conversion lib/a.mkv
    expect_run 0 "${encode_args[@]}"
    check_log_calls 6
    check_encoded lib/a.mkv lib/a.mkv
    if ! windows && getfattr -n user.brindle lib/a.mkv >/dev/null 2>&1; then
        fail "the converted file still carries the failure mark"
    fi
    end_case
}

# ---- What is not a whole conversion -----------------------------------------------------

case_results_not_whole() {
    begin_case "a result shorter than its source, a cut-off result, a source that grew, a non-video: nothing moves"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    make_video lib/b.mkv 1100000
    make_video lib/c.mkv 1100000
    keep_originals lib/a.mkv lib/b.mkv lib/c.mkv
    head -c 20000 -- "$sample_result" >"$case_dir/cut.mkv"
    local declared
    use_fake_result "$sample_result_short"
    expect_scan lib/a.mkv lib/b.mkv lib/c.mkv
    expect_encode_fails lib/a.mkv "the result lasts 1.1 s, the source 3.1 s$again"
    expect_encode_fails lib/b.mkv "the result lasts 1.1 s, the source 3.1 s$again"
    expect_encode_fails lib/c.mkv "the result lasts 1.1 s, the source 3.1 s$again"
    expect_run 2 "${encode_args[@]}" -retry
    use_fake_result "$case_dir/cut.mkv"
    run_brindle "${encode_args[@]}" -retry
    grep -qF "Not converted: $(native lib/a.mkv): the result is not a complete Matroska file" "$case_dir/out" ||
        fail "a cut-off result was not refused as such: $(show "$case_dir/out")"
    use_fake_result "$sample_result"
    fake_mode=grow
    expect_scan lib/a.mkv lib/b.mkv lib/c.mkv
    expect_encode_fails lib/a.mkv "the source changed while it was being encoded"
    expect_encode_fails lib/b.mkv "the source changed while it was being encoded"
    expect_encode_fails lib/c.mkv "the source changed while it was being encoded"
    expect_run 2 "${encode_args[@]}" -retry
    check_tree lib a.mkv b.mkv c.mkv
    check_working_dir brindle.lock
    # Every name is taken with -ext *, but only a video container reaches the encoder.
    fake_mode=
    rm -r lib
    head -c 1100000 /dev/urandom | { printf '\x89PNG\r\n\x1a\n'; cat; } >photo.png
    mkdir lib && mv photo.png lib/
    { printf 'RIFF\xff\xff\x10\x00WAVEfmt '; head -c 1100000 /dev/urandom; } >lib/song.wav
    head -c 1100000 /dev/zero | tr '\0' 'x' >lib/notes.txt
    keep_originals lib/photo.png lib/song.wav lib/notes.txt
    expect_scan lib/notes.txt lib/photo.png lib/song.wav
    expect_refused lib/notes.txt "it is not a video file"
    expect_refused lib/photo.png "it is not a video file (PNG image)"
    expect_refused lib/song.wav "it is not a video file (WAV audio)"
    expect_run 0 -days 3 -dir lib -ext '*' -docurrent
    check_log_calls 9
    check_untouched lib/photo.png lib/song.wav lib/notes.txt
    end_case
}

case_mp4_library() {
    begin_case "an MP4 library converted to HEVC in MP4 is found converted the next day"
    use_fake_encoder
    use_fake_result "$sample_result_mp4"
    make_video lib/a.mp4 1100000
    keep_originals lib/a.mp4
    printf 'ffmpeg -y -i %%1 -c:v libx265 -f mp4 %%2\n' >../mp4.cfg
    expect "Custom config file specified $(native ../mp4.cfg)"$'\n'
    expect_scan lib/a.mp4
    expect_conversion lib/a.mp4
    expect_run 0 -days 3 -dir lib -ext mp4 -docurrent -config "$(native ../mp4.cfg)"
    expect "$scan_only_line"
    expect_scan
    expect_run 0 -days 3 -dir lib -ext mp4 -docurrent -scanonly
    end_case
}

case_working_directory_inside_library() {
    begin_case "a working directory inside the library is refused, exit code 1"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    mkdir lib/work
    cd lib/work || return
    run_brindle -days 3 -dir .. -ext mkv -docurrent
    check_status 1
    grep -qF "lies inside the library folder" "$case_dir/out" ||
        fail "no line about the working directory: $(show "$case_dir/out")"
    cd ../.. || return
    check_log_calls 0
    check_untouched lib/a.mkv
    check_tree lib a.mkv work
    end_case
}

case_file_links() {
    begin_case "links to files are never taken and a .bak that is a link is refused: no file is lost"
    use_fake_encoder
    make_video lib/Show/ep.x264.mkv 1100000
    make_video "$case_dir/elsewhere/s.x264.mkv" 1100000
    make_video lib/d.mkv 1100000
    keep_originals lib/Show/ep.x264.mkv "$case_dir/elsewhere/s.x264.mkv" lib/d.mkv
    ln -s Show/ep.x264.mkv lib/Latest.x264.mkv
    ln -s "$case_dir/elsewhere/s.x264.mkv" lib/a.x264.mkv
    ln -s d.mkv lib/d.mkv.bak
    run_brindle "${encode_args[@]}"
    check_status 0
    grep -qF "Not converted: $(native lib/d.mkv): " "$case_dir/out" ||
        fail "no line refusing lib/d.mkv: $(show "$case_dir/out")"
    grep -qF "Latest" "$case_dir/out" && fail "the link Latest.x264.mkv was taken: $(show "$case_dir/out")"
    grep -qF "a.x264" "$case_dir/out" && fail "the link a.x264.mkv was taken: $(show "$case_dir/out")"
    check_untouched "$case_dir/elsewhere/s.x264.mkv" lib/d.mkv
    check_encoded lib/Show/ep.x264.mkv lib/Show/ep.x265.mkv
    [[ -L lib/Latest.x264.mkv && -L lib/a.x264.mkv && -L lib/d.mkv.bak ]] || fail "a link was changed"
    end_case
}

case_result_with_second_name() {
    begin_case "a result with a second name outside the library is refused and nothing installed"
    use_fake_encoder
    make_video lib/a.x264.mkv 1100000
    keep_originals lib/a.x264.mkv
    mkdir -p "$case_dir/outside"
    fake_mode=link
    case_env+=("BRINDLE_FAKE_OTHER=$(host_path "$case_dir/outside/owned.mkv")")
    run_brindle "${encode_args[@]}"
    fake_mode=
    check_status 2
    grep -qF "Not converted: $(native lib/a.x264.mkv): the result has more than one name, so it is not the encoder's own new file" \
        "$case_dir/out" || fail "no line refusing the result: $(show "$case_dir/out")"
    check_untouched lib/a.x264.mkv
    [[ -e lib/a.x265.mkv ]] && fail "the result was installed"
    [[ -f $case_dir/outside/owned.mkv ]] || fail "the outside file is gone"
    [[ -z $(find lib -name '.brindle-*') ]] || fail "a staged file was left: $(find lib -name '.brindle-*')"
    end_case
}

case_note_after_folder_swap() {
    begin_case "a folder swapped for a link during the encode: the failure note stays inside"
    use_fake_encoder
    make_video lib/Show/a.mkv 1100000
    # The working directory itself, outside the library, holds a file of the same name: only
    # the run's own names may change there.
    local outside=$case_dir/wd changed_before
    cp lib/Show/a.mkv "$outside/a.mkv"
    chmod 600 "$outside/a.mkv"
    changed_before=$(stat -c %Z "$outside/a.mkv")
    sleep 1.1  # a note would move the change time on by a whole second at least
    fake_mode=swap
    case_env+=("BRINDLE_FAKE_OTHER=$outside")
    if windows; then
        # Wine makes no links: the encoder moves the folder away and waits for this one.
        start_brindle "$case_dir/raw" "${encode_args[@]}"
        wait_until 600 test -d lib/Show.moved || fail "the encoder did not move the folder"
        ln -s "$outside" lib/Show
        wait_with_deadline 60 "$started_pid"
        status=$?
        normalise_output "$case_dir/raw" "$case_dir/out"
    else
        run_brindle "${encode_args[@]}"
    fi
    fake_mode=
    check_status 2
    grep -qF "Not converted: $(native lib/Show/a.mkv): the encoder failed with exit code 3" \
        "$case_dir/out" || fail "no line for the failed encode: $(show "$case_dir/out")"
    [[ -L lib/Show && -d lib/Show.moved ]] || fail "the encoder did not swap the folder"
    [[ $(stat -c %Z "$outside/a.mkv") == "$changed_before" ]] ||
        fail "the file outside the library was changed (a note landed on it)"
    # Wine keeps a file's stream as a file of its own beside it.
    [[ -e "$outside/a.mkv:brindle" ]] && fail "a note was made beside the file outside"
    end_case
}

case_killed_while_staging_across_volumes() {
    begin_case "a run killed while it copies its result across volumes leaves no file in the library"
    if ! command -v strace >/dev/null || [[ ! -d /dev/shm || ! -w /dev/shm ]]; then
        skip_case "needs strace and /dev/shm"
        return
    fi
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    local shm lib_dir pid
    shm=$(mktemp -d /dev/shm/brindle-e2e.XXXXXX)
    lib_dir=$case_dir/wd/lib
    if windows; then
        kill_while_staging_windows "$shm" "$lib_dir"
    else
        # The copy stalls for 20 s when it starts, long enough to be killed there.
        # Only the copy is stopped for the tracer: a sanitizer build under a full trace takes
        # longer to reach it than the case waits. The leak checker of such a build cannot run
        # under a tracer.
        (cd "$shm" && exec env "${case_env[@]}" ASAN_OPTIONS=detect_leaks=0 \
            strace -f --seccomp-bpf -o /dev/null \
            -e trace=copy_file_range -e inject=copy_file_range:delay_enter=20000000 \
            "$brindle" -days 3 -dir "$lib_dir" -ext mkv -docurrent \
            </dev/null >"$case_dir/raw" 2>"$case_dir/err") &
        pid=$!
        if ! wait_until 600 staging_started "$pid" "$lib_dir"; then
            fail "the copy across volumes was never seen: $(show "$case_dir/raw")"
        fi
        pkill -KILL -P "$pid" 2>/dev/null
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    [[ -z $(find "$lib_dir" -name '.brindle-*') ]] ||
        fail "a staged file was left: $(find "$lib_dir" -name '.brindle-*')"
    check_untouched lib/a.mkv
    rm -rf -- "$shm"
    end_case
}

# brindle.exe, working in SHM, copies its result into LIB and is killed once the copy is
# written and held at its flush, before the copy's deletion mark is cleared. The system deletes
# the copy when the killed process's handles close.
kill_while_staging_windows() {
    local shm=$1 lib_dir=$2 pid exe tracer staged=
    cp -- "$fake_encoder" "$shm/ffmpeg.exe"
    (cd "$shm" && exec env "${case_env[@]}" BRINDLE_FAKE_MODE=slow "${runner[@]}" "$brindle" \
        -days 3 -dir "$(host_path "$lib_dir")" -ext mkv -docurrent \
        </dev/null >"$case_dir/raw" 2>"$case_dir/err") &
    pid=$!
    wait_until 600 brindle_exe_in "$shm" >/dev/null || fail "brindle.exe was never seen"
    exe=$(brindle_exe_in "$shm")
    # While the encoder sleeps: every flush of brindle.exe is held for 20 s.
    strace -f -p "$exe" -o /dev/null -e trace=fsync,fdatasync \
        -e inject=fsync,fdatasync:delay_enter=20000000 2>/dev/null &
    tracer=$!
    if wait_until 900 eval '[[ -n $(find "$lib_dir" -name ".brindle-*" -size +0) ]]'; then
        staged=$(find "$lib_dir" -name '.brindle-*')
        sleep 1  # the whole copy is written before its flush
        kill -KILL "$exe"
    else
        fail "the copy across volumes was never seen: $(show "$case_dir/raw")"
        kill -KILL "$exe" 2>/dev/null
    fi
    kill "$tracer" 2>/dev/null
    wait "$tracer" "$pid" 2>/dev/null
    [[ -n $staged ]] && ! wait_until 100 eval '[[ ! -e $staged ]]' &&
        fail "the staged copy was not deleted with the killed process"
}

# The process id of the brindle.exe that works in DIR (Wine starts it apart from its caller).
brindle_exe_in() {
    local exe
    for exe in $(pgrep -x brindle.exe); do
        [[ $(readlink "/proc/$exe/cwd") == "$1" ]] && echo "$exe" && return 0
    done
    return 1
}

case_unwritable_library_folder() {
    begin_case "a library folder the run cannot write to is found before the encoder starts"
    permissions_apply || return
    use_fake_encoder
    make_video lib/locked/a.mkv 1100000
    keep_originals lib/locked/a.mkv
    chmod 777 .
    chmod 555 lib/locked
    run_brindle "${encode_args[@]}"
    chmod 755 . lib/locked
    check_status 2
    grep -qxF "Not converted: $(native lib/locked/a.mkv): its folder cannot be written: Permission denied" \
        "$case_dir/out" || fail "no line refusing the folder: $(show "$case_dir/out")"
    check_log_calls 0
    check_untouched lib/locked/a.mkv
    check_tree lib/locked a.mkv
    end_case
}

case_longest_paths_convert() {
    begin_case "a source path of 255 characters converts: its .bak and staged paths are longer"
    use_fake_encoder
    local folder name
    folder=$(printf 'f%.0s' {1..200})
    # lib/ + folder + / + name: 255 characters.
    name=$(printf 'n%.0s' {1..46}).mkv
    make_video "lib/$folder/$name" 1100000
    keep_originals "lib/$folder/$name"
    expect_scan "lib/$folder/$name"
    expect_conversion "lib/$folder/$name"
    expect_run 0 "${encode_args[@]}"
    check_encoded "lib/$folder/$name" "lib/$folder/$name"
    check_tree "lib/$folder" "$name"
    end_case
}

case_dir_in_long_form() {
    begin_case "-dir written \\\\?\\...\\ with its trailing backslash scans and converts like the plain form"
    if ! windows; then
        skip_case "a Windows path form"
        return
    fi
    use_fake_encoder
    make_video lib/a.mkv 1100000
    make_video lib/Show/b.mkv 1100000
    local dir plain
    plain='\\?\'$(host_path "$case_dir/wd/lib")
    dir=$plain'\'
    expect "$scan_only_line"
    expect "Scan found 2 files"$'\n'"Found: $plain\\a.mkv"$'\n'"Found: $plain\\Show\\b.mkv"$'\n'
    expect_run 0 -days 3 -dir "$dir" -ext mkv -scanonly -docurrent
    run_brindle -days 3 -dir "$dir" -ext mkv -docurrent
    check_status 0
    [[ $(grep -cF "Converted: $plain\\" "$case_dir/out") == 2 ]] ||
        fail "not both files converted: $(show "$case_dir/out")"
    end_case
}

case_abandoned_staged_files() {
    begin_case "a run removes the staged files of gone runs on its own host, never another host's"
    use_fake_encoder
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    local host
    host=$(uname -n)
    # Process ids never reach 99999999, and the test's own shell started long after second 1.
    printf 'partial' >"lib/.brindle-$host-99999999-1700000000.part"
    printf 'partial' >"lib/.brindle-$host-$$-1.part"
    printf 'partial' >"lib/.brindle-elsewhere-99999999-1700000000.part"
    expect_scan lib/a.mkv
    expect_conversion lib/a.mkv
    expect_run 0 "${encode_args[@]}"
    check_encoded lib/a.mkv lib/a.mkv
    check_tree lib .brindle-elsewhere-99999999-1700000000.part a.mkv
    end_case
}

# Whether the child of PID holds a staged file in FOLDER open, named or not: the copy of its
# result has begun.
staging_started() {
    local child
    child=$(pgrep -P "$1" | head -n 1)
    [[ -n $child ]] && ls -l "/proc/$child/fd" 2>/dev/null | grep -qF -e "$2/#" -e "$2/.brindle-"
}

case_dry_run_refusals() {
    begin_case "scan-only names each file the encode run would refuse, and why, and changes nothing"
    use_fake_encoder
    fake_mode=fail
    make_video lib/e.mkv 1100000
    local failed='the encoder failed with exit code 3'
    run_brindle "${encode_args[@]}"
    backdate_note lib/e.mkv
    run_brindle "${encode_args[@]}"
    check_status 2
    if [[ $(note_of lib/e.mkv) != brindle-failed-2\ * ]]; then
        skip_case "this file system keeps no notes"
        return
    fi
    fake_mode=
    make_video lib/a.mkv 1100000
    head -c 1100000 /dev/urandom >lib/b.mkv
    make_video lib/d.x264.mkv 1100000
    printf 'taken\n' >lib/d.x265.mkv
    rm -f brindle.lock
    expect "$scan_only_line"
    expect_scan lib/a.mkv lib/b.mkv lib/d.x264.mkv lib/e.mkv
    expect "Would not convert: $(native lib/b.mkv): it is not a video file"$'\n'
    expect "Would not convert: $(native lib/d.x264.mkv): $(native lib/d.x265.mkv) already exists"$'\n'
    expect "Would not convert: $(native lib/e.mkv): it failed on $(date +%F) ($failed) and has not changed since; -retry tries it again"$'\n'
    expect_run 0 "${encode_args[@]}" -scanonly
    check_log_calls 2
    [[ -z $(note_of lib/b.mkv) ]] || fail "scan-only left a note on lib/b.mkv"
    check_working_dir
    end_case
}

case_hevc_transport_streams() {
    begin_case "HEVC in MPEG-TS and M2TS is left out; H.264 in them is listed"
    mkdir -p lib
    local kind
    for kind in ts:mpegts m2ts:mpegts; do
        ffmpeg -nostdin -v error -i "$sample_result" -c copy -f "${kind#*:}" \
            $([[ ${kind%:*} == m2ts ]] && printf -- '-mpegts_m2ts_mode 1') "lib/hevc.${kind%:*}" &&
            ffmpeg -nostdin -v error -i "$sample_source_mkv" -c copy -f "${kind#*:}" \
                $([[ ${kind%:*} == m2ts ]] && printf -- '-mpegts_m2ts_mode 1') "lib/h264.${kind%:*}" ||
            fail "ffmpeg could not make the ${kind%:*} files"
        # Over the 1 MiB the scan asks for, with a tail that is no unfinished download's.
        head -c 1100000 /dev/urandom >>"lib/hevc.${kind%:*}"
        head -c 1100000 /dev/urandom >>"lib/h264.${kind%:*}"
    done
    expect "$scan_only_line"
    expect_scan lib/h264.m2ts lib/h264.ts
    expect_run 0 -days 3 -dir lib -ext '*' -scanonly -docurrent
    end_case
}

# ---- Run -------------------------------------------------------------------------------------

samples_started=$EPOCHREALTIME
if ! command -v ffmpeg >/dev/null || ! command -v ffprobe >/dev/null; then
    sample_faults="ffmpeg and ffprobe are needed to make the samples"
elif ! make_samples 2>"$root/samples-err"; then
    sample_faults="ffmpeg could not make the samples: $(head -c 600 "$root/samples-err")"
else
    samples_made=$EPOCHREALTIME
    sample_faults=$(check_samples)
    awk -v a="$samples_started" -v b="$samples_made" -v c="$EPOCHREALTIME" \
        'BEGIN { printf "E2E: samples made in %.2f s, checked in %.2f s\n", b - a, c - b }'
fi
if [[ -n $sample_faults ]]; then
    echo "E2E: the samples are not usable:"$'\n'"$sample_faults"
    echo "E2E: 0 passed, 1 failed"
    exit 1
fi

# ---- What a result keeps and what follows it ---------------------------------------------------

case_larger_result_refused() {
    begin_case "a result not smaller than its source is refused and noted; the source stays"
    use_fake_encoder
    { cat -- "$sample_result" && head -c 1500000 /dev/urandom; } >"$case_dir/large-result.mkv"
    use_fake_result "$case_dir/large-result.mkv"
    make_video lib/a.x264.mkv 1100000
    keep_originals lib/a.x264.mkv
    expect_scan lib/a.x264.mkv
    local after
    after=$(stat -c %s -- "$case_dir/large-result.mkv")
    expect_converting lib/a.x264.mkv
    expect_not_converted lib/a.x264.mkv \
        "the result ($(size_text "$after")) is not smaller than the source ($(size_text 1100000))"
    expect_run 2 "${encode_args[@]}"
    check_untouched lib/a.x264.mkv
    check_tree lib a.x264.mkv
    end_case
}

case_sidecars_follow() {
    begin_case "sidecars take the video's new name; a taken name, a video, its own sidecar and a folder are left alone"
    use_fake_encoder
    make_video lib/Film.x264.mp4 1100000
    make_video lib/Film.x264-sample.avi 1100000
    mkdir -p lib/Film.x264.extras
    local name
    for name in Film.x264.en.srt Film.x264.nfo Film.x264-poster.jpg Film.x264.fr.srt \
        Film.x265.fr.srt Film.x2640.txt Film.x264-sample.srt; do
        printf '%s\n' "$name" >"lib/$name"
    done
    keep_originals lib/Film.x264.mp4
    expect_scan lib/Film.x264.mp4
    expect_converting lib/Film.x264.mp4
    local before after
    before=$(stat -c %s -- "$(original_of lib/Film.x264.mp4)")
    after=$(stat -c %s -- "$fake_result")
    expect "Converted: $(native lib/Film.x264.mp4) -> $(native lib/Film.x265.mkv)"
    expect " ($(size_text "$before") -> $(size_text "$after"), $(change_text "$before" "$after"), H:MM:SS)"
    expect "; the sidecar Film.x264.fr.srt keeps its name: Film.x265.fr.srt already exists"$'\n'
    tally_converted=$((tally_converted + 1))
    tally_before=$((tally_before + before)) tally_after=$((tally_after + after))
    expect_run 0 -days 3 -dir lib -ext mp4 -docurrent
    check_encoded lib/Film.x264.mp4 lib/Film.x265.mkv
    check_tree lib Film.x265.mkv Film.x264-sample.avi Film.x264.extras Film.x265.en.srt \
        Film.x265.nfo Film.x265-poster.jpg Film.x264.fr.srt Film.x265.fr.srt Film.x2640.txt \
        Film.x264-sample.srt
    end_case
}

case_real_ffmpeg_keeps_tracks() {
    begin_case "the real ffmpeg keeps two ASS tracks and a font, and makes an MP4's mov_text SRT in .mkv"
    if windows || ! command -v mkvmerge >/dev/null; then
        skip_case "the real ffmpeg and mkvmerge run with the native build"
        return
    fi
    mkdir lib
    # Lossless noise: over the 1 MiB the scan asks for, and larger than its HEVC result.
    ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=440 -t 2 \
        -vf noise=alls=30:allf=t -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -c:a aac \
        "$case_dir/av.mkv" 2>"$case_dir/ffmpeg-err"
    printf '[Script Info]\nScriptType: v4.00+\n\n[Events]\nFormat: Layer, Start, End, Style, Text\n%s\n' \
        'Dialogue: 0,0:00:00.00,0:00:01.00,Default,Hello' >"$case_dir/a.ass"
    printf '1\n00:00:00,000 --> 00:00:01,000\nHello\n' >"$case_dir/a.srt"
    head -c 4000 /dev/urandom >"$case_dir/font.ttf"
    mkvmerge -q -o lib/styled.mkv "$case_dir/av.mkv" --language 0:eng "$case_dir/a.ass" \
        --language 0:fre "$case_dir/a.ass" --attachment-mime-type font/ttf \
        --attach-file "$case_dir/font.ttf" >>"$case_dir/ffmpeg-err" 2>&1
    ffmpeg -nostdin -v error -i "$case_dir/av.mkv" -i "$case_dir/a.srt" -map 0 -map 1 -c copy \
        -c:s mov_text lib/phone.mp4 2>>"$case_dir/ffmpeg-err"
    local ext line
    for ext in mkv mp4; do
        run_brindle -days 3 -dir lib -ext "$ext" -docurrent
        check_status 0
        for line in 'Converted: lib/phone.mp4 -> lib/phone.mkv (' 'Converted: lib/styled.mkv ('; do
            [[ ${line:16:16} == *.$ext* ]] || continue
            grep -qF -- "$line" "$case_dir/out" || fail "no line [$line] in: $(show "$case_dir/out")"
        done
    done
    local kinds
    kinds=$(ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 lib/styled.mkv |
        tr '\n' ' ')
    [[ $kinds == "hevc,video aac,audio ass,subtitle ass,subtitle ttf,attachment " ||
        $kinds == "hevc,video aac,audio ass,subtitle ass,subtitle unknown,attachment " ]] ||
        fail "lib/styled.mkv holds [$kinds]"
    kinds=$(ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 lib/phone.mkv |
        tr '\n' ' ')
    [[ $kinds == "hevc,video aac,audio subrip,subtitle " ]] || fail "lib/phone.mkv holds [$kinds]"
    check_tree lib phone.mkv styled.mkv
    end_case
}

# BRINDLE_E2E_ONLY=PATTERN runs only the cases whose function name matches the pattern.
# ---- Stopping a stubborn encoder, an encoder left behind, and the encoder's captured output -

# Waits at most SECONDS for the background brindle PID; answers its exit code, or fails the case
# and kills it when it is still running then, so that a hang costs seconds, not ctest's limit.
wait_with_deadline() {
    local seconds=$1 pid=$2
    if ! wait_until $((seconds * 10)) eval '! kill -0 "$pid" 2>/dev/null'; then
        fail "brindle was still running $seconds s after the stop"
        kill -KILL "$pid" $(descendants "$pid") 2>/dev/null
    fi
    wait "$pid"
}

# Begins a case on POSIX signals: one source, and the fake encoder that hangs halfway. Answers
# false, the case skipped, on Windows.
begin_hanging_encode() {
    begin_case "$1"
    if windows; then
        skip_case "POSIX signals"
        return 1
    fi
    use_fake_encoder
    fake_mode=hang
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
}

# The rest of the output of a run on lib/a.mkv stopped by SIGNAL, STOPS times (1 or 2), whose
# encoder did not stop: killed 10 s after the first stop, or at once at the second. Checks that
# the run's end came TOOK seconds after the first stop, as it should.
expect_stop_kill() {
    local signal=$1 stops=$2 took=$3 stopped
    if ((stops == 2)); then
        ((took <= 5)) || fail "the second stop took $took s to end the run"
        stopped="the encoder was killed at the second stop"
    else
        ((took >= 9)) || fail "the encoder was killed after $took s, not 10"
        stopped="the encoder did not stop within 10 s and was killed"
    fi
    expect_scan lib/a.mkv
    expect_converting lib/a.mkv
    expect "Stopped by signal $signal; $(native lib/a.mkv) was not converted; $stopped"$'\n'
    expect "Finished DATE HH:MM: 0 converted, 0 not converted; 0 bytes before, 0 bytes after; H:MM:SS"$'\n'
}

# Sends FIRST to TARGET, and with STOPS=2 SECOND a second later, then waits up to 15 s for the
# run WAITED to end: sets status, and took, the seconds from the first stop to the end.
stop_run() {
    local target=$1 stops=$2 waited=$3 first=$4 second=$5 started_at=$SECONDS
    kill "-$first" "$target"
    ((stops == 2)) && sleep 1 && kill "-$second" "$target"
    wait_with_deadline 15 "$waited"
    status=$?
    took=$((SECONDS - started_at))
}

case_encoder_ignores_stop() {
    begin_hanging_encode "an encoder that ignores SIGTERM: killed 10 s after the stop, or at once at a second stop" || return
    # The encoder inherits the ignored SIGTERM and sleeps on after writing half its output.
    printf "trap '' TERM; ffmpeg -y -i %%1 %%2\n" >../stubborn.cfg
    local config here took stops
    config=$(native ../stubborn.cfg)
    here=$(pwd -P)
    for stops in 1 2; do
        rm -f tempenc.mkv
        start_brindle "$case_dir/raw" "${encode_args[@]}" -config "$config"
        wait_until 100 test -s tempenc.mkv || fail "the encoder never started"
        # SIGTERM, then SIGINT as the second stop.
        stop_run "$started_pid" "$stops" "$started_pid" TERM INT
        run_label="stopped $stops times"
        check_status 143
        normalise_output "$case_dir/raw" "$case_dir/out"
        expect_reset
        expect "Custom config file specified $config"$'\n'
        expect_stop_kill 15 "$stops" "$took"
        check_output
        check_nothing_runs_in "$here"
    done
    run_label=
    check_untouched lib/a.mkv
    check_tree lib a.mkv
    check_working_dir brindle.lock
    end_case
}

case_encoder_ignores_ctrl_c() {
    begin_case "brindle.exe stopped while its encoder goes on: the job ends 10 s after Ctrl+C, or at a second one"
    if ! windows; then
        skip_case "Windows console events"
        return
    fi
    use_fake_encoder
    fake_mode=hang
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    local here took stops
    here=$(pwd -P)
    for stops in 1 2; do
        rm -f tempenc.mkv
        start_brindle "$case_dir/raw" "${encode_args[@]}"
        wait_until 150 test -s tempenc.mkv || fail "the encoder never started"
        # Wine gives brindle.exe alone a Ctrl+C for SIGINT: its encoder sees no event, as one
        # that ignores it would not stop.
        stop_run "$(brindle_exe_in "$here")" "$stops" "$started_pid" INT INT
        run_label="stopped with $stops Ctrl+C"
        check_status 130
        normalise_output "$case_dir/raw" "$case_dir/out"
        expect_reset
        expect_stop_kill 2 "$stops" "$took"
        check_output
        check_nothing_runs_in "$here"
    done
    run_label=
    check_untouched lib/a.mkv
    check_tree lib a.mkv
    end_case
}

# Kills brindle PID and its guardian GUARDIAN at one moment, as far as either can tell: each ends
# the encoder on seeing the other gone, and two kills one after the other leave time for that. So
# both are stopped first. The guardian dies first: brindle's death would leave the stopped
# guardian in an orphaned process group, which the system wakes with SIGCONT.
kill_with_guardian() {
    local pid=$1 guardian=$2
    kill -STOP "$pid" "$guardian"
    wait_until 50 is_stopped "$pid" || fail "brindle did not stop"
    wait_until 50 is_stopped "$guardian" || fail "the guardian did not stop"
    kill -KILL "$guardian"
    kill -KILL "$pid"
}

is_stopped() {
    local stat
    read -r stat <"/proc/$1/stat" 2>/dev/null || return 1
    [[ ${stat##*) } == [Tt]* ]]
}

case_encoder_left_behind() {
    begin_hanging_encode "brindle and its guardian killed together: the next run finds their encoder and starts none" || return
    start_brindle "$case_dir/raw1" "${encode_args[@]}"
    local pid=$started_pid guardian left here
    here=$(pwd -P)
    wait_until 100 test -s tempenc.mkv || fail "the encoder never started"
    guardian=$(pgrep -P "$pid" | head -n 1)
    left=$(descendants "$guardian")
    kill_with_guardian "$pid" "$guardian"
    wait "$pid" 2>/dev/null
    fake_mode=
    expect $'An encoder of an earlier run is still running in this working directory; this run does nothing.\n'
    expect_run 0 "${encode_args[@]}"
    check_log_calls 1
    # Once the left encoder is gone, a run works again.
    [[ -n $left ]] && kill -KILL $left 2>/dev/null
    check_nothing_runs_in "$here"
    rm -f tempenc.mkv
    expect_reset
    expect_scan lib/a.mkv
    expect_conversion lib/a.mkv
    expect_run 0 "${encode_args[@]}"
    check_encoded lib/a.mkv lib/a.mkv
    check_working_dir brindle.lock
    end_case
}

case_encoder_output_captured() {
    begin_case "output to a file: a failed encoder's last 20 lines follow its outcome, progress folded"
    use_fake_encoder
    fake_mode=noisy
    make_video lib/a.mkv 1100000
    keep_originals lib/a.mkv
    expect_scan lib/a.mkv
    expect_converting lib/a.mkv
    expect_not_converted lib/a.mkv "the encoder failed with exit code 3; it will be tried again on the next run"
    local i
    for i in $(seq 91 100); do
        ((i > 91)) && expect $'\t'"progress $i/2"$'\n'
        expect $'\t'"line $i"$'\n'
    done
    expect $'\tgiving up\n'
    expect_run 2 "${encode_args[@]}"
    check_untouched lib/a.mkv
    check_working_dir brindle.lock
    end_case
}

run_case() {
    [[ -z ${BRINDLE_E2E_ONLY-} || $1 == *${BRINDLE_E2E_ONLY}* ]] && "$1"
}

run_case case_usage
run_case case_missing_options
run_case case_long_values
run_case case_message_order
run_case case_walk_order
run_case case_long_paths
run_case case_minsize
run_case case_ext_patterns
run_case case_age_window
run_case case_hevc_signature
run_case case_names_printed
run_case case_unreadable_directory
run_case case_link_cycle
run_case case_default_template
run_case case_config_template
run_case case_template_faults
run_case case_encoder_fails
run_case case_no_output
run_case case_missing_target_directory
run_case case_existing_backup
run_case case_target_names_taken
run_case case_result_keeps_permissions
if windows; then
    run_case case_odd_names_windows
    run_case case_cmd_copy_template
    run_case case_quoted_encoder_path
    run_case case_no_encoder_found
else
    run_case case_odd_names_posix
    run_case case_no_encoder_found
fi
run_case case_concurrent_runs
run_case case_killed_run
run_case case_killed_during_install
run_case case_newer_file_moved_in_during_install
run_case case_unwritable_working_dir
run_case case_stopped_by_signal
run_case case_parent_ignores_sigchld
run_case case_ended_windows
run_case case_real_ffmpeg
run_case case_unlistable_library
run_case case_control_characters_printed
run_case case_link_out_of_library
run_case case_links_inside_library
run_case case_link_sorting_first

run_case case_mistyped_options
run_case case_shards
run_case case_until
run_case case_priority
run_case case_remembered_failures
run_case case_results_not_whole
run_case case_mp4_library
run_case case_working_directory_inside_library
run_case case_file_links
run_case case_encoder_ignores_stop
run_case case_encoder_ignores_ctrl_c
run_case case_encoder_left_behind
run_case case_encoder_output_captured
run_case case_larger_result_refused
run_case case_sidecars_follow
run_case case_real_ffmpeg_keeps_tracks
run_case case_result_with_second_name
run_case case_note_after_folder_swap
run_case case_killed_while_staging_across_volumes
run_case case_unwritable_library_folder
run_case case_longest_paths_convert
run_case case_dir_in_long_form
run_case case_abandoned_staged_files
run_case case_dry_run_refusals
run_case case_hevc_transport_streams

echo "E2E ($platform) took $((SECONDS - started)) s"
echo "E2E: $passed passed, $failed failed"
((failed == 0))
