#!/usr/bin/env bash
# Times `gelatin probe` (embedded previews, metadata and feature prints) over a
# folder of camera DNGs and reports its peak memory.
#   bench/probe.sh [COUNT] [MAX]     defaults: 500 files, previews bounded to 400 pixels
# Needs a built build/gelatin and the shared tools and fixtures beside the repository
# (or in the folder named by MERROW_SHARED).
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-500}
max=${2:-400}
gelatin=build/gelatin
shared=${MERROW_SHARED:-../shared}
tools=$shared/tools
fixtures=$shared/fixtures
[ -x "$gelatin" ] || { echo "build gelatin first (scripts/setup)" >&2; exit 1; }
[ -x "$tools/make-dng" ] && [ -d "$fixtures" ] || { echo "shared tools or fixtures missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A few distinct DNGs made from real photos, repeated (as hard links) up to COUNT files.
sources=("$fixtures"/jpeg_camera/ianare_Canon_40D.jpg "$fixtures"/jpeg_camera/ianare_Nikon_D70.jpg
         "$fixtures"/faces/facerec_obama.jpg "$fixtures"/orientation/recurser/Landscape_1.jpg)
mkdir -p "$work/seed" "$work/photos"
for i in "${!sources[@]}"; do
  "$tools/make-dng" "${sources[$i]}" "$work/seed/$i.dng" --scale 1 >/dev/null
done
seeds=("$work"/seed/*.dng)
for ((i = 0; i < count; i++)); do
  ln "${seeds[$((i % ${#seeds[@]}))]}" "$work/photos/$(printf 'IMG_%05d.dng' "$i")"
done

echo "gelatin probe: $count DNGs, --max $max, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
/usr/bin/time -o "$work/time" -f 'elapsed %e s, peak RSS %M kB' \
  "$gelatin" probe "$work/photos" --max "$max" >"$work/results" 2>"$work/summary"
echo "$(grep -c '"ok":true' "$work/results") of $(wc -l <"$work/results") results ok"
cat "$work/summary" "$work/time"
