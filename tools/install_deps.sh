#!/usr/bin/env bash
# Installs the build and test dependencies on Debian 12 when any is missing.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev qtbase5-dev llvm-14 pkg-config)
# Position reports on MQTT, and the broker the tests start.
packages+=(mosquitto libmosquitto-dev)
# The browser that tests the monitor's live map.
packages+=(chromium)
# The metrics tests (promtool, a real Prometheus server) and the Debian package
# test (CPack's dependency list, lintian, the units' sandbox score, the
# service user, running a program as that user).
packages+=(prometheus lintian dpkg-dev file binutils systemd adduser util-linux)
# The Wireshark dissector's test (tshark) and reading the simulator's captures
# (tcpdump). wireshark-common asks whether non-root users may capture: the
# noninteractive install takes debconf's default, no.
packages+=(tshark tcpdump)
# solver_replay reads captures with libpcap.
packages+=(libpcap-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
