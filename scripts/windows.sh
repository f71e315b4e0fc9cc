#!/usr/bin/env bash
# Cross-builds korvane for 64-bit Windows on this Debian machine: korvane.exe,
# korvane-cli.exe and korvane-station.exe in build-win/bin/, then what a Windows user
# downloads: build-win/korvane-VERSION-win64.zip (portable) and
# build-win/korvane-VERSION-setup.exe (the installer). Warnings fail the build, as on Linux.
#
# Qt: KORVANE_QT_WIN names any Qt 5.15 for MinGW 64-bit (the Qt installer's, MSYS2's, or
# an unpacked archive; the folder that holds bin/, lib/cmake/ and plugins/). Unset, the
# archive ../shared/toolchains/qt-5.15.8-mingw64.tar.xz beside the project is unpacked into
# build-win/ and used.
# Usage: windows.sh [--no-package]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-win
package=yes
for option in "$@"; do
  case $option in
    --no-package) package=no ;;
    *) echo "windows: unknown option $option (use --no-package)" >&2; exit 64 ;;
  esac
done
bash scripts/setup.sh --windows

qt=${KORVANE_QT_WIN:-}
if [ -z "$qt" ]; then
  archive=../shared/toolchains/qt-5.15.8-mingw64.tar.xz
  if [ ! -f "$archive" ]; then
    echo "windows: no Qt for MinGW: set KORVANE_QT_WIN to a Qt 5.15 for MinGW 64-bit," \
         "or put qt-5.15.8-mingw64.tar.xz in ../shared/toolchains/" >&2
    exit 1
  fi
  qt=$PWD/$build/qt5-mingw64
  # Unpacked again only when the archive is another one.
  stamp=$(stat -c '%s %Y' "$archive")
  if [ "$(cat "$qt/.archive" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$qt" && mkdir -p "$build"
    tar -C "$build" -xJf "$archive"
    echo "$stamp" > "$qt/.archive"
  fi
fi
if [ ! -f "$qt/lib/cmake/Qt5/Qt5Config.cmake" ]; then
  echo "windows: $qt is not a Qt 5 for MinGW (no lib/cmake/Qt5/Qt5Config.cmake)" >&2
  exit 1
fi
qt=$(realpath "$qt")

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DKORVANE_QT_WIN="$qt" \
  -DCMAKE_BUILD_TYPE=Release -DKORVANE_WARNINGS_AS_ERRORS=ON -DBUILD_TESTING=OFF \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
[ $package = yes ] || exit 0
version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
bash packaging/windows/package.sh "$build" "$qt" "$version"
