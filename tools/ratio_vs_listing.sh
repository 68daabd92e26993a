#!/usr/bin/env bash
# Times a per-file check of every DLL in a folder (one talvek process per DLL, the folder on
# WINEPATH so each run loads the DLL's whole closure) against a plain import listing of the
# same files (one `winedump -j import` per DLL), side by side, and prints the medians and
# their ratio.
# Usage: tools/ratio_vs_listing.sh FOLDER [ROUNDS] [TALVEK]
#   ROUNDS defaults to 3; TALVEK defaults to build-release/talvek, then build/talvek.
# Wine's 32-bit DLLs (Debian: dpkg --add-architecture i386 && apt-get install libwine:i386
# wine64-tools) are the usual input: /usr/lib/i386-linux-gnu/wine/i386-windows
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
[ -n "$tool" ] && [ -x "$tool" ] || { echo "no talvek binary; pass its path as the third argument" >&2; exit 2; }
command -v winedump >/dev/null || { echo "winedump not found (package wine64-tools)" >&2; exit 2; }

shopt -s nullglob nocaseglob
files=("$folder"/*.dll)
[ ${#files[@]} -gt 0 ] || { echo "no .dll files in $folder" >&2; exit 2; }

now_ns() { date +%s%N; }

# Both loops run the same shell code around their command, so the fork and exec of the
# shell weigh the same on either side. The exit code of a check is not part of the timing.
time_talvek() {
  local t0 f
  t0=$(now_ns)
  for f in "${files[@]}"; do WINEPATH=$folder "$tool" "$f" >/dev/null 2>&1 || true; done
  echo $(( $(now_ns) - t0 ))
}
time_listing() {
  local t0 f
  t0=$(now_ns)
  for f in "${files[@]}"; do winedump -j import "$f" >/dev/null 2>&1 || true; done
  echo $(( $(now_ns) - t0 ))
}
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2]+v[NR/2+1])/2)}'; }

tv=() ; wd=()
for ((r = 1; r <= rounds; r++)); do
  # Alternate which side goes first, so neither always runs on a warmer cache.
  if (( r % 2 )); then tv+=("$(time_talvek)"); wd+=("$(time_listing)")
  else wd+=("$(time_listing)"); tv+=("$(time_talvek)"); fi
done
mt=$(median "${tv[@]}")
mw=$(median "${wd[@]}")
awk -v n=${#files[@]} -v r="$rounds" -v t="$mt" -v w="$mw" 'BEGIN {
  printf "%d DLLs, median of %d rounds\n", n, r
  printf "talvek FILE:              %8.3f s  (%.2f ms per file)\n", t / 1e9, t / 1e6 / n
  printf "winedump -j import FILE:  %8.3f s  (%.2f ms per file)\n", w / 1e9, w / 1e6 / n
  printf "ratio talvek / listing:   %8.2f\n", t / w
}'
