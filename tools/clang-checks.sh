#!/bin/sh
# Runs clang over the library's sources as the MinGW cross build sees them:
#   threads  syntax-only with the lock rules (-Wthread-safety) and reserved
#            names (-Wreserved-identifier) as errors
#   tidy     clang-tidy with the root .clang-tidy; any finding fails
# clang reads the cross GCC's libstdc++ and the MinGW headers, with its own
# builtin headers in place of GCC's (clang cannot parse GCC's intrinsics).
set -eu

MODE=${1:?usage: clang-checks.sh threads|tidy}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# The sources checked; the same pattern limits the headers clang-tidy
# reports on.
SCOPE='src/'

GXX=x86_64-w64-mingw32-g++-posix
CLANG=clang++-14
TIDY=clang-tidy-14

# GCC's own include folders (intrinsics, fixed headers) give way to clang's.
gcc_own=$(realpath -m "$($GXX -print-file-name=include)")
gcc_fixed=$(realpath -m "$($GXX -print-file-name=include-fixed)")
includes=""
for dir in $($GXX -E -x c++ - -v </dev/null 2>&1 |
  sed -n '/^#include <...> search starts here:/,/^End of search list/{/^ /p}'); do
  dir=$(realpath -m "$dir")
  [ "$dir" = "$gcc_own" ] || [ "$dir" = "$gcc_fixed" ] && continue
  case "$dir" in
    */c++*) includes="$includes -isystem $dir" ;;
    *) system_c="$dir" ;;
  esac
done
includes="$includes -isystem $($CLANG -print-resource-dir)/include -isystem ${system_c:?}"

FLAGS="--target=x86_64-w64-mingw32 -std=c++17 -nostdinc $includes -I$ROOT/include -I$ROOT/src
 -DPEL_IPC_BUILD -DPEL_IPC_STATIC -DPEL_FAULT_INJECTION -Wall -Wextra"

cd "$ROOT"
sources=$(find src -name '*.cpp' | grep -E "^$SCOPE" | sort)
[ -n "$sources" ] || { echo "no sources in $SCOPE" >&2; exit 1; }

failed=0
case "$MODE" in
  threads)
    for src in $sources; do
      # shellcheck disable=SC2086
      $CLANG -fsyntax-only $FLAGS -Wthread-safety -Wthread-safety-beta -Wreserved-identifier -Werror "$src" || failed=1
    done
    ;;
  tidy)
    for src in $sources; do
      # shellcheck disable=SC2086
      $TIDY --quiet --warnings-as-errors='*' --header-filter="^$ROOT/$SCOPE" "$src" -- $FLAGS \
        >"${TMPDIR:-/tmp}/pel-tidy.$$" 2>&1 || {
        failed=1
        cat "${TMPDIR:-/tmp}/pel-tidy.$$"
      }
    done
    rm -f "${TMPDIR:-/tmp}/pel-tidy.$$"
    ;;
  *)
    echo "unknown mode: $MODE" >&2
    exit 2
    ;;
esac
[ "$failed" = 0 ] && echo "clang $MODE: $(echo "$sources" | wc -l) files clean"
exit $failed
