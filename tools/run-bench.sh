#!/bin/sh
# `pelipc bench` under Wine with its defaults: the library against a raw
# named-pipe baseline. The table goes to the terminal, the same as JSON to
# $BUILD/bench.json. Extra arguments go to pelipc (e.g. --quick).
BUILD=${1:-build}
shift 2>/dev/null
if [ ! -f "$BUILD/bin/pelipc.exe" ]; then
  echo "$BUILD/bin/pelipc.exe is missing; run make build first" >&2
  exit 1
fi
dir=$(cd "$BUILD" && pwd)
# Wine's drive Z: is the Unix root.
json="Z:$(printf '%s' "$dir/bench.json" | tr / '\\')"
exec "$BUILD/wine-run.sh" "$dir/bin/pelipc.exe" bench --json "$json" "$@"
