#!/bin/bash
# Installs what the benchmarks need, builds in release mode, runs every
# benchmark and writes results/bench.md and results/pacing_jitter.png.
# QRV_BENCH_SIZE=tiny runs each one briefly (as CI does, so they cannot rot).
set -euo pipefail
cd "$(dirname "$0")/.."
QRV_EXTRA_PACKAGES="python3-matplotlib plasma-workspace-wallpapers gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad" \
  bash scripts/setup.sh
bash scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF
bin=build-release/bin
size=${QRV_BENCH_SIZE:-full}

# GStreamer's shmsink (the shared-memory peer below) keeps its buffers in
# /dev/shm/shmpipe.* segments. The peer removes its own as it goes; a
# segment that a killed peer left is removed here when the run ends,
# however it ends: of that name, and only if it was not there before.
shm_before=$(ls -1 /dev/shm 2>/dev/null || true)
remove_new_shm_segments() {
  local name
  while IFS= read -r name; do
    if [[ $name == shmpipe.* ]] && ! grep -qxF -- "$name" <<<"$shm_before"; then
      rm -f -- "/dev/shm/$name"
    fi
  done < <(ls -1 /dev/shm 2>/dev/null || true)
}
codec_dir=
cleanup() {
  remove_new_shm_segments
  [[ -n $codec_dir ]] && rm -rf "$codec_dir"
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM
if [[ $size == tiny ]]; then
  accept_frames=30 pacing_frames=30 transport_frames=20 discovery_rounds=1
  link_frames=60 latency_frames=20 link_rounds=1 codec_frames=2 panel_seconds=2 python_frames=30 key_seconds=2
  obs_seconds=2 mcast_seconds=4 mcast_sizes=1080 mcast_receivers="1 2" mcast_frames=30
else
  accept_frames=2000 pacing_frames=1000 transport_frames=600 discovery_rounds=5
  link_frames=600 latency_frames=300 link_rounds=3 codec_frames=20 panel_seconds=5 python_frames=300 key_seconds=10
  obs_seconds=10 mcast_seconds=10 mcast_sizes="1080 2160" mcast_receivers= mcast_frames=300
fi

out=results
mkdir -p "$out"
raw=$out/raw.txt
: >"$raw"

"$bin/bench_sender" accept --frames "$accept_frames" | tee -a "$raw"
"$bin/bench_sender" pacing --frames "$pacing_frames" --csv "$out/pacing.csv" | tee -a "$raw"

# rate_probe's pattern generation: the time from start to "Running benchmark".
log=$out/rate_probe.log
start=$(date +%s%N)
stdbuf -oL "$bin/rate_probe" >"$log" &
pid=$!
for _ in $(seq 2400); do
  grep -q "Running benchmark" "$log" && break
  sleep 0.05
done
now=$(date +%s%N)
grep -q "Running benchmark" "$log" && echo "pattern_generation_s $(( (now - start) / 1000000 ))e-3" >>"$raw"
kill -INT "$pid" 2>/dev/null || true
wait "$pid" || true

"$bin/bench_transport" "$transport_frames" | tee -a "$raw"

# The compressed-video codec on photographs (Debian's wallpapers, scaled to
# 1920x1080 and 3840x2160, with noise) and generated pictures, next to
# plain single-threaded TurboJPEG on the same planes, and GStreamer's jpegenc.
walls=/usr/share/wallpapers
photos=()
for name in Path ColorfulCups Autumn; do
  f=$(ls "$walls/$name/contents/images/"*.jpg 2>/dev/null | sort -V | tail -1 || true)
  [[ -n $f ]] && photos+=("$f")
done
# jpegenc encodes the very frames bench_codec kept (noise included).
codec_dir=$(mktemp -d /tmp/qrv-codec-frames-XXXXXX)
"$bin/bench_codec" --frames "$codec_frames" --write-frames "$codec_dir" "${photos[@]}" | tee -a "$raw"
/usr/bin/python3 bench/peers/gst_jpegenc.py "$codec_frames" "$codec_dir" | tee -a "$raw" || true
rm -rf "$codec_dir"

# Two processes on this host: our sender and receiver next to GStreamer's
# shared-memory and TCP elements moving the same raw frames, and the memcpy
# ceiling, taking turns link_rounds times (the median rate of each counts); then
# send-to-capture latency of paced frames (29.97 fps).
# shellcheck source=SCRIPTDIR/../bench/link/link_pair.sh
source bench/link/link_pair.sh
link_bin=$bin
for _ in $(seq "$link_rounds"); do
  "$bin/bench_link" memcpy --frames "$link_frames" --prefix link_memcpy
  # A continuous sender; the receiver counts link_frames after ten more.
  link_pair link_local "--frames $link_frames --warmup 10" --continuous
  /usr/bin/python3 bench/peers/gst_rate.py "$link_frames" "$bin" || true
done | awk -f bench/link/median_of.awk | tee -a "$raw"
link_pair lat_local_1080 "" --frames "$latency_frames" --width 1920 --height 1080 --interval-us 33367 | tee -a "$raw"
link_pair lat_local_2160 "" --frames "$latency_frames" --width 3840 --height 2160 --interval-us 33367 | tee -a "$raw"

# The GStreamer elements: frame rate between two processes next to
# shmsink/shmsrc and the runtime alone, and the latency of a paced stream
# next to shm, each in the same run.
if [[ -e build-release/gst/libgstqrv.so ]]; then
  /usr/bin/python3 bench/gst/gst_elements.py build-release/gst "$link_frames" "$link_rounds" "$bin" | tee -a "$raw" || true
  "$bin/bench_gst_latency" build-release/gst "$latency_frames" | tee -a "$raw" || true
fi

# The OBS plugin: processor per source received into OBS next to
# qrv_monitor watch, in the same run (libobs headless under Xvfb).
if [[ -e build-release/obs/qrv-obs.so && -e $bin/bench_obs_receive ]]; then
  bash bench/obs/run_bench_obs.sh build-release "$obs_seconds" | grep -E '^(row |obs_|monitor_)' | tee -a "$raw" || true
fi

# The Python package: receiving and sending next to the C receiver and
# sender of these benchmarks, and its cost per frame.
if [[ -d build-release/python/qrv ]]; then
  bash bench/python/python_bench.sh "$bin" build-release/python "$python_frames" "$link_rounds" | tee -a "$raw" || true
fi

# Across two network namespaces over TCP, next to a plain TCP stream.
QRV_BENCH_PHOTO=${photos[0]:-} bash bench/link/across_namespaces.sh "$bin" "$link_frames" "$latency_frames" "$link_rounds" | tee -a "$raw" || true

# What the site key costs on a 1 Gbit/s link: compressed photographs'
# rates and latencies, processor per stream, time to first frame, and a
# keyed receiver's rate while peers without the key hammer the source.
QRV_BENCH_PHOTO=${photos[0]:-} bash bench/link/site_key_cost.sh "$bin" "$key_seconds" "$link_rounds" | grep '^row ' | tee -a "$raw" || true

# One source behind a 1 Gbit/s link and many receivers on other hosts
# behind a snooping switch: a multicast group next to TCP.
# shellcheck disable=SC2086  # the sizes are words
RECEIVERS=$mcast_receivers QRV_BENCH_PHOTO=${photos[0]:-} \
  bash bench/multicast/many_receivers.sh "$bin" "$mcast_seconds" $mcast_sizes | tee -a "$raw" || true

# What a multicast receiver's processor pays per GiB, taking the kernel's
# runs of datagrams whole next to one datagram at a time, in turns.
bash bench/multicast/receive_cost.sh "$bin" "$mcast_frames" | tee "$out/receive_cost.txt" || true
awk '/^receive_(coalesced|single)_cpu_s_per_gib/ { k = $1; n[k]++; s[k] += $2 }
     END { c = "receive_coalesced_cpu_s_per_gib"; u = "receive_single_cpu_s_per_gib"
       if (n[c] && n[u])
         printf "row Multicast receiver, 4K stream of 2 MiB frames: processor per GiB received, runs taken whole | %.2f s | one datagram at a time %.2f s (ratio %.2f) | below one at a time\n",
           s[c] / n[c], s[u] / n[u], (s[c] / n[c]) / (s[u] / n[u]) }' "$out/receive_cost.txt" >>"$raw"

# The control panel with 16 sources next to 16 full-rate receivers.
bash bench/panel/panel_load.sh "$bin" "$panel_seconds" | tee -a "$raw" || true

# Discovery: creation to visibility and destroy to removal, next to
# python3-zeroconf in the same run; its table becomes one row per measure.
"$bin/bench_discovery" "$discovery_rounds" | tee "$out/discovery.txt"
awk '/^qrv runtime/ {q_in=$3; q_out=$6} /^python3-zeroconf/ {z_in=$3; z_out=$6}
     END { if (q_in != "") {
       printf "row Discovery, creation to listed (median) | %s ms | python3-zeroconf %s ms | as fast as the peer\n", q_in, z_in
       printf "row Discovery, destroy to removed (median) | %s ms | python3-zeroconf %s ms | as fast as the peer\n", q_out, z_out } }' \
  "$out/discovery.txt" >>"$raw"

/usr/bin/python3 bench/report.py "$raw" "$out/bench.md"
/usr/bin/python3 bench/plot_jitter.py "$out/pacing.csv" "$out/pacing_jitter.png"
cat "$out/bench.md"
