#!/bin/bash
# Faults played against the real programs on this host:
#   sigint_storm      twenty SIGINTs in quick succession to each program
#   receiver_killed   same-host receivers killed with SIGKILL, again and again
#   receiver_stopped  a receiver stopped (SIGSTOP) past the stall timeout
#   few_descriptors   a receiver started with only 16 descriptors
# Usage: faults_test.sh BIN_DIR CASE. Prints what it measured; exits 1 on a
# crash, a hang, descriptors or memory that do not come back, or a stream
# that does not resume.
set -uo pipefail
bin=$1 case=$2
work=$(mktemp -d /tmp/qrv-faults-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

fds_of() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }
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

# Lines of the form "video N fps" with N > 0 in file $1 after byte offset $2.
moving_lines() { tail -c +"$(($2 + 1))" "$1" | grep -cE '^video [1-9][0-9]* fps'; }

start_pump() {
  "$bin/strobe_pump" >"$work/pump.out" 2>&1 &
  pump=$!
  pids+=("$pump")
  sleep 1.5
  kill -0 "$pump" 2>/dev/null || fail "strobe_pump did not start"
}

case $case in
sigint_storm)
  for p in strobe_pump flash_beep quad_hush stereo_hush rate_probe source_lister switchboard preset_caller \
           late_binder "qrv_monitor list" qrv_test_camera; do
    # A background job of a script ignores SIGINT unless told otherwise,
    # and source_lister keeps whatever disposition it inherits.
    # shellcheck disable=SC2086  # the tool's command is two words
    env --default-signal=INT $bin/$p </dev/null >"$work/out" 2>&1 &
    pid=$!
    pids+=("$pid")
    sleep 1
    for _ in $(seq 20); do
      kill -INT "$pid" 2>/dev/null
      sleep 0.005
    done
    # switchboard finishes its 15-second pause before it stops.
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
  "$bin/qrv_monitor" watch "My Video" >"$work/first.out" 2>&1 &
  first=$!
  pids+=("$first")
  sleep 2
  kill -9 "$first"
  sleep 1
  base_fds=$(fds_of "$pump") base_rss=$(rss_kb "$pump")
  for _ in $(seq 8); do
    "$bin/qrv_monitor" watch "My Video" >/dev/null 2>&1 &
    r=$!
    pids+=("$r")
    sleep 1.2
    kill -9 "$r"
  done
  sleep 2
  fds=$(fds_of "$pump") rss=$(rss_kb "$pump")
  echo "strobe_pump descriptors: $base_fds before, $fds after 8 killed receivers"
  echo "strobe_pump resident memory: $base_rss kB before, $rss kB after"
  ((fds <= base_fds)) || fail "descriptors grew from $base_fds to $fds"
  ((rss <= base_rss + 65536)) || fail "resident memory grew from $base_rss to $rss kB"
  timeout 4 stdbuf -oL "$bin/qrv_monitor" watch "My Video" >"$work/last.out" 2>&1
  (($(moving_lines "$work/last.out" 0) > 0)) || fail "no frames after the kills: $(cat "$work/last.out")"
  ;;
receiver_stopped)
  start_pump
  stdbuf -oL "$bin/qrv_monitor" watch "My Video" >"$work/watch.out" 2>&1 &
  watcher=$!
  pids+=("$watcher")
  sleep 4
  (($(moving_lines "$work/watch.out" 0) > 0)) || fail "no frames before the stop"
  kill -STOP "$watcher"
  sleep 8  # past the source's stall timeout and the receiver's silence timeout
  mark=$(stat -c %s "$work/watch.out")
  kill -CONT "$watcher"
  sleep 5
  moving=$(moving_lines "$work/watch.out" "$mark")
  echo "after 8 s stopped: $moving lines showing frames in the 5 s after continuing"
  ((moving > 0)) || fail "no frames after continuing: $(tail -c 400 "$work/watch.out")"
  ;;
few_descriptors)
  start_pump
  (ulimit -n 16 && exec timeout 4 stdbuf -oL "$bin/qrv_monitor" watch "My Video") >"$work/watch.out" 2>&1
  rc=$?
  ((rc == 124)) || fail "the receiver with 16 descriptors ended with status $rc: $(cat "$work/watch.out")"
  (($(moving_lines "$work/watch.out" 0) > 0)) || fail "no frames with 16 descriptors: $(cat "$work/watch.out")"
  echo "with 16 descriptors: $(moving_lines "$work/watch.out" 0) lines showing frames"
  ;;
*)
  fail "unknown case $case"
  ;;
esac
echo "$case: passed"
