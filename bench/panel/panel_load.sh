#!/bin/bash
# The control panel's load with 16 sources: test cameras in one network
# namespace, the panel in another joined by a veth pair. Measures the
# panel's CPU share and the bytes per second it receives, then the same for
# 16 full-rate receivers (qrv_monitor watch) of the same sources.
# Usage: panel_load.sh BIN_DIR [SECONDS]. Prints "key value" lines and two
# report rows; "panel_skipped 1" when namespaces cannot be made.
set -uo pipefail
bin=$1 seconds=${2:-5}
sources=16
ns_a=qrvpla$$ ns_b=qrvplb$$ veth_a=qpla$$ veth_b=qplb$$
veth_a=${veth_a:0:15} veth_b=${veth_b:0:15}
work=$(mktemp -d /tmp/qrv-panel-bench-XXXXXX)
cleanup() {
  for n in "$ns_a" "$ns_b"; do
    ip netns pids "$n" 2>/dev/null | xargs -r kill -9 2>/dev/null
    ip netns del "$n" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
if ! { ip netns add "$ns_a" && ip netns add "$ns_b" &&
       ip link add "$veth_a" netns "$ns_a" type veth peer name "$veth_b" netns "$ns_b" &&
       ip -n "$ns_a" addr add 10.99.73.1/24 dev "$veth_a" && ip -n "$ns_b" addr add 10.99.73.2/24 dev "$veth_b" &&
       ip -n "$ns_a" link set lo up && ip -n "$ns_b" link set lo up &&
       ip -n "$ns_a" link set "$veth_a" up && ip -n "$ns_b" link set "$veth_b" up; } 2>/dev/null; then
  echo "panel bench: skipped, network namespaces refused" >&2
  echo "panel_skipped 1"
  exit 0
fi
in_a() { ip netns exec "$ns_a" env QRV_INTERFACES="$veth_a" "$@"; }
in_b() { ip netns exec "$ns_b" env QRV_INTERFACES="$veth_b" "$@"; }

for i in $(seq "$sources"); do
  in_a "$bin/qrv_test_camera" --name "Camera $i" >/dev/null 2>&1 &
done
sleep 2

ticks() {  # user + system clock ticks of the processes given
  local total=0 p
  for p in "$@"; do
    total=$((total + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
rx_bytes() { ip netns exec "$ns_b" cat "/sys/class/net/$veth_b/statistics/rx_bytes"; }
hz=$(getconf CLK_TCK)

# Measures the processes whose ids are in pids over the given seconds.
measure() {
  local prefix=$1 t0 t1 b0 b1
  t0=$(ticks "${pids[@]}") b0=$(rx_bytes)
  sleep "$seconds"
  t1=$(ticks "${pids[@]}") b1=$(rx_bytes)
  awk -v p="$prefix" -v t=$((t1 - t0)) -v b=$((b1 - b0)) -v hz="$hz" -v s="$seconds" \
    'BEGIN { printf "%s_cpu_percent %.1f\n%s_rx_mbit %.1f\n", p, 100 * t / hz / s, p, 8 * b / s / 1e6 }'
}

in_b bash -c 'echo $$ >"$1"; exec "$2" --listen 127.0.0.1:18181 --state "$3"' x "$work/panel.pid" "$bin/qrv_panel" \
  "$work/panel.json" >"$work/panel.out" 2>&1 &
sleep 5  # every tile up and previewing
pids=("$(cat "$work/panel.pid")")
measure panel | tee "$work/panel.txt"
kill -INT "${pids[0]}"
sleep 1

pids=()
for i in $(seq "$sources"); do
  in_b bash -c 'echo $$ >"$1"; exec "$2" watch "Camera $3"' x "$work/watch$i.pid" "$bin/qrv_monitor" "$i" >/dev/null 2>&1 &
done
sleep 5
for i in $(seq "$sources"); do pids+=("$(cat "$work/watch$i.pid")"); done
measure full | tee "$work/full.txt"
cat "$work/panel.txt" "$work/full.txt" | awk -v n="$sources" '
  { v[$1] = $2 }
  END {
    printf "row Control panel with %d sources, CPU | %.1f %% of a core | %d full-rate receivers %.1f %% | far below the receivers\n", n, v["panel_cpu_percent"], n, v["full_cpu_percent"]
    printf "row Control panel with %d sources, received | %.1f Mbit/s | %d full-rate receivers %.1f Mbit/s | far below the receivers\n", n, v["panel_rx_mbit"], n, v["full_rx_mbit"]
  }'
