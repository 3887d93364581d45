# Shared by the scripts that build hosts out of network namespaces; source it.

# netns_remove WORK KEEP NAMESPACE...: kills every process in the
# namespaces, deletes them, copies the work directory to KEEP when KEEP is
# not empty, and removes the work directory. Quiet: for an EXIT trap.
netns_remove() {
  local work=$1 keep=$2 n p
  shift 2
  exec 2>/dev/null
  for n in "$@"; do
    for p in $(ip netns pids "$n"); do kill -9 "$p"; done
  done
  wait
  for n in "$@"; do ip netns del "$n"; done
  [[ -n $keep ]] && cp -r "$work" "$keep"
  rm -rf "$work"
}

# netns_new NAME...: creates each namespace with its loopback up.
netns_new() {
  local n
  for n in "$@"; do
    ip netns add "$n" && ip -n "$n" link set lo up || return 1
  done
}

# netns_veth NS_A DEV_A ADDR_A NS_B DEV_B ADDR_B: joins two namespaces by a
# veth pair, DEV_A in NS_A at ADDR_A/24 and DEV_B in NS_B at ADDR_B/24, up.
netns_veth() {
  ip link add "$2" netns "$1" type veth peer name "$5" netns "$4" &&
    ip -n "$1" addr add "$3/24" dev "$2" && ip -n "$1" link set "$2" up &&
    ip -n "$4" addr add "$6/24" dev "$5" && ip -n "$4" link set "$5" up
}

# netns_bridge NS BRIDGE ADDR [OPTION...]: a bridge (a switch) in NS with an
# address of its own (ADDR/24), up; OPTIONs go to its type, e.g.
# "mcast_snooping 1 mcast_querier 1 mcast_igmp_version 3".
netns_bridge() {
  local ns=$1 br=$2 addr=$3
  shift 3
  ip -n "$ns" link add "$br" type bridge "$@" && ip -n "$ns" addr add "$addr/24" dev "$br" &&
    ip -n "$ns" link set "$br" up
}

# netns_plug NS DEV ADDR SWITCH_NS BRIDGE PORT: plugs NS into BRIDGE: DEV
# in NS at ADDR/24, its peer PORT a port of BRIDGE in SWITCH_NS.
netns_plug() {
  local ns=$1 dev=$2 addr=$3 sw=$4 br=$5 port=$6
  ip link add "$dev" netns "$ns" type veth peer name "$port" netns "$sw" &&
    ip -n "$sw" link set "$port" master "$br" && ip -n "$sw" link set "$port" up &&
    ip -n "$ns" addr add "$addr/24" dev "$dev" && ip -n "$ns" link set "$dev" up
}

# netns_key FILE: a fresh key as its owner alone may read it.
netns_key() {
  (umask 077 && openssl rand -base64 32 >"$1")
}
