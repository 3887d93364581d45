#!/bin/bash
# Runs a test program inside a network namespace of its own with only its
# loopback up, so that the sources it starts and sees stay apart from those
# of anything else on this host. The namespace goes when the script ends.
set -u
ns="qrvgst$$"
if ! ip netns add "$ns" 2>/dev/null; then
  echo "run_in_netns.sh: cannot create a network namespace (root needed); running without one" >&2
  exec "$@"
fi
trap 'ip netns del "$ns" 2>/dev/null' EXIT INT TERM
ip -n "$ns" link set lo up
ip netns exec "$ns" "$@"
