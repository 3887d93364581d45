#!/bin/bash
# The Python package next to its C peers, in the same run (results as
# "key value" lines and "row" lines for the report):
# - receiving rate_probe's 3840x2160 frames: bench_python.py recv against
#   bench_link recv, taking turns on the same running rate_probe;
# - sending unpaced 1920x1080 BGRA: from NumPy against bench_sender;
# - the Python layer's cost per frame, on a source of small frames.
# Each pair takes turns, each side going first every other round; the
# median rate of each counts.
#
#   python_bench.sh BIN_DIR PYTHON_DIR FRAMES ROUNDS
set -euo pipefail
bin=$1 pydir=$2 frames=$3 rounds=$4
here=$(cd "$(dirname "$0")" && pwd)
py() { timeout 120 env PYTHONPATH="$pydir" /usr/bin/python3 "$here/bench_python.py" "$@"; }
work=$(mktemp -d /tmp/qrv-python-bench-XXXXXX)
probe=
source_pid=
cleanup() {
  [[ -n $probe ]] && kill -INT "$probe" 2>/dev/null && wait "$probe" 2>/dev/null
  [[ -n $source_pid ]] && kill "$source_pid" 2>/dev/null && wait "$source_pid" 2>/dev/null
  rm -rf "$work"
  return 0
}
trap cleanup EXIT

# rate_probe publishes its locator through QRV_LOCATOR_FILE; both receivers
# connect by it once its pattern is drawn.
QRV_LOCATOR_FILE=$work/names stdbuf -oL "$bin/rate_probe" >"$work/probe.log" 2>&1 &
probe=$!
for _ in $(seq 2400); do
  grep -q "Running benchmark" "$work/probe.log" 2>/dev/null && break
  sleep 0.05
done
cut -f2 "$work/names" | head -1 >"$work/locator"
c_recv() {
  timeout 60 "$bin/bench_link" recv --locator "$work/locator" --frames "$frames" --warmup 10 \
    --prefix py_peer_recv | grep -E '_fps|_dropped' || true
}
py_recv() { py recv --locator "$work/locator" --frames "$frames" --warmup 10 --prefix py_recv || true; }
# Taking turns, each going first every other round (median of the rounds).
for round in $(seq "$rounds"); do
  if ((round % 2)); then c_recv; py_recv; else py_recv; c_recv; fi
done | awk -f "$here/../link/median_of.awk" | tee "$work/recv.txt"
kill -INT "$probe" 2>/dev/null || true
wait "$probe" 2>/dev/null || true
probe=

accept_frames=$((frames * 2))
for round in $(seq "$rounds"); do
  if ((round % 2)); then
    "$bin/bench_sender" accept-bgra --frames "$accept_frames"; py send --frames "$accept_frames"
  else
    py send --frames "$accept_frames"; "$bin/bench_sender" accept-bgra --frames "$accept_frames"
  fi
done | awk -f "$here/../link/median_of.awk" | tee "$work/send.txt"

# Small frames, so that the cost per frame is the receiver's, not the copy's.
"$bin/bench_link" send --locator "$work/small" --continuous --width 64 --height 64 >/dev/null 2>&1 &
source_pid=$!
py overhead --locator "$work/small" --frames $((frames * 10)) --rounds "$rounds" | tee "$work/overhead.txt"
wait "$source_pid" 2>/dev/null || true
source_pid=

cat "$work/recv.txt" "$work/send.txt" "$work/overhead.txt" | awk '
  NF == 2 { v[$1] = $2 }
  END {
    if (v["py_peer_recv_fps"] > 0)
      printf "row Python receiver, rate_probe 3840x2160 UYVY on this host | %.1f fps | C receiver (bench_link) %.1f fps (ratio %.2f) | ≥ 0.90 of the C receiver\n",
        v["py_recv_fps"], v["py_peer_recv_fps"], v["py_recv_fps"] / v["py_peer_recv_fps"]
    if (v["accept_bgra_1080_c_fps"] > 0)
      printf "row Python sender, accept rate of 1920x1080 BGRA from NumPy, unpaced | %.1f fps | C sender (bench_sender) %.1f fps (ratio %.2f) | ≥ 0.90 of the C sender\n",
        v["accept_bgra_1080_py_fps"], v["accept_bgra_1080_c_fps"], v["accept_bgra_1080_py_fps"] / v["accept_bgra_1080_c_fps"]
    if (v["py_frame_native_us"] > 0)
      printf "row Python layer, processor time per received frame (64x64 frames) | %.1f µs more | the module'"'"'s own capture loop %.1f µs a frame | watch for regressions\n",
        v["py_frame_overhead_us"], v["py_frame_native_us"]
  }'
