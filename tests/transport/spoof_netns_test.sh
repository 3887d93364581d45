#!/bin/bash
# A spoofed announcement with the site key: three hosts (network namespaces
# on one bridge). Once the camera (with the key) is published, a stranger
# without the key announces the camera's name by multicast DNS, pointing
# at its own port, which takes connections and closes them: unasked ten
# times a second, at once when asked and just after every answer of the
# camera, so that its claim is the newest. A receiver with the key that
# starts while only the stranger's claim reaches it (the camera's multicast
# DNS held back a moment) tries the stranger, logs once that it does not
# hold the key, and then watches the real camera at full rate and stays
# with it; the camera keeps its name and logs that another claims it.
# Usage: spoof_netns_test.sh BIN_DIR. Exits 1 on a failure, 77 (skipped)
# where namespaces are missing.
set -uo pipefail
bin=$1
if [[ $(id -u) != 0 ]]; then
  echo "SKIP: network namespaces need root"
  exit 77
fi
id=$$
src="qrvspoof-$id-src" fake="qrvspoof-$id-fake" rx="qrvspoof-$id-rx"
subnet=10.211.$((id % 200 + 20))
work=$(mktemp -d /tmp/qrv-spoof-XXXXXX)
# shellcheck source=tests/support/netns.sh
. "$(dirname "$0")/../support/netns.sh"
trap 'netns_remove "$work" "" "$src" "$fake" "$rx"' EXIT
trap 'exit 1' INT TERM
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out; do echo "--- $f"; tail -8 "$f"; done >&2
  exit 1
}
netns_new "$src" "$fake" "$rx" || { echo "SKIP: cannot create network namespaces"; exit 77; }
netns_bridge "$rx" "qb$id" "$subnet.2" || fail "cannot set up the bridge"
for n in "$src:s:1" "$fake:f:9"; do
  IFS=: read -r ns tag host <<<"$n"
  netns_plug "$ns" "q$tag$id" "$subnet.$host" "$rx" "qb$id" "p$tag$id" || fail "cannot set up $ns"
done
netns_key "$work/site.key" || fail "cannot make a key"

ip netns exec "$src" env QRV_INTERFACES="qs$id" QRV_KEY_FILE="$work/site.key" QRV_LOG=info \
  "$bin/qrv_test_camera" >"$work/camera.out" 2>&1 &
for ((t = 0; t < 50; ++t)); do
  grep -q "published '.*(Test Camera)'" "$work/camera.out" && break
  sleep 0.1
done
grep -q "published '.*(Test Camera)'" "$work/camera.out" || fail "the camera was not published"

# The stranger: claims the name unasked, at once when asked, and again just
# after whatever another host answers (never to probes, which the camera,
# once published, does not send again); closes every connection it takes.
ip netns exec "$fake" python3 - "$subnet.9" >"$work/stranger.out" 2>&1 <<'PY' &
import select, socket, struct, sys, threading, time
addr = sys.argv[1]
host = "".join(c if c.isalnum() or c == "-" else "-" for c in socket.gethostname().split(".")[0])
def name(*labels):
    return b"".join(bytes([len(l)]) + l for l in (x.encode() for x in labels)) + b"\0"
def record(owner, rtype, rdata):
    return owner + struct.pack("!HHIH", rtype, 1, 8, len(rdata)) + rdata
service = name("_qrv", "_tcp", "local")
instance = name(f"{host} (Test Camera)", "_qrv", "_tcp", "local")
target = name("stranger", "local")
txt = b"".join(bytes([len(s)]) + s for s in (b"txtvers=1", b"proto=1", b"id=stranger", b"groups=public"))
packet = struct.pack("!6H", 0, 0x8400, 0, 4, 0, 0) + b"".join([
    record(service, 12, instance), record(instance, 33, struct.pack("!3H", 0, 0, 5960) + target),
    record(instance, 16, txt), record(target, 1, socket.inet_aton(addr))])
listener = socket.create_server((addr, 5960))
def refuse():
    while True:
        listener.accept()[0].close()
threading.Thread(target=refuse, daemon=True).start()
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
sock.bind(("", 5353))
sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton("224.0.0.251") + socket.inet_aton(addr))
sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(addr))
sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
print("claiming", instance, flush=True)
last = 0.0
while True:
    if select.select([sock], [], [], 0.1)[0]:
        data, peer = sock.recvfrom(9000)
        if peer[0] == addr or len(data) < 12:
            continue
        if data[2] & 0x80:
            time.sleep(0.01)  # after another's answer: the newest
        elif data[9] or data[8]:
            continue  # a probe: a silent claim until the name is taken

    elif time.monotonic() - last < 0.1:
        continue
    sock.sendto(packet, ("224.0.0.251", 5353))
    last = time.monotonic()
PY
sleep 1
# The receiver starts while the camera's multicast DNS is held back, so
# that the stranger's claim is all it sees (nftables in the camera's
# namespace); then the camera's answers reach it again.
ip netns exec "$src" nft -f - <<'NFT' || fail "cannot hold back the camera's multicast DNS"
table inet qrvspoof {
  chain out {
    type filter hook output priority 0;
    udp dport 5353 drop
  }
}
NFT
ip netns exec "$rx" env QRV_INTERFACES="qb$id" QRV_KEY_FILE="$work/site.key" QRV_LOG=info stdbuf -oL \
  "$bin/qrv_monitor" watch "Test Camera" --find-timeout 20 >"$work/watch.out" 2>&1 &
refused="$subnet.9:5960: the source does not hold this site's key"
for ((t = 0; t < 100; ++t)); do
  grep -q "$refused" "$work/watch.out" && break
  sleep 0.1
done
grep -q "$refused" "$work/watch.out" || fail "the receiver did not say that the stranger lacks the key"
ip netns exec "$src" nft delete table inet qrvspoof || fail "cannot let the camera's multicast DNS out"
full='^video (2[5-9]|3[0-9]) fps'
for ((t = 0; t < 100; ++t)); do
  grep -qE "$full" "$work/watch.out" && break
  sleep 0.1
done
grep -qE "$full" "$work/watch.out" || fail "the receiver gets no full-rate video from the camera"
# Still there while the stranger goes on claiming the name.
sleep 4
tail -1 "$work/watch.out" | grep -qE "$full" || fail "the receiver lost the camera"
n=$(grep -c "$refused" "$work/watch.out")
((n == 1)) || fail "the receiver logged the stranger's refusal $n times, not once"
grep -q "Test Camera (2)" "$work/camera.out" && fail "the stranger pushed the camera off its name"
grep -q "another instance claims '.*(Test Camera)'" "$work/camera.out" || fail "the camera did not log the claim"
echo "receiver: $(grep -E '^video ' "$work/watch.out" | tail -1); the stranger refused once"
echo "PASS"
