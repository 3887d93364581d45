#!/bin/bash
# Faults played against the real programs on this host:
#   sigint_storm      twenty SIGINTs in quick succession to each program
#   receiver_killed   same-host receivers killed with SIGKILL, again and again
#   receiver_stopped  a receiver stopped (SIGSTOP) past the stall timeout
#   few_descriptors   a receiver started with only 16 descriptors
# Usage: faults_test.sh BIN_DIR CASE. Prints what it measured; exits 1 on a
# crash, a hang, descriptors or memory that do not come back, or a stream
# that does not resume; 77 (skipped) where network namespaces are refused.
#
# Each run has a network namespace of its own with only its loopback up, so
# that runs at the same time do not see each other's sources (the programs
# publish fixed names). Every wait is for what the step needs, read from the
# programs' output, their runtime's log (QRV_LOG=info) or /proc, with a
# bound; only the length of a stop is a fixed time.
set -uo pipefail
bin=$1 case=$2
if [[ $(id -u) != 0 ]]; then
  echo "SKIP: network namespaces need root"
  exit 77
fi
ns="qrvfault-$$-$case"
work=$(mktemp -d /tmp/qrv-faults-XXXXXX)
pids=()
cleanup() {
  exec 2>/dev/null  # no job notices for what is killed here
  for p in "${pids[@]}"; do kill -9 "$p"; done
  for p in $(ip netns pids "$ns"); do kill -9 "$p"; done
  wait
  ip netns del "$ns"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! ip netns add "$ns" || ! ip -n "$ns" link set lo up; then
  echo "SKIP: cannot create a network namespace"
  exit 77
fi
# The command prefix that runs a program inside the namespace; `ip netns
# exec` becomes the program, so $! is the program's process id.
in_ns=(ip netns exec "$ns")

# Descriptors of process $1 but for the shared frames a source keeps for
# reuse (at most eight, each a memfd named qrv-frame), which grow with
# demand and are counted apart by frames_of.
fds_of() { find "/proc/$1/fd" -mindepth 1 -printf '%l\n' 2>/dev/null | grep -vc '^/memfd:qrv-frame'; }
frames_of() { find "/proc/$1/fd" -mindepth 1 -printf '%l\n' 2>/dev/null | grep -c '^/memfd:qrv-frame'; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null; }

# Waits up to $2 tenths of a second for process $1 to end; true when it did.
ended_within() {
  local i
  for ((i = 0; i < $2; ++i)); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  ! kill -0 "$1" 2>/dev/null
}

# Waits up to $4 tenths of a second until file $1 holds at least $3 lines
# matching the extended regex $2; true when it does.
wait_lines() {
  local i
  for ((i = 0; i < $4; ++i)); do
    (($(grep -cE -- "$2" "$1" 2>/dev/null) >= $3)) && return 0
    sleep 0.1
  done
  (($(grep -cE -- "$2" "$1" 2>/dev/null) >= $3))
}

# Lines of the form "video N fps" with N > 0 in file $1 after byte offset $2.
moving_lines() { tail -c +"$(($2 + 1))" "$1" | grep -cE '^video [1-9][0-9]* fps'; }

# Waits up to $3 tenths of a second for a line of file $1, after byte offset
# $2, that shows frames arriving.
wait_moving() {
  local i
  for ((i = 0; i < $3; ++i)); do
    (($(moving_lines "$1" "$2") > 0)) && return 0
    sleep 0.1
  done
  (($(moving_lines "$1" "$2") > 0))
}

# What the source logs as receivers come and go.
connected='receiver .qrv_monitor. connected from'
left='receiver .qrv_monitor. \(.*\) disconnected|(lost|dropped) receiver .qrv_monitor.'

# Starts strobe_pump with its runtime's log on, and waits until its source
# is published.
start_pump() {
  "${in_ns[@]}" env QRV_LOG=info "$bin/strobe_pump" >"$work/pump.out" 2>&1 &
  pump=$!
  pids+=("$pump")
  wait_lines "$work/pump.out" "discovery: published '.*\(My Video\)'" 1 100 ||
    fail "strobe_pump did not publish its source: $(cat "$work/pump.out")"
}

# Starts a watching receiver of "My Video", its output to file $1.
start_watch() {
  "${in_ns[@]}" stdbuf -oL "$bin/qrv_monitor" watch "${full_name:-My Video}" >"$1" 2>&1 &
  watcher=$!
  pids+=("$watcher")
}

# True once program $2 (process $1) may take a Ctrl-C in its own way: the
# process is the program (no longer the commands that start it), its
# runtime is up (it holds a socket) and, but for source_lister which keeps
# the inherited disposition, it caught SIGINT.
ready_for_sigint() {
  local exe caught
  exe=$(readlink "/proc/$1/exe" 2>/dev/null)
  [[ ${exe##*/} == "${2%% *}" ]] || return 1
  [[ -n $(find "/proc/$1/fd" -mindepth 1 -lname 'socket:*' 2>/dev/null) ]] || return 1
  [[ $2 == source_lister ]] && return 0
  caught=$(awk '/^SigCgt/ {print $2}' "/proc/$1/status" 2>/dev/null)
  [[ -n $caught ]] && ((0x$caught & 2))
}

case $case in
sigint_storm)
  # switchboard pauses 15 s between passes and finishes its pause before it
  # stops; the virtual clock's speed-up mode shortens the pauses of its main
  # thread to 1 s and leaves the runtime's clocks real.
  vclock=${QRV_TEST_VCLOCK:-$bin/../vclock/libqrv_vclock.so}
  [[ -f $vclock ]] || fail "no virtual clock shim at $vclock"
  for p in strobe_pump flash_beep quad_hush stereo_hush rate_probe source_lister switchboard preset_caller \
           late_binder "qrv_monitor list" qrv_test_camera; do
    clock=()
    # (A sanitizer's runtime must accept the shim preloaded ahead of it.)
    [[ $p == switchboard ]] && clock=(LD_PRELOAD="$vclock" QRV_VCLOCK_MAIN_SPEEDUP=15
                                      ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")
    # late_binder names the library's folder: a sanitizer's runtime takes
    # over dlopen, which then no longer looks in the program's run path.
    [[ $p == late_binder ]] && clock=(QRV_RUNTIME_DIR_V3="$bin/")
    # A background job of a script ignores SIGINT unless told otherwise,
    # and source_lister keeps whatever disposition it inherits.
    # shellcheck disable=SC2086  # the tool's command is two words
    "${in_ns[@]}" env --default-signal=INT "${clock[@]}" $bin/$p </dev/null >"$work/out" 2>&1 &
    pid=$!
    pids+=("$pid")
    for ((i = 0; i < 500; ++i)); do
      ready_for_sigint "$pid" "$p" && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.02
    done
    if ! ready_for_sigint "$pid" "$p"; then
      kill -0 "$pid" 2>/dev/null || { wait "$pid"; fail "$p ended with status $? before any SIGINT: $(tail -c 300 "$work/out")"; }
      fail "$p did not get ready within 10 s: $(tail -c 300 "$work/out")"
    fi
    for _ in $(seq 20); do
      kill -INT "$pid" 2>/dev/null
      sleep 0.005
    done
    ended_within "$pid" 200 || fail "$p still runs 20 s after twenty SIGINTs"
    wait "$pid"
    rc=$?
    # Ending by the signal itself or with a status is fine; a crash is not.
    ((rc == 130 || rc < 128)) || fail "$p ended with status $rc after twenty SIGINTs: $(tail -c 300 "$work/out")"
    echo "$p: ended with status $rc"
  done
  ;;
receiver_killed)
  start_pump
  # By its full name, which spares each receiver the moment a short name
  # waits for the answers of other hosts.
  full_name=$(sed -nE "s/.*discovery: published '(.*\(My Video\))'.*/\1/p" "$work/pump.out" | head -1)
  # One receiver takes frames for a second, which brings the source's pool
  # of shared frames to its working size, and is killed: what the source
  # holds after that is the baseline.
  start_watch "$work/first.out"
  wait_moving "$work/first.out" 0 100 || fail "the first receiver got no frames: $(cat "$work/first.out")"
  { kill -9 "$watcher" && wait "$watcher"; } 2>/dev/null
  wait_lines "$work/pump.out" "$left" 1 100 || fail "strobe_pump did not notice the killed receiver"
  base_fds=$(fds_of "$pump") base_frames=$(frames_of "$pump") base_rss=$(rss_kb "$pump")
  # Eight more, each killed once the source has taken its connection.
  for n in $(seq 2 9); do
    "${in_ns[@]}" "$bin/qrv_monitor" watch "$full_name" >/dev/null 2>&1 &
    r=$!
    pids+=("$r")
    wait_lines "$work/pump.out" "$connected" "$n" 100 || fail "receiver $n did not connect"
    { kill -9 "$r" && wait "$r"; } 2>/dev/null
  done
  wait_lines "$work/pump.out" "$left" 9 100 || fail "strobe_pump did not notice all the killed receivers"
  # What the source let go of is closed by the time it logs the loss; a
  # moment more is allowed for memory returning.
  for ((i = 0; i < 50; ++i)); do
    fds=$(fds_of "$pump") frames=$(frames_of "$pump") rss=$(rss_kb "$pump")
    ((fds <= base_fds && frames <= 8 && rss <= base_rss + 65536)) && break
    sleep 0.1
  done
  echo "strobe_pump descriptors: $base_fds before, $fds after 8 killed receivers"
  echo "strobe_pump shared frames kept: $base_frames before, $frames after"
  echo "strobe_pump resident memory: $base_rss kB before, $rss kB after"
  ((fds <= base_fds)) || fail "descriptors grew from $base_fds to $fds"
  ((frames <= 8)) || fail "the source keeps $frames shared frames, more than its pool of eight"
  ((rss <= base_rss + 65536)) || fail "resident memory grew from $base_rss to $rss kB"
  start_watch "$work/last.out"
  wait_moving "$work/last.out" 0 100 || fail "no frames after the kills: $(cat "$work/last.out")"
  ;;
receiver_stopped)
  start_pump
  start_watch "$work/watch.out"
  wait_moving "$work/watch.out" 0 100 || fail "no frames before the stop: $(cat "$work/watch.out")"
  kill -STOP "$watcher"
  # Stopped past the source's stall timeout (5 s) and the receiver's silence
  # timeout (4 s). The stop itself is the fault, and nothing reports while it
  # lasts (on the same-host path the source holds back frames rather than
  # dropping the receiver), so this wait is its length.
  sleep 6
  mark=$(stat -c %s "$work/watch.out")
  kill -CONT "$watcher"
  # Once going on, the receiver first reports the seconds it missed, one
  # frame each; a report of two frames or more is the stream back.
  # The first report after continuing counts frames from before the stop.
  back() { tail -c +"$((mark + 1))" "$work/watch.out" | tail -n +2 | grep -cE '^video ([2-9]|[1-9][0-9]+) fps'; }
  for ((i = 0; i < 150 && $(back) == 0; ++i)); do sleep 0.1; done
  moving=$(back)
  echo "after 6 s stopped: frames again within $((i / 10)).$((i % 10)) s of continuing"
  ((moving > 0)) || fail "no frames after continuing: $(tail -c 400 "$work/watch.out")"
  ;;
few_descriptors)
  start_pump
  (ulimit -n 16 && exec "${in_ns[@]}" stdbuf -oL "$bin/qrv_monitor" watch "My Video") >"$work/watch.out" 2>&1 &
  watcher=$!
  pids+=("$watcher")
  wait_moving "$work/watch.out" 0 100 || fail "no frames with 16 descriptors: $(cat "$work/watch.out")"
  kill -0 "$watcher" 2>/dev/null || fail "the receiver with 16 descriptors ended: $(cat "$work/watch.out")"
  kill -INT "$watcher"
  ended_within "$watcher" 100 || fail "the receiver with 16 descriptors did not stop on Ctrl-C"
  wait "$watcher"
  rc=$?
  ((rc == 0)) || fail "the receiver with 16 descriptors ended with status $rc: $(cat "$work/watch.out")"
  echo "with 16 descriptors: $(moving_lines "$work/watch.out" 0) lines showing frames"
  ;;
*)
  fail "unknown case $case"
  ;;
esac
echo "$case: passed"
