#!/bin/bash
# Installs what is missing, builds everything and shows the suite at work.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
bin=build/bin

echo "== rate_probe: frames per second that the library accepts (stopped with Ctrl-C after 8 s)"
timeout -s INT 8 "$bin/rate_probe" || true
echo
echo "== late_binder: paced sends through the run-time loaded library (stopped after 15 s)"
timeout -s INT 15 "$bin/late_binder" || true
echo
echo "== source_lister: strobe_pump's \"My Video\" listed while it runs, gone when it ends (12 s)"
"$bin/strobe_pump" >/dev/null &
pump=$!
sleep 0.2
# Line-buffered, so that the listing shows as it happens; the lister runs a
# minute by itself and is stopped after 12 s (strobe_pump after 6 s).
( sleep 6; kill -INT "$pump" 2>/dev/null || true ) &
timeout -s INT 12 stdbuf -oL "$bin/source_lister" || true
wait "$pump" 2>/dev/null || true
echo
