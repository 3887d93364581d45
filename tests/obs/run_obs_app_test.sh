#!/bin/bash
# OBS Studio itself with the plugin's two modules in a fresh home folder,
# under Xvfb in a network namespace of its own: the frontend module starts
# the QRV Output at launch (as output.json asks), and qrv_monitor sees OBS's
# program on the network. Exits 77 (skipped) when OBS Studio, Xvfb or the
# frontend module is missing.
# Usage: run_obs_app_test.sh BUILD_DIR
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)
if [[ -z ${QRV_OBS_APP_IN_NETNS:-} ]]; then
  for tool in obs xvfb-run xauth setsid; do
    command -v $tool >/dev/null || { echo "run_obs_app_test.sh: $tool is missing: skipped"; exit 77; }
  done
  [[ -f $build/obs/frontend/qrv-obs-frontend.so ]] || { echo "the frontend module is not built: skipped"; exit 77; }
  export QRV_OBS_APP_IN_NETNS=1
  exec "$here/../gst/run_in_netns.sh" "$0" "$@"
fi

home=$(mktemp -d)
obs_group=
cleanup() {
  [[ -n $obs_group ]] && kill -TERM -- "-$obs_group" 2>/dev/null && sleep 1 && kill -KILL -- "-$obs_group" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT

plugins=$home/.config/obs-studio/plugins
for module in qrv-obs qrv-obs-frontend; do
  mkdir -p "$plugins/$module/bin/64bit" "$plugins/$module/data"
done
cp "$build/obs/qrv-obs.so" "$plugins/qrv-obs/bin/64bit/"
cp -r "$build/obs/data/." "$plugins/qrv-obs/data/"
cp "$build/obs/frontend/qrv-obs-frontend.so" "$plugins/qrv-obs-frontend/bin/64bit/"
cp -r "$build/obs/frontend/data/." "$plugins/qrv-obs-frontend/data/"
mkdir -p "$home/.config/obs-studio/plugin_config/qrv-obs-frontend"
echo '{"name": "Studio", "start_at_launch": true}' >"$home/.config/obs-studio/plugin_config/qrv-obs-frontend/output.json"

# OBS in a process group of its own, so that it goes with its X server.
HOME=$home LIBGL_ALWAYS_SOFTWARE=1 setsid xvfb-run -a -s "-screen 0 1280x800x24" obs --disable-updater \
  >"$home/obs.out" 2>&1 &
obs_group=$!

watch=$("$build/bin/qrv_monitor" watch Studio --find-timeout 30 --seconds 3 2>&1)
echo "$watch"
log=$(cat "$home"/.config/obs-studio/logs/*.txt 2>/dev/null)
if ! grep -q '^video [0-9]* fps [0-9]*x[0-9]*' <<<"$watch"; then
  echo "FAIL: no picture from OBS's program; OBS's log:"
  echo "$log" | grep -i 'qrv\|error' | head -40
  exit 1
fi
grep -q 'qrv-obs-frontend.so' <<<"$log" || { echo "FAIL: OBS did not load the frontend module"; exit 1; }
echo "OBS Studio published its program through the frontend module"
