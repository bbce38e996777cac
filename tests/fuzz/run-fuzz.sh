#!/bin/sh
# Builds the stream cutter fuzzer natively (clang, libFuzzer, ASan, UBSan),
# writes its seed corpus and runs it.
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

mkdir -p "$OUT/seeds" "$OUT/corpus" "$OUT/artifacts"
FUZZER="$OUT/stream_cutter_fuzz"
SEEDER="$OUT/make_seeds"
CORE="$ROOT/src/protocol/message.cpp $ROOT/src/protocol/stream_cutter.cpp $ROOT/src/platform/diag.cpp"
DEPS="$HERE/stream_cutter_fuzz.cpp $HERE/buffer_reuse.cpp $HERE/make_seeds.cpp $HERE/run-fuzz.sh $ROOT/src/protocol \
$ROOT/src/platform/alloc.h $ROOT/src/platform/diag.h $ROOT/src/platform/diag.cpp \
$ROOT/src/platform/fault_injection.h $ROOT/src/platform/fault_injection.cpp"
FLAGS="-std=c++17 -g -O1 -Wall -Wextra -Werror -I$ROOT/src"

stale() {
  [ ! -x "$1" ] && return 0
  [ -n "$(find $DEPS -newer "$1" 2>/dev/null | head -n 1)" ]
}

SAN="-fsanitize=address,undefined -fno-sanitize-recover=all"
if stale "$FUZZER"; then
  echo "run-fuzz: building $FUZZER"
  # Coverage feedback comes from the library code only: the harness and its
  # reference model are sanitized but not traced, which keeps the pace up and
  # the search on the cutter.
  rm -rf "$OUT/obj" && mkdir -p "$OUT/obj"
  for src in $CORE "$ROOT/src/platform/fault_injection.cpp"; do
    # shellcheck disable=SC2086
    "$CXX" $FLAGS -DPEL_FAULT_INJECTION $SAN -fsanitize=fuzzer-no-link -c "$src" \
      -o "$OUT/obj/$(basename "$src" .cpp).o"
  done
  # shellcheck disable=SC2086
  for src in "$HERE/stream_cutter_fuzz.cpp" "$HERE/buffer_reuse.cpp"; do
    # shellcheck disable=SC2086
    "$CXX" $FLAGS -DPEL_FAULT_INJECTION $SAN -c "$src" -o "$OUT/obj/$(basename "$src" .cpp).o"
  done
  # The library's array new/delete go through buffer_reuse.cpp.
  # shellcheck disable=SC2086
  "$CXX" $SAN -fsanitize=fuzzer -Wl,--wrap=_ZnamRKSt9nothrow_t -Wl,--wrap=_ZdaPv \
    "$OUT/obj/"*.o -o "$FUZZER"
fi
if stale "$SEEDER"; then
  # shellcheck disable=SC2086
  "$CXX" $FLAGS $SAN "$HERE/make_seeds.cpp" $CORE -o "$SEEDER"
fi
rm -f "$OUT/seeds/"*
"$SEEDER" "$OUT/seeds"

# One fuzzing pass: run_pass NAME LIMIT_OPTION [ENV=VALUE...]. Fails the
# script on any crash, leak or sanitizer report.
TOTAL=0
run_pass() {
  name=$1
  limit=$2
  shift 2
  log="$OUT/$name.log"
  set +e
  env "$@" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$FUZZER" "$limit" -max_len=8192 -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$OUT/artifacts/" "$OUT/corpus" "$OUT/seeds" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ $rc -ne 0 ] || grep -q -e 'ERROR: ' -e 'runtime error' -e 'invariant broken' "$log"; then
    tail -n 60 "$log"
    echo "run-fuzz: $name FAILED (exit $rc); the input is in $OUT/artifacts" >&2
    exit 1
  fi
  TOTAL=$((TOTAL + ${runs:-0}))
  echo "run-fuzz: $name: ${runs:-0} executions, $(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)"
}

case $MODE in
  runs)
    # Megabyte messages copy for milliseconds; the many executions use
    # payloads up to 64 KiB (growth past the initial buffer still happens),
    # then a shorter pass lets them grow to the full 5 MiB.
    run_pass quick "-runs=$AMOUNT" PEL_FUZZ_BODY_LIMIT=65536
    if [ "$TOTAL" -lt "$AMOUNT" ]; then
      echo "run-fuzz: only $TOTAL of $AMOUNT executions" >&2
      exit 1
    fi
    run_pass full-size "-runs=${PEL_FUZZ_FULL_RUNS:-20000}"
    ;;
  time) run_pass long "-max_total_time=$AMOUNT" ;;
  *) echo "run-fuzz: mode is runs or time" >&2; exit 2 ;;
esac
echo "run-fuzz: $TOTAL executions in all, no crash, leak or sanitizer report"
