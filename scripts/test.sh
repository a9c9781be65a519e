#!/usr/bin/env bash
# Builds and runs the whole test suite under one preset (default: "default").
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

scripts/setup.sh
# Warnings are errors here (and so in CI); VOVU_WARNINGS_AS_ERRORS=OFF turns that off.
cmake --preset "$preset" -DVOVU_WARNINGS_AS_ERRORS="${VOVU_WARNINGS_AS_ERRORS:-ON}" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
