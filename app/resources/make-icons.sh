#!/usr/bin/env bash
# Regenerates the raster icons from korvane.svg after it changes; the results are
# committed so a build needs no SVG tools. Needs rsvg-convert (librsvg2-bin) and python3.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for s in 16 32 48 256; do rsvg-convert -w $s -h $s korvane.svg -o "$tmp/$s.png"; done
cp "$tmp/256.png" korvane.png
# Windows .ico holding PNG entries (understood since Windows Vista).
python3 - "$tmp" <<'PY'
import struct, sys
d = sys.argv[1]
sizes = [16, 32, 48, 256]
blobs = [open(f"{d}/{s}.png", "rb").read() for s in sizes]
out = struct.pack("<HHH", 0, 1, len(sizes))
offset = 6 + 16 * len(sizes)
for s, b in zip(sizes, blobs):
    out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(b), offset)
    offset += len(b)
open("korvane.ico", "wb").write(out + b"".join(blobs))
PY
