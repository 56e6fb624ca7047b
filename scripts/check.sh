#!/usr/bin/env bash
# Builds the release and sanitizer presets and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
export OCTAFOLD_WERROR=${OCTAFOLD_WERROR:-ON}
cmake --workflow --preset release
cmake --workflow --preset dev
