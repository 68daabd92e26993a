#!/usr/bin/env bash
# Times a per-file check of every DLL in a folder (one talvek process per DLL, the folder on
# WINEPATH so each run loads the DLL's whole closure) against a plain import listing of the
# same files (one `winedump -j import` per DLL), side by side, and prints the medians and
# their ratio. Given several talvek builds (say, before and after a change), it times each
# of them in the same rounds.
# Usage: tools/ratio_vs_listing.sh FOLDER [ROUNDS] [TALVEK...]
#   ROUNDS defaults to 3; TALVEK defaults to build-release/talvek, then build/talvek.
# Wine's 32-bit DLLs (Debian: dpkg --add-architecture i386 && apt-get install libwine:i386
# wine64-tools) are the usual input: /usr/lib/i386-linux-gnu/wine/i386-windows
# Needs bash 5 (EPOCHREALTIME, a clock read without starting a process).
set -euo pipefail
folder=${1:?usage: $0 FOLDER [ROUNDS] [TALVEK...]}
rounds=${2:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
tools=("${@:3}")
if [ ${#tools[@]} -eq 0 ]; then
  for t in "$root/build-release/talvek" "$root/build/talvek"; do
    if [ -x "$t" ]; then tools=("$t"); break; fi
  done
fi
[ ${#tools[@]} -gt 0 ] || { echo "no talvek binary; pass its path" >&2; exit 2; }
for t in "${tools[@]}"; do [ -x "$t" ] || { echo "$t is not executable" >&2; exit 2; }; done
command -v winedump >/dev/null || { echo "winedump not found (package wine64-tools)" >&2; exit 2; }
[ -n "${EPOCHREALTIME:-}" ] || { echo "needs bash 5 or newer" >&2; exit 2; }

shopt -s nullglob nocaseglob
files=("$folder"/*.dll)
[ ${#files[@]} -gt 0 ] || { echo "no .dll files in $folder" >&2; exit 2; }

# Side 0 is the listing, side k the k-th talvek build. Each file is run on every side in
# turn, the order rotating with the round, so a change of machine load weighs on all sides
# alike. The exit code of a check is not part of the timing.
nsides=$((${#tools[@]} + 1))
declare -A total
for ((r = 0; r < rounds; r++)); do
  for ((s = 0; s < nsides; s++)); do total[$r,$s]=0; done
  for f in "${files[@]}"; do
    for ((i = 0; i < nsides; i++)); do
      s=$(((i + r) % nsides))
      t0=${EPOCHREALTIME/[.,]/}
      if ((s == 0)); then
        winedump -j import "$f" >/dev/null 2>&1 || true
      else
        WINEPATH=$folder "${tools[s - 1]}" "$f" >/dev/null 2>&1 || true
      fi
      t1=${EPOCHREALTIME/[.,]/}
      total[$r,$s]=$((total[$r,$s] + 10#$t1 - 10#$t0))
    done
  done
done

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2]+v[NR/2+1])/2)}'; }
side_median() {
  local v=() r
  for ((r = 0; r < rounds; r++)); do v+=("${total[$r,$1]}"); done
  median "${v[@]}"
}

listing=$(side_median 0)
printf '%d DLLs, median of %d rounds\n' ${#files[@]} "$rounds"
awk -v n=${#files[@]} -v w="$listing" 'BEGIN { printf "winedump -j import FILE:  %8.3f s  (%.2f ms per file)\n", w / 1e6, w / 1e3 / n }'
for ((s = 1; s < nsides; s++)); do
  awk -v n=${#files[@]} -v t="$(side_median $s)" -v w="$listing" -v name="${tools[s - 1]}" 'BEGIN {
    printf "%s FILE\n                          %8.3f s  (%.2f ms per file), ratio to the listing %.2f\n", name, t / 1e6, t / 1e3 / n, t / w
  }'
done
