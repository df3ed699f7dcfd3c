#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and benchmark.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

PACKAGES=(
    g++
    cmake
    ninja-build
    pkg-config
    qt6-base-dev
    qt6-serialport-dev
    qt6-charts-dev
    libqt6opengl6-dev
    qt6-svg-dev
    # Qt's own dialogs and buttons in Russian (qtbase_ru.qm)
    qt6-translations-l10n
    libgl-dev
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    libmodbus-dev
    clang
    libclang-rt-14-dev
    fonts-dejavu-core
    libzip-dev
    libxlsxwriter-dev
    libreoffice-writer-nogui
    libreoffice-calc-nogui
    poppler-utils
    fonts-liberation
    # database replication: the client library, and a server the tests and demo start
    libpq-dev
    postgresql
    # the soak of the polling service (bench/soak.sh): its arithmetic and its plot
    bc
    gnuplot-nox
    # the Debian package and its checks (scripts/package.sh)
    dpkg-dev
    file
    lintian
    systemd
    # the web portal: HTTP server, password hashes, charts; its browser tests and load test
    libcpp-httplib-dev
    libssl-dev
    libsodium-dev
    libjs-chart.js
    chromium
    chromium-driver
    python3-selenium
    wrk
    # mail, webhooks and MQTT; the servers their tests start
    libcurl4-openssl-dev
    libmosquitto-dev
    mosquitto
    mosquitto-clients
    python3-aiosmtpd
    openssl
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
