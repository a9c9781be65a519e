#!/usr/bin/env bash
# Soak run of the shared-memory collection: the crash suite (writers killed at
# every store of every operation and at random moments) and the cross-process
# suite (readers in other processes while writers change everything, are
# killed and replaced) run over and over, side by side, for MINUTES minutes
# (default 30). Every ten seconds it prints the figures so far; at the end the
# same figures as one JSON object on the last line:
#   {"seconds": S, "writerKills": n, "reformats": n, "readerOps": n,
#    "retries": n, "tornValues": n, "falseMisses": n, "readerCrashes": n}
# Exit status 0 when no test run failed and no torn value, false miss or
# reader crash was seen. Logs of failed runs stay in the directory named on
# stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes="${1:-30}"
case "$minutes" in
  '' | *[!0-9]*) echo "usage: scripts/soak.sh [MINUTES]" >&2; exit 2 ;;
esac

scripts/setup.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default --target ploom_tests >/dev/null

work="$(mktemp -d)"
figures="$work/figures"
: >"$figures"
start=$(date +%s)
deadline=$((start + minutes * 60))
tests=build/default/bin/ploom_tests

# Runs one suite again and again until the deadline; `factor` scales each
# run's work (VOVU_LONG_TESTS), so that a run takes some seconds.
repeat() {
  local name=$1 filter=$2 factor=$3 run=0
  while [ "$(date +%s)" -lt "$deadline" ]; do
    run=$((run + 1))
    if ! VOVU_SOAK_FIGURES="$figures" VOVU_LONG_TESTS="$factor" nice -n 5 "$tests" --gtest_filter="$filter" \
      >"$work/$name.log" 2>&1; then
      mv "$work/$name.log" "$work/$name.failed.$run.log"
    fi
  done
}

repeat crash 'PloomCrash.*' 4 &
crashLoop=$!
repeat cross 'PloomCrossProcess.ReaderFollows*' 10 &
crossLoop=$!
trap 'kill "$crashLoop" "$crossLoop" 2>/dev/null || true' INT TERM

# The figures so far: the sums of every run's line, as text or as JSON.
figuresNow() {
  python3 - "$figures" "$(($(date +%s) - start))" "$1" "$(ls "$work" | grep -c '\.failed\.' || true)" <<'EOF'
import json, sys
path, seconds, form, failed = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
keys = ["writerKills", "reformats", "readerOps", "retries", "tornValues", "falseMisses", "readerCrashes"]
sums = dict.fromkeys(keys, 0)
with open(path) as f:
    for line in f:
        for key, value in json.loads(line).items():
            sums[key] += value
if form == "json":
    print(json.dumps({"seconds": seconds, **sums}))
else:
    print(f"soak {seconds} s: writer kills {sums['writerKills']}, re-formats {sums['reformats']}, "
          f"reader operations {sums['readerOps']}, retries {sums['retries']}, torn values {sums['tornValues']}, "
          f"false misses {sums['falseMisses']}, reader crashes {sums['readerCrashes']}, failed runs {failed}",
          flush=True)
EOF
}

while kill -0 "$crashLoop" 2>/dev/null || kill -0 "$crossLoop" 2>/dev/null; do
  sleep 10
  figuresNow text
done
wait "$crashLoop" "$crossLoop" || true

final="$(figuresNow json)"
failed=$(ls "$work" | grep -c '\.failed\.' || true)
if [ "$failed" -gt 0 ]; then
  echo "soak: $failed test runs failed; their logs are in $work" >&2
else
  rm -rf "$work"
fi
echo "$final"
python3 -c 'import json, sys; f = json.loads(sys.argv[1]); sys.exit(1 if f["tornValues"] or f["falseMisses"] or f["readerCrashes"] else 0)' "$final"
[ "$failed" -eq 0 ]
