#!/bin/bash
# Runs the OBS plugin test headless: under Xvfb, with Mesa's software
# renderer drawing OBS's canvas, inside a network namespace of its own (see
# tests/gst/run_in_netns.sh). Exits 77 (skipped) when Xvfb or OBS's OpenGL
# renderer is not installed.
set -u
here=$(dirname "$0")
if ! command -v xvfb-run >/dev/null || ! command -v xauth >/dev/null; then
  echo "run_obs_test.sh: xvfb-run or xauth is missing (Debian: xvfb, xauth): skipped"
  exit 77
fi
if ! compgen -G '/usr/lib/*/libobs-opengl.so*' >/dev/null; then
  echo "run_obs_test.sh: OBS's OpenGL renderer is missing (Debian: obs-studio): skipped"
  exit 77
fi
export LIBGL_ALWAYS_SOFTWARE=1
exec "$here/../gst/run_in_netns.sh" xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
