#!/usr/bin/env bash
# Installs what building, testing and screenshotting korvane needs on Debian 12.
# Safe to run again: it asks apt only for packages that are not installed yet.
# Usage: setup.sh [--fuzz] [--package] [--windows]
#   --fuzz     also clang and its fuzzing runtime, for scripts/fuzz.sh
#   --package  also what building the .deb needs, for scripts/package.sh
#   --windows  also the MinGW-w64 cross compiler (posix threads), NSIS, zip and Wine, for
#              scripts/windows.sh and its tests
set -euo pipefail

packages=(
  build-essential cmake
  qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
  qtmultimedia5-dev libqt5multimedia5-plugins  # korvane-station's pass and fail sounds
  fonts-wqy-microhei   # CJK glyphs; without them every Chinese text renders as boxes
  qttranslations5-l10n # Qt's own dialogs and buttons in Chinese, like the window
  xvfb xauth           # a real X server for screenshots of real windows...
  x11-utils x11-apps netpbm xdotool  # ...and the tools that find, drive and capture them
  libx11-dev           # the test that closes the real window as a window manager would
  ser2net              # a real network serial server in front of the simulated device
  iproute2             # ip and tc: the network test's own namespace with a slowed loopback
)

windows=no
for option in "$@"; do
  case $option in
    --fuzz) packages+=(clang libclang-rt-14-dev llvm) ;;
    # dpkg-shlibdeps works out the Qt dependencies, help2man writes the manual pages from
    # the programs' --help, lintian checks the result.
    --package) packages+=(dpkg-dev file help2man lintian) ;;
    # The cross compiler, the installer's compiler and zip for what a Windows user
    # downloads; Wine (64-bit) runs the programs in the tests.
    --windows) packages+=(g++-mingw-w64-x86-64-posix nsis zip unzip wine64 xz-utils python3)
               windows=yes ;;
    *) echo "setup: unknown option $option (use --fuzz, --package, --windows)" >&2; exit 64 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
else
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# MinGW's default thread model (win32) has no std::thread or std::mutex: the posix one.
if [ $windows = yes ]; then
  for tool in gcc g++; do
    want=/usr/bin/x86_64-w64-mingw32-$tool-posix
    if [ "$(readlink -f /etc/alternatives/x86_64-w64-mingw32-$tool)" != "$want" ]; then
      $sudo update-alternatives --set x86_64-w64-mingw32-$tool $want
    fi
  done
fi
