#!/usr/bin/env bash
# Builds the collection tests under ThreadSanitizer and runs the in-process
# stress run: a writer thread and reader threads on the same files, each with
# its own mappings, so what is checked is the state the threads share inside
# the process. Address-space randomisation is turned off for the run, as
# ThreadSanitizer's fixed memory layout asks.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset tsan -DVOVU_WARNINGS_AS_ERRORS="${VOVU_WARNINGS_AS_ERRORS:-ON}" >/dev/null
cmake --build --preset tsan --target ploom_tests
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  setarch "$(uname -m)" -R build/tsan/bin/ploom_tests --gtest_filter='PloomCrossProcess.ReaderThreads*'
