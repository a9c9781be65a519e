#!/usr/bin/env bash
# The main job: builds the plug-in and shadowctl, then plays the switch agent:
# creates the eighteen tables with a shadow on each of two chips (default
# contents written), reports every shadow and the S-channel commands that
# download it, and removes everything again. Extra arguments go to
# `shadowctl run` (e.g. --json, --chips 0,3, --serve).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target shadowctl
build/default/bin/shadowctl run "$@"
