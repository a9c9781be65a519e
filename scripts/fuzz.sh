#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time
# (seconds, default 60): a CI smoke run; give a larger number for a soak.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
build/fuzz/bin/ploom_fuzz_corpus "$corpus"
build/fuzz/bin/ploom_files_fuzz "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
