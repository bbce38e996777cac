#!/bin/sh
# Builds the stream cutter fuzzer natively (clang, libFuzzer, ASan, UBSan) and runs it.
#   run-fuzz.sh OUT_DIR runs N     at least N executions, then a full-size pass (the test suite)
#   run-fuzz.sh OUT_DIR time S     S seconds (make fuzz)
# Any crash, leak or sanitizer report fails the run; its input is kept in OUT_DIR/artifacts.
# shellcheck disable=SC2086
set -eu

OUT=$1 MODE=${2:-runs} AMOUNT=${3:-1000000}
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/../../src" && pwd)
CXX=${PEL_FUZZ_CXX:-clang++-14}
FLAGS="-std=c++17 -g -O1 -Wall -Wextra -Werror -I$SRC -DPEL_FAULT_INJECTION \
-fsanitize=address,undefined -fno-sanitize-recover=all"
FUZZER=$OUT/stream_cutter_fuzz
mkdir -p "$OUT/corpus" "$OUT/artifacts" "$OUT/obj"

if [ ! -x "$FUZZER" ] || [ -n "$(find "$HERE" "$SRC/protocol" "$SRC/platform" -newer "$FUZZER" \
  | head -n 1)" ]; then
  echo "run-fuzz: building $FUZZER"
  # Coverage feedback comes from the library code only: the harness and its model are sanitized
  # but not traced, which keeps the search on the cutter.
  for src in protocol/message protocol/stream_cutter platform/diag platform/fault_injection; do
    "$CXX" $FLAGS -fsanitize=fuzzer-no-link -c "$SRC/$src.cpp" -o "$OUT/obj/${src#*/}.o"
  done
  "$CXX" $FLAGS -c "$HERE/stream_cutter_fuzz.cpp" -o "$OUT/harness.o"
  "$CXX" $FLAGS -fsanitize=fuzzer "$OUT/harness.o" "$OUT/obj/"*.o -o "$FUZZER"
fi

# run_pass NAME LEAST LIMIT_OPTION [ENV=VALUE...]: fails the script on any crash, leak or
# sanitizer report (each aborts the fuzzer) and on fewer than LEAST executions.
run_pass() {
  name=$1 least=$2 limit=$3 log="$OUT/$1.log" && shift 3
  if ! env "$@" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$FUZZER" "$limit" -max_len=8192 -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$OUT/artifacts/" "$OUT/corpus" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "run-fuzz: $name FAILED; the input is in $OUT/artifacts" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "run-fuzz: $name: ${runs:-0} executions, $(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)"
  [ "${runs:-0}" -ge "$least" ] || { echo "run-fuzz: $name made fewer than $least" >&2; exit 1; }
}

case $MODE in
  # Many quick executions within the first buffer, then fewer that frame payloads up to the largest
  # legal size and grow it (its exact growth steps the wire test pins as well).
  runs) run_pass quick "$AMOUNT" "-runs=$AMOUNT" PEL_FUZZ_QUICK=1
        run_pass full-size 1 "-runs=${PEL_FUZZ_FULL_RUNS:-10000}" ;;
  time) run_pass long 1 "-max_total_time=$AMOUNT" ;;
  *) echo "run-fuzz: mode is runs or time" >&2; exit 2 ;;
esac
echo "run-fuzz: no crash, leak or sanitizer report"
