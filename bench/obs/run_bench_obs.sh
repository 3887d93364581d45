#!/bin/bash
# Runs the OBS benchmarks (bench_obs_receive, bench_obs_latency) under Xvfb
# with Mesa's software renderer, in a network namespace of their own.
# Usage: run_bench_obs.sh BUILD_DIR [SECONDS]
set -u
build=$(cd "$1" && pwd)
seconds=${2:-10}
here=$(cd "$(dirname "$0")" && pwd)
command -v xvfb-run >/dev/null || { echo "run_bench_obs.sh: xvfb-run is missing (Debian: xvfb)" >&2; exit 0; }
export LIBGL_ALWAYS_SOFTWARE=1
exec "$here/../../tests/gst/run_in_netns.sh" xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  "$1/bin/bench_obs_receive" "$1/bin" "$1/obs" "$2"
  "$1/bin/bench_obs_latency" "$1/obs" "$2"' bench "$build" "$seconds"
