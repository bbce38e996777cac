#!/bin/sh
# Installs what a fresh Debian machine lacks to build and test pel_ipc.
# Quiet and quick when everything is already there.
set -e

need=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix"
command -v x86_64-w64-mingw32-objdump >/dev/null 2>&1 || need="$need binutils-mingw-w64-x86-64"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v make >/dev/null 2>&1 || need="$need make"
# The suite's native checks: the fuzzer, the lock analysis, clang-tidy and
# the MSVC-style host.
if [ "${PEL_NEED_FUZZ:-0}" = 1 ]; then
  command -v clang++-14 >/dev/null 2>&1 || need="$need clang-14"
  command -v clang-tidy-14 >/dev/null 2>&1 || need="$need clang-tidy-14"
  # The MSVC-style host of the install test is linked by lld-link.
  command -v lld-link-14 >/dev/null 2>&1 || need="$need lld-14"
  command -v llvm-dlltool-14 >/dev/null 2>&1 || need="$need llvm-14"
  ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need="$need libclang-rt-14-dev"
fi

[ -z "$need" ] && exit 0

echo "installing:$need"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq $need >/dev/null
