#!/bin/bash
# Camera commands from short-lived processes on another host: qrv_test_camera
# in one network namespace, twenty `qrv_monitor ptz ... recall N` runs one
# after another in a second, the two joined by a veth pair. Every run that
# says "sent" must have been carried out: the camera prints each command it
# takes, and they must come in the order sent.
# Usage: ptz_netns_test.sh BIN_DIR [COUNT]. Prints how many the camera
# carried out; exits 1 when one is missing, out of order or a run failed;
# 77 (skipped) where network namespaces are refused.
set -uo pipefail
bin=$1 count=${2:-20}
if [[ $(id -u) != 0 ]]; then
  echo "SKIP: network namespaces need root"
  exit 77
fi
tag="qrvptz-$$"
net="10.$((100 + $$ % 50)).$((($$ / 50) % 250))"
va="qpa$$" vb="qpb$$"
work=$(mktemp -d /tmp/qrv-ptz-XXXXXX)
camera=
# shellcheck source=tests/support/netns.sh
. "$(dirname "$0")/../support/netns.sh"
trap 'netns_remove "$work" "" "$tag-a" "$tag-b"' EXIT
trap 'exit 1' INT TERM
fail() {
  echo "FAIL: $*" >&2
  echo "--- camera"; tail -30 "$work/camera.out"
  exit 1
}

netns_new "$tag-a" "$tag-b" || { echo "SKIP: cannot create network namespaces"; exit 77; }
netns_veth "$tag-a" "$va" "$net.1" "$tag-b" "$vb" "$net.2" || fail "could not join the namespaces"

ip netns exec "$tag-a" env QRV_INTERFACES="$va" stdbuf -oL "$bin/qrv_test_camera" --width 320 --height 180 \
  >"$work/camera.out" 2>&1 &
camera=$!
for ((i = 0; i < 100; ++i)); do
  grep -q '^publishing' "$work/camera.out" && break
  sleep 0.1
done
((i < 100)) || fail "the camera did not start"

# Presets 1..count, each from a process of its own that ends right after
# it says "sent".
said=0
for ((n = 1; n <= count; ++n)); do
  out=$(ip netns exec "$tag-b" env QRV_INTERFACES="$vb" "$bin/qrv_monitor" ptz "Test Camera" recall "$n" \
    --speed 0.5 --find-timeout 10 2>&1)
  status=$?
  if ((status == 0)) && [[ $out == sent* ]]; then
    ((++said))
  else
    echo "run $n (status $status): $out"
  fi
done

# The camera takes commands once per frame: a moment for the last.
for ((i = 0; i < 30; ++i)); do
  (($(grep -c '^recall preset' "$work/camera.out") >= said)) && break
  sleep 0.1
done
carried=$(grep -c '^recall preset' "$work/camera.out")
expected=$(seq 1 "$count" | sed 's/.*/recall preset & at speed 0.5/')
echo "$said of $count runs said sent; the camera carried out $carried"
((said == count)) || fail "$((count - said)) runs did not say sent"
[[ $(grep '^recall preset' "$work/camera.out") == "$expected" ]] ||
  fail "the camera carried out $carried of $count, or not in the order sent"
echo "PASS"
