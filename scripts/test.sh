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
    ctest --test-dir "$dir" --output-on-failure --timeout 300 "$@" 2>&1 | tee "$log" || status=$?
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

configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DBRINDLE_TESTS=ON "$@"
    cmake --build "$dir" -j"$jobs"
}

section "Packages"
install_missing_packages cmake make g++ googletest libgtest-dev \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 ffmpeg dpkg-dev unzip \
    mkvtoolnix handbrake-cli slurmctld slurmd slurm-client munge libfaketime faketime attr
# Fault injection in the end-to-end tests, and the runner of their cases.
install_missing_packages strace python3-pytest

section "Native build (build/)"
configure_and_build build -DBRINDLE_SANITIZE=OFF
section "Native tests"
run_ctest build

section "Sanitizer build (build-asan/)"
configure_and_build build-asan -DBRINDLE_SANITIZE=ON -DBRINDLE_BENCH=OFF
section "Sanitizer tests"
UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan

section "Windows build (build-win/)"
configure_and_build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
section "Windows tests under Wine"
run_ctest build-win

section "Packages and installs (cpack in build/ and build-win/)"
check_packages build build-win
