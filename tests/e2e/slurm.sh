#!/usr/bin/env bash
# The README's Slurm recipe, run for real: starts a one-node Slurm on this host (munged, slurmctld
# and slurmd, their keys, state and logs under one temporary folder), submits brindle.sbatch as
# the README writes it, with its paths changed and 3 shards instead of 64, over one library, and
# checks that every file was converted exactly once and that each task's log speaks of its own
# shard only. A fake encoder stands in for ffmpeg, as in run.sh.
#
#   slurm.sh --brindle PROGRAM --fake-encoder PROGRAM --readme README.md
#
# Needs root, Debian's slurmctld, slurmd, slurm-client and munge, libfaketime, and ffmpeg for the
# samples. Where Slurm cannot be started it says why and exits with 77, which ctest counts as
# skipped.

set -u
umask 022

brindle=
fake_encoder=
readme=
while (($# > 0)); do
    case $1 in
    --brindle) brindle=${2-} ;;
    --fake-encoder) fake_encoder=${2-} ;;
    --readme) readme=${2-} ;;
    *)
        echo "slurm.sh: unknown argument $1" >&2
        exit 2
        ;;
    esac
    shift 2 || shift
done
if [[ ! -f $brindle || ! -f $fake_encoder || ! -f $readme ]]; then
    echo "usage: slurm.sh --brindle PROGRAM --fake-encoder PROGRAM --readme README.md" >&2
    exit 2
fi
brindle=$(realpath -- "$brindle")
fake_encoder=$(realpath -- "$fake_encoder")

skip() {
    echo "SKIP Slurm recipe: $1"
    exit 77
}
((EUID == 0)) || skip "Slurm's daemons must be started as root"
for tool in munged slurmctld slurmd sbatch squeue sinfo scontrol scancel setpriv ffmpeg; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
getent passwd munge >/dev/null || skip "there is no munge user"
# The recipe takes files of the last three days but not of the last two, by their creation time,
# which no tool sets: the tasks' clock runs 60 hours ahead instead.
faketime_library=$(compgen -G '/usr/lib/*/faketime/libfaketime.so.1' | head -n 1)
[[ -n $faketime_library ]] || skip "libfaketime is not installed"
# A sanitizer build's runtime wants to be loaded first; the order matters nothing here.
late_clock=(LD_PRELOAD="$faketime_library" FAKETIME=+60h
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")

started=$SECONDS
# Each process that loads the library on its own leaves a shared-memory pair named by its process
# id; the cleanup removes those that appeared during the case, once their process has ended, so a
# later faketime never meets a stale name and refuses to start.
faketime_shm_before=$(ls /dev/shm)
root=$(mktemp -d "${TMPDIR:-/tmp}/brindle-slurm.XXXXXX") || exit 2
chmod 755 "$root"
daemons=()
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    cd / || return
    # Jobs first: slurmd stops without ending the tasks it started.
    if [[ -n ${job_id-} && -n $(squeue -h -j "$job_id" 2>/dev/null) ]]; then
        scancel --full "$job_id"
        for _ in $(seq 25); do
            [[ -z $(squeue -h -j "$job_id" 2>/dev/null) ]] && break
            sleep 0.2
        done
    fi
    local pid
    for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${daemons[@]}"; do wait "$pid" 2>/dev/null; done
    local entry
    for entry in /dev/shm/faketime_shm_* /dev/shm/sem.faketime_sem_*; do
        [[ -e $entry ]] && ! grep -qxF "${entry#/dev/shm/}" <<<"$faketime_shm_before" &&
            ! kill -0 "${entry##*_}" 2>/dev/null && rm -f -- "$entry"
    done
    if [[ -n ${BRINDLE_E2E_KEEP-} ]]; then
        echo "The case's folder stays in $root"
    else
        rm -rf -- "$root"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

# Prints the last lines of the daemons' logs, then skips: Slurm did not come up on this host.
daemon_failed() {
    tail -n 5 -- "$root"/log/* "$root/munge/munged.log" >&2 2>/dev/null
    skip "$1"
}

# A free TCP port between 20000 and 29999.
free_port() {
    local port
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        port=$((20000 + RANDOM % 10000))
        [[ -z $(ss -Hltn "sport = :$port" 2>/dev/null) ]] && echo "$port" && return
    done
    echo $((20000 + RANDOM % 10000))
}

# ---- A one-node Slurm ------------------------------------------------------------------------

mkdir -p "$root/munge" "$root/state" "$root/spool" "$root/log"
dd if=/dev/urandom of="$root/munge/munge.key" bs=1024 count=1 status=none
chown -R munge:munge "$root/munge"
chmod 600 "$root/munge/munge.key"
chmod 711 "$root/munge"  # every client reaches the socket in it
socket=$root/munge/munge.socket.2
setpriv --reuid=munge --regid=munge --init-groups munged --foreground --socket="$socket" \
    --key-file="$root/munge/munge.key" --pid-file="$root/munge/munged.pid" \
    --seed-file="$root/munge/munged.seed" --log-file="$root/munge/munged.log" \
    >"$root/log/munged.out" 2>&1 &
daemons+=($!)

host=$(hostname -s)
# The recipe asks 8 CPUs for each task: the node claims what three tasks at once need, whatever
# this machine has.
cat >"$root/slurm.conf" <<EOF
ClusterName=brindle
SlurmctldHost=$host
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
MpiDefault=none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
StateSaveLocation=$root/state
SlurmdSpoolDir=$root/spool
SlurmctldPidFile=$root/slurmctld.pid
SlurmdPidFile=$root/slurmd.pid
SlurmctldLogFile=$root/log/slurmctld.log
SlurmdLogFile=$root/log/slurmd.log
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
ReturnToService=2
NodeName=$host CPUs=24 State=UNKNOWN
PartitionName=brindle Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$root/slurm.conf

for _ in $(seq 50); do [[ -S $socket ]] && break; sleep 0.1; done
[[ -S $socket ]] || daemon_failed "munged did not start"
slurmctld -D -i >"$root/log/slurmctld.out" 2>&1 &
daemons+=($!)
slurmd -D >"$root/log/slurmd.out" 2>&1 &
daemons+=($!)
for _ in $(seq 100); do
    [[ $(sinfo -h -o %T 2>/dev/null) == idle ]] && break
    sleep 0.2
done
[[ $(sinfo -h -o %T 2>/dev/null) == idle ]] || daemon_failed "the node did not come up"
echo "Slurm is up after $((SECONDS - started)) s"

# ---- The library -----------------------------------------------------------------------------

# A real H.264 source and the HEVC file the fake encoder writes, its title the placeholder the fake
# encoder fills in with its input's path.
lavfi=(-f lavfi -i testsrc2=size=64x64:rate=10 -f lavfi -i sine=frequency=440:sample_rate=8000)
placeholder=fake-encoder-source:$(printf '.%.0s' $(seq 108))
mkdir -p "$root/samples" "$root/bin" "$root/tmp"
ffmpeg -nostdin -v error "${lavfi[@]}" -t 3 -map 0:v -map 1:a -c:a aac -b:a 16k -c:v libx264 \
    -preset ultrafast -pix_fmt yuv420p "$root/samples/source.mkv" &&
    ffmpeg -nostdin -v error "${lavfi[@]}" -t 3 -map 0:v -map 1:a -c:a aac -b:a 16k -c:v libx265 \
        -preset ultrafast -x265-params log-level=error -metadata "title=$placeholder" \
        "$root/samples/result.mkv" || exit 2
ln -s "$fake_encoder" "$root/bin/ffmpeg"

library=$root/library
files=()
for name in "Show One/Season 1/Show One - S01E0"{1..5}.mkv \
    "Show Two/Season 2/Show Two - S02E1"{0..4}.mkv \
    "Films/Night Road (1987)/Night Road (1987).mkv" \
    "Films/Dark River (2003)/Dark River (2003).mkv"; do
    mkdir -p "$library/$(dirname -- "$name")"
    # Over 1 MiB, the smallest size taken, and ending in data as a whole download does.
    { cat "$root/samples/source.mkv" && head -c 1100000 /dev/urandom; } >"$library/$name"
    files+=("$library/$name")
done

# What each shard holds, as brindle's own dry run lists it: the task given K must take exactly
# these, and the three lists must share out the library.
declare -A shard_of_file=()
for k in 1 2 3; do
    (cd "$root/tmp" &&
        env "${late_clock[@]}" "$brindle" -days 3 -dir "$library" -ext mkv -scanonly \
            -shard "$k/3") |
        sed -n 's/^Found: //p' >"$root/shard-$k"
    if [[ ! -s $root/shard-$k ]]; then
        echo "FAIL Slurm recipe: shard $k/3 of the library is empty"
        exit 1
    fi
    while IFS= read -r path; do shard_of_file[$path]+=$k; done <"$root/shard-$k"
done

# ---- The recipe, as the README writes it -----------------------------------------------------

recipe=$(awk '/^#### Slurm: a job array/ { found = 1 }
              found && /^```/ { if (inside) exit; inside = 1; next }
              inside' "$readme")
[[ $recipe == *'--array=1-64'* && $recipe == *'/64"'* && $recipe == *'/usr/bin/brindle '* &&
    $recipe == *' -dir /shared/media/tv '* ]] ||
    { echo "FAIL Slurm recipe: the README's brindle.sbatch is not what this test expects"; exit 1; }
recipe=${recipe//\/usr\/bin\/brindle/$brindle}
recipe=${recipe//\/shared\/media\/tv/$library}
recipe=$(sed -E 's/\b64\b/3/g' <<<"$recipe")
mkdir "$root/submit"
printf '%s\n' "$recipe" >"$root/submit/brindle.sbatch"

# The recipe runs its tasks between 01:00 and 06:00: the tasks get a time zone in which their
# clock shows 02:00. A task's environment is the submitter's; the late clock is the tasks' alone,
# since Slurm's own credentials must carry the true time.
offset=$((10#$(date -u -d '+60 hours' +%H) - 2))
job_id=$(cd "$root/submit" &&
    env TZ="SLURM$offset" TMPDIR="$root/tmp" PATH="$root/bin:$PATH" \
        BRINDLE_FAKE_RESULT="$root/samples/result.mkv" BRINDLE_FAKE_LOG="$root/encoder.log" \
        sbatch --parsable --export="ALL,$(IFS=,; echo "${late_clock[*]}")" brindle.sbatch 2>&1) ||
    { echo "FAIL Slurm recipe: sbatch: $job_id"; exit 1; }
for _ in $(seq 150); do
    [[ -z $(squeue -h -j "$job_id" 2>/dev/null) ]] && break
    sleep 0.2
done

# ---- Checks ----------------------------------------------------------------------------------

failures=()
fail() { failures+=("$1"); }
[[ -z $(squeue -h -j "$job_id" 2>/dev/null) ]] || fail "the job did not end within 30 s"
job_states=$(scontrol -o show job "$job_id" 2>/dev/null |
    sed -E 's/.*ArrayTaskId=([0-9]+).* JobState=([A-Z]+).* ExitCode=([0-9:]+).*/\1 \2 \3/' | sort)
[[ $job_states == $'1 COMPLETED 0:0\n2 COMPLETED 0:0\n3 COMPLETED 0:0' ]] ||
    fail "the tasks did not all complete: ${job_states//$'\n'/; }"

# The encoder ran once on each file, and each file is now its own result (whose title holds the
# first 108 bytes of its source's path).
inputs=$(grep -A1 -x -- -i "$root/encoder.log" 2>/dev/null | grep -v -x -e -i -e -- | sort)
expected_inputs=$(printf '%s\n' "${files[@]}" | sort)
[[ $inputs == "$expected_inputs" ]] || fail "the encoder's inputs were [${inputs//$'\n'/, }]"
for file in "${files[@]}"; do
    grep -qaF "fake-encoder-source:${file:0:108}" "$file" || fail "$file is not its own result"
    [[ ${#shard_of_file[$file]} == 1 ]] || fail "$file stands in shards [${shard_of_file[$file]-}]"
done

# Each task's log names the files of its own shard, and all of them as converted.
for k in 1 2 3; do
    log=$root/submit/brindle-$k.log
    [[ -f $log ]] || { fail "task $k wrote no log"; continue; }
    while IFS= read -r line; do
        [[ $line == *"$library/"* ]] || continue
        matched=0
        for file in "${files[@]}"; do
            [[ $line == *"$file"* ]] || continue
            matched=1
            [[ ${shard_of_file[$file]} == "$k" ]] ||
                fail "task $k's log names shard ${shard_of_file[$file]}'s $file"
        done
        ((matched)) || fail "task $k's log has a line naming no file: $line"
    done <"$log"
    while IFS= read -r file; do
        grep -qxF "Found: $file" "$log" || fail "task $k's log does not list $file"
        grep -qF "Converted: $file (" "$log" || fail "task $k's log does not say it converted $file"
    done <"$root/shard-$k"
done

if ((${#failures[@]} == 0)); then
    echo "PASS Slurm recipe: 3 tasks, ${#files[@]} files, $((SECONDS - started)) s"
    exit 0
fi
echo "FAIL Slurm recipe"
printf '       %s\n' "${failures[@]}" | awk '!seen[$0]++'
for log in "$root"/submit/brindle-*.log; do
    [[ -f $log ]] && sed "s|^|       ${log##*/}: |" "$log"
done
exit 1
