#!/usr/bin/env bash
# Makes the packages with cpack (a Debian package from the native build, a ZIP from the Windows
# build), checks what each holds and that the program in it starts, and checks `cmake --install`
# into a DESTDIR and into a prefix. Each check counts as one test in `passed` and `failed`.
# scripts/test.sh sources this after its builds; run alone, it checks build/ and build-win/ as
# they are and ends with the same "N passed, N failed" line.

# The files an install holds, beside the program.
package_documents=(README.md brindle.conf.example)

# The files a native install holds, below its prefix, each line starting with $1.
native_install_files() {
    local document
    printf '%sbin/brindle' "$1"
    for document in "${package_documents[@]}"; do
        printf '\n%sshare/doc/brindle/%s' "$1" "$document"
    done
}

# The files a Windows install holds, all at the top of its prefix.
windows_install_files() {
    printf 'brindle.exe'
    printf '\n%s' "${package_documents[@]}"
}

# Runs a check function with its arguments, counts it, and shows its complaints only when it
# fails. Always succeeds itself, so that under `set -e` one failed check does not stop the rest.
package_check() {
    local name=$1 output line
    shift
    if output=$("$@" 2>&1); then
        passed=$((passed + 1))
        printf 'ok      %s\n' "$name"
    else
        failed=$((failed + 1))
        printf 'FAILED  %s\n' "$name"
        if [[ -n $output ]]; then
            while IFS= read -r line; do printf '        %s\n' "$line"; done <<<"$output"
        fi
    fi
    return 0
}

# Fails, showing both, unless the two newline-separated lists hold the same lines.
same_lines() {
    local what=$1 actual expected
    actual=$(sort <<<"$2")
    expected=$(sort <<<"$3")
    if [[ $actual != "$expected" ]]; then
        printf '%s differ (< found, > expected):\n' "$what"
        diff <(echo "$actual") <(echo "$expected") || true
        return 1
    fi
}

# The regular files below folder $1, as paths relative to it.
files_below() {
    (cd "$1" && find . -type f -printf '%P\n')
}

# The version the build folder $1 packages, as cpack reads it from the project.
packaged_version() {
    sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$1/CPackConfig.cmake"
}

# Runs the program $2... (through a runner such as Wine when given) in folder $1 with --version:
# it must start and name the version being packaged.
reports_version() {
    local folder=$1 output status=0
    shift
    output=$(cd "$folder" && "$@" --version </dev/null 2>&1) || status=$?
    output=${output//$'\r'/}
    if ((status != 0)) || [[ $output != "Brindle v$version" ]]; then
        printf 'expected "Brindle v%s" and exit code 0; exit code %d, output:\n%s\n' \
            "$version" "$status" "$output"
        return 1
    fi
}

# Runs cpack in build folder $1 and leaves there the one package whose name begins with $2 and
# ends with $3. It runs under a strict umask, as on a hardened build machine, so that a package
# whose modes follow the umask shows.
make_package() {
    local build=$1 prefix=$2 suffix=$3
    rm -f "$build/$prefix"*"$suffix"
    (cd "$build" && umask 077 && cpack) || return 1
    local made=("$build/$prefix"*"$suffix")
    if ((${#made[@]} != 1)) || [[ ! -f ${made[0]} ]]; then
        printf 'expected one %s*%s in %s, found: %s\n' "$prefix" "$suffix" "$build" "${made[*]}"
        return 1
    fi
}

deb_holds_program_and_documents() {
    local deb=$1 listing
    listing=$(dpkg-deb -c "$deb") || return 1
    same_lines "the package's files" "$(awk '$1 ~ /^-/ { print $6 }' <<<"$listing")" \
        "$(native_install_files ./usr/)" || return 1
    # Folders and the program readable and executable by all, documents readable by all, and
    # everything owned by root.
    local folder='drwxr-xr-x root/root .*/' program='-rwxr-xr-x root/root .* \./usr/bin/brindle'
    local document='-rw-r--r-- root/root .* \./usr/share/doc/brindle/[^/]+' unexpected
    unexpected=$(grep -Ev "^($folder|$program|$document)\$" <<<"$listing")
    if [[ -n $unexpected ]]; then
        printf 'entries with unexpected modes or owners:\n%s\n' "$unexpected"
        return 1
    fi
}

deb_control_fields() {
    local deb=$1 field value
    local depends
    depends=$(dpkg-deb -f "$deb" Depends) || return 1
    # Each entry is a package name with an optional version, separated by commas.
    if ! tr ',' '\n' <<<"$depends" | grep -Eq '^ *ffmpeg( \(.*\))? *$'; then
        printf 'Depends does not name ffmpeg: %s\n' "$depends"
        return 1
    fi
    for field in Maintainer Description; do
        value=$(dpkg-deb -f "$deb" "$field")
        if [[ -z $value ]]; then
            printf 'the field %s is empty\n' "$field"
            return 1
        fi
    done
    value=$(dpkg-deb -f "$deb" Package Version Section)
    same_lines "Package, Version and Section" "$value" \
        "$(printf 'Package: brindle\nVersion: %s\nSection: video' "$version")"
}

# Unpacks the Debian package and runs the program and compares the documents it holds.
deb_contents_work() {
    local deb=$1 into=$2 name
    dpkg-deb -x "$deb" "$into" || return 1
    for name in "${package_documents[@]}"; do
        cmp "$name" "$into/usr/share/doc/brindle/$name" || return 1
    done
    reports_version "$into" "$into/usr/bin/brindle"
}

zip_holds_program_and_documents() {
    local zip=$1 listing
    listing=$(unzip -Z1 "$zip") || return 1
    same_lines "the ZIP's entries" "$listing" "$(windows_install_files)"
}

zip_contents_work() {
    local zip=$1 into=$2 wine_run=$3 name
    unzip -q "$zip" -d "$into" || return 1
    for name in "${package_documents[@]}"; do
        cmp "$name" "$into/$name" || return 1
    done
    reports_version "$into" "$wine_run" "$into/brindle.exe"
}

install_into_destdir() {
    local build=$1 destdir=$2
    DESTDIR=$destdir cmake --install "$build" --prefix /usr || return 1
    same_lines "the installed files" "$(files_below "$destdir")" "$(native_install_files usr/)" ||
        return 1
    reports_version "$destdir" "$destdir/usr/bin/brindle"
}

install_into_prefix() {
    local build=$1 prefix=$2 expected=$3
    cmake --install "$build" --prefix "$prefix" || return 1
    same_lines "the installed files" "$(files_below "$prefix")" "$expected"
}

# Checks the packages and installs of native build folder $1 and Windows build folder $2, from
# the repository's top folder (the documents are compared with its own). Fails when any check
# failed.
check_packages() {
    local native windows work version failed_before=$failed
    native=$(cd "$1" && pwd) && windows=$(cd "$2" && pwd) || return 1
    version=$(packaged_version "$native")
    work=$(mktemp -d)

    package_check "cpack makes the Debian package" make_package "$native" brindle_ .deb
    local deb=("$native"/brindle_*.deb)
    if [[ -f ${deb[0]} ]]; then
        package_check "the Debian package holds the program and the documents, readable by all" \
            deb_holds_program_and_documents "${deb[0]}"
        package_check "the Debian package's version and section; it depends on ffmpeg" \
            deb_control_fields "${deb[0]}"
        package_check "the packaged program reports the version; its documents are ours" \
            deb_contents_work "${deb[0]}" "$work/deb"
    fi

    package_check "cpack makes the Windows ZIP" make_package "$windows" brindle- .zip
    local zip=("$windows"/brindle-*.zip)
    if [[ -f ${zip[0]} ]]; then
        package_check "the ZIP holds brindle.exe and the documents at its top, nothing else" \
            zip_holds_program_and_documents "${zip[0]}"
        package_check "the zipped brindle.exe reports the version under Wine; documents are ours" \
            zip_contents_work "${zip[0]}" "$work/zip" "$windows/wine-run.sh"
    fi

    package_check "cmake --install into a DESTDIR with prefix /usr" \
        install_into_destdir "$native" "$work/dest dir é"
    package_check "cmake --install into a prefix" \
        install_into_prefix "$native" "$work/prefix with blanks" "$(native_install_files '')"
    package_check "cmake --install of the Windows build puts everything at the prefix's top" \
        install_into_prefix "$windows" "$work/windows" "$(windows_install_files)"

    rm -rf "$work"
    ((failed == failed_before))
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
    cd "$(repo_root)"
    passed=0
    failed=0
    status=0
    check_packages build build-win || status=$?
    echo "$passed passed, $failed failed"
    exit "$status"
fi
