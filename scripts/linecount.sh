#!/usr/bin/env bash
# Lines of code and of tests, as the project counts them: C++ sources and
# headers, Python and CMake files; tests are everything under tests/ except
# the generator's golden files, code is everything else that is built or run
# (src, platform, sim, tools, bench, fuzz, cmake, scripts). Blank lines are
# not counted.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  git ls-files "$@" | grep -E '\.(cpp|h|py|cmake|sh)$|CMakeLists\.txt$' | grep -v '/golden/' |
    xargs cat | grep -cv '^[[:space:]]*$'
}

code=$(count src platform sim tools bench fuzz cmake scripts CMakeLists.txt)
tests=$(count tests)
echo "code ${code}, tests ${tests}, tests/code $(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.2f", t / c }')"
