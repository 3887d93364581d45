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
