# shellcheck shell=bash
# Sourced by the scripts in scripts/: installs Debian packages they need.
#
#   ensure_packages PACKAGE...
#
# Installs those of the named packages that are not installed yet, as root or through sudo
# (asked for only when something is missing); does nothing when all are there. Each script keeps
# its own list; messages carry the script's name.

ensure_packages() {
    local me="scripts/${0##*/}" missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -gt 0 ] || return 0

    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "$me: packages are missing (${missing[*]}) and sudo is not available; run this as root" >&2
            exit 1
        fi
        as_root=(sudo)
    fi
    echo "$me: installing ${missing[*]}" >&2
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
