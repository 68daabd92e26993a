#!/usr/bin/env bash
# Times the check of a whole install folder in one run (talvek -m -q -e FOLDER) against one
# talvek run per module file (talvek -q -e FILE) and against a plain import listing of each
# file (winedump -j import FILE), in the same rounds, and prints the medians and ratios, the
# time per module, and the one run's peak memory. The module files are those -m takes: every
# regular file below FOLDER that starts with "MZ". WINEPATH is left as it is.
# Usage: tools/folder_vs_loop.sh FOLDER [ROUNDS] [TALVEK]
#   ROUNDS defaults to 3; TALVEK defaults to build-release/talvek, then build/talvek.
# Wine's 64-bit DLL folder (Debian: libwine, wine64-tools) is the usual input:
#   /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
# Needs bash 5 (EPOCHREALTIME) and GNU time (/usr/bin/time) for the peak memory.
set -euo pipefail
folder=${1:?usage: $0 FOLDER [ROUNDS] [TALVEK]}
rounds=${2:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${3:-}
if [ -z "$tool" ]; then
  for t in "$root/build-release/talvek" "$root/build/talvek"; do
    if [ -x "$t" ]; then tool=$t; break; fi
  done
fi
[ -n "$tool" ] && [ -x "$tool" ] || { echo "no talvek binary; pass its path" >&2; exit 2; }
[ -n "${EPOCHREALTIME:-}" ] || { echo "needs bash 5 or newer" >&2; exit 2; }
has_winedump=1
command -v winedump >/dev/null || has_winedump=0

files=()
while IFS= read -r -d '' f; do
  [ "$(head -c 2 "$f")" = MZ ] && files+=("$f")
done < <(find "$folder" -type f -print0 | sort -z)
[ ${#files[@]} -gt 0 ] || { echo "no module files below $folder" >&2; exit 2; }

now() { local t=${EPOCHREALTIME/[.,]/}; echo $((10#$t)); }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2]+v[NR/2+1])/2)}'; }

one=() loop=() listing=()
for ((r = 0; r < rounds; r++)); do
  t0=$(now)
  "$tool" -m -q -e "$folder" >/dev/null 2>&1 || true
  t1=$(now)
  for f in "${files[@]}"; do "$tool" -q -e "$f" >/dev/null 2>&1 || true; done
  t2=$(now)
  if ((has_winedump)); then
    for f in "${files[@]}"; do winedump -j import "$f" >/dev/null 2>&1 || true; done
  fi
  t3=$(now)
  one+=($((t1 - t0))) loop+=($((t2 - t1))) listing+=($((t3 - t2)))
done
peak_file=$(mktemp)
/usr/bin/time -f %M -o "$peak_file" "$tool" -m -q -e "$folder" >/dev/null 2>&1 || true
peak=$(tail -n 1 "$peak_file")
rm -f "$peak_file"

a=$(median "${one[@]}") b=$(median "${loop[@]}") c=$(median "${listing[@]}")
n=${#files[@]}
printf '%d module files, median of %d rounds\n' "$n" "$rounds"
awk -v a="$a" -v b="$b" -v n="$n" 'BEGIN {
  printf "one run (-m -q -e FOLDER):   %8.3f s  (%.3f ms per module)\n", a / 1e6, a / 1e3 / n
  printf "one run per file (-q -e):    %8.3f s  (%.3f ms per module)\n", b / 1e6, b / 1e3 / n
  printf "one run / run per file:      %8.3f\n", a / b }'
if ((has_winedump)); then
  awk -v a="$a" -v c="$c" -v n="$n" 'BEGIN {
    printf "winedump -j import per file: %8.3f s  (%.3f ms per module)\n", c / 1e6, c / 1e3 / n
    printf "one run / listing:           %8.3f\n", a / c }'
fi
echo "peak memory of the one run:  ${peak} KiB"
