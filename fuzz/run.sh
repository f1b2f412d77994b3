#!/bin/bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) and runs each for
# MINUTES (a fraction is fine: 0.2), two at a time, then prints executions,
# coverage and findings per target. Findings are kept in fuzz/findings/.
# Inputs that once failed are kept in fuzz/regressions/TARGET/ and replayed
# first. The exit status is 1 when anything was found.
# Usage: fuzz/run.sh MINUTES [TARGET...]
set -eu
cd "$(dirname "$0")/.."
minutes=${1:?usage: fuzz/run.sh MINUTES [TARGET...]}
shift
targets=${*:-session tls_session suspicion log_format dns_answer upstream_args client_key decision_line}
seconds=$(awk "BEGIN { s = int($minutes * 60); print (s < 1 ? 1 : s) }")
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DOSTREL_FUZZ=ON -DOSTREL_TESTS=OFF >/dev/null
# Only the targets run here: the programs themselves are not fuzzed.
cmake --build build-fuzz -j "$(nproc)" --target $(printf 'fuzz_%s ' $targets) >/dev/null
mkdir -p fuzz/findings fuzz/logs
run_one() {
  t=$1
  work=$(mktemp -d)
  cp fuzz/corpus/"$t"/* "$work"/
  mkdir -p fuzz/findings/"$t"
  if [ -d fuzz/regressions/"$t" ]; then
    build-fuzz/bin/fuzz_"$t" -close_fd_mask=3 fuzz/regressions/"$t"/* >fuzz/logs/"$t".regressions.log 2>&1 ||
      cp fuzz/regressions/"$t"/* fuzz/findings/"$t"/
  fi
  build-fuzz/bin/fuzz_"$t" -max_total_time="$seconds" -close_fd_mask=3 -max_len=8192 \
    -artifact_prefix=fuzz/findings/"$t"/ "$work" >fuzz/logs/"$t".log 2>&1 || true
  rm -rf "$work"
}
for t in $targets; do
  run_one "$t" &
  [ "$(jobs -p | wc -l)" -ge 2 ] && wait -n 2>/dev/null || true
done
wait
status=0
printf '%-15s %12s %8s %9s\n' target executions coverage findings
for t in $targets; do
  log=fuzz/logs/$t.log
  execs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  found=$(find fuzz/findings/"$t" -type f | wc -l)
  printf '%-15s %12s %8s %9s\n' "$t" "${execs:-?}" "${cov:-?}" "$found"
  [ "$found" -eq 0 ] || status=1
done
exit $status
