#!/usr/bin/env bash
# Builds the Debian package in a clean build folder and checks it: control data and file list,
# the programs' --version from an unpacked copy, the systemd unit, lintian.
#   scripts/package.sh            builds build-package/qst-archiver_<version>_<arch>.deb
#   QST_PACKAGE_DIR=DIR ...       another build folder
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${QST_PACKAGE_DIR:-build-package}
jobs=$(nproc 2>/dev/null || echo 2)

echo "== package build ($dir/)"
rm -rf "$dir"
# Debian's hardening flags (without -g: the package's programs are stripped anyway).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS | sed 's/-g //; s/-ffile-prefix-map=[^ ]*//')"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQST_WERROR=ON -DQST_BUILD_BENCH=OFF -DQST_BUILD_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build "$dir" -j "$jobs"
(cd "$dir" && cpack -G DEB)
deb=$(ls "$dir"/qst-archiver_*.deb)
echo "== $deb"

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
control=$(dpkg-deb --field "$deb")
grep -q '^Depends:.*libqt6core6' <<<"$control" || fail "Depends lacks the Qt libraries (dpkg-shlibdeps)"
grep -q '^Depends:.*adduser' <<<"$control" || fail "Depends lacks adduser"
grep -q '^Depends:.*libjs-chart.js' <<<"$control" || fail "Depends lacks libjs-chart.js"
grep -q '^Depends:.*libsodium' <<<"$control" || fail "Depends lacks libsodium"
grep -q '^Suggests: libreoffice-writer-nogui | libreoffice-writer' <<<"$control" || fail "Suggests lacks LibreOffice"
contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/qst-archiver ./usr/bin/qst-cli ./usr/bin/qst-sim \
    ./usr/share/applications/qst-archiver.desktop \
    ./usr/share/icons/hicolor/scalable/apps/qst-archiver.svg \
    ./usr/share/icons/hicolor/48x48/apps/qst-archiver.png \
    ./usr/share/man/man1/qst-archiver.1.gz ./usr/share/man/man1/qst-cli.1.gz ./usr/share/man/man1/qst-sim.1.gz \
    ./usr/share/doc/qst-archiver/README.md ./usr/share/doc/qst-archiver/copyright \
    ./lib/systemd/system/qst-poller.service ./lib/systemd/system/qst-portal.service; do
    grep -q " $path\$" <<<"$contents" || fail "$path is missing from the package"
done
grep -q ' root/root ' <<<"$contents" || fail "files are not owned by root"
if [ -d src/web/static ]; then
    grep -q ' ./usr/share/qst-archiver/web/' <<<"$contents" || fail "the portal's web files are missing from the package"
fi

echo "== the programs from an unpacked copy"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
version=$(dpkg-deb --field "$deb" Version)
for program in qst-archiver qst-cli qst-sim; do
    # Without a display: --version must not need one.
    line=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$program" --version)
    echo "$line"
    [ "$line" = "$program $version" ] || fail "$program --version printed '$line', expected '$program $version'"
done

echo "== systemd units: verify and sandbox"
# Offline, no running systemd needed; ExecStart is pointed at the unpacked qst-cli, so that the
# check that the command exists and is executable is made too.
tests/packaging/check-units.sh "$root/lib/systemd/system" "$root/usr/bin/qst-cli" || fail "the systemd units failed their checks"
echo "clean"

echo "== lintian"
# Errors fail the package; warnings are listed.
lintian --fail-on error --tag-display-limit 0 "$deb"
echo "== package checked: $deb"
