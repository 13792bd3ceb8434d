# Shared by scripts/test.sh and scripts/demo.sh; sourced, not run.

# Prints a section header that stands out in a long CI log, after the time the previous
# section took.
section() {
    if [[ -n ${section_started:-} ]]; then
        printf '(%d s)\n' $((SECONDS - section_started))
    fi
    section_started=$SECONDS
    printf '\n==== %s ====\n' "$*"
}

# Installs the Debian packages among "$@" that are not installed yet. Runs apt-get update once,
# and only when something is missing, so a prepared machine needs no network at all.
install_missing_packages() {
    local missing=() package status
    for package in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        if [[ $status != "install ok installed" ]]; then
            missing+=("$package")
        fi
    done
    if ((${#missing[@]} == 0)); then
        echo "All needed packages are installed."
        return 0
    fi
    echo "Installing: ${missing[*]}"
    local as_root=(env DEBIAN_FRONTEND=noninteractive)
    if ((EUID != 0)); then
        as_root=(sudo "${as_root[@]}")
    fi
    "${as_root[@]}" apt-get update -q </dev/null &&
        "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# The repository's top folder, whatever the caller's working directory.
repo_root() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd
}
