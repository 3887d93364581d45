# shellcheck shell=bash disable=SC2154  # link_bin and the others are set by the script that sources this
# One sender and one receiver of bench_link, each a process of its own,
# the receiver connecting by the sender's locator: the runner of the link
# benchmarks on this host (scripts/bench.sh) and between two network
# namespaces (across_namespaces.sh). Source it, then set:
#   link_bin         the folder that holds bench_link
#   link_send_in     a command the sender runs under (in_a: its namespace), or unset
#   link_recv_in     likewise for the receiver, or unset
#   link_recv_extra  options every receiver takes (--tcp-only), or unset
# link_pair PREFIX "RECEIVER OPTIONS" SENDER OPTIONS...
# prints the receiver's "PREFIX_... value" lines; a pair that fails or
# overruns its minute prints what it has and the run goes on.
link_pair() {
  local prefix=$1 recv_options=$2; shift 2
  local loc sender
  loc=$(mktemp -u /tmp/qrv-bench-locator-XXXXXX)
  ${link_send_in:-} timeout 60 "$link_bin/bench_link" send --locator "$loc" "$@" >/dev/null &
  sender=$!
  # shellcheck disable=SC2086  # the options are words
  ${link_recv_in:-} timeout 60 "$link_bin/bench_link" recv --locator "$loc" --prefix "$prefix" \
    ${link_recv_extra:-} $recv_options || true
  wait "$sender" || true
  rm -f "$loc"
}
