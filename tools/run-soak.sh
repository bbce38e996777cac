#!/bin/sh
# The long reliability run: the soak for SECONDS, the flood of 100,000
# messages, and the races: ROUNDS synchronous calls cut off (ten a round,
# by a disconnect or a destroy) and the quick races in between. One persistent
# wineserver, as in run-tests.sh; each program's whole output goes to
# BUILD/soak-logs/, the figures to the terminal.
#   tools/run-soak.sh BUILD [SECONDS] [ROUNDS]
BUILD=${1:-build}
SOAK_SECONDS=${2:-600}
RACE_ROUNDS=${3:-1000}
WINEPREFIX="$(cd "$BUILD" && pwd)/wineprefix"
export WINEPREFIX
LOGS="$BUILD/soak-logs"
mkdir -p "$LOGS"
"$BUILD/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1
/usr/lib/wine/wineserver -p

rc=0
# run NAME [ENV=VALUE...] [-- gtest arguments]
run() {
  name=$1
  shift
  log="$LOGS/$name.log"
  echo "== $name"
  if env "$@" "$BUILD/wine-run.sh" "$(cd "$BUILD" && pwd)/bin/$name.exe" >"$log" 2>&1 </dev/null; then
    grep -e 'soak:' -e 'rounds' -e '^\[ *OK' "$log" | grep -v '^\[ *OK' || true
    grep -c '^\[       OK' "$log" | sed 's/$/ tests passed/'
  else
    tail -n 40 "$log"
    echo "$name FAILED; its output is in $log"
    rc=1
  fi
}

run soak_test PEL_SOAK_SECONDS="$SOAK_SECONDS"
run hostile_test PEL_FLOOD_MESSAGES=100000
run races_test PEL_RACE_ROUNDS="$((RACE_ROUNDS / 10))"
/usr/lib/wine/wineserver -k >/dev/null 2>&1
exit $rc
