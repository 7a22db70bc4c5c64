#!/usr/bin/env bash
# kvprint on a 100-page text file (3,000 characters a page) as a whole
# process, against Ghostscript printing the same text typeset as PostScript
# with its PCL drivers (ljet4, pxlmono) when `gs` is installed (Debian
# package ghostscript; never required).
#
#   bench/compare_text.sh [BUILD_DIR]     (default: build)
#
# Each program runs RUNS times (default 5); the best time counts. Sizes are
# the output's bytes divided by the pages.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-5}
kvprint="$build/bin/kvprint"
bench="$build/bin/text_bench"
for program in "$kvprint" "$bench"; do
  [ -x "$program" ] || { echo "missing $program: build the tree first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kvcompare-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$bench" --write-text "$work/text100.txt"
"$bench" --write-ps "$work/text100.ps"
pages=100

# Best wall-clock time in seconds of a command over $runs runs.
best_time() {
  local best="" start end
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
    end=$(date +%s.%N)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')
  done
  printf '%.3f' "$best"
}

per_page() { echo $(($(stat -c %s "$1") / pages)); }

printf '%-34s %10s %14s\n' "100 pages of text" "seconds" "bytes a page"
row() { printf '%-34s %10s %14s\n' "$1" "$2" "$3"; }

# kvprint: its own root, set up by a first run that is not timed.
root="$work/root"
"$kvprint" --root "$root" --output "$work/warm.prn" "$work/text100.txt" >/dev/null 2>&1 ||
  { echo "kvprint cannot print the text file:" >&2;
    "$kvprint" --root "$root" --output "$work/warm.prn" "$work/text100.txt" >&2; exit 1; }
for mode in outline bitmap graphics; do
  out="$work/kvprint-$mode.prn"
  t=$(best_time "$kvprint" --root "$root" -o truetype=$mode --output "$out" "$work/text100.txt")
  row "kvprint (TrueType as $mode)" "$t" "$(per_page "$out")"
done

if command -v gs >/dev/null 2>&1; then
  for device in ljet4 pxlmono; do
    out="$work/gs-$device.prn"
    t=$(best_time gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=$device -sOutputFile="$out" "$work/text100.ps")
    row "Ghostscript -sDEVICE=$device" "$t" "$(per_page "$out")"
  done
else
  echo "(gs is not installed: apt-get install ghostscript for the comparison)"
fi
echo "Targets: kvprint (outline) under 0.14 s and under 39 KB a page."
