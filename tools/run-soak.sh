#!/bin/sh
# The long reliability run: the soak for SECONDS, the flood of 100,000
# messages, and the close races with ROUNDS rounds each. One persistent
# wineserver, as in run-tests.sh.
#   tools/run-soak.sh BUILD [SECONDS] [ROUNDS]
BUILD=${1:-build}
SOAK_SECONDS=${2:-600}
RACE_ROUNDS=${3:-1000}
WINEPREFIX="$(cd "$BUILD" && pwd)/wineprefix"
export WINEPREFIX
"$BUILD/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1
/usr/lib/wine/wineserver -p
rc=0
PEL_SOAK_SECONDS=$SOAK_SECONDS ctest --test-dir "$BUILD" -R '^soak_test$' --output-on-failure \
  --timeout $((SOAK_SECONDS + 600)) -V | grep -e '^[0-9]*: soak:' -e 'tests passed' || rc=1
PEL_FLOOD_MESSAGES=100000 ctest --test-dir "$BUILD" -R '^hostile_peer_test$' --output-on-failure \
  --timeout 1800 || rc=1
PEL_RACE_ROUNDS=$RACE_ROUNDS ctest --test-dir "$BUILD" -R 'close_race_test$' --output-on-failure \
  --timeout 3600 -V | grep -e 'rounds' -e 'tests passed' || rc=1
/usr/lib/wine/wineserver -k >/dev/null 2>&1
exit $rc
