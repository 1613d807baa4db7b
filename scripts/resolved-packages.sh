#!/usr/bin/env bash
# Makes sure the machine has what the systemd-resolved tests run and what resolved-bridge builds with:
#   - systemd-resolved, UNPACKED (apt-get download + dpkg -x) into FOLDER/root, never installed: its
#     install scripts would take over the machine's /etc/resolv.conf. Its version is that of the
#     machine's libsystemd-shared, the private library it links; where that version is no longer in the
#     archive, both are unpacked at the archive's version and the tests point LD_LIBRARY_PATH at it.
#   FOLDER/VERSION names the machine's libsystemd-shared it was made for, FOLDER/UNPACKED the version
#   unpacked.
#   - busctl (package systemd) unpacked the same way when the machine has none;
#   - installed, as their install scripts change nothing about the machine's DNS: libsystemd-shared
#     (a library, no install scripts), dbus-daemon (makes /var/lib/dbus/machine-id and the account
#     messagebus; starts no bus), dnsmasq-base (makes the account dnsmasq and /run/dnsmasq; no service,
#     no resolv.conf hook) and libsystemd-dev at the version of the machine's libsystemd0.
# FOLDER is the first argument, else $TARVIKDNS_RESOLVED_PACKAGES, else /var/cache/tarvikdns/resolved
# (the tests look there unless CMake's TARVIKDNS_RESOLVED_PACKAGES says otherwise).
# As root it fetches what is missing; otherwise it says what is missing, and fails only for
# libsystemd-dev, which the build needs (the resolved tests skip where they cannot run).
set -euo pipefail

folder=${1:-${TARVIKDNS_RESOLVED_PACKAGES:-/var/cache/tarvikdns/resolved}}

installed_version() {
    dpkg-query -W -f='${Status} ${Version}\n' "$1" 2>/dev/null | awk '$3 == "installed" { print $4 }'
}

candidate_version() {
    apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }'
}

as_root() {
    [ "$(id -u)" -eq 0 ]
}

apt_updated=no
apt_update_once() {
    [ "$apt_updated" = yes ] && return 0
    apt-get update -qq
    apt_updated=yes
}

apt_install() {
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

# apt-get download PACKAGE=VERSION into the current folder, updating the lists once if it is not found.
download() {
    apt-get download -qq "$1" 2>/dev/null && return 0
    apt_update_once
    apt-get download -qq "$1"
}

ensure_installed() {
    local missing=()
    for package in "$@"; do
        [ -n "$(installed_version "$package")" ] || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! as_root; then
        echo "resolved tests: missing packages ${missing[*]} (sudo $0 fetches them)" >&2
        return 0
    fi
    echo "Installing ${missing[*]}"
    apt_install "${missing[@]}"
}

ensure_libsystemd_dev() {
    [ -n "$(installed_version libsystemd-dev)" ] && return 0
    if ! as_root; then
        echo "Missing package libsystemd-dev (resolved-bridge builds with it)." >&2
        echo "Install it with: sudo apt-get install libsystemd-dev=$(installed_version libsystemd0)" >&2
        return 1
    fi
    # At libsystemd0's own version, so that installing it upgrades nothing else (systemd pins
    # libsystemd0 to its own version); the archive's version only where that one is gone.
    local wanted
    wanted=$(installed_version libsystemd0)
    echo "Installing libsystemd-dev${wanted:+=$wanted}"
    apt_install "libsystemd-dev${wanted:+=$wanted}" || apt_install libsystemd-dev
}

unpack_resolved() {
    local machine_version
    machine_version=$(installed_version libsystemd-shared)
    if [ -f "$folder/VERSION" ] && [ "$(cat "$folder/VERSION")" = "$machine_version" ] \
        && [ -x "$folder/root/lib/systemd/systemd-resolved" ]; then
        return 0
    fi
    if ! as_root; then
        echo "resolved tests: no unpacked systemd-resolved $machine_version in $folder (sudo $0 unpacks it)" >&2
        return 0
    fi
    echo "Unpacking systemd-resolved $machine_version into $folder (not installing it)"
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    mkdir -p "$work/debs" "$work/root"
    (
        cd "$work/debs"
        local version=$machine_version
        if download "systemd-resolved=$version"; then
            command -v busctl >/dev/null || download "systemd=$version"
        else
            # This libsystemd-shared is gone from the archive: unpack the archive's set instead, busctl
            # with it, so that everything run with LD_LIBRARY_PATH on it matches.
            version=$(candidate_version systemd-resolved)
            echo "systemd-resolved of the installed libsystemd-shared is not in the archive; using $version"
            download "systemd-resolved=$version"
            download "libsystemd-shared=$version"
            download "systemd=$version"
        fi
        echo "$version" > "$work/UNPACKED"
    )
    for deb in "$work"/debs/*.deb; do
        case "$deb" in
            */systemd_*) dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/root" ./usr/bin/busctl ;;
            *) dpkg -x "$deb" "$work/root" ;;
        esac
    done
    mkdir -p "$folder"
    rm -rf "$folder/root.old"
    [ -d "$folder/root" ] && mv "$folder/root" "$folder/root.old"
    mv "$work/root" "$folder/root"
    mv "$work/UNPACKED" "$folder/UNPACKED"
    # The libsystemd-shared it was unpacked for: another one unpacks again.
    echo "$machine_version" > "$folder/VERSION"
    rm -rf "$folder/root.old"
}

ensure_libsystemd_dev
ensure_installed libsystemd-shared dbus-daemon dnsmasq-base iproute2
unpack_resolved
