#!/bin/bash
# Discovery through a DNS server across a router: a knot server as the
# zone's primary (dynamic updates allowed for one TSIG key) in a router
# namespace that joins two subnets (IP forwarding, no multicast routing),
# strobe_pump in subnet A, source_lister in subnet B. Checks that the
# source is listed within 2 s of its creation and gone within 2 s of its
# end, gone within one lease after kill -9, that dig and a standard DNS-SD
# browser (avahi, on a private bus in subnet B) see it, that its frames
# reach subnet B, and that switchboard in B routes receivers in either
# subnet to a camera in the other.
# Usage: unicast_dns_test.sh BIN_DIR [--bench ROUNDS]. Exits 77 (skipped)
# without knot. With --bench it measures instead: median time from creation
# to listed and from end to gone over ROUNDS runs, the server's capacity
# (dnsperf, else a loop of dig) and the load of 20 finders and 100 sources.
set -uo pipefail
bin=$1
bench_rounds=0
[[ ${2:-} == --bench ]] && bench_rounds=${3:-5}
knotd=$(command -v knotd || echo /usr/sbin/knotd)
if [[ ! -x $knotd ]] || ! command -v dig >/dev/null; then
  echo "SKIP: knot (knotd) and dig are needed: apt-get install knot dnsutils"
  exit 77
fi
if [[ $(id -u) != 0 ]]; then
  echo "SKIP: network namespaces need root"
  exit 77
fi

tag="unicastdns-$$"
net="10.$((40 + $$ % 50)).$((($$ / 50) % 250))"
# Subnet A is $net.0/26 behind 10.X.Y.1, subnet B $net.64/26 behind $net.65.
server="$net.1"
domain=studio.example
lease=6
secret=$(head -c 32 /dev/urandom | base64)
key="hmac-sha256:qrv-test:$secret"
work=$(mktemp -d /tmp/qrv-unicastdns-XXXXXX)
pids=()
knot_pid=

cleanup() {
  exec 2>/dev/null  # no job notices for what is killed here
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  [[ -n $knot_pid ]] && kill -9 "$knot_pid" 2>/dev/null
  # Whatever still runs in the test's own namespaces is the test's.
  for n in a b r; do
    for p in $(ip netns pids "$tag-$n" 2>/dev/null); do kill -9 "$p" 2>/dev/null; done
  done
  wait 2>/dev/null
  for n in a b r; do ip netns del "$tag-$n" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() {
  echo "FAIL: $*" >&2
  echo "--- lister output"; tail -20 "$work/lister.out"
  echo "--- pump output"; tail -20 "$work/pump.out" 2>/dev/null
  echo "--- knot"; tail -20 "$work/knot.log"
  exit 1
}

# Runs in a namespace. Background jobs call ip directly, so that their pid
# is the program's own (ip, env and stdbuf exec it).
in_ns() { local n=$1; shift; ip netns exec "$tag-$n" "$@"; }

# The namespaces: r routes between bridge A and bridge B.
ip netns add "$tag-r" && ip netns add "$tag-a" && ip netns add "$tag-b" || fail "could not create namespaces"
ip -n "$tag-r" link set lo up
in_ns r sysctl -qw net.ipv4.ip_forward=1
for side in a b; do
  if [[ $side == a ]]; then gw=$net.1 addr=$net.2; else gw=$net.65 addr=$net.66; fi
  ip -n "$tag-r" link add "br$side" type bridge mcast_snooping 0 &&
    ip -n "$tag-r" addr add "$gw/26" dev "br$side" &&
    ip -n "$tag-r" link set "br$side" up &&
    ip -n "$tag-$side" link add "v$side" type veth peer name "p$side" netns "$tag-r" &&
    ip -n "$tag-r" link set "p$side" master "br$side" up &&
    ip -n "$tag-$side" addr add "$addr/26" dev "v$side" &&
    ip -n "$tag-$side" link set "v$side" up &&
    ip -n "$tag-$side" link set lo up &&
    ip -n "$tag-$side" route add default via "$gw" || fail "could not set up subnet $side"
done

# The DNS server.
mkdir -p "$work/zones" "$work/db" "$work/run"
cat >"$work/zones/$domain.zone" <<ZONE
\$ORIGIN $domain.
\$TTL 60
@   SOA ns hostmaster 1 3600 900 604800 5
@   NS  ns
ns  A   $server
ZONE
cat >"$work/knot.conf" <<CONF
server:
    rundir: "$work/run"
    listen: [ $net.1@53, $net.65@53 ]
    user: root:root
log:
  - target: stderr
    any: info
database:
    storage: "$work/db"
key:
  - id: qrv-test
    algorithm: hmac-sha256
    secret: $secret
acl:
  - id: qrv-update
    key: qrv-test
    action: update
zone:
  - domain: $domain
    storage: "$work/zones"
    file: "$domain.zone"
    acl: qrv-update
    zonefile-sync: -1
    journal-content: none
CONF
ip netns exec "$tag-r" "$knotd" -c "$work/knot.conf" >"$work/knot.log" 2>&1 &
knot_pid=$!
for ((i = 0; i < 50; ++i)); do
  in_ns b dig +short +time=1 +tries=1 @"$server" SOA "$domain" 2>/dev/null | grep -q hostmaster && break
  kill -0 "$knot_pid" 2>/dev/null || { cat "$work/knot.log"; echo "SKIP: knotd does not run here"; exit 77; }
  sleep 0.1
done
((i < 50)) || fail "knot does not answer"

export QRV_DNS_DOMAIN=$domain QRV_DNS_SERVER=$server QRV_DNS_LEASE=$lease QRV_DNS_POLL_MS=500
now_ms() { date +%s%3N; }
# Waits until source_lister's latest list (after byte offset $1) holds
# (want=1) or lacks (want=0) "My Video", for up to $3 ms; prints the time.
wait_list() {
  local offset=$1 want=$2 limit=$3 start
  start=$(now_ms)
  while (($(now_ms) - start < limit)); do
    local last
    last=$(tail -c +"$((offset + 1))" "$work/lister.out" |
      awk '/^Network sources/ {block = ""; seen = 1} /^No change/ {next} seen {block = block $0 "\n"} END {printf "%s", block}')
    if [[ -n $last ]]; then
      if ((want)) && grep -q "My Video" <<<"$last"; then echo $(($(now_ms) - start)); return 0; fi
      if ((!want)) && ! grep -q "My Video" <<<"$last"; then echo $(($(now_ms) - start)); return 0; fi
    fi
    sleep 0.05
  done
  return 1
}
size() { stat -c %s "$work/lister.out"; }
# Waits up to $3 tenths of a second for file $1 to hold pattern $2.
wait_grep() {
  local i
  for ((i = 0; i < $3; ++i)); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

start_pump() {
  ip netns exec "$tag-a" env QRV_DNS_KEY="$key" QRV_INTERFACES=all "$bin/strobe_pump" >"$work/pump.out" 2>&1 &
  pump=$!
  pids+=("$pump")
}

ip netns exec "$tag-b" stdbuf -oL "$bin/source_lister" >"$work/lister.out" 2>&1 &
pids+=($!)
sleep 1

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
if ((bench_rounds > 0)); then
  listed=() gone=()
  for ((r = 0; r < bench_rounds; ++r)); do
    offset=$(size)
    start_pump
    listed+=("$(wait_list "$offset" 1 5000)") || fail "not listed in round $r"
    offset=$(size)
    kill -INT "$pump"
    wait "$pump" 2>/dev/null
    gone+=("$(wait_list "$offset" 0 5000)") || fail "not gone in round $r"
  done
  echo "creation to listed across subnets: median $(printf '%s\n' "${listed[@]}" | median) ms (${listed[*]})"
  echo "end to gone: median $(printf '%s\n' "${gone[@]}" | median) ms (${gone[*]})"
  echo "load of unicast discovery: $("$bin/bench_unicast_load" 20 100 30 1000)"
  printf '_qrv._tcp.%s PTR\nns.%s A\n' "$domain" "$domain" >"$work/queries"
  if command -v dnsperf >/dev/null; then
    qps=$(in_ns b dnsperf -s "$server" -d "$work/queries" -l 5 -c 4 -q 50 2>&1 | awk '/Queries per second/ {print $4}')
    echo "the server's capacity (dnsperf, 5 s, on this machine): $qps queries/s"
  else
    start=$(now_ms)
    for ((i = 0; i < 200; ++i)); do in_ns b dig +short @"$server" -t PTR "_qrv._tcp.$domain" >/dev/null; done
    echo "the server's capacity (a loop of dig, bounded by dig's start): $((200 * 1000 / ($(now_ms) - start))) queries/s"
  fi
  exit 0
fi

offset=$(size)
start_pump
t=$(wait_list "$offset" 1 2000) || fail "'My Video' not listed in subnet B within 2 s"
echo "listed across subnets after $t ms"

# dig escapes the blanks of the label: "vm\032\(my\032video\)._qrv...".
in_ns b dig +short @"$server" -t PTR "_qrv._tcp.$domain" | grep -qi 'my\\032video' || fail "dig does not list the source"
echo "dig lists: $(in_ns b dig +short @"$server" -t PTR "_qrv._tcp.$domain" | tr '\n' ' ')"

# A standard DNS-SD browser resolves what we publish: avahi-daemon with
# wide-area browsing, its own config and a private message bus, in subnet B
# with a mount namespace of its own (a private /run and a resolv.conf that
# names the test's server). It may do multicast DNS only on subnet B's veth.
if command -v avahi-daemon >/dev/null && command -v avahi-browse >/dev/null && command -v dbus-daemon >/dev/null; then
  cat >"$work/bus.conf" <<BUS
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/> <allow send_destination="*"/> <allow receive_sender="*"/>
  </policy>
</busconfig>
BUS
  printf '[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=vb\n[wide-area]\nenable-wide-area=yes\n[publish]\ndisable-publishing=yes\ndisable-user-service-publishing=yes\n[reflector]\nenable-reflector=no\n' >"$work/avahi.conf"
  echo "nameserver $server" >"$work/resolv.conf"
  ip netns exec "$tag-b" unshare -m sh -c "mount -t tmpfs qrv-test /run && mkdir /run/avahi-daemon &&
    mount --bind '$work/resolv.conf' /etc/resolv.conf &&
    { dbus-daemon --config-file='$work/bus.conf' --nofork & } &&
    for i in \$(seq 50); do [ -S '$work/bus' ] && break; sleep 0.1; done &&
    DBUS_SYSTEM_BUS_ADDRESS='unix:path=$work/bus' exec avahi-daemon -f '$work/avahi.conf' \
      --no-drop-root --no-chroot --no-rlimits --no-proc-title" >"$work/avahi.log" 2>&1 &
  avahi=$!
  pids+=("$avahi")
  wait_grep "$work/avahi.log" "Server startup complete" 50 || fail "avahi-daemon does not start: $(cat "$work/avahi.log")"
  # -p: "=;if;proto;instance;type;domain;host;address;port;txt", with the
  # instance's blanks and parentheses escaped as \032, \040 and \041.
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus" timeout 10 avahi-browse -d "$domain" -r -t -p _qrv._tcp \
    >"$work/browse.out" 2>&1
  resolved=$(grep -m1 -i '^=.*my\\032video' "$work/browse.out")
  [[ -n $resolved ]] || fail "avahi-browse does not resolve the source: $(cat "$work/browse.out")"
  IFS=';' read -r _ _ _ _ _ _ _ address port txt <<<"$resolved"
  [[ $address == "$net.2" && $port -gt 0 && $txt == *'"label='*'My Video'* && $txt == *'"refresh='* ]] ||
    fail "avahi-browse resolves the source wrongly: $resolved"
  echo "avahi-browse resolves: $(cut -d';' -f4,7-9 <<<"$resolved")"
  kill "$avahi"  # its bus goes with the namespace
else
  echo "note: avahi-daemon, avahi-utils or dbus-daemon missing; the standard-browser check is skipped"
fi

# Frames cross the router too: the published address is the sender's.
if [[ -x $bin/qrv_monitor ]]; then
  in_ns b "$bin/qrv_monitor" watch "My Video" --seconds 3 >"$work/watch.out" 2>&1
  grep -qE '^video [1-9][0-9]* fps' "$work/watch.out" || fail "no frames in subnet B: $(cat "$work/watch.out")"
  echo "watched from subnet B: $(grep -m1 -E '^video [1-9]' "$work/watch.out")"
fi

offset=$(size)
kill -INT "$pump"
t=$(wait_list "$offset" 0 2000) || fail "'My Video' still listed 2 s after its end"
echo "gone after its end in $t ms"
wait "$pump" 2>/dev/null
[[ -z $(in_ns b dig +short @"$server" -t PTR "_qrv._tcp.$domain") ]] || fail "records left in the zone"

offset=$(size)
start_pump
wait_list "$offset" 1 2000 >/dev/null || fail "'My Video' not listed again"
offset=$(size)
kill -9 "$pump"
wait "$pump" 2>/dev/null
t=$(wait_list "$offset" 0 $(((lease + 1) * 1000))) || fail "'My Video' still listed $((lease + 1)) s after kill -9"
echo "gone after kill -9 in $t ms (lease $lease s)"

# switchboard in subnet B routes between a camera in A and one in B, and
# receivers in both subnets follow "Routing" to the camera of the other.
# Its 15-second passes run 15 times faster on the virtual clock's speed-up
# mode, which leaves the runtime's clocks real (signed updates carry the
# wall-clock time and the server checks it).
vclock=${QRV_TEST_VCLOCK:-$bin/../vclock/libqrv_vclock.so}
[[ -f $vclock ]] || fail "no virtual clock shim at $vclock"
start_camera() {
  ip netns exec "$tag-$1" env QRV_DNS_KEY="$key" QRV_INTERFACES=all "$bin/qrv_test_camera" --name "$2" \
    --width "$3" --height "$4" >"$work/camera-$1.out" 2>&1 &
  pids+=($!)
  routing_pids+=($!)
}
routing_pids=()
start_camera a "Cam A" 256 144
start_camera b "Cam B" 320 180
ip netns exec "$tag-b" env QRV_DNS_KEY="$key" QRV_INTERFACES=all LD_PRELOAD="$vclock" QRV_VCLOCK_MAIN_SPEEDUP=15 \
  stdbuf -oL "$bin/switchboard" >"$work/switchboard.out" 2>&1 &
switchboard=$!
pids+=("$switchboard")
for side in a b; do
  ip netns exec "$tag-$side" stdbuf -oL "$bin/qrv_monitor" watch Routing --seconds 25 >"$work/routed-$side.out" 2>&1 &
  pids+=($!)
  routing_pids+=($!)
done
wait_grep "$work/routed-a.out" '^video [1-9][0-9]* fps 320x180' 200 ||
  fail "no frames of Cam B through Routing in subnet A: $(cat "$work/routed-a.out" "$work/switchboard.out")"
wait_grep "$work/routed-b.out" '^video [1-9][0-9]* fps 256x144' 100 ||
  fail "no frames of Cam A through Routing in subnet B: $(cat "$work/routed-b.out" "$work/switchboard.out")"
echo "switchboard in B: $(grep -c '^routing to' "$work/switchboard.out") passes; A watched $(grep -m1 '^watching' "$work/routed-a.out" | cut -d' ' -f2-) carry Cam B, B saw it carry Cam A"
kill -INT "$switchboard" "${routing_pids[@]}"
wait "$switchboard" "${routing_pids[@]}" 2>/dev/null

# A wrong key: a clear log line, and multicast DNS on the host unaffected.
ip netns exec "$tag-a" env QRV_DNS_KEY="hmac-sha256:qrv-test:$(head -c 32 /dev/urandom | base64)" QRV_LOG=warn \
  QRV_INTERFACES=all "$bin/strobe_pump" >"$work/wrong.out" 2>&1 &
wrong=$!
pids+=("$wrong")
ip netns exec "$tag-a" stdbuf -oL "$bin/source_lister" >"$work/local.out" 2>&1 &
pids+=($!)
wait_grep "$work/wrong.out" "refused the key 'qrv-test'" 30 || fail "no clear log line for a wrong key: $(cat "$work/wrong.out")"
echo "wrong key: $(grep -m1 "refused the key" "$work/wrong.out" | cut -d' ' -f5-)"
wait_grep "$work/local.out" "My Video" 30 || fail "a wrong key stops local discovery"
kill -INT "$wrong"
wait "$wrong" 2>/dev/null

# The server down when the sender starts: the source appears once it is up.
kill -9 "$knot_pid"
wait "$knot_pid" 2>/dev/null
offset=$(size)
start_pump
sleep 1.5
ip netns exec "$tag-r" "$knotd" -c "$work/knot.conf" >>"$work/knot.log" 2>&1 &
knot_pid=$!
t=$(wait_list "$offset" 1 10000) || fail "'My Video' not listed within 10 s of the start of a server that was down"
echo "listed $t ms after the server was down for 1.5 s"

# In subnet A the source is seen by multicast DNS and in the zone: one entry.
sleep 1.5
count=$(awk '/^Network sources/ {n = 0} /My Video/ {++n} END {print n + 0}' "$work/local.out")
((count == 1)) || fail "subnet A lists 'My Video' $count times: $(tail -5 "$work/local.out")"
echo "PASS"
