#!/usr/bin/env bash
# Builds the library and its tests for 32- and 64-bit Windows with mingw-w64
# and runs both suites under Wine against a simulated reader on COM1.
# Installs what it needs (Debian); exits non-zero when anything fails.
# On a machine whose kernel cannot execute 32-bit x86 programs, the i686
# suite is built but not run, and says so in a line "skipped N tests, ...".
#
#   scripts/test_windows.sh [build root, default build/windows]
#   RDR00800_NO_I386=1 scripts/test_windows.sh   # as if 32-bit programs could not run
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${1:-$root/build/windows}
SECONDS=0
step() { printf '== %-44s (%3ds)\n' "$*" "$SECONDS"; }

# Some kernels are built without 32-bit x86 support, and Debian's wine picks
# the 32-bit loader whenever wine32 is installed. So ask the kernel: a
# 96-byte i386 program that only exits 42.
i386_refusal() {
  if [ -n "${RDR00800_NO_I386:-}" ]; then
    echo "RDR00800_NO_I386 is set, as if this kernel could not execute 32-bit x86 programs"
    return
  fi
  mkdir -p "$build_root"
  local probe status=0 error
  probe=$(mktemp "$build_root/i386-probe.XXXXXX")
  printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0'\
'\x34\0\x20\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0'\
'\xbb\x2a\0\0\0\xb8\x01\0\0\0\xcd\x80' >"$probe"
  chmod +x "$probe"
  error=$(LC_ALL=C "$probe" 2>&1) || status=$?
  rm -f "$probe"
  if ((status == 42)); then
    return
  elif [[ $error == *"Exec format error"* ]]; then
    echo "this kernel cannot execute 32-bit x86 programs (Exec format error)"
  else
    echo "cannot tell whether 32-bit x86 programs run: the probe exited $status: $error" >&2
    return 1
  fi
}
i386_refusal=$(i386_refusal)

step "packages"
wine_packages=(wine wine64 wine32:i386)
wine=wine
if [ -n "$i386_refusal" ]; then
  # wine32 may be left by an earlier run: the 64-bit loader, called directly,
  # runs the 64-bit programs itself instead of handing them to wine32.
  wine_packages=(wine wine64)
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  export WINELOADER=$wine
fi
bash "$root/scripts/setup.sh" g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix "${wine_packages[@]}" socat \
  googletest ser2net

# A fresh prefix per run; everything this script starts ends with it.
work=$(mktemp -d /tmp/rdr00800-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
socat_pid="" keeper_pid="" ser2net_pid=""
cleanup() {
  exec 9>&- 2>/dev/null || true
  [ -z "$keeper_pid" ] || wait "$keeper_pid" 2>/dev/null || true
  [ -z "$ser2net_pid" ] || kill -KILL "$ser2net_pid" 2>/dev/null || true
  [ -z "$socat_pid" ] || kill "$socat_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The reader: COM2 writes into COM1 through a pseudo-terminal pair.
socat pty,raw,echo=0,link="$work/com1" pty,raw,echo=0,link="$work/com2" &
socat_pid=$!

# A network reader: ser2net on loopback serves COM1's pseudo-terminal (it
# opens it only while a client is connected), for the Winsock tests.
ser2net_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'connection: &com1\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
  "$ser2net_port" "$work/com1" >"$work/ser2net.yaml"
ser2net -n -u -c "$work/ser2net.yaml" >/dev/null 2>&1 &
ser2net_pid=$!
export RDR00800_SER2NET_RFC2217=rfc2217://127.0.0.1:$ser2net_port

step "creating the Wine prefix"
"$wine" wineboot -i >/dev/null 2>&1
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
"$wine" regedit /S "$("$wine" winepath -w "$work/setup.reg")"
# Restart so the ports are read, then keep the server and one Wine process
# alive: otherwise every test program pays for starting Wine afresh.
wineserver -k; wineserver -w
wineserver -p >/dev/null 2>&1
"$wine" cmd /c exit
mkfifo "$work/keeper"
"$wine" cmd <"$work/keeper" >/dev/null 2>&1 &
keeper_pid=$!
exec 9>"$work/keeper"  # cmd waits on its input until this closes

status=0
for arch in x86_64 i686; do
  build="$build_root/$arch"
  # Test discovery runs the test programs, by default right after the build;
  # where i686 cannot run, it is put off to a test run that never comes.
  discovery=POST_BUILD
  [ "$arch" = x86_64 ] || [ -z "$i386_refusal" ] || discovery=PRE_TEST
  step "configuring $arch"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DRDR00800_BUILD_TOOLS=ON -DRDR00800_BUILD_TESTS=ON -DRDR00800_GOOGLETEST_SOURCE_DIR=/usr/src/googletest \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=$discovery >/dev/null
  step "building $arch"
  if [ "$discovery" = PRE_TEST ]; then
    # Tests that cannot run here would only cost build time: the DLLs alone
    # still show what fails to compile or export for 32 bits.
    cmake --build "$build" --target rdr00800 rdr00800_sample_decrypt
    echo "skipped $tests tests, the i686 suite: $i386_refusal"
    continue
  fi
  cmake --build "$build"
  # Both builds configure the same tests: count them for an i686 suite that
  # cannot run. Before the run, whose log (with the skip reasons) -N replaces.
  [ -z "$i386_refusal" ] || tests=$(ctest --test-dir "$build" -N | grep -oP '^Total Tests: \K[0-9]+')
  step "testing $arch"
  ctest --test-dir "$build" --output-on-failure -j2 || status=1
done
step "done, status $status"
exit $status
