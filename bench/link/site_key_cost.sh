#!/bin/bash
# What a site key costs between two network namespaces joined by a veth pair
# shaped to 1 Gbit/s at both ends (a token bucket), each figure next to the
# same measure without the key, the two taking turns:
#  - compressed 1920x1080 and 3840x2160 photographs at 29.97 fps: frames
#    delivered, lost, and send-to-capture latency median / p99;
#  - processor per 1920x1080 29.97 fps stream on the sender and the receiver
#    (user and system time from /proc/PID/stat while frames flow);
#  - time to first frame: a receiver started against a running source,
#    ROUNDS times, median;
#  - hostile peers (plain TCP, garbage, a TLS ClientHello without the key,
#    a stall mid-handshake) connecting over and over while a keyed receiver
#    takes a 1920x1080 stream: its rate, the time each peer waits to be
#    refused, and the source's descriptors and memory before and after.
# Usage: site_key_cost.sh BIN_DIR SECONDS ROUNDS
# $QRV_BENCH_PHOTO names the photograph (a JPEG; without it, noise).
# Prints "key value" and "row ..." lines; "netns_skipped 1" when the
# namespaces cannot be made. The namespaces are removed on every exit.
set -uo pipefail
bin=$1 seconds=$2 rounds=$3
here=$(cd "$(dirname "$0")" && pwd)
ns_prefix=${QRV_BENCH_NS_PREFIX:-qrvkeyc}
ns_a=$ns_prefix-a-$$ ns_b=$ns_prefix-b-$$
veth_a=${ns_prefix:0:4}$$a veth_b=${ns_prefix:0:4}$$b
veth_a=${veth_a:0:15} veth_b=${veth_b:0:15}
addr_a=10.99.73.1 addr_b=10.99.73.2
work=$(mktemp -d /tmp/qrv-keycost-XXXXXX)
# shellcheck source=tests/support/netns.sh
. "$here/../../tests/support/netns.sh"
trap 'netns_remove "$work" "" "$ns_a" "$ns_b"' EXIT
trap 'exit 130' INT TERM

tbf="root tbf rate 1gbit burst 512kb latency 50ms"
# shellcheck disable=SC2086  # the qdisc's words
if ! { netns_new "$ns_a" "$ns_b" && netns_veth "$ns_a" "$veth_a" "$addr_a" "$ns_b" "$veth_b" "$addr_b" &&
       tc -n "$ns_a" qdisc add dev "$veth_a" $tbf && tc -n "$ns_b" qdisc add dev "$veth_b" $tbf; } 2>"$work/err"; then
  echo "site key cost: skipped, network namespaces refused ($(head -c 200 "$work/err"))" >&2
  echo "netns_skipped 1"
  exit 0
fi

netns_key "$work/site.key"
in_a() { ip netns exec "$ns_a" env QRV_INTERFACES="$veth_a" "$@"; }
in_b() { ip netns exec "$ns_b" env QRV_INTERFACES="$veth_b" "$@"; }
frames=$((seconds * 30))
photo=()
[[ -n ${QRV_BENCH_PHOTO:-} ]] && photo=(--photo "$QRV_BENCH_PHOTO")
paced=(--interval-us 33367 "${photo[@]}")

# key_env on|off: the environment of one side, with or without the key.
key_env() { if [[ $1 == on ]]; then echo "QRV_KEY_FILE=$work/site.key"; else echo "QRV_KEY_FILE="; fi; }

# pair PREFIX KEY WIDTH HEIGHT: a paced photograph stream of FRAMES counted
# frames after ten of warm-up; both sides' lines.
pair() {
  local prefix=$1 key=$2 width=$3 height=$4 loc sender
  loc=$work/locator-$prefix
  rm -f "$loc"
  in_a "$(key_env "$key")" timeout 90 "$bin/bench_link" send --locator "$loc" --frames "$((frames + 10))" \
    --width "$width" --height "$height" "${paced[@]}" --cpu "$prefix" >"$work/send-$prefix" &
  sender=$!
  in_b "$(key_env "$key")" timeout 90 "$bin/bench_link" recv --locator "$loc" --prefix "$prefix" --tcp-only \
    --warmup 10 --frames "$frames" || true
  wait "$sender"
  cat "$work/send-$prefix"
}

for _ in $(seq "$rounds"); do
  for key in off on; do
    pair "keycost_${key}_1080" "$key" 1920 1080
    pair "keycost_${key}_2160" "$key" 3840 2160
  done
done >"$work/streams"

# first_frames KEY: a running source and ROUNDS receivers started one after
# another against it, each reporting its time to first frame.
first_frames() {
  local key=$1 loc=$work/locator-first-$1 sender
  rm -f "$loc"
  in_a "$(key_env "$key")" timeout 120 "$bin/bench_link" send --locator "$loc" --frames 100000 \
    --width 1920 --height 1080 "${paced[@]}" >/dev/null &
  sender=$!
  for _ in $(seq "$((rounds * 5))"); do
    in_b "$(key_env "$key")" timeout 20 "$bin/bench_link" recv --locator "$loc" --prefix "first_$key" \
      --tcp-only --first-frame | grep _first_frame_ms
  done
  kill "$sender" 2>/dev/null
  wait "$sender" 2>/dev/null
}
{ first_frames off; first_frames on; } >"$work/first"

# Hostile peers against a keyed source while a keyed receiver takes its
# stream; the source's descriptors and resident memory are read from /proc
# before the peers start, at their peak and after they stop.
loc=$work/locator-hostile
# Started directly (ip and env replace themselves), so that $! is the source.
ip netns exec "$ns_a" env QRV_INTERFACES="$veth_a" QRV_KEY_FILE="$work/site.key" "$bin/bench_link" send \
  --locator "$loc" --frames 100000 --width 1920 --height 1080 "${paced[@]}" >/dev/null &
source_pid=$!
for _ in $(seq 200); do [[ -s $loc ]] && break; sleep 0.05; done
fds() { ls /proc/"$source_pid"/fd 2>/dev/null | wc -l; }
rss_kb() { awk '/^VmRSS/ {print $2}' /proc/"$source_pid"/status 2>/dev/null; }
echo "hostile_before_fds $(fds)" >"$work/hostile"
port=$(sed -n 's|^[a-z]*://[^:/]*:\([0-9]*\).*|\1|p' "$loc")
in_b /usr/bin/python3 "$here/hostile_peers.py" "$addr_a" "${port:-0}" "$((seconds + 2))" >>"$work/hostile" &
attackers=$!
# The source's peak descriptors and memory while the peers come and go.
( peak_fds=0 peak_rss=0
  while kill -0 "$attackers" 2>/dev/null; do
    f=$(fds) r=$(rss_kb)
    ((f > peak_fds)) && peak_fds=$f
    ((${r:-0} > peak_rss)) && peak_rss=$r
    sleep 0.1
  done
  echo "hostile_peak_fds $peak_fds"; echo "hostile_peak_rss_kb $peak_rss" ) >"$work/peak" &
sampler=$!
in_b "QRV_KEY_FILE=$work/site.key" timeout 90 "$bin/bench_link" recv --locator "$loc" --prefix hostile_recv \
  --tcp-only --warmup 10 --frames "$frames" >>"$work/hostile"
wait "$attackers"
wait "$sampler"
cat "$work/peak" >>"$work/hostile"
# Refused peers and the receiver gone: what the source still holds.
sleep 1
{ echo "hostile_after_fds $(fds)"; echo "hostile_after_rss_kb $(rss_kb)"; } >>"$work/hostile"
kill "$source_pid" 2>/dev/null
wait "$source_pid" 2>/dev/null

cat "$work/streams" "$work/first" "$work/hostile"
cat "$work/streams" "$work/first" "$work/hostile" | awk -v expected="$frames" -f "$here/site_key_rows.awk"
exit 0
