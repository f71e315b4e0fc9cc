#!/usr/bin/env bash
# What a Windows user downloads, from a finished cross build: the portable zip
# (korvane-VERSION-win64.zip, one folder) and the NSIS installer (korvane-VERSION-setup.exe),
# both in the build folder. Each carries the three programs, the Qt and MinGW runtime DLLs
# they load, the Windows platform plugin and styles, Qt's Chinese catalogue, the README,
# the docs and the licence texts.
# Usage: package.sh BUILD_DIR QT_DIR VERSION
set -euo pipefail
build=$(realpath "$1") qt=$(realpath "$2") version=$3
source_dir=$(realpath "$(dirname "$0")/../..")
here=$source_dir/packaging/windows
name=korvane-$version
stage=$build/stage/$name
mingw_gcc=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")

rm -rf "$build/stage" && mkdir -p "$stage"/{platforms,styles,imageformats,translations,docs,licenses}
for program in korvane korvane-cli korvane-station; do
  x86_64-w64-mingw32-strip -o "$stage/$program.exe" "$build/bin/$program.exe"
done
for lib in Core Gui Widgets Network SerialPort; do cp "$qt/bin/Qt5$lib.dll" "$stage/"; done
# The runtime's own DLLs, as x86_64-w64-mingw32-g++-posix links them.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll; do cp "$mingw_gcc/$dll" "$stage/"; done
cp /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/"*.dll "$stage/styles/"
cp "$qt/plugins/imageformats/qico.dll" "$stage/imageformats/"
cp "$here/qt.conf" "$stage/"
for locale in zh_CN zh_TW; do
  cp "/usr/share/qt5/translations/qtbase_$locale.qm" "$stage/translations/"
done
cp "$source_dir/app/resources/korvane.ico" "$stage/"

# Text files with Windows line ends, so that Notepad shows them as lines.
crlf() { sed 's/\r*$/\r/' "$1" > "$2"; }
crlf "$source_dir/README.md" "$stage/README.md"
for doc in "$source_dir"/docs/*.md; do crlf "$doc" "$stage/docs/$(basename "$doc")"; done
cp -r "$source_dir/docs/images" "$stage/docs/"
mkdir -p "$stage/devsim" && crlf "$source_dir/devsim/README.md" "$stage/devsim/README.md"
crlf "$source_dir/LICENSE" "$stage/LICENSE.txt"
qt_version=$(sed -n 's/^set(PACKAGE_VERSION "\{0,1\}\([0-9.]*\)"\{0,1\})/\1/p' \
  "$qt/lib/cmake/Qt5Core/Qt5CoreConfigVersion.cmake")
sed "s/@QT_VERSION@/$qt_version/g" "$here/Qt-SOURCE.txt" > "$build/Qt-SOURCE.txt"
crlf "$build/Qt-SOURCE.txt" "$stage/licenses/Qt-SOURCE.txt"
crlf /usr/share/common-licenses/LGPL-3 "$stage/licenses/LGPL-3.txt"
crlf /usr/share/common-licenses/GPL-3 "$stage/licenses/GPL-3.txt"
crlf /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licenses/gcc-runtime.txt"
crlf /usr/share/doc/mingw-w64-common/copyright "$stage/licenses/mingw-w64.txt"
qt_script=$source_dir/../shared/toolchains/build-qt-mingw64.sh
if [ -f "$qt_script" ] && [ "$qt_version" = 5.15.8 ]; then
  cp "$qt_script" "$stage/licenses/"
fi

# The zip: one folder, so that unpacking it anywhere gives korvane-VERSION\ with everything.
zip_file=$build/$name-win64.zip
rm -f "$zip_file"
(cd "$build/stage" && zip -q -r -X "$zip_file" "$name")

# The installer removes exactly what it installed, deepest first.
files=$build/uninstall-files.nsh
{
  (cd "$stage" && find . -type f | sort -r) | sed 's|^\./||; s|/|\\|g; s|.*|  Delete "$INSTDIR\\&"|'
  (cd "$stage" && find . -mindepth 1 -type d | sort -r) | sed 's|^\./||; s|/|\\|g; s|.*|  RMDir "$INSTDIR\\&"|'
} > "$files"
size_kb=$(du -sk "$stage" | cut -f1)
setup=$build/$name-setup.exe
makensis -V2 -INPUTCHARSET UTF8 -DSTAGE="$stage" -DVERSION="$version" -DOUTFILE="$setup" \
  -DFILES="$files" -DSIZE_KB="$size_kb" "$here/korvane.nsi"
ls -l "$zip_file" "$setup" | awk '{print $5, $9}'
