#!/usr/bin/env bash
# Builds the Debian packages (librdr00800-N, librdr00800-dev, rdr00800-tools,
# python3-rdr00800, rdr00800-service) from a release tree, as a release tarball
# holds this checkout (git archive of HEAD with the changes not yet committed,
# in git archive's modes, in <build tree>/source), checks them with lintian and
# installs them with dpkg
# into a throwaway copy of this machine: an overlay over / in a mount
# namespace of its own, so the machine's files and dpkg database stay as
# they are. There it runs rdr demo from /usr/bin, builds the README's host
# with pkg-config against /usr and runs it against rdr simulate, runs the
# README's Python example, tries the bash completion and the man page,
# checks rdrd's unit with systemd-analyze verify and starts rdrd on its
# packaged configuration with the token as its credential,
# removes the packages with dpkg -r and checks that no file of theirs is
# left. As root, on Debian.
#
#   scripts/test_package.sh [build tree, default build/package]
#
# A build tree already configured from its release tree is only brought up to
# date; a missing one, or one configured from elsewhere, is configured as the
# README does, with warnings as errors, so the
# packages' Release build is also a check that it warns of nothing. A tree
# that installs elsewhere than /usr (build/default) is refused: its library
# directory is not Debian's multiarch one.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
case ${1:-} in
--throwaway | --inside) mode=$1 build=$2 work=${3:-} ;;
*) mode=outside build=$(realpath -m "${1:-$root/build/package}") ;;
esac
source=$build/source
SECONDS=${RDR00800_PACKAGE_SECONDS:-0}  # the steps in the throwaway root count on
step() { printf '== %-50s (%3ds)\n' "$*" "$SECONDS"; }

# ---- Inside the throwaway root ----
if [[ $mode == --inside ]]; then
  cd "$(mktemp -d)"
  simulator=""
  trap '[[ -z $simulator ]] || kill "$simulator"' EXIT
  packages=("$build"/librdr00800-[0-9]*_*.deb "$build"/librdr00800-dev_*.deb "$build"/rdr00800-tools_*.deb
    "$build"/python3-rdr00800_*.deb "$build"/rdr00800-service_*.deb)
  # What of the packages' directories exists before, so that it may stay.
  for package in "${packages[@]}"; do dpkg-deb --fsys-tarfile "$package" | tar -t; done | sed 's|^\./|/|' |
    sort -u >contents
  while read -r path; do [[ ! -e $path ]] || echo "$path"; done <contents >existed

  step "dpkg -i"
  dpkg -i "${packages[@]}" >/dev/null

  step "rdr demo from /usr/bin"
  [[ $(command -v rdr) == /usr/bin/rdr ]]
  /usr/bin/rdr demo

  step "the README's host, built with pkg-config against /usr"
  sed -n '/^## A host in 20 lines/,/^## /p' "$source/README.md" | sed -n '/^```cpp$/,/^```$/p' | sed '1d;$d' >host.cpp
  g++ -std=c++20 host.cpp $(pkg-config --cflags --libs rdr00800) -o host
  [[ $(pkg-config --variable=libdir rdr00800) == /usr/lib* ]]
  [[ $(PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 pkg-config --cflags rdr00800) == "-I/usr/include " ]]
  # A period longer than one poll of the library: one code per poll.
  rdr simulate --kind optical --frame 'CODE42\r\n' --every 1200 >simulator &
  simulator=$!
  until [[ -s simulator ]]; do kill -0 "$simulator" && sleep 0.05; done
  env -u LD_LIBRARY_PATH ./host "$(head -1 simulator)" | tee relayed
  kill "$simulator" && simulator=""
  grep -q CODE42 relayed

  step "the installed Python module and the README's example"
  /usr/bin/python3 -c 'import rdr00800; print(rdr00800.__file__)' | grep '^/usr/lib/python3/dist-packages/'
  (cd "$source/python/tests" && RDR=/usr/bin/rdr RDR00800_SOURCE_DIR=$source SAMPLE_LIBRARY=/usr/lib/rdr00800/sample/KQZR32.dll \
    /usr/bin/python3 -m unittest test_rdr00800)

  step "bash completion"
  source /usr/share/bash-completion/completions/rdr
  complete_words() {
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
    _rdr
    echo "${COMPREPLY[*]}"
  }
  [[ $(complete_words rdr read --baud 96) == 9600 ]]
  [[ $(complete_words rdr simulate --kind o) == optical ]]
  [[ " $(complete_words rdr scan --port /dev/tty) " != *" /dev/tty0 "* ]]

  step "man rdr: each option's Needs: on a line of its own"
  man -w rdr
  MANWIDTH=100 man rdr 2>/dev/null | grep -q '^ *Needs: --optical$'

  step "rdr00800-service: its unit, files, token and configuration"
  systemd-analyze verify /usr/lib/systemd/system/rdrd.service
  man -w rdrd
  [[ $(dpkg-query -W -f='${Conffiles}' rdr00800-service) == *" /etc/rdr00800/rdrd.toml "* ]]
  [[ $(stat -c %a /usr/lib/systemd/system/rdrd.service /etc/rdr00800/rdrd.toml /usr/share/man/man8/rdrd.8.gz |
    sort -u) == 644 ]]
  [[ $(stat -c %a /etc/rdr00800/token) == 600 && $(wc -c </etc/rdr00800/token) == 48 ]]
  mkdir credentials && cp /etc/rdr00800/token credentials/token
  # In a network namespace of its own: the packaged port may be taken on this machine.
  CREDENTIALS_DIRECTORY=$PWD/credentials unshare --net -- sh -c \
    'ip link set lo up && exec /usr/bin/rdrd --config /etc/rdr00800/rdrd.toml' 2>rdrd.log &
  rdrd=$!
  until grep -q "listening on 127.0.0.1:8765" rdrd.log; do kill -0 "$rdrd" && sleep 0.05; done
  kill -TERM "$rdrd" && wait "$rdrd"

  step "dpkg -r"
  dpkg -r rdr00800-service python3-rdr00800 rdr00800-tools librdr00800-dev "$(basename "${packages[0]}" | cut -d_ -f1)" >/dev/null
  # Removal keeps the conffile and the token, as Debian does; the purge takes them.
  dpkg --purge rdr00800-service >/dev/null
  left=$(while read -r path; do [[ ! -e $path && ! -L $path ]] || echo "$path"; done <contents | comm -23 - existed)
  if [[ -n $left ]]; then
    echo "left behind after dpkg -r:" >&2
    echo "$left" >&2
    exit 1
  fi
  exit 0
fi

# ---- In a mount namespace of its own: the overlay, then the checks in it ----
if [[ $mode == --throwaway ]]; then
  mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$work/root"
  for mount in /proc /sys /dev; do mount --rbind "$mount" "$work/root$mount"; done
  exec chroot "$work/root" "$BASH" "$root/scripts/test_package.sh" --inside "$build"
fi

step "packages"
bash "$root/scripts/setup.sh" cmake ninja-build g++ pkg-config unixodbc-dev libsqliteodbc libcli11-dev libx11-dev \
  libxtst-dev help2man lintian dpkg-dev man-db python3 libboost-dev nlohmann-json3-dev libtomlplusplus-dev \
  libmosquitto-dev systemd

step "a release tree in ${source#"$root"/}"
# Tracked files only, as committed plus what is changed but not committed;
# files not yet added to git are not in a release either. The extraction
# time as every file's time, so that the build sees each change.
rm -rf "$source"
mkdir -p "$source"
snapshot=$(git -C "$root" stash create)
git -C "$root" archive "${snapshot:-HEAD}" | tar -x -m -p -C "$source"
if [[ -f $build/CMakeCache.txt ]] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$source" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi

step "building the packages in ${build#"$root"/}"
[[ -f $build/CMakeCache.txt ]] ||
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRDR00800_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DRDR00800_WERROR=ON >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if [[ $prefix != /usr ]]; then
  echo "${build#"$root"/} installs to $prefix, not /usr: run this script without an argument for a tree of its own" >&2
  exit 2
fi
cmake --build "$build" -j2 >"$build/package-build.log" || { cat "$build/package-build.log" >&2; exit 1; }
rm -f "$build"/*rdr00800*.deb
(cd "$build" && cpack -G DEB 2>&1 | grep 'generated\.$')

step "lintian"
lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "$build"/*rdr00800*.deb

work=$(mktemp -d /tmp/rdr00800-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/upper" "$work/work" "$work/root"
RDR00800_PACKAGE_SECONDS=$SECONDS unshare --mount --propagation private -- "$BASH" "$0" --throwaway "$build" "$work"
step "done"
