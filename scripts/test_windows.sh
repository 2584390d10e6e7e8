#!/usr/bin/env bash
# Builds the library and its tests for 32- and 64-bit Windows with mingw-w64
# and runs both suites under Wine against a simulated reader on COM1.
# Installs what it needs (Debian); exits non-zero when anything fails.
#
#   scripts/test_windows.sh [build root, default build/windows]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${1:-$root/build/windows}
SECONDS=0
step() { printf '== %-44s (%3ds)\n' "$*" "$SECONDS"; }

step "packages"
bash "$root/scripts/setup.sh" g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386 socat \
  googletest

# A fresh prefix per run; everything this script starts ends with it.
work=$(mktemp -d /tmp/rdr00800-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
socat_pid="" keeper_pid=""
cleanup() {
  exec 9>&- 2>/dev/null || true
  [ -z "$keeper_pid" ] || wait "$keeper_pid" 2>/dev/null || true
  [ -z "$socat_pid" ] || kill "$socat_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The reader: COM2 writes into COM1 through a pseudo-terminal pair.
socat pty,raw,echo=0,link="$work/com1" pty,raw,echo=0,link="$work/com2" &
socat_pid=$!

step "creating the Wine prefix"
wineboot -i >/dev/null 2>&1
# Wine rewrites hand-made dosdevices links at start: ports go through the
# registry. No display: message-only and hidden windows need no driver. A
# crash shows no dialog and fails the test.
cat >"$work/setup.reg" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]
"Graphics"="null"

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM1"="$work/com1"
"COM2"="$work/com2"
REG
wine regedit /S "$(winepath -w "$work/setup.reg")"
# Restart so the ports are read, then keep the server and one Wine process
# alive: otherwise every test program pays for starting Wine afresh.
wineserver -k; wineserver -w
wineserver -p >/dev/null 2>&1
wine cmd /c exit
mkfifo "$work/keeper"
wine cmd <"$work/keeper" >/dev/null 2>&1 &
keeper_pid=$!
exec 9>"$work/keeper"  # cmd waits on its input until this closes

status=0
for arch in x86_64 i686; do
  build="$build_root/$arch"
  step "configuring $arch"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DRDR00800_BUILD_TOOLS=ON -DRDR00800_BUILD_TESTS=ON -DRDR00800_GOOGLETEST_SOURCE_DIR=/usr/src/googletest >/dev/null
  step "building $arch"
  cmake --build "$build"
  step "testing $arch"
  ctest --test-dir "$build" --output-on-failure -j2 || status=1
done
step "done, status $status"
exit $status
