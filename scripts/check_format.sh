#!/usr/bin/env bash
# Checks that our C and C++ sources are formatted as the tree's .clang-format
# says, changing nothing; lists each difference and fails when there is one.
# Reformat with: git ls-files -z '*.c' '*.h' '*.cpp' | xargs -0 clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -d '' sources < <(git ls-files -z -- '*.c' '*.h' '*.cpp')
clang-format --style=file --dry-run -Werror "${sources[@]}"
echo "format: ${#sources[@]} files as .clang-format says"
