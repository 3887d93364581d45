#!/bin/bash
# One source, many receivers on other hosts, through a switch that snoops
# IGMP: a bridge in a namespace of its own with snooping, a querier and
# IGMPv3 (so that source-specific joins are not downgraded), the source's
# host and $2 receiving hosts plugged into it, and one more host that joins
# nothing. The source offers multicast (QRV_MULTICAST=on); every receiver
# must take its video from the group (qrv_monitor watch says "multicast
# GROUP") at the source's rate, the source's link must carry about one copy
# of the stream however many receivers there are, and the host that joined
# nothing must receive none of it.
# With CASE "blocked" the switch drops every multicast datagram (nftables):
# every receiver must go back to TCP within 2 s of joining and get frames.
# With CASE "loss" the first receiver's host drops one datagram of the
# group in a hundred: it must still get every frame, through repairs.
# With CASE "shaped" the source's link is a 1 Gbit/s one (a token bucket at
# both ends) and the source a 1920x1080 photograph with camera-like noise
# at 29.97 fps (bench_link, from a wallpaper of Debian's): the link must
# carry under 1.2 copies, every receiver take the whole stream and decode
# 29.5 fps or more. Six decoders and the encoder need more than two
# processors (each decode of such a frame takes about 10 ms of one): with
# fewer than four the case is skipped.
# With CASE "lossy" the first receiver's host drops half of what the source
# sends it over UDP, repairs included: more than one frame in a hundred
# cannot be completed, and it must go back to TCP and get frames there.
# With CASE "preview" the last receiver asks for the preview (the lowest
# bandwidth): it must take it from a group of its own, the others from the
# full pictures' group.
# With CASE "keyed" the source and the receivers hold a site key (a 0600
# file made with openssl rand): every receiver must take its video from the
# group as above, and a capture of the source's port on the switch must
# hold no JPEG start of image with its next marker (FF D8 FF DB or
# FF D8 FF E0): the group's datagrams are sealed.
# With CASE "tcp" the source offers no group: the same figures, for
# comparison, and no check of them. QRV_MCAST_SIZE=WxH sets the picture
# (1280x720 unless set).
# Usage: multicast_netns_test.sh BIN_DIR [RECEIVERS [CASE]]. Prints what it
# measured; exits 1 on a failure, 77 (skipped) where namespaces, (for
# "blocked" and "loss") nftables or (for "shaped") shaping, bench_link or a
# photograph are missing.
set -uo pipefail
bin=$1 receivers=${2:-3} case=${3:-copies}
if [[ $(id -u) != 0 ]]; then
  echo "SKIP: network namespaces need root"
  exit 77
fi
# Six decoders and the encoder starve each other on fewer processors: the
# receivers' sockets overflow, they ask for repairs, and the source's link
# carries those too, so that neither the rates nor the copies say anything
# about the network.
if [[ $case == shaped ]] && (($(nproc) < 4)); then
  echo "SKIP: six decoding receivers need four processors or more ($(nproc) here)"
  exit 77
fi
id=$$
sw="qrvmc-$id-sw" src="qrvmc-$id-src" idle="qrvmc-$id-idle"
rxs=()
for ((i = 1; i <= receivers; ++i)); do rxs+=("qrvmc-$id-r$i"); done
subnet=10.208.$((id % 200 + 20))
work=$(mktemp -d /tmp/qrv-mcast-XXXXXX)
all=("$sw" "$src" "$idle" "${rxs[@]}")
# shellcheck source=tests/support/netns.sh
. "$(dirname "$0")/../support/netns.sh"
trap 'netns_remove "$work" "${QRV_MCAST_KEEP:-}" "${all[@]}"' EXIT
trap 'exit 1' INT TERM
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out; do echo "--- $f"; tail -3 "$f"; done >&2
  echo "--- the switch's groups" >&2
  bridge -n "$sw" mdb show >&2
  exit 1
}

if ! netns_new "$sw" || ! netns_bridge "$sw" br0 "$subnet.254" mcast_snooping 1 mcast_querier 1 mcast_igmp_version 3; then
  echo "SKIP: cannot create network namespaces and a snooping bridge"
  exit 77
fi
bridge_up=$SECONDS

# Host namespace $1 with address $subnet.$2 on interface $3, plugged into
# the switch.
plug() { netns_new "$1" && netns_plug "$1" "$3" "$subnet.$2" "$sw" br0 "p${3#h}"; }
plug "$src" 1 "hs$id" || fail "cannot plug in the source's host"
plug "$idle" 200 "hi$id" || fail "cannot plug in the idle host"
for ((i = 1; i <= receivers; ++i)); do
  plug "${rxs[$((i - 1))]}" $((10 + i)) "hr$i-$id" || fail "cannot plug in receiving host $i"
done

bytes() { ip netns exec "$1" cat "/sys/class/net/$2/statistics/$3"; }
# Processor time of a process so far, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }

if [[ $case == loss ]]; then
  command -v nft >/dev/null || { echo "SKIP: no nft (Debian nftables)"; exit 77; }
  ip netns exec "${rxs[0]}" nft -f - <<'RULES' || fail "cannot load the rule that drops datagrams"
table ip qrv_test {
  chain input {
    type filter hook prerouting priority -300;
    ip daddr 224.0.0.0/4 udp dport 5964 numgen random mod 100 < 1 drop
  }
}
RULES
fi
if [[ $case == lossy ]]; then
  command -v nft >/dev/null || { echo "SKIP: no nft (Debian nftables)"; exit 77; }
  ip netns exec "${rxs[0]}" nft -f - <<RULES || fail "cannot load the rule that drops datagrams"
table ip qrv_test {
  chain input {
    type filter hook prerouting priority -300;
    ip saddr $subnet.1 udp sport != 5353 numgen random mod 100 < 50 drop
  }
}
RULES
fi
if [[ $case == blocked ]]; then
  command -v nft >/dev/null || { echo "SKIP: no nft (Debian nftables)"; exit 77; }
  ip netns exec "$sw" nft -f - <<'RULES' || fail "cannot load the rule that drops multicast"
table bridge qrv_test {
  chain forward {
    type filter hook forward priority 0;
    ip daddr 224.0.0.0/4 udp dport 5964 drop
  }
}
RULES
fi

keyenv=()
if [[ $case == keyed ]]; then
  command -v tcpdump >/dev/null || { echo "SKIP: no tcpdump"; exit 77; }
  netns_key "$work/site.key" || fail "cannot make a key"
  keyenv=(QRV_KEY_FILE="$work/site.key")
  ip netns exec "$sw" tcpdump -i "ps$id" -s 0 -U -w "$work/capture.pcap" udp port 5964 \
    >"$work/tcpdump.log" 2>&1 &
  capture=$!
  for ((t = 0; t < 50; ++t)); do
    grep -q 'listening on' "$work/tcpdump.log" && break
    sleep 0.1
  done
fi

size=${QRV_MCAST_SIZE:-1280x720}
offer=on
[[ $case == tcp ]] && offer=off
if [[ $case == shaped ]]; then
  photo=$(ls /usr/share/wallpapers/Path/contents/images/*.jpg 2>/dev/null | sort -V | tail -1)
  [[ -x $bin/bench_link && -n $photo ]] || { echo "SKIP: no bench_link or no photograph"; exit 77; }
  tbf="root tbf rate 1gbit burst 512kb latency 50ms"
  # shellcheck disable=SC2086  # the qdisc's words
  tc -n "$src" qdisc add dev "hs$id" $tbf && tc -n "$sw" qdisc add dev "ps$id" $tbf ||
    { echo "SKIP: traffic shaping refused"; exit 77; }
  ip netns exec "$src" env QRV_INTERFACES="hs$id" QRV_MULTICAST=on QRV_LOG=info "$bin/bench_link" send \
    --name "Test Camera" --locator "$work/locator" --continuous --width 1920 --height 1080 \
    --interval-us 33367 --photo "$photo" >"$work/camera.out" 2>&1 &
else
  ip netns exec "$src" env "${keyenv[@]}" QRV_INTERFACES="hs$id" QRV_MULTICAST=$offer QRV_LOG=info \
    "$bin/qrv_test_camera" --width "${size%x*}" --height "${size#*x}" >"$work/camera.out" 2>&1 &
fi
camera_pid=$!
watch_pids=()
for ((i = 1; i <= receivers; ++i)); do
  bandwidth=highest
  [[ $case == preview ]] && ((i == receivers)) && bandwidth=lowest
  ip netns exec "${rxs[$((i - 1))]}" env "${keyenv[@]}" QRV_INTERFACES="hr$i-$id" QRV_LOG=info stdbuf -oL \
    "$bin/qrv_monitor" watch "Test Camera" --find-timeout 20 --bandwidth $bandwidth >"$work/watch$i.out" 2>&1 &
  watch_pids+=($!)
done

if [[ $case == lossy ]]; then
  # The lossy receiver gives the group up for TCP, where frames come whole.
  why='could not complete [0-9]+ of its last [0-9]+ frames'
  for ((t = 0; t < 200; ++t)); do
    grep -qE "$why" "$work/watch1.out" && break
    sleep 0.1
  done
  grep -qE "$why" "$work/watch1.out" || fail "the lossy receiver stayed on the group"
  echo "receiver 1: $(grep -m1 -oE "$why" "$work/watch1.out")"
  for ((t = 0; t < 40; ++t)); do
    sed -n '/could not complete/,$p' "$work/watch1.out" | grep -qE '^video (2[5-9]|3[0-9]) fps' && break
    sleep 0.1
  done
  sed -n '/could not complete/,$p' "$work/watch1.out" | grep -qE '^video (2[5-9]|3[0-9]) fps' ||
    fail "the lossy receiver gets no frames over TCP after falling back"
  ! grep -qE "$why" "$work/watch2.out" || fail "a receiver without loss left the group"
  echo "PASS"
  exit 0
fi
if [[ $case == blocked ]]; then
  # Each receiver joins, hears nothing, and says why it goes back to TCP
  # within 2 s; frames come over TCP after that.
  for ((i = 1; i <= receivers; ++i)); do
    for ((t = 0; t < 300; ++t)); do
      grep -q 'nothing came from the multicast group' "$work/watch$i.out" && break
      sleep 0.1
    done
    grep -q 'nothing came from the multicast group' "$work/watch$i.out" ||
      fail "receiver $i did not fall back to TCP"
    joined=$(grep -m1 -oE '^qrv\[[0-9]+\] [0-9T:.-]+Z INFO  receiver: .* takes the media .* from group' \
      "$work/watch$i.out" | grep -oE '[0-9]{2}:[0-9]{2}:[0-9.]+Z' | head -1)
    back=$(grep -m1 'nothing came from the multicast group' "$work/watch$i.out" |
      grep -oE '[0-9]{2}:[0-9]{2}:[0-9.]+Z' | head -1)
    delay=$(awk -v a="${joined%Z}" -v b="${back%Z}" 'BEGIN { split(a, x, ":"); split(b, y, ":");
      printf "%.2f", (y[1] * 3600 + y[2] * 60 + y[3]) - (x[1] * 3600 + x[2] * 60 + x[3]) }')
    echo "receiver $i: back to TCP ${delay} s after joining"
    awk -v d="$delay" 'BEGIN { exit !(d < 2) }' || fail "receiver $i took $delay s to fall back"
  done
  # A whole second at full rate after the fallback (until the next try
  # of the group, 2 s later).
  for ((i = 1; i <= receivers; ++i)); do
    for ((t = 0; t < 40; ++t)); do
      sed -n '/nothing came from the multicast group/,$p' "$work/watch$i.out" |
        grep -qE '^video (2[5-9]|3[0-9]) fps' && break
      sleep 0.1
    done
    sed -n '/nothing came from the multicast group/,$p' "$work/watch$i.out" |
      grep -qE '^video (2[5-9]|3[0-9]) fps' || fail "receiver $i gets no frames over TCP after falling back"
  done
  echo "PASS"
  exit 0
fi

# Every receiver on the group (on TCP for "tcp"), video moving.
moving='^video [1-9][0-9]* fps.* multicast 239\.'
[[ $case == tcp ]] && moving='^video [1-9][0-9]* fps'
for ((i = 1; i <= receivers; ++i)); do
  for ((t = 0; t < 300; ++t)); do
    grep -qE "$moving" "$work/watch$i.out" && break
    sleep 0.1
  done
  grep -qE "$moving" "$work/watch$i.out" || fail "receiver $i does not take its video as it should"
done
# Past the first second on the group, and past the switch's wait of a
# query's response time (10 s from its start) before it trusts its own
# querier: until then it floods every port with every group.
sleep 2
while ((SECONDS < bridge_up + 12)); do sleep 0.5; done

# Five seconds of bytes: the source's link out, each receiver's in, and the
# host that joined nothing.
src_tx0=$(bytes "$src" "hs$id" tx_bytes) idle_rx0=$(bytes "$idle" "hi$id" rx_bytes)
rx0=()
for ((i = 1; i <= receivers; ++i)); do rx0+=("$(bytes "${rxs[$((i - 1))]}" "hr$i-$id" rx_bytes)"); done
mark=()
for ((i = 1; i <= receivers; ++i)); do mark+=("$(wc -c <"$work/watch$i.out")"); done
cpu_src0=$(ticks "$camera_pid") cpu_rx0=$(ticks "${watch_pids[0]}")
sleep 5
hz=$(getconf CLK_TCK)
echo "processor over 5 s: source $((($(ticks "$camera_pid") - cpu_src0) * 100 / (5 * hz)))%," \
  "receiver 1 $((($(ticks "${watch_pids[0]}") - cpu_rx0) * 100 / (5 * hz)))% of a core"
src_tx=$(($(bytes "$src" "hs$id" tx_bytes) - src_tx0))
idle_rx=$(($(bytes "$idle" "hi$id" rx_bytes) - idle_rx0))
rx_sum=0
for ((i = 1; i <= receivers; ++i)); do
  rx_sum=$((rx_sum + $(bytes "${rxs[$((i - 1))]}" "hr$i-$id" rx_bytes) - rx0[i - 1]))
done
rx_mean=$((rx_sum / receivers))
((rx_mean > 1000000)) || fail "the receivers got only $rx_mean bytes in 5 s"
# Behind the shaped link each receiver takes the whole stream, decoded or
# not: about the bytes the source sent.
if [[ $case == shaped ]]; then
  for ((i = 1; i <= receivers; ++i)); do
    got=$(($(bytes "${rxs[$((i - 1))]}" "hr$i-$id" rx_bytes) - rx0[i - 1]))
    ((got * 100 >= src_tx * 90)) || fail "receiver $i took $got of the source's $src_tx bytes"
  done
fi
copies=$(awk -v s="$src_tx" -v r="$rx_mean" 'BEGIN { printf "%.2f", s / r }')
echo "receivers $receivers: source link $((src_tx * 8 / 5000000)) Mbit/s, each receiver" \
  "$((rx_mean * 8 / 5000000)) Mbit/s, copies on the source's link $copies, idle host $idle_rx bytes"

# The slowest second of each receiver in those five.
for ((i = 1; i <= receivers; ++i)); do
  fps=$(tail -c +"$((mark[i - 1] + 1))" "$work/watch$i.out" | grep -E '^video ' | grep -oE '^video [0-9]+' |
    awk '{print $2}' | sort -n | head -1)
  grep_group=$(grep -oE 'multicast 239\.[0-9.]+' "$work/watch$i.out" | tail -1)
  # The mean of those seconds (a 29.97 fps stream has seconds of 29).
  mean=$(tail -c +"$((mark[i - 1] + 1))" "$work/watch$i.out" | grep -oE '^video [0-9]+' |
    awk '{ n++; s += $2 } END { printf "%.1f", n ? s / n : 0 }')
  echo "receiver $i: slowest second ${fps:-0} fps, mean $mean fps, ${grep_group:-tcp}"
  if [[ $case == shaped ]]; then
    awk -v m="$mean" 'BEGIN { exit !(m >= 29.5) }' || fail "receiver $i got $mean fps"
  elif [[ $case == keyed ]]; then
    # Opening every datagram costs processor time, and on a loaded host
    # one second may fall short while the mean stays near the full rate.
    awk -v m="$mean" 'BEGIN { exit !(m >= 27) }' || fail "receiver $i got $mean fps"
  elif [[ $case != tcp ]]; then
    ((${fps:-0} >= 25)) || fail "receiver $i got ${fps:-0} fps"
  fi
done
if [[ $case == tcp ]]; then
  echo "PASS"
  exit 0
fi
if [[ $case == keyed ]]; then
  kill "$capture"
  wait "$capture"
  captured=$(stat -c %s "$work/capture.pcap" 2>/dev/null || echo 0)
  ((captured > 1000000)) || fail "the capture of the group holds only $captured bytes"
  python3 - "$work/capture.pcap" <<'PY' || fail "the group's datagrams carry JPEG in clear"
import sys
data = open(sys.argv[1], "rb").read()
# Whole JPEG headers (start of image with its JFIF or quantisation segment),
# long enough that sealed bytes of a capture this size never match by chance,
# as four bytes did about once in a hundred runs.
heads = (b"\xff\xd8\xff\xe0\x00\x10JFIF", b"\xff\xd8\xff\xdb\x00\x43", b"\xff\xd8\xff\xdb\x00\x84")
sys.exit(1 if any(h in data for h in heads) else 0)
PY
  echo "capture of the group: $captured bytes, no JPEG start of image"
fi
if [[ $case == preview ]]; then
  full=$(grep -oE 'multicast 239\.[0-9.]+' "$work/watch1.out" | tail -1)
  small=$(grep -oE 'multicast 239\.[0-9.]+' "$work/watch$receivers.out" | tail -1)
  [[ $full != "$small" ]] || fail "the preview came on the full pictures' group $full"
  echo "PASS"
  exit 0
fi
most=1.5
[[ $case == shaped ]] && most=1.2
awk -v c="$copies" -v m="$most" 'BEGIN { exit !(c < m) }' || fail "the source's link carried $copies copies"
if [[ $case == loss ]]; then
  # The lossy receiver says what it asked for again (every ten seconds).
  for ((t = 0; t < 120; ++t)); do
    grep -q 'requests for repairs' "$work/watch1.out" && break
    sleep 0.1
  done
  line=$(grep 'requests for repairs' "$work/watch1.out" | tail -1)
  echo "receiver 1 with 1% loss: $(grep -oE '[0-9]+ requests for repairs and [0-9]+ messages lost' <<<"$line")"
  [[ $line =~ \ ([1-9][0-9]*)\ requests ]] || fail "the lossy receiver asked for no repairs"
fi
((idle_rx < rx_mean / 100)) || fail "the host that joined nothing received $idle_rx bytes"
echo "PASS"
