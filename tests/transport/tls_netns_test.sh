#!/bin/bash
# The site key between two hosts (network namespaces joined by a veth
# pair): a source with the key (qrv_test_camera, compressed video) is
# watched by a receiver with the key at full rate, while a capture of the
# link's TCP traffic holds no JPEG start of image, no source name and no
# receiver name in clear; a camera command from a receiver with only the
# site key is refused (the camera has an operator key) and one from a
# receiver with both keys moves it, and preset_caller with the site key
# connects but moves nothing; then a receiver without the key gets
# nothing, and the source logs and counts the refusal.
# Usage: tls_netns_test.sh BIN_DIR. Exits 1 on a failure, 77 (skipped)
# where namespaces or tcpdump are missing.
set -uo pipefail
bin=$1
if [[ $(id -u) != 0 ]]; then
  echo "SKIP: network namespaces need root"
  exit 77
fi
command -v tcpdump >/dev/null || { echo "SKIP: no tcpdump (Debian tcpdump)"; exit 77; }
id=$$
src="qrvtls-$id-src" rx="qrvtls-$id-rx"
subnet=10.209.$((id % 200 + 20))
work=$(mktemp -d /tmp/qrv-tls-XXXXXX)
# shellcheck source=tests/support/netns.sh
. "$(dirname "$0")/../support/netns.sh"
trap 'netns_remove "$work" "" "$src" "$rx"' EXIT
trap 'exit 1' INT TERM
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out; do echo "--- $f"; tail -5 "$f"; done >&2
  exit 1
}
netns_new "$src" "$rx" || { echo "SKIP: cannot create network namespaces"; exit 77; }
netns_veth "$src" "ts$id" "$subnet.1" "$rx" "tr$id" "$subnet.2" || fail "cannot join the namespaces"

for k in site operator; do netns_key "$work/$k.key" || fail "cannot make a key"; done

ip netns exec "$rx" tcpdump -i "tr$id" -U -s 0 -w "$work/link.pcap" tcp >"$work/tcpdump.out" 2>&1 &
dump=$!
sleep 0.5
ip netns exec "$src" env QRV_INTERFACES="ts$id" QRV_KEY_FILE="$work/site.key" \
  QRV_OPERATOR_KEY_FILE="$work/operator.key" QRV_LOG=info stdbuf -oL "$bin/qrv_test_camera" >"$work/camera.out" 2>&1 &
ip netns exec "$rx" env QRV_INTERFACES="tr$id" QRV_KEY_FILE="$work/site.key" QRV_LOG=info stdbuf -oL \
  "$bin/qrv_monitor" watch "Test Camera" --find-timeout 20 >"$work/watch.out" 2>&1 &
watch=$!
for ((t = 0; t < 300; ++t)); do
  grep -qE '^video (2[5-9]|3[0-9]) fps' "$work/watch.out" && break
  sleep 0.1
done
grep -qE '^video (2[5-9]|3[0-9]) fps' "$work/watch.out" || fail "the receiver with the key gets no full-rate video"
sleep 2
kill "$watch" "$dump"
wait "$watch" "$dump" 2>/dev/null
echo "with the key: $(grep -E '^video ' "$work/watch.out" | tail -1)"

python3 - "$work/link.pcap" <<'PY' || fail "the link's traffic holds something in clear"
import sys
data = open(sys.argv[1], "rb").read()
if len(data) < 1_000_000:
    sys.exit(f"only {len(data)} bytes captured")
found = [name for name, needle in (("JPEG start of image (DB)", b"\xff\xd8\xff\xdb"),
                                   ("JPEG start of image (E0)", b"\xff\xd8\xff\xe0"),
                                   ("the source name", b"Test Camera"),
                                   ("the monitor's name", b"qrv_monitor")) if needle in data]
print(f"capture of {len(data)} bytes of TCP: nothing in clear" if not found else f"in clear: {found}")
sys.exit(1 if found else 0)
PY

# Steering needs the operator key: with the site key alone the command is
# refused with a clear reason and the camera moves not; with both it moves.
ip netns exec "$rx" env QRV_INTERFACES="tr$id" QRV_KEY_FILE="$work/site.key" \
  "$bin/qrv_monitor" ptz "Test Camera" recall 5 --find-timeout 20 >"$work/ptz-site.out" 2>&1 &&
  fail "ptz with only the site key succeeded"
grep -q "refused the camera command: .*operator key" "$work/ptz-site.out" || fail "ptz refusal not told"
ip netns exec "$rx" env QRV_INTERFACES="tr$id" QRV_KEY_FILE="$work/site.key" \
  QRV_OPERATOR_KEY_FILE="$work/operator.key" "$bin/qrv_monitor" ptz "Test Camera" recall 6 --find-timeout 20 \
  >"$work/ptz-both.out" 2>&1 || fail "ptz with both keys failed"
for ((t = 0; t < 50; ++t)); do
  grep -q '^recall preset 6' "$work/camera.out" && break
  sleep 0.1
done
grep -q '^recall preset 6' "$work/camera.out" || fail "the camera did not move for the operator"
grep -q '^recall preset 5' "$work/camera.out" && fail "the camera moved for a receiver with only the site key"
grep -q "refused a camera command from $subnet.2" "$work/camera.out" || fail "the source did not log the refused command"
echo "ptz: site key only: $(tail -1 "$work/ptz-site.out"); both keys: $(tail -1 "$work/ptz-both.out")"

# preset_caller with the site key alone: it connects and asks for preset 3,
# which the camera refuses.
ip netns exec "$rx" env QRV_INTERFACES="tr$id" QRV_KEY_FILE="$work/site.key" timeout -s INT 8 stdbuf -oL \
  "$bin/preset_caller" >"$work/preset.out" 2>&1
grep -q 'supports PTZ' "$work/preset.out" || fail "preset_caller with the site key did not connect"
grep -q '^recall preset 3' "$work/camera.out" && fail "the camera moved for preset_caller with only the site key"
echo "preset_caller with the site key: connected, camera did not move"

# Without the key: nothing, and the source says whom it refused.
ip netns exec "$rx" env QRV_INTERFACES="tr$id" QRV_LOG=info stdbuf -oL \
  "$bin/qrv_monitor" watch "Test Camera" --find-timeout 20 >"$work/nokey.out" 2>&1 &
for ((t = 0; t < 100; ++t)); do
  grep -q "refused the connection from $subnet.2" "$work/camera.out" && break
  sleep 0.1
done
grep -q "refused the connection from $subnet.2" "$work/camera.out" || fail "the source did not log the refusal"
sleep 3
grep -qE '^video [1-9]' "$work/nokey.out" && fail "the receiver without the key got video"
echo "without the key: $(grep -c 'refused the connection' "$work/camera.out") refusals logged, no video"
echo "PASS"
