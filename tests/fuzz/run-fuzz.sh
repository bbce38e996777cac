#!/bin/sh
# Builds the stream cutter fuzzer natively (clang, libFuzzer, ASan, UBSan)
# and runs it.
#   run-fuzz.sh OUT_DIR runs N     at least N executions (the test suite)
#   run-fuzz.sh OUT_DIR time S     S seconds (make fuzz)
# Any crash, leak or sanitizer report fails the run; the input that caused it
# is kept in OUT_DIR/artifacts.
set -eu

OUT=$1
MODE=${2:-runs}
AMOUNT=${3:-1000000}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CXX=${PEL_FUZZ_CXX:-clang++-14}

if ! command -v "$CXX" >/dev/null 2>&1; then
  echo "run-fuzz: $CXX not found (make test installs clang-14 and libclang-rt-14-dev)" >&2
  exit 1
fi

mkdir -p "$OUT/corpus" "$OUT/artifacts" "$OUT/obj"
FUZZER="$OUT/stream_cutter_fuzz"
CORE="$ROOT/src/protocol/message.cpp $ROOT/src/protocol/stream_cutter.cpp \
$ROOT/src/platform/diag.cpp $ROOT/src/platform/fault_injection.cpp"
FLAGS="-std=c++17 -g -O1 -Wall -Wextra -Werror -I$ROOT/src -DPEL_FAULT_INJECTION"
SAN="-fsanitize=address,undefined -fno-sanitize-recover=all"

if [ ! -x "$FUZZER" ] || [ -n "$(find "$HERE" "$ROOT/src/protocol" "$ROOT/src/platform" \
  -newer "$FUZZER" 2>/dev/null | head -n 1)" ]; then
  echo "run-fuzz: building $FUZZER"
  # Coverage feedback comes from the library code only: the harness and its
  # model are sanitized but not traced, which keeps the search on the cutter.
  for src in $CORE; do
    # shellcheck disable=SC2086
    "$CXX" $FLAGS $SAN -fsanitize=fuzzer-no-link -c "$src" -o "$OUT/obj/$(basename "$src" .cpp).o"
  done
  # shellcheck disable=SC2086
  "$CXX" $FLAGS $SAN -c "$HERE/stream_cutter_fuzz.cpp" -o "$OUT/harness.o"
  # shellcheck disable=SC2086
  "$CXX" $SAN -fsanitize=fuzzer "$OUT/harness.o" "$OUT/obj/"*.o -o "$FUZZER"
fi

# One pass: run_pass NAME LIMIT_OPTION [ENV=VALUE...]; any crash, leak or
# sanitizer report fails the script.
TOTAL=0
run_pass() {
  name=$1 limit=$2 log="$OUT/$1.log"
  shift 2
  rc=0
  env "$@" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$FUZZER" "$limit" -max_len=8192 -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$OUT/artifacts/" "$OUT/corpus" >"$log" 2>&1 || rc=$?
  if [ $rc -ne 0 ] || grep -q -e 'ERROR: ' -e 'runtime error' -e 'invariant broken' "$log"; then
    tail -n 60 "$log"
    echo "run-fuzz: $name FAILED (exit $rc); the input is in $OUT/artifacts" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  TOTAL=$((TOTAL + ${runs:-0}))
  echo "run-fuzz: $name: ${runs:-0} executions, $(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)"
}

case $MODE in
  runs)
    # The many executions frame payloads up to 64 KiB (growth past the initial
    # buffer still happens); a shorter pass then lets them grow to 5 MiB, whose
    # exact growth steps the wire test pins as well.
    run_pass quick "-runs=$AMOUNT" PEL_FUZZ_BODY_LIMIT=65536
    if [ "$TOTAL" -lt "$AMOUNT" ]; then
      echo "run-fuzz: only $TOTAL of $AMOUNT executions" >&2
      exit 1
    fi
    run_pass full-size "-runs=${PEL_FUZZ_FULL_RUNS:-10000}"
    ;;
  time) run_pass long "-max_total_time=$AMOUNT" ;;
  *) echo "run-fuzz: mode is runs or time" >&2; exit 2 ;;
esac
echo "run-fuzz: $TOTAL executions in all, no crash, leak or sanitizer report"
