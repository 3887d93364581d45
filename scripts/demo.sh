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
