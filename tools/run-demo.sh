#!/bin/sh
# The main job. Until the demo tool exists this shows what the DLL exports.
BUILD=${1:-build}
if [ -f "$BUILD/bin/pelipc.exe" ]; then
  exec "$BUILD/wine-run.sh" "$(cd "$BUILD/bin" && pwd)/pelipc.exe" demo
fi
echo "pel_ipc.dll exports:"
x86_64-w64-mingw32-objdump -p "$BUILD/bin/pel_ipc.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p'
