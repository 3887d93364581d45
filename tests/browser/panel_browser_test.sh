#!/bin/bash
# The control panel in a real browser, inside a network namespace of its own:
# strobe_pump, the test camera and the panel run there, and headless
# Chromium, driven by Playwright, uses the page. Screenshots go to
# ARTIFACTS. Usage: panel_browser_test.sh BIN_DIR ARTIFACTS
set -uo pipefail
bin=$1 artifacts=$2
here=$(cd "$(dirname "$0")" && pwd)
ns=qrvpanel$$
work=$(mktemp -d /tmp/qrv-panel-XXXXXX)
mkdir -p "$artifacts"

skip() { echo "skipped: $*"; exit 0; }
[[ $(id -u) == 0 ]] || skip "network namespaces need root"
command -v chromium >/dev/null || skip "chromium is not installed (the README's test command installs it)"
[[ -d $here/node_modules/playwright-core ]] || skip "playwright-core is not installed (npm install in tests/browser)"

cleanup() {
  ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null
  ip netns del "$ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns" || skip "network namespaces refused here"
ip -n "$ns" link set lo up
in_ns() { ip netns exec "$ns" "$@"; }

# Its own process id, to stop it later (ip netns exec may stand between).
in_ns bash -c 'echo $$ >"$1"; exec stdbuf -oL "$2"' pid "$work/pump.pid" "$bin/strobe_pump" >"$work/pump.out" 2>&1 &
in_ns stdbuf -oL "$bin/qrv_test_camera" >"$work/camera.out" 2>&1 &
sleep 1.5
in_ns stdbuf -oL "$bin/qrv_panel" --listen 127.0.0.1:18180 --state "$work/panel.json" >"$work/panel.out" 2>&1 &
for _ in $(seq 100); do
  grep -q '^Open ' "$work/panel.out" && break
  sleep 0.1
done
url=$(sed -n 's/^Open //p' "$work/panel.out")
[[ -n $url ]] || { echo "the panel did not start: $(cat "$work/panel.out")"; exit 1; }

PANEL_URL=$url ARTIFACTS=$artifacts CAMERA_LOG=$work/camera.out \
ROUTED_CHECK="ip netns exec $ns timeout 4 stdbuf -oL $bin/qrv_monitor watch 'Panel Output 1' || true" \
KILL_PUMP="kill -INT $(cat "$work/pump.pid") || true" \
  in_ns node "$here/panel.test.mjs"
