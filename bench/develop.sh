#!/usr/bin/env bash
# Develop speed, side by side with other RAW developers, on a 24 MP DNG.
#
#   bench/develop.sh [--no-install]
#
# Makes a 24 MP DNG from a sample JPEG with make-dng, then measures:
#   - a fresh `gelatin serve` render at max 2048 with a neutral look (when the
#     serve loop is built), or the same render through bench_develop;
#   - an interactive re-render (decode cache hit, exposure and crop changed);
#   - interactive re-renders with every adjustment active at once (a heavy
#     look), a later slider or the exposure moving, and what each stage costs;
#   - darktable-cli at 2048 × 2048 and rawtherapee-cli at full size, when
#     installed (installed from Debian unless --no-install is given);
#   - peak RSS of each run.
set -euo pipefail
cd "$(dirname "$0")/.."
shared=../shared
build=${BUILD:-build}
out=bench/out
mkdir -p "$out"
python=/usr/bin/python3; [ -x "$python" ] || python=python3

if [ "${1:-}" != "--no-install" ] && [ "$(id -u)" -eq 0 ]; then
  missing=()
  command -v darktable-cli >/dev/null || missing+=(darktable)
  command -v rawtherapee-cli >/dev/null || missing+=(rawtherapee)
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

raw=$out/bench-24mp.dng
if [ ! -f "$raw" ]; then
  "$python" "$shared/tools/make-dng" "$shared/fixtures/jpeg_camera/ianare_jolla.jpg" "$raw" --scale 1.733 >/dev/null
fi
echo "RAW: $raw ($(du -h "$raw" | cut -f1))"

# seconds (wall, and CPU of all threads), peak RSS (MiB) of a command, and the load it ran under
measure() {
  local label=$1; shift
  local t0 t1 rss cpu
  t0=$(date +%s.%N)
  /usr/bin/time -f "%M %U %S" -o "$out/rss.txt" "$@" >"$out/last.log" 2>&1 || { echo "$label: failed (see $out/last.log)"; return; }
  t1=$(date +%s.%N)
  read -r rss user sys < <(tail -1 "$out/rss.txt")
  cpu=$(awk "BEGIN{print $user + $sys}")
  printf '%-34s %8.2f s   CPU %6.2f s   peak RSS %5d MiB   load %s\n' "$label" "$(awk "BEGIN{print $t1 - $t0}")" \
    "$cpu" "$((rss / 1024))" "$(cut -d' ' -f1 /proc/loadavg)"
}

cmake --build "$build" -j2 --target gelatin bench_develop bench_adjustments >/dev/null

request='{"id":1,"src":"'"$PWD/$raw"'","out":"'"$PWD/$out"'/gelatin.jpg","develop":true,"max":2048}'
if echo "$request" | timeout 120 "$build/gelatin" serve 2>/dev/null | grep -q '"ok":true'; then
  measure "gelatin serve (fresh, max 2048)" sh -c "echo '$request' | $build/gelatin serve"
else
  echo "gelatin serve cannot render yet; measuring renderToJPEG directly"
fi
DEVELOP_BENCH_RAW=$raw /usr/bin/time -f "bench_develop peak RSS %M KiB" "$build/bench/bench_develop" 2>&1 | grep -E 'fresh|interactive|decode|RSS'
DEVELOP_BENCH_RAW=$raw /usr/bin/time -f "bench_adjustments peak RSS %M KiB" "$build/bench/bench_adjustments" 2>&1 |
  grep -E '^(heavy|stage)|RSS'

if command -v darktable-cli >/dev/null; then
  rm -f "$out/darktable.jpg"
  measure "darktable-cli (2048 x 2048)" darktable-cli "$raw" "$out/darktable.jpg" --width 2048 --height 2048 \
    --core --configdir "$out/darktable-config"
fi
if command -v rawtherapee-cli >/dev/null; then
  measure "rawtherapee-cli (full size)" rawtherapee-cli -o "$out/rawtherapee.jpg" -Y -c "$raw"
fi
