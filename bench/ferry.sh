#!/usr/bin/env bash
# Times whole ferry runs: checking and echoing a large selection (--validate),
# and handing a selection to a fake application that exits at once.
#   bench/ferry.sh [build-folder] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-20}
ferry="$build/ferry"
[ -x "$ferry" ] || { echo "bench/ferry.sh: build ferry first ($ferry)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\nexit 0\n' > "$work/studio"
chmod +x "$work/studio"

# A request for N photos that exist.
request() {
  local count=$1
  python3 - "$work" "$count" <<'PY'
import json, os, sys
folder, count = sys.argv[1], int(sys.argv[2])
paths = []
for i in range(count):
    path = os.path.join(folder, f"IMG_{i:05d}.CR3")
    open(path, "a").close()
    paths.append(path)
print(json.dumps({"applicationPath": os.path.join(folder, "studio"), "paths": paths}))
PY
}

# Median wall time in milliseconds of `runs` runs of ferry with the given
# arguments and request file.
median_ms() {
  local input=$1; shift
  local times=()
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    "$ferry" "$@" < "$input" > /dev/null
    end=$(date +%s%N)
    times+=($(( (end - start) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "%.2f", a[int((NR + 1) / 2)] / 1000 }'
}

for count in 1 1000 10000; do
  request "$count" > "$work/request-$count.json"
  echo "validate $count photos: $(median_ms "$work/request-$count.json" --validate) ms"
  echo "open     $count photos: $(median_ms "$work/request-$count.json") ms"
done
