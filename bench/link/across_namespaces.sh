#!/bin/bash
# Runs the link benchmarks between two network namespaces joined by a veth
# pair: our runtime over TCP (sender in one namespace, receiver in the
# other, each scoped to its end of the pair) next to a plain TCP stream of
# the same bytes and next to itself with a site key (TLS 1.3), and
# send-to-capture latency at 1920x1080 and 3840x2160; then, on the link
# shaped to 1 Gbit/s, compressed video next to raw. QRV_BENCH_SHAPED=0
# leaves the shaped link out.
# Usage: across_namespaces.sh BIN_DIR FRAMES LATENCY_FRAMES [ROUNDS]
# Prints "key value" lines; prints "netns_skipped 1" and a message when the
# namespaces cannot be made. The namespaces are removed on every exit.
set -uo pipefail
bin=$1 frames=$2 latency_frames=$3 rounds=${4:-1}
here=$(cd "$(dirname "$0")" && pwd)
# QRV_BENCH_NS_PREFIX names the namespaces and veth pair (default qrvbench),
# so that runs of several people on one host can tell theirs apart.
ns_prefix=${QRV_BENCH_NS_PREFIX:-qrvbench}
ns_a=$ns_prefix-a-$$ ns_b=$ns_prefix-b-$$
# Interface names are limited to 15 characters.
veth_a=${ns_prefix:0:4}$$a veth_b=${ns_prefix:0:4}$$b
veth_a=${veth_a:0:15} veth_b=${veth_b:0:15}
addr_a=10.99.71.1 addr_b=10.99.71.2
work=$(mktemp -d /tmp/qrv-netns-XXXXXX)

# shellcheck source=tests/support/netns.sh
. "$here/../../tests/support/netns.sh"
trap 'netns_remove "$work" "" "$ns_a" "$ns_b"' EXIT
trap 'exit 130' INT TERM

if ! { netns_new "$ns_a" "$ns_b" &&
       netns_veth "$ns_a" "$veth_a" "$addr_a" "$ns_b" "$veth_b" "$addr_b"; } 2>"$work/err"; then
  echo "across namespaces: skipped, network namespaces refused ($(head -c 200 "$work/err"))" >&2
  echo "netns_skipped 1"
  exit 0
fi

# The site key of the runs with TLS, readable by its owner only.
netns_key "$work/site.key"
export QRV_KEY_FILE=
in_a() { ip netns exec "$ns_a" env QRV_INTERFACES="$veth_a" "$@"; }
# The unshaped link stands for a fast network: the runtime's raw transport
# is measured there against the plain TCP stream, as before video between
# hosts was compressed (the shaped link below measures the codec).
export QRV_VIDEO_CODEC=raw
in_b() { ip netns exec "$ns_b" env QRV_INTERFACES="$veth_b" "$@"; }

# One runtime sender/receiver pair, the sender in the first namespace and
# the receiver over TCP in the second:
# link_pair PREFIX "RECEIVER OPTIONS" SENDER OPTIONS...
# shellcheck source=SCRIPTDIR/link_pair.sh
source "$here/link_pair.sh"
link_bin=$bin link_send_in=in_a link_recv_in=in_b link_recv_extra=--tcp-only

# The peer, a plain TCP stream of the same frames between the same ends,
# and our runtime take turns ROUNDS times; the median rate of each counts, so
# that a moment of load from elsewhere on the host decides neither.
# QRV_BENCH_SHAPED_ONLY=1 leaves these out and measures the shaped link only.
if [[ ${QRV_BENCH_SHAPED_ONLY:-0} != 1 ]]; then
  for _ in $(seq "$rounds"); do
    in_b timeout 60 "$bin/bench_link" tcp-recv --bind "$addr_b" --port 47611 --frames "$frames" --prefix netns_tcp &
    receiver=$!
    in_a timeout 60 "$bin/bench_link" tcp-send --host "$addr_b" --port 47611 --frames "$frames"
    wait "$receiver"
    # A continuous sender; the receiver counts FRAMES after ten more.
    link_pair netns_qrv "--frames $frames --warmup 10" --continuous
    # The same with a site key at both ends: every byte through TLS.
    QRV_KEY_FILE=$work/site.key link_pair netns_qrv_key "--frames $frames --warmup 10" --continuous
    # Both again with a producer on demand: a frame is made only once the
    # receiver is ready for it, so that the sender's copies of frames the
    # link would skip take no processor from the link (which, on a host of
    # two processors, is most of what sealing costs).
    link_pair netns_qrv_demand "--frames $frames --warmup 10" --continuous --on-demand
    QRV_KEY_FILE=$work/site.key link_pair netns_qrv_key_demand "--frames $frames --warmup 10" --continuous --on-demand
  done | awk -f "$here/median_of.awk" | tee "$work/unshaped"
  awk '{ v[$1] = $2 }
       function key_row(what, with_key, without) {
         if (!(with_key in v) || !(without in v) || v[without] == 0) return
         printf "row across namespaces, 3840x2160 raw over TCP, %s: with the site key vs without | %.1f fps (%.2f of the rate) | %.1f fps | ≥ 0.90\n",
           what, v[with_key], v[with_key] / v[without], v[without]
       }
       END {
         key_row("a producer on demand", "netns_qrv_key_demand_fps", "netns_qrv_demand_fps")
         key_row("a sender copying every frame it can", "netns_qrv_key_fps", "netns_qrv_fps")
       }' "$work/unshaped"

  link_pair netns_lat_1080 "" --frames "$latency_frames" --width 1920 --height 1080 --interval-us 33367
  link_pair netns_lat_2160 "" --frames "$latency_frames" --width 3840 --height 2160 --interval-us 33367
fi

# The same link shaped to 1 Gbit/s at both ends (a token bucket), as most
# local networks are: compressed video (the default between hosts) next to
# raw pixels, paced at 29.97 fps. strobe_pump's 1920x1080 BGRA black and
# white, and a photograph at 1920x1080 and 3840x2160 with camera-like noise
# ($QRV_BENCH_PHOTO, a JPEG; without it, generated noise, the hardest case
# for the codec).
tbf="root tbf rate 1gbit burst 512kb latency 50ms"
if [[ ${QRV_BENCH_SHAPED:-1} == 0 ]]; then
  exit 0
fi
# shellcheck disable=SC2086  # the qdisc's words
if tc -n "$ns_a" qdisc add dev "$veth_a" $tbf && tc -n "$ns_b" qdisc add dev "$veth_b" $tbf; then
  photo_option=()
  [[ -n ${QRV_BENCH_PHOTO:-} ]] && photo_option=(--photo "$QRV_BENCH_PHOTO")
  unset QRV_VIDEO_CODEC
  for codec in jpeg raw; do
    if [[ $codec == raw ]]; then export QRV_VIDEO_CODEC=raw; else unset QRV_VIDEO_CODEC; fi
    link_pair "shaped_${codec}_strobe" "--warmup 10" --frames "$((latency_frames + 10))" --width 1920 --height 1080 \
      --interval-us 33367 --strobe
    link_pair "shaped_${codec}_photo1080" "--warmup 10" --frames "$((latency_frames + 10))" --width 1920 --height 1080 \
      --interval-us 33367 "${photo_option[@]}"
    link_pair "shaped_${codec}_photo" "--warmup 10" --frames "$((latency_frames + 10))" --width 3840 --height 2160 \
      --interval-us 33367 "${photo_option[@]}"
  done | tee "$work/shaped"
  unset QRV_VIDEO_CODEC
  awk '{ v[$1] = $2 }
       END {
         split("strobe photo1080 photo", kinds, " ")
         split("strobe_pump-like 1920x1080 BGRA|1920x1080 UYVY photograph|3840x2160 UYVY photograph", names, "|")
         for (k = 1; k <= 3; k++) {
           j = "shaped_jpeg_" kinds[k]; r = "shaped_raw_" kinds[k]
           if (!((j "_fps") in v)) continue
           printf "row 1 Gbit/s link, %s at 29.97 fps: delivered, latency median / p99 | %.1f fps (%d dropped), %.1f / %.1f ms | raw on the same link %.1f fps (%d dropped), %.1f / %.1f ms | 29.97 fps; ≤ 33 ms median at 1080p\n",
             names[k], v[j "_fps"], v[j "_dropped"], v[j "_latency_median_us"] / 1000, v[j "_latency_p99_us"] / 1000,
             v[r "_fps"], v[r "_dropped"], v[r "_latency_median_us"] / 1000, v[r "_latency_p99_us"] / 1000
         }
       }' "$work/shaped"
else
  echo "across namespaces: traffic shaping refused, shaped link skipped" >&2
fi
exit 0
