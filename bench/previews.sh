#!/usr/bin/env bash
# Thumbnail speed and memory of gelatin against the usual command-line tools.
#
#   bench/previews.sh [N]      (N files per folder, default 20)
#
# Makes, in bench/out/previews/ (git-ignored), a 24 MP JPEG (the 6000x4000
# preview embedded in the shared Nikon D7100 sample), a 24 MP DNG made from it by
# make-dng, and folders of N of each (hard links, so the disk holds one copy), then
# times:
#   1. gelatin serve answering one preview request per DNG (max 400, out set)
#      against exiftool -b -PreviewImage + vipsthumbnail --size 400 per DNG;
#   2. the same requests on the JPEG folder against one vipsthumbnail --size 400
#      over the whole folder;
#   3. peak resident memory of gelatin probe over 500 files against 50 files;
#   4. gelatin probe --max 400 over folders of RAW_COUNT (default 40) copies of each
#      real RAW sample with several embedded previews (Nikon NEF, Canon CR2, Sony
#      ARW), per file, against exiftool -b -PreviewImage + vipsthumbnail --size 400
#      per file, and the preview each --max 160/400/1600/8192 takes;
#   5. gelatin probe --max 400 over the 24 MP DNG folder (one embedded preview);
#   6. peak resident memory of gelatin probe at its default --max (8192) over 10
#      portrait 27 MP DNGs with full-size previews (orientation 6);
#   7. gelatin serve and gelatin probe over N iPhone HEICs (full decodes, max 400)
#      against one vipsthumbnail --size 400 over the same folder.
# SECTIONS="4 6" runs only those sections. BASELINE=path/to/other/gelatin times that
# binary beside build/gelatin in sections 4 to 6 (before/after figures). Times are
# wall-clock per file and, in sections 4 and 5, CPU (user + system) per file, which
# other jobs on the machine disturb less.
# Installs exiftool, vipsthumbnail and GNU time with apt-get when they are missing.
# Figures depend on the machine's load: run it on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-20}
fixtures=${MERROW_FIXTURES:-../shared/fixtures}
tools=$fixtures/../tools
gelatin=${GELATIN:-build/gelatin}
out=bench/out/previews
sections=${SECTIONS:-1 2 3 4 5 6}
raw_count=${RAW_COUNT:-40}
baseline=${BASELINE:-}
want() { [[ " $sections " == *" $1 "* ]]; }

need=()
command -v exiftool >/dev/null || need+=(libimage-exiftool-perl)
command -v vipsthumbnail >/dev/null || need+=(libvips-tools)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "previews.sh: please install ${need[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
if [ ! -d "$fixtures" ] || [ ! -x "$tools/make-dng" ]; then
  echo "previews.sh: the shared sample photos and tools (../shared) are not available" >&2
  exit 1
fi
if [ ! -x "$gelatin" ]; then
  cmake --build build -j2 --target gelatin >/dev/null
fi

mkdir -p "$out"
big_jpeg=$out/big.jpg
big_dng=$out/big.dng
if [ ! -s "$big_jpeg" ]; then
  exiftool -b -JpgFromRaw "$fixtures/raw/partial/imagemeta_NikonD7100_truncated.nef" >"$big_jpeg"
fi
if [ ! -s "$big_dng" ]; then
  "$tools/make-dng" "$big_jpeg" "$big_dng" >/dev/null
fi

# Folders of hard links.
make_folder() {  # folder source extension n
  rm -rf "$1"
  mkdir -p "$1"
  for i in $(seq -w 1 "$4"); do ln "$2" "$1/IMG_$i.$3"; done
}
make_folder "$out/dng" "$big_dng" dng "$count"
make_folder "$out/jpeg" "$big_jpeg" jpg "$count"

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
elapsed() { calc "$2 - $1"; }
per_file() { printf '%.1f' "$(calc "$1 * 1000 / $count")"; }

# One request line per file of a folder.
requests() {  # folder thumbs
  local id=0
  for f in "$1"/*; do
    id=$((id + 1))
    printf '{"id":%d,"src":"%s","max":400,"out":"%s/%d.jpg"}\n' "$id" "$PWD/$f" "$PWD/$2" "$id"
  done
}

serve_time() {  # folder
  local thumbs=$out/thumbs-gelatin
  rm -rf "$thumbs"
  requests "$1" "$thumbs" >"$out/requests.jsonl"
  cat "$1"/* >/dev/null  # warm the page cache for both sides alike
  local start end
  start=$(now)
  "$gelatin" serve <"$out/requests.jsonl" >"$out/results.jsonl"
  end=$(now)
  local ok
  ok=$(grep -c '"ok":true' "$out/results.jsonl" || true)
  if [ "$ok" -ne "$count" ]; then
    echo "previews.sh: gelatin answered $ok of $count requests with ok (see $out/results.jsonl)" >&2
  fi
  elapsed "$start" "$end"
}

echo "== $count files per folder; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"

# 1. DNG folder.
if want 1; then
gelatin_dng=$(serve_time "$out/dng")
rm -rf "$out/thumbs-tools" && mkdir -p "$out/thumbs-tools"
preview_tag=PreviewImage
exiftool -b -PreviewImage "$big_dng" | head -c 4 >"$out/tag-check.bin" || true
[ -s "$out/tag-check.bin" ] || preview_tag=JpgFromRaw
start=$(now)
for f in "$out"/dng/*; do
  name=$(basename "$f" .dng)
  exiftool -b -"$preview_tag" "$f" >"$out/thumbs-tools/$name-preview.jpg"
  vipsthumbnail "$out/thumbs-tools/$name-preview.jpg" --size 400 -o "$PWD/$out/thumbs-tools/$name.jpg"
done
end=$(now)
tools_dng=$(elapsed "$start" "$end")
echo "DNG 24 MP   gelatin serve: $(per_file "$gelatin_dng") ms/file   exiftool -$preview_tag + vipsthumbnail: $(per_file "$tools_dng") ms/file   ratio $(printf '%.1f' "$(calc "$tools_dng / $gelatin_dng")")x (target >= 8x)"
fi

# 2. JPEG folder.
if want 2; then
gelatin_jpeg=$(serve_time "$out/jpeg")
rm -rf "$out/thumbs-vips" && mkdir -p "$out/thumbs-vips"
start=$(now)
vipsthumbnail --size 400 -o "$PWD/$out/thumbs-vips/%s.jpg" "$out"/jpeg/*
end=$(now)
vips_jpeg=$(elapsed "$start" "$end")
echo "JPEG 24 MP  gelatin serve: $(per_file "$gelatin_jpeg") ms/file   vipsthumbnail (one process): $(per_file "$vips_jpeg") ms/file   ratio $(printf '%.1f' "$(calc "$vips_jpeg / $gelatin_jpeg")")x (target >= 1.5x)"
fi

# 3. Peak memory of probe over 500 against 50 files.
if want 3; then
make_folder "$out/probe" "$big_dng" dng 500
rss() {  # limit
  /usr/bin/time -v "$gelatin" probe "$out/probe" --limit "$1" --max 400 2>&1 >/dev/null |
    awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}'
}
rss50=$(rss 50)
rss500=$(rss 500)
if [ -n "$rss50" ] && [ -n "$rss500" ]; then
  echo "probe peak RSS: 50 files $((rss50 / 1024)) MB, 500 files $((rss500 / 1024)) MB, ratio $(printf '%.2f' "$(calc "$rss500 / $rss50")") (target <= 1.5)"
else
  echo "probe peak RSS: gelatin probe did not run"
fi
fi

# Wall and CPU seconds of one command, as "wall cpu" (GNU time).
timed() {  # command...
  /usr/bin/time -f '%e %U %S' -o "$out/time.txt" "$@" >/dev/null 2>&1 || true
  awk '{ print $1, $2 + $3 }' "$out/time.txt"
}
ms_per() { printf '%.1f' "$(calc "$1 * 1000 / $2")"; }  # seconds files
# "wall-ms cpu-ms" per file of gelatin probe over a folder.
probe_per_file() {  # binary folder max files
  local t
  t=$(timed "$1" probe "$2" --max "$3")
  echo "$(ms_per "${t% *}" "$4") $(ms_per "${t#* }" "$4")"
}
# The preview size probe reports for a file.
preview_size() {  # binary file max
  "$1" probe "$2" --max "$3" 2>/dev/null | sed -n 's/.*"previewW":\([0-9]*\),"previewH":\([0-9]*\).*/\1x\2/p'
}

# 4. Real RAW files with several embedded previews.
if want 4; then
  echo "== RAW samples with several previews, $raw_count copies each, probe --max 400 (wall / CPU ms per file)"
  for sample in raw/partial/imagemeta_NikonD7100_truncated.nef raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2 \
                raw/partial/imagemeta_SonySLTA55_truncated.arw; do
    ext=${sample##*.}
    folder=$out/raw-$ext
    make_folder "$folder" "$fixtures/$sample" "$ext" "$raw_count"
    cat "$folder"/* >/dev/null
    read -r g_wall g_cpu < <(probe_per_file "$gelatin" "$folder" 400 "$raw_count")
    line="$ext  gelatin: $g_wall / $g_cpu"
    if [ -n "$baseline" ]; then
      read -r b_wall b_cpu < <(probe_per_file "$baseline" "$folder" 400 "$raw_count")
      line="$line   baseline: $b_wall / $b_cpu (CPU $(printf '%.1f' "$(calc "$b_cpu / $g_cpu")")x, wall $(printf '%.1f' "$(calc "$b_wall / $g_wall")")x; target >= 5x)"
    fi
    rm -rf "$out/thumbs-raw" && mkdir -p "$out/thumbs-raw"
    tool_t=$(timed bash -c 'for f in "$1"/*; do n=$(basename "$f"); exiftool -b -PreviewImage "$f" >"$2/$n.jpg"; vipsthumbnail "$2/$n.jpg" --size 400 -o "$PWD/$2/$n-400.jpg"; done' _ "$folder" "$out/thumbs-raw")
    t_wall=$(ms_per "${tool_t% *}" "$raw_count")
    t_cpu=$(ms_per "${tool_t#* }" "$raw_count")
    line="$line   exiftool + vipsthumbnail: $t_wall / $t_cpu (CPU $(printf '%.1f' "$(calc "$t_cpu / $g_cpu")")x, wall $(printf '%.1f' "$(calc "$t_wall / $g_wall")")x; target >= 30x)"
    echo "$line"
    sizes=""
    first=$(ls "$folder" | head -1)
    for max in 160 400 1600 8192; do sizes="$sizes  max $max: $(preview_size "$gelatin" "$folder/$first" "$max")"; done
    echo "     previews:$sizes"
  done
  # The three together in one folder.
  rm -rf "$out/raw-all" && mkdir -p "$out/raw-all"
  for ext in nef cr2 arw; do for f in "$out/raw-$ext"/*; do ln "$f" "$out/raw-all/$ext-$(basename "$f")"; done; done
  files=$((3 * raw_count))
  read -r g_wall g_cpu < <(probe_per_file "$gelatin" "$out/raw-all" 400 "$files")
  line="all three in one folder ($files files)  gelatin: $g_wall / $g_cpu"
  if [ -n "$baseline" ]; then
    read -r b_wall b_cpu < <(probe_per_file "$baseline" "$out/raw-all" 400 "$files")
    line="$line   baseline: $b_wall / $b_cpu (CPU $(printf '%.1f' "$(calc "$b_cpu / $g_cpu")")x, wall $(printf '%.1f' "$(calc "$b_wall / $g_wall")")x)"
  fi
  echo "$line"
fi

# 5. The 24 MP DNG folder, whose one embedded preview is 6000x4000.
if want 5; then
  cat "$out"/dng/* >/dev/null
  read -r g_wall g_cpu < <(probe_per_file "$gelatin" "$out/dng" 400 "$count")
  line="DNG 24 MP probe --max 400  gelatin: $g_wall / $g_cpu ms per file (wall / CPU)"
  if [ -n "$baseline" ]; then
    read -r b_wall b_cpu < <(probe_per_file "$baseline" "$out/dng" 400 "$count")
    line="$line   baseline: $b_wall / $b_cpu"
  fi
  echo "$line"
fi

# 6. Peak memory at the default --max on portrait 27 MP DNGs with full-size previews.
if want 6; then
  big27_jpeg=$out/big27.jpg
  big27_dng=$out/big27-portrait.dng
  [ -s "$big27_jpeg" ] || vips resize "$big_jpeg" "$big27_jpeg[Q=92]" 1.0607
  [ -s "$big27_dng" ] || "$tools/make-dng" "$big27_jpeg" "$big27_dng" --orientation 6 >/dev/null
  make_folder "$out/dng27" "$big27_dng" dng 10
  peak() {  # binary
    /usr/bin/time -f '%M' -o "$out/rss.txt" "$1" probe "$out/dng27" >/dev/null 2>&1 || true
    echo $(( $(tail -1 "$out/rss.txt") / 1024 ))
  }
  line="probe peak RSS, 10 portrait 27 MP DNGs (6364x4242 previews, $(nproc) cores), default --max: gelatin $(peak "$gelatin") MB"
  [ -n "$baseline" ] && line="$line, baseline $(peak "$baseline") MB"
  echo "$line (one full-size preview: $((6364 * 4242 * 3 / 1048576)) MB)"
fi

# 7. HEIC folder: the shared iPhone HEICs (two iPhone 7, an XS, a 13 Pro Max; 12 MP grids)
# in turn, decoded in full as rendered files are.
if want 7; then
  rm -rf "$out/heic" && mkdir -p "$out/heic"
  iphones=(photoprism_iphone_7.heic libvips_heic-orientation-6.heic ianare_iphone_13_pro_max.HEIC immich_IMG_2682.heic)
  for i in $(seq 1 "$count"); do
    source_heic=$fixtures/heic/${iphones[$(((i - 1) % ${#iphones[@]}))]}
    name=$(printf 'IMG_%03d.heic' "$i")
    ln "$source_heic" "$out/heic/$name" 2>/dev/null || cp "$source_heic" "$out/heic/$name"
  done
  gelatin_heic=$(serve_time "$out/heic")
  start=$(now)
  "$gelatin" probe "$out/heic" --max 400 >/dev/null 2>&1
  end=$(now)
  probe_heic=$(elapsed "$start" "$end")
  rm -rf "$out/thumbs-vips-heic" && mkdir -p "$out/thumbs-vips-heic"
  start=$(now)
  vipsthumbnail --size 400 -o "$PWD/$out/thumbs-vips-heic/%s.jpg" "$out"/heic/*
  end=$(now)
  vips_heic=$(elapsed "$start" "$end")
  echo "HEIC 12 MP  gelatin serve: $(per_file "$gelatin_heic") ms/file   gelatin probe: $(per_file "$probe_heic") ms/file   vipsthumbnail (one process): $(per_file "$vips_heic") ms/file   ratio $(printf '%.1f' "$(calc "$vips_heic / $gelatin_heic")")x"
fi
