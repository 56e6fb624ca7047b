#!/usr/bin/env bash
# Runs clang-format (the tree is kept formatted by clang-format 14, Debian
# 12's) over the tracked C and C++ sources; with --check, changes nothing,
# lists each difference and exits non-zero if there is any (CI runs this).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  if ! clang-format --dry-run --Werror "${files[@]}"; then
    echo "format.sh: $(clang-format --version): the files above differ; run scripts/format.sh" >&2
    exit 1
  fi
  echo "format.sh: ${#files[@]} files formatted as clang-format wants"
else
  clang-format -i "${files[@]}"
fi
