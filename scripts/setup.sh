#!/usr/bin/env bash
# Installs what building and testing rdr00800 needs on a Debian machine (as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql postgresql
  libserialport-dev libcli11-dev libx11-dev libxtst-dev xvfb
  clang libclang-rt-14-dev python3-serial libboost-system-dev
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
