#!/bin/bash
# One source behind a 1 Gbit/s link and 1 to 8 receivers on other hosts,
# all plugged into a switch that snoops IGMP (a bridge in a namespace of its
# own: snooping, a querier, IGMPv3). The source sends a photograph with
# camera-like noise at 29.97 fps, compressed (the default between hosts),
# through a multicast group (QRV_MULTICAST=on) and, in the same run, over
# TCP alone; every receiver decodes what it gets, as a vision mixer would.
# For each case: frames per second at each receiver, Mbit/s on the source's
# link (its interface's byte counters), and the sender's processor time
# (/proc/PID/stat) over the same seconds. Then send-to-capture latency of
# one receiver, median and p99, with and without 1% of the packets from the
# source dropped on the receiver's host (nftables), group next to TCP.
# Usage: many_receivers.sh BIN_DIR SECONDS [SIZE...] where SIZE is 1080 or
# 2160 (default both); from the environment RECEIVERS, the counts of
# receivers (default "1 2 4 6 8" at 1080 and "1 2 4 8" at 2160), and
# QRV_BENCH_PHOTO (a JPEG; generated noise without it).
# Prints "key value" lines and "row ..." lines for bench/report.py;
# "mcast_skipped 1" where namespaces, shaping or nftables are refused.
# Everything it made is removed on every exit.
set -uo pipefail
bin=$1 seconds=$2
shift 2
sizes=("$@")
((${#sizes[@]})) || sizes=(1080 2160)
counts_of() {
  if [[ -n ${RECEIVERS:-} ]]; then echo "$RECEIVERS"
  elif [[ $1 == 1080 ]]; then echo "1 2 4 6 8"
  else echo "1 2 4 8"; fi
}
max=1
for size in "${sizes[@]}"; do
  for n in $(counts_of "$size"); do ((n > max)) && max=$n; done
done

id=$$
ns_prefix=${QRV_BENCH_NS_PREFIX:-qrvmb}
sw="$ns_prefix-$id-sw" src="$ns_prefix-$id-src"
rxs=()
for ((i = 1; i <= max; ++i)); do rxs+=("$ns_prefix-$id-r$i"); done
subnet=10.209.$((id % 200 + 20))
work=$(mktemp -d /tmp/qrv-mbench-XXXXXX)
all=("$sw" "$src" "${rxs[@]}")
# shellcheck source=tests/support/netns.sh
. "$(dirname "$0")/../../tests/support/netns.sh"
trap 'netns_remove "$work" "${QRV_MBENCH_KEEP:-}" "${all[@]}"' EXIT
trap 'exit 130' INT TERM
skip() {
  echo "many receivers: skipped, $*" >&2
  echo "mcast_skipped 1"
  exit 0
}

[[ $(id -u) == 0 ]] || skip "network namespaces need root"
command -v nft >/dev/null || skip "no nft (Debian nftables)"
netns_new "$sw" && netns_bridge "$sw" br0 "$subnet.254" mcast_snooping 1 mcast_querier 1 mcast_igmp_version 3 ||
  skip "cannot make a snooping bridge"
bridge_up=$SECONDS
# Host namespace $1 with address $subnet.$2 on interface $3, plugged into
# the switch through port p$3.
plug() { local p="p$3"; netns_new "$1" && netns_plug "$1" "$3" "$subnet.$2" "$sw" br0 "${p:0:15}"; }
hs=ms$id
plug "$src" 1 "$hs" || skip "cannot plug in the source's host"
for ((i = 1; i <= max; ++i)); do
  plug "${rxs[$((i - 1))]}" $((10 + i)) "mr$i-$id" || skip "cannot plug in receiving host $i"
done
# The source's link, 1 Gbit/s both ways, as most local networks are.
tbf="root tbf rate 1gbit burst 512kb latency 50ms"
# shellcheck disable=SC2086  # the qdisc's words
tc -n "$src" qdisc add dev "$hs" $tbf && tc -n "$sw" qdisc add dev "p$hs" $tbf || skip "traffic shaping refused"

# Until the switch trusts its own querier (a query's response time, 10 s
# from its start) it floods every port with every group.
while ((SECONDS < bridge_up + 12)); do sleep 0.5; done

bytes() { ip netns exec "$1" cat "/sys/class/net/$2/statistics/$3"; }
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }
# Packets the host's input queues dropped (the whole host: veth pairs end
# there), in hexadecimal per processor.
backlog_drops() {
  local n=0 line
  while read -r -a line; do n=$((n + 16#${line[1]})); done </proc/net/softnet_stat
  echo "$n"
}
hz=$(getconf CLK_TCK)
photo_option=()
[[ -n ${QRV_BENCH_PHOTO:-} ]] && photo_option=(--photo "$QRV_BENCH_PHOTO")

# run PREFIX MODE SIZE RECEIVERS: one source (MODE "mcast" or "tcp") and
# the first RECEIVERS receivers, each counting SECONDS after 30 frames;
# the byte and processor counters are read over the middle of that.
run() {
  local prefix=$1 mode=$2 size=$3 n=$4 offer=on
  [[ $mode == tcp ]] && offer=off
  local w=$((size * 16 / 9)) loc=$work/$prefix.locator sender i
  ip netns exec "$src" env QRV_INTERFACES="$hs" QRV_MULTICAST=$offer "$bin/bench_link" send --locator "$loc" \
    --continuous --width "$w" --height "$size" --interval-us 33367 "${photo_option[@]}" >"$work/$prefix.sender" 2>&1 &
  sender=$!
  local pids=()
  for ((i = 1; i <= n; ++i)); do
    # Without the local socket path, as on another host; the group is
    # still offered and taken.
    # (bench_link leaves by itself: after SECONDS, or a second without frames.)
    ip netns exec "${rxs[$((i - 1))]}" env QRV_INTERFACES="mr$i-$id" "$bin/bench_link" recv \
      --locator "$loc" --tcp-only --prefix "r$i" --warmup 30 --seconds "$seconds" >"$work/$prefix.r$i" 2>&1 &
    pids+=($!)
  done
  # Everyone connected and past the warmup: a second and a half of frames.
  local t=0
  until [[ -s $loc ]] || ((t++ > 100)); do sleep 0.1; done
  sleep 2.5
  local span
  # Ends a second and a half before the receivers stop counting (and the
  # sender stops with them).
  span=$(awk -v s="$seconds" 'BEGIN { print (s > 3 ? s - 2 : 1) }')
  local tx0 rx0 cpu0 t0 tx1 rx1 cpu1 t1 backlog0 backlog1 rcpu0 rcpu1
  tx0=$(bytes "$src" "$hs" tx_bytes) rx0=$(bytes "${rxs[0]}" "mr1-$id" rx_bytes) cpu0=$(ticks "$sender")
  rcpu0=$(ticks "${pids[0]}")
  backlog0=$(backlog_drops)
  t0=$(date +%s%N)
  sleep "$span"
  tx1=$(bytes "$src" "$hs" tx_bytes) rx1=$(bytes "${rxs[0]}" "mr1-$id" rx_bytes) cpu1=$(ticks "$sender")
  rcpu1=$(ticks "${pids[0]}")
  backlog1=$(backlog_drops)
  t1=$(date +%s%N)
  wait "${pids[@]}"
  wait "$sender"
  local ns=$((t1 - t0))
  echo "${prefix}_source_mbits $(awk -v b=$((tx1 - tx0)) -v ns=$ns 'BEGIN { printf "%.0f", b * 8000 / ns }')"
  echo "${prefix}_copies $(awk -v s=$((tx1 - tx0)) -v r=$((rx1 - rx0)) 'BEGIN { printf "%.2f", (r > 0 ? s / r : 0) }')"
  echo "${prefix}_backlog_drops $((backlog1 - backlog0))"
  # The sender's own count of repairs and of frames its pacing dropped.
  awk -v p="$prefix" '$1 ~ /^group_(repairs|dropped)$/ { print p "_" $1, $2 }' "$work/$prefix.sender"
  [[ -n $cpu0 && -n $cpu1 ]] && echo "${prefix}_sender_cpu_pct $(awk -v c=$((cpu1 - cpu0)) -v hz="$hz" -v ns=$ns 'BEGIN { printf "%.1f", c / hz * 1e11 / ns }')"
  [[ -n $rcpu0 && -n $rcpu1 ]] && echo "${prefix}_receiver_cpu_pct $(awk -v c=$((rcpu1 - rcpu0)) -v hz="$hz" \
    -v ns=$ns 'BEGIN { printf "%.1f", c / hz * 1e11 / ns }')"
  # The slowest and fastest receiver, and the first one's latency.
  cat "$work/$prefix".r* | awk -v p="$prefix" '
    $1 ~ /_fps$/ { f = $2 + 0; if (lo == "" || f < lo) lo = f; if (f > hi) hi = f }
    $1 == "r1_latency_median_us" { med = $2 } $1 == "r1_latency_p99_us" { p99 = $2 }
    $1 ~ /_dropped$/ { dropped += $2 }
    END { printf "%s_fps_min %.1f\n%s_fps_max %.1f\n%s_dropped %d\n%s_latency_median_us %d\n%s_latency_p99_us %d\n",
          p, lo, p, hi, p, dropped, p, med, p, p99 }'
}

for size in "${sizes[@]}"; do
  for n in $(counts_of "$size"); do
    for mode in mcast tcp; do
      run "mb_${mode}_${size}_$n" "$mode" "$size" "$n" | tee -a "$work/keys"
    done
  done
done

# Latency of one receiver with 1% of the source's packets lost on its host
# (multicast, repairs and TCP alike).
ip netns exec "${rxs[0]}" nft -f - <<RULES || skip "cannot load the rule that drops packets"
table ip qrv_bench {
  chain input {
    type filter hook prerouting priority -300;
    ip saddr $subnet.1 numgen random mod 100 < 1 drop
  }
}
RULES
for mode in mcast tcp; do
  run "mb_${mode}_${sizes[0]}_1_loss" "$mode" "${sizes[0]}" 1 | tee -a "$work/keys"
done

# The table's rows: per count of receivers, the group next to TCP.
awk '{ v[$1] = $2 }
  function fps(k) { return sprintf("%.1f–%.1f fps", v[k "_fps_min"], v[k "_fps_max"]) }
  function link(k) { return sprintf("%d Mbit/s (%.2f copies)", v[k "_source_mbits"], v[k "_copies"]) }
  function cpu(k, n) { return sprintf("%.1f %% (%.1f %% each)", v[k "_sender_cpu_pct"], v[k "_sender_cpu_pct"] / n) }
  function lat(k) { return sprintf("%.1f / %.1f ms", v[k "_latency_median_us"] / 1000, v[k "_latency_p99_us"] / 1000) }
  END {
    split("1080 2160", sizes, " ")
    for (s = 1; s <= 2; s++)
      for (n = 1; n <= 8; n++) {
        m = "mb_mcast_" sizes[s] "_" n; t = "mb_tcp_" sizes[s] "_" n
        if (!((m "_fps_min") in v)) continue
        pl = (n > 1 ? "s" : "")
        name = sprintf("1 Gbit/s link, %sp photograph, %d receiver%s: each, source link", sizes[s], n, pl)
        printf "row %s | group %s, %s | TCP %s, %s | one copy, 29.97 fps each\n", name, fps(m), link(m), fps(t), link(t)
        printf "row Sender processor, %sp, %d receiver%s | group %s | TCP %s | below TCP from 2 receivers\n",
          sizes[s], n, pl, cpu(m, n), cpu(t, n)
      }
    for (k in v) if (k ~ /^mb_mcast_[0-9]+_1_loss_fps_min$/) { split(k, p, "_"); size = p[3] }
    if (size == "") exit
    m = "mb_mcast_" size "_1"; t = "mb_tcp_" size "_1"
    printf "row Latency, %sp, one receiver, median / p99: no loss; 1%% loss | group %s; %s | TCP %s; %s | pacing adds under 8 ms\n",
      size, lat(m), lat(m "_loss"), lat(t), lat(t "_loss")
  }' "$work/keys"
exit 0
