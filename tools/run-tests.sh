#!/bin/sh
# Runs the whole suite with one persistent wineserver, so each test process
# starts in a fraction of a second.
BUILD=${1:-build}
WINEPREFIX="$(cd "$BUILD" && pwd)/wineprefix"
export WINEPREFIX
"$BUILD/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1
/usr/lib/wine/wineserver -p
ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 600
rc=$?
/usr/lib/wine/wineserver -k >/dev/null 2>&1
exit $rc
