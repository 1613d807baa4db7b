# Sourced by the scripts: makes sure the Debian packages the project builds with are installed.
# iproute2 brings the tests' loopback up in their network namespace; the DNSCrypt proxy is built on
# libsodium, and its tests run dnsdist as a resolver on loopback. resolved-bridge speaks to systemd-resolved
# through sd-bus (libsystemd-dev), taken at the version of the machine's libsystemd0 so that installing it
# upgrades nothing of the machine's systemd.
tarvikdns_packages=(cmake g++ make pkg-config libplist-dev libgtest-dev libsodium-dev libsystemd-dev iproute2 dnsdist)
# The device program's page: cpp-httplib serves it. Its test (scripts/test only) runs Debian's chromium
# through node and npm (where node comes with an npm of its own, that one is used).
tarvikdns_packages+=(libcpp-httplib-dev)
tarvikdns_test_packages=(chromium)
command -v npm >/dev/null 2>&1 || tarvikdns_test_packages+=(nodejs npm)

tarvikdns_package_to_install() {
    local version
    if [ "$1" = libsystemd-dev ] && version=$(dpkg-query -W -f='${Version}' libsystemd0 2>/dev/null) && [ -n "$version" ]; then
        echo "libsystemd-dev=$version"
    else
        echo "$1"
    fi
}

tarvikdns_install_packages() {
    local missing=()
    for package in "${tarvikdns_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    local pinned=()
    for package in "${missing[@]}"; do
        pinned+=("$(tarvikdns_package_to_install "$package")")
    done
    echo "Installing ${pinned[*]}"
    apt-get update -qq
    # A pinned version gone from the archive: the archive's own, which upgrades the machine's to match.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${pinned[@]}" \
        || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
