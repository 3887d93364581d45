#!/bin/bash
# What receiving a 4K multicast stream costs the receiver, with the kernel
# handing over runs of datagrams whole and one at a time: the source and a
# receiver on hosts of their own (network namespaces joined by a link of
# 1500 bytes), bench_multicast_receive taking turns between the two.
# Usage: receive_cost.sh BIN_DIR [FRAMES]. Prints "key value" lines;
# "mcast_receive_skipped 1" where namespaces are refused. Everything it made
# is removed on every exit.
set -uo pipefail
bin=$1 frames=${2:-300}
prefix=${QRV_BENCH_NS_PREFIX:-qrvrc}
a="$prefix-$$-a" b="$prefix-$$-b"
work=$(mktemp -d /tmp/qrv-rcost-XXXXXX)
# shellcheck source=tests/support/netns.sh
. "$(dirname "$0")/../../tests/support/netns.sh"
trap 'netns_remove "$work" "" "$a" "$b"' EXIT
trap 'exit 130' INT TERM
skip() {
  echo "receive cost: skipped, $*" >&2
  echo "mcast_receive_skipped 1"
  exit 0
}
[[ $(id -u) == 0 ]] || skip "network namespaces need root"
netns_new "$a" "$b" && netns_veth "$a" eth0 10.208.7.1 "$b" eth0 10.208.7.2 || skip "cannot make namespaces"
"$bin/bench_multicast_receive" 10.208.7.1 10.208.7.2 "$frames" "$a" "$b"
