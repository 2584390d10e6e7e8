#!/usr/bin/env bash
# Installs what is missing, builds the library and its tool, and runs the main
# job on its embedded defaults: `rdr demo`.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what building rdr and the demo's SQLite database need; scripts/test.sh
# installs the rest.
bash scripts/setup.sh cmake ninja-build g++ pkg-config unixodbc-dev libsqliteodbc libcli11-dev libx11-dev libxtst-dev
# The service (rdrd) and its libraries are no part of the demo.
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DRDR00800_BUILD_TESTS=OFF -DRDR00800_INSTALL=OFF \
  -DRDR00800_BUILD_SERVICE=OFF
cmake --build build/demo --target rdr
./build/demo/tools/rdr/rdr demo
