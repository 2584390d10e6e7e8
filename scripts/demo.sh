#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the main job on its
# embedded defaults.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default --target example_host
./build/default/tools/example_host/example_host
