#!/usr/bin/env bash
# Installs what is missing on a Debian machine (as root): the packages named
# as arguments, or, with none, what building and testing rdr00800 needs.
# A name ending in ":i386" turns on that architecture first.
#
#   scripts/setup.sh [package...]
set -euo pipefail

packages=("$@")
if ((${#packages[@]} == 0)); then
  packages=(
    cmake ninja-build g++ pkg-config
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    unixodbc unixodbc-dev libsqliteodbc odbc-postgresql postgresql
    libserialport-dev libcli11-dev libx11-dev libxtst-dev xvfb
    clang clang-format libclang-rt-14-dev python3-serial libboost-system-dev
    libboost-dev nlohmann-json3-dev libtomlplusplus-dev
    libmosquitto-dev mosquitto chromium python3-websockets systemd
    help2man lintian dpkg-dev man-db python3 ser2net
  )
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  [[ " ${missing[*]}" != *:i386* ]] || dpkg --add-architecture i386
  apt-get update -qq
  # --no-install-recommends: Wine's recommends alone are about 900 MB that nothing here needs.
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
