#!/usr/bin/env bash
# The main job: builds the plug-in and shadowctl, then lists the table
# catalogue the plug-in registers. Extra arguments go to `shadowctl tables`.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target shadowctl
build/default/bin/shadowctl tables "$@"
