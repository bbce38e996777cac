#!/bin/sh
# Runs the whole suite with one persistent wineserver, so each test process
# starts in a fraction of a second.
BUILD=${1:-build}
WINEPREFIX="$(cd "$BUILD" && pwd)/wineprefix"
export WINEPREFIX
"$BUILD/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1
# Each run starts with empty log folders in the prefix (the wrapper made them).
rm -rf "$WINEPREFIX"/drive_c/Documents/Morrow/log/* "$WINEPREFIX"/drive_c/users/*/Documents/Morrow/log/*
/usr/lib/wine/wineserver -p
ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 600
rc=$?
/usr/lib/wine/wineserver -k >/dev/null 2>&1
exit $rc
