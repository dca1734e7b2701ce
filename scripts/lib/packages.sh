# shellcheck shell=bash
# Sourced by the scripts in scripts/: installs Debian packages they need.
#
#   ensure_packages PACKAGE...
#
# Installs those of the named packages that are not installed yet, as root or through sudo
# (asked for only when something is missing); does nothing when all are there. Each script keeps
# its own list; messages carry the script's name.
#
#   as_root COMMAND...
#
# Runs a command as root: directly when the script runs as root, else through sudo.

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "scripts/${0##*/}: '$1 ${2:-}' needs root and sudo is not available; run this as root" >&2
        exit 1
    fi
}

ensure_packages() {
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -gt 0 ] || return 0

    echo "scripts/${0##*/}: installing ${missing[*]}" >&2
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
