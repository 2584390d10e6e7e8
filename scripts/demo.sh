#!/usr/bin/env bash
# Installs what is missing, builds the library and its tool, and runs the main
# job on its embedded defaults: `rdr demo`.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default --target rdr
./build/default/tools/rdr/rdr demo
