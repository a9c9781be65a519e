#!/usr/bin/env bash
# The main job: builds the plug-in and shadowctl, then plays the switch agent:
# creates every table of the plug-in with a shadow on each of two chips (default
# contents written), downloads every shadow to the chip simulator, checks each
# chip against its shadows, reports, and removes everything again. Extra
# arguments go to `shadowctl run` (e.g. --json, --chips 0,3, --clear, --serve).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target shadowctl
build/default/bin/shadowctl run "$@"
