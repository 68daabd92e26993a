#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while over its corpus.
# Usage: tools/run_fuzz.sh [-j JOBS] [SECONDS_PER_TARGET] [TARGET...]   (targets: lx ne pe loader apiset)
#
# Without -j each target runs as one process that stops at its first finding (the short run
# of CI). With -j JOBS each target runs as JOBS processes (libFuzzer's fork mode) that go on
# past findings, for a campaign left running for hours on every core:
#     tools/run_fuzz.sh -j "$(nproc)" 14400
# The corpus of each target grows in build-fuzz/corpus-work/TARGET and is kept between runs;
# the writer-made seeds are made afresh each run. Findings (crash-*, leak-*, timeout-*,
# oom-*) land in build-fuzz/findings/TARGET; each new one is listed, with the command that
# replays it, on standard output and in build-fuzz/findings/REPLAY, and makes the script exit
# non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=0
if [ "${1:-}" = "-j" ]; then
  jobs=${2:?"-j needs a job count"}
  shift 2
fi
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(lx ne pe loader apiset)

CXX=clang++ cmake -S . -B build-fuzz -DTALVEK_FUZZ=ON -DTALVEK_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_seeds $(printf 'fuzz_%s ' "${targets[@]}")
rm -rf build-fuzz/seeds
build-fuzz/tests/fuzz/fuzz_seeds build-fuzz/seeds

# Fork mode: JOBS child processes at a time, each on a slice of the corpus; a finding is
# kept and the campaign goes on.
mode=()
[ "$jobs" -gt 0 ] && mode=(-fork="$jobs" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)

status=0
for t in "${targets[@]}"; do
  # Absolute paths: the target moves into a folder of its own on its first input.
  work=$PWD/build-fuzz/corpus-work/$t
  findings=$PWD/build-fuzz/findings/$t
  mkdir -p "$work" "$findings"
  before=$(ls "$findings")
  echo "fuzzing $t for ${seconds}s${mode:+ with $jobs jobs}"
  if ! build-fuzz/tests/fuzz/fuzz_$t ${mode[@]+"${mode[@]}"} -max_total_time="$seconds" -close_fd_mask=3 -max_len=16384 \
       -rss_limit_mb=2048 -timeout=20 -artifact_prefix="$findings/" -print_final_stats=1 \
       "$work" "$PWD/build-fuzz/seeds/$t" 2>"build-fuzz/fuzz-$t.log"; then
    echo "fuzz_$t found a failure:"
    tail -n 60 "build-fuzz/fuzz-$t.log"
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done|^INFO: fuzzed for" "build-fuzz/fuzz-$t.log" || true
  fi
  for f in $(comm -13 <(echo "$before") <(ls "$findings")); do
    line="build-fuzz/tests/fuzz/fuzz_$t build-fuzz/findings/$t/$f"
    echo "$t finding, replay with: $line"
    echo "$line" >>build-fuzz/findings/REPLAY
    status=1
  done
done
exit $status
