#!/usr/bin/env bash
# Builds the Debian package: korvane, korvane-station, korvane-cli and korvane-devsim in
# /usr/bin, the desktop entries and the icons, manual pages, bash completion for
# korvane-cli and korvane-station, the copyright file, the changelog, the README and the
# docs/ pages; then checks it with lintian. Its Qt dependencies are worked out
# from the executables (dpkg-shlibdeps). Prints the package's path on the last line.
# Install it with: sudo apt-get install ./build-pkg/korvane_*.deb
# The build goes to build-pkg/ (KORVANE_PACKAGE_BUILD overrides).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KORVANE_PACKAGE_BUILD:-build-pkg}
bash scripts/setup.sh --package
# Debian's hardening: fortified C library calls, read-only relocations bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
# Sanitizers and fuzzers have no place in a package, whatever the cache says.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DKORVANE_SANITIZE=OFF -DKORVANE_FUZZ=OFF -DKORVANE_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/korvane_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/korvane_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
dpkg-deb --contents "$deb" | awk '$6 !~ /\/$/ {print $6}'
# Debian's own checks; an error fails the build.
lintian "$deb"
echo "$deb"
