#!/usr/bin/env bash
# Runs every libFuzzer harness on its checked-in corpus, as many at a time as
# there are cores, and reports executions, coverage and any crash with the
# command that reproduces it. Exits non-zero when a harness found something.
#   fuzz/run.sh HOURS            a long run: HOURS of wall time for all harnesses
#   fuzz/run.sh --each SECONDS   every harness for SECONDS (CI)
#   ... --runs N                 a harness also stops after N executions
# New inputs are kept in build-fuzz/corpus, never in the checked-in corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"

each=""
hours=""
runs=-1
while [ $# -gt 0 ]; do
  case $1 in
    --each) each=${2:?"--each needs seconds"}; shift 2 ;;
    --runs) runs=${2:?"--runs needs a count"}; shift 2 ;;
    *[!0-9.]* | "") echo "usage: fuzz/run.sh HOURS | --each SECONDS [--runs N]" >&2; exit 2 ;;
    *) hours=$1; shift ;;
  esac
done
if [ -z "$each" ] && [ -z "$hours" ]; then
  echo "usage: fuzz/run.sh HOURS | --each SECONDS [--runs N]" >&2
  exit 2
fi

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 -DQX_SANITIZE=fuzzer -DQX_UNIT_ONLY=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers

harnesses=()
for dir in "$root"/fuzz/corpus/*/; do harnesses+=("$(basename "$dir")"); done
jobs=$(nproc)
if [ -z "$each" ]; then
  # Wall time split so that all harnesses finish within HOURS, $jobs at a time.
  rounds=$(((${#harnesses[@]} + jobs - 1) / jobs))
  each=$(awk -v h="$hours" -v r="$rounds" 'BEGIN { s = int(h * 3600 / r); print (s < 1 ? 1 : s) }')
fi
echo "fuzz: ${#harnesses[@]} harnesses, $each s each, $jobs at a time" >&2

dictionary() {
  case $1 in
    helper_options) echo "$root/fuzz/dict/options.dict" ;;
    control_lines) echo "$root/fuzz/dict/control.dict" ;;
    sdp_offer) echo "$root/fuzz/dict/sdp.dict" ;;
    host_settings | update_check | update_request | input_messages) echo "$root/fuzz/dict/json.dict" ;;
    *) echo "$root/fuzz/dict/server.dict" ;;
  esac
}

fuzz_one() {
  local name=$1 corpus="$build/corpus/$1" out="$build/logs/$1.log"
  mkdir -p "$corpus" "$build/logs" "$build/crashes"
  cp -n "$root/fuzz/corpus/$name"/* "$corpus/" 2>/dev/null || true
  local status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/fuzz_$name" -max_total_time="$each" -runs="$runs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="$(dictionary "$name")" -artifact_prefix="$build/crashes/$name-" "$corpus" >"$out" 2>&1 || status=$?
  echo "$status" >"$build/logs/$name.status"
}

pids=()
for name in "${harnesses[@]}"; do
  fuzz_one "$name" &
  pids+=($!)
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done
wait

failed=0
printf '%-16s %12s %8s %8s  %s\n' harness executions coverage features result
for name in "${harnesses[@]}"; do
  log="$build/logs/$name.log"
  status=$(cat "$build/logs/$name.status")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
  result=ok
  if [ "$status" != 0 ]; then
    result="FAILED (exit $status), log $log"
    failed=1
  fi
  printf '%-16s %12s %8s %8s  %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
for crash in "$build"/crashes/*; do
  [ -e "$crash" ] || continue
  name=$(basename "$crash")
  name=${name%%-crash-*}
  name=${name%%-leak-*}
  name=${name%%-timeout-*}
  name=${name%%-oom-*}
  echo "fuzz: found $crash; reproduce with: $build/fuzz/fuzz_$name $crash" >&2
  failed=1
done
exit $failed
