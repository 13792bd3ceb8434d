#!/usr/bin/env bash
# Runs every test of Brindle, as CI does: installs what is missing, then builds and tests three
# ways: natively (build/), natively with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/), and for Windows with MinGW-w64, the tests running under Wine (build-win/).
# Warnings are errors in all three. Stops at the first failure; the last line of the output is
# always "N passed, N failed", counting the ctest tests of the three builds and the checks of
# the packages made from the native and the Windows build. A step that fails before its tests
# could run (install, configure, build) counts as one failed test, so a failed run never ends
# with "0 failed".
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/package_checks.sh"
cd "$(repo_root)"

jobs=2
# Most test cases wait (on a held system call, a stopped encoder, Wine starting a program) more
# than they compute: twice as many side by side as there are processors keeps both busy, and
# halves the time the tests take.
test_jobs=$((jobs * 2))
passed=0
failed=0
skipped=()
started=$SECONDS

finish() {
    local status=$?
    if ((status != 0 && failed == 0)); then
        failed=1
    fi
    if ((status == 0)); then
        section "All tests passed in $((SECONDS - started)) s"
    else
        section "FAILED after $((SECONDS - started)) s"
    fi
    if ((${#skipped[@]} > 0)); then
        echo "${#skipped[@]} skipped, neither passed nor failed: ${skipped[*]}"
    fi
    echo "$passed passed, $failed failed"
}
trap finish EXIT

# Runs ctest in build folder $1 with the remaining arguments, adds its counts to the totals and
# fails when any test failed. ctest's summary counts a skipped test (one that could not run here,
# such as the Slurm case without root) as passed; we count it apart.
run_ctest() {
    local dir=$1
    shift
    local log="$dir/ctest-summary.log" status=0
    ctest --test-dir "$dir" --output-on-failure --timeout 300 -j"$test_jobs" "$@" 2>&1 | tee "$log" ||
        status=$?
    local summary
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [[ -z $summary ]]; then
        echo "ctest in $dir ran no tests" >&2
        failed=$((failed + 1))
        return 1
    fi
    local section_failed section_total
    section_failed=$(sed -E 's/^.* ([0-9]+) tests? failed out of ([0-9]+).*$/\1/' <<<"$summary")
    section_total=$(sed -E 's/^.* failed out of ([0-9]+).*$/\1/' <<<"$summary")
    local section_skipped
    mapfile -t section_skipped < <(sed -nE "s/^\s+[0-9]+ - (.+) \(Skipped\)$/\1/p" "$log")
    skipped+=("${section_skipped[@]/#/$dir/}")
    passed=$((passed + section_total - section_failed - ${#section_skipped[@]}))
    failed=$((failed + section_failed))
    if ((status != 0 || section_failed != 0)); then
        return 1
    fi
}

# The compiler cache, when installed: a second run of this script, from this folder or from
# another clone, compiles almost nothing. The cache stays where ccache keeps it (~/.cache/ccache
# unless CCACHE_DIR says otherwise). Paths below the repository's top folder are hashed relative
# to it, and the build folder's own path is left out of the hash (with -g it would be in it), so
# a clone elsewhere finds the same entries; its debugging information then names the folder that
# filled the cache.
cache_arguments=(-DCMAKE_CXX_COMPILER_LAUNCHER= -DCMAKE_C_COMPILER_LAUNCHER=)
use_compiler_cache() {
    if ! command -v ccache >/dev/null 2>&1; then
        echo "No ccache: every file is compiled."
        return 0
    fi
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
    cache_arguments=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    echo "Compiler cache: $(ccache -k cache_dir)"
}

# The builds' debugging information is line tables only (-g1): the code compiled is the same as
# with -g, and a cold compile takes a third less (the Windows build 92 s against 62 s here).
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DBRINDLE_TESTS=ON \
        "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "${cache_arguments[@]}" "$@"
    cmake --build "$dir" -j"$jobs"
}

section "Packages"
install_missing_packages cmake make g++ googletest libgtest-dev \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 ffmpeg dpkg-dev unzip \
    mkvtoolnix handbrake-cli slurmctld slurmd slurm-client munge libfaketime faketime
# Fault injection in the end-to-end tests, the runner of their cases, and the compiler cache.
install_missing_packages strace python3-pytest ccache
use_compiler_cache

section "Native build (build/)"
# No benchmarks: no test runs them.
configure_and_build build -DBRINDLE_SANITIZE=OFF -DBRINDLE_BENCH=OFF
section "Native tests"
run_ctest build

section "Sanitizer build (build-asan/)"
# Optimised less, as the sanitizers advise (the later definition wins): -O1 -g1 compiled in half
# the time of -O2 -g (83 s against 166 s here), its tests as fast. Its reports still name each
# file and line.
configure_and_build build-asan -DBRINDLE_SANITIZE=ON -DBRINDLE_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
section "Sanitizer tests"
# The media samples the native tests made serve the other two builds.
export BRINDLE_MEDIA_SAMPLES_FROM=$PWD/build/tests/media-samples
UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan

section "Windows build (build-win/)"
configure_and_build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
section "Windows tests under Wine"
# The Wine prefix is made by the first program started in it; made here, before the tests start
# side by side in it.
build-win/wine-run.sh cmd.exe /c exit 0
run_ctest build-win

section "Packages and installs (cpack in build/ and build-win/)"
check_packages build build-win
