#!/bin/sh
# The main job: `pelipc demo` under Wine. A server and three client processes
# exchange messages and synchronous calls, the tool prints what happened and
# where the library's log went, and exits 0 only when everything arrived.
BUILD=${1:-build}
if [ ! -f "$BUILD/bin/pelipc.exe" ]; then
  echo "$BUILD/bin/pelipc.exe is missing; run make build first" >&2
  exit 1
fi
exec "$BUILD/wine-run.sh" "$(cd "$BUILD/bin" && pwd)/pelipc.exe" demo
