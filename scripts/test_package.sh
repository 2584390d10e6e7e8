#!/usr/bin/env bash
# Builds the Debian packages, checks them with lintian and installs them with
# dpkg into a throwaway copy of this machine: an overlay over / in a mount
# namespace of its own, so the machine's files and dpkg database stay as
# they are. There it runs rdr demo from /usr/bin, builds the README's host
# with pkg-config against /usr and runs it against rdr simulate, runs the
# README's Python example, finds the man page, removes the packages with
# dpkg -r and checks that no file of theirs is left. As root, on Debian.
#
#   scripts/test_package.sh [build tree, default build/package]
#
# A build tree already configured (scripts/test.sh passes build/default) is
# only brought up to date; a missing one is configured as the README does.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
case ${1:-} in
--throwaway | --inside) mode=$1 build=$2 work=${3:-} ;;
*) mode=outside build=$(realpath -m "${1:-$root/build/package}") ;;
esac
SECONDS=${RDR00800_PACKAGE_SECONDS:-0}  # the steps in the throwaway root count on
step() { printf '== %-50s (%3ds)\n' "$*" "$SECONDS"; }

# ---- Inside the throwaway root ----
if [[ $mode == --inside ]]; then
  cd "$(mktemp -d)"
  simulator=""
  trap '[[ -z $simulator ]] || kill "$simulator"' EXIT
  packages=("$build"/rdr00800_*.deb "$build"/rdr00800-dev_*.deb)
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
  sed -n '/^## A host in 20 lines/,/^## /p' "$root/README.md" | sed -n '/^```cpp$/,/^```$/p' | sed '1d;$d' >host.cpp
  g++ -std=c++20 host.cpp $(pkg-config --cflags --libs rdr00800) -o host
  [[ $(pkg-config --variable=libdir rdr00800) == /usr/lib* ]]
  # A period longer than one poll of the library: one code per poll.
  rdr simulate --kind optical --frame 'CODE42\r\n' --every 1200 >simulator &
  simulator=$!
  until [[ -s simulator ]]; do kill -0 "$simulator" && sleep 0.05; done
  env -u LD_LIBRARY_PATH ./host "$(head -1 simulator)" | tee relayed
  kill "$simulator" && simulator=""
  grep -q CODE42 relayed

  step "the installed Python module and the README's example"
  /usr/bin/python3 -c 'import rdr00800; print(rdr00800.__file__)' | grep '^/usr/lib/python3/dist-packages/'
  (cd "$root/python/tests" && RDR=/usr/bin/rdr RDR00800_SOURCE_DIR=$root /usr/bin/python3 -m unittest test_rdr00800)

  step "man -w rdr"
  man -w rdr

  step "dpkg -r"
  dpkg -r rdr00800-dev rdr00800 >/dev/null
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
  libxtst-dev help2man lintian dpkg-dev man-db python3

step "building the packages in ${build#"$root"/}"
[[ -f $build/CMakeCache.txt ]] ||
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRDR00800_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j2 >/dev/null
rm -f "$build"/rdr00800*.deb
(cd "$build" && cpack -G DEB 2>&1 | grep 'generated\.$')

step "lintian"
lintian --fail-on error "$build"/rdr00800*.deb

work=$(mktemp -d /tmp/rdr00800-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/upper" "$work/work" "$work/root"
RDR00800_PACKAGE_SECONDS=$SECONDS unshare --mount --propagation private -- "$BASH" "$0" --throwaway "$build" "$work"
step "done"
