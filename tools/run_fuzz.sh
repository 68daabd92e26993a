#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while over its seed corpus.
# Usage: tools/run_fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (targets: lx ne pe loader apiset)
# Findings are left as crash-*/leak-*/timeout-* files in build-fuzz/findings/TARGET and
# make the script exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(lx ne pe loader apiset)

CXX=clang++ cmake -S . -B build-fuzz -DTALVEK_FUZZ=ON -DTALVEK_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_seeds $(printf 'fuzz_%s ' "${targets[@]}")
rm -rf build-fuzz/seeds
build-fuzz/tests/fuzz/fuzz_seeds build-fuzz/seeds

status=0
for t in "${targets[@]}"; do
  # Absolute paths: the target moves into a folder of its own on its first input.
  work=$PWD/build-fuzz/corpus-work/$t
  findings=$PWD/build-fuzz/findings/$t
  mkdir -p "$work" "$findings"
  echo "fuzzing $t for ${seconds}s"
  if ! build-fuzz/tests/fuzz/fuzz_$t -max_total_time="$seconds" -close_fd_mask=3 -max_len=16384 \
       -rss_limit_mb=2048 -timeout=20 -artifact_prefix="$findings/" -print_final_stats=1 \
       "$work" "$PWD/build-fuzz/seeds/$t" 2>"build-fuzz/fuzz-$t.log"; then
    echo "fuzz_$t found a failure:"
    tail -n 60 "build-fuzz/fuzz-$t.log"
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done" "build-fuzz/fuzz-$t.log" || true
  fi
done
exit $status
