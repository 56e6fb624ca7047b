#!/usr/bin/env bash
# Runs clang-format over the C and C++ sources; with --check, only reports
# the files it would change and exits non-zero if there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  clang-format --dry-run --Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
