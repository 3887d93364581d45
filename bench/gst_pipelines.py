"""Running a pair of pipelines between two processes and timing the
buffers that reach the receiving one, for the benchmarks that compare
GStreamer transports with ours.

The sending pipeline runs in gst-launch-1.0; the receiving one runs in
bench_gst_rate, which counts the buffers reaching its element named "count"
in that very process, as bench_link's receiver counts the frames it
captures: the first buffers are passed over as warm-up (the pipelines'
first frames fault in fresh memory on both sides), and the rate is
(buffers - 1) over the time from the first counted buffer to the last.
No third process reads or stamps a buffer, so none takes a processor from
the two pipelines.

shmsink keeps its buffers in a shared-memory segment, /dev/shm/shmpipe.<pid>.<n>
(the numbers space-padded), which it removes only when its pipeline shuts
down: each pipeline is ended as Ctrl-C would end it, and a segment that the
sender still left behind is removed by the sender's process id."""
import os
import signal
import subprocess
import sys
import time

SHM_DIR = "/dev/shm"
# Buffers passed over before counting: bench_link's receiver in
# scripts/bench.sh passes over as many.
WARMUP = 10


def stop(process):
    """Ends a pipeline with SIGINT, which gst-launch-1.0 answers by shutting
    the pipeline down; kills it if it is still there after 5 s."""
    if process.poll() is None:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def remove_segments(pid):
    """Removes the shared-memory segments that shmsink in process pid made."""
    try:
        names = os.listdir(SHM_DIR)
    except FileNotFoundError:
        return
    for name in names:
        parts = name.split(".")
        if len(parts) == 3 and parts[0] == "shmpipe" and parts[1].strip() == str(pid):
            try:
                os.unlink(os.path.join(SHM_DIR, name))
            except FileNotFoundError:
                pass


def measure_rate(send, recv, frames, counter, env=None, warmup=WARMUP, prefix="rate", ready=None):
    """Starts the sending pipeline (a list of gst-launch-1.0 arguments), then
    the receiving one (a list of pipeline words with a sink named "count") in
    counter, the bench_gst_rate program, which counts up to frames buffers
    after warmup more. The receiver starts once ready() is true (at most 20 s
    on), or half a second on without it. Returns (buffers per second, buffers
    counted); (0.0, 0) when the receiver reported nothing, with its reason on
    standard error."""
    sender = subprocess.Popen(["gst-launch-1.0", "-q", *send], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = ""
    try:
        # A busy host may take seconds to start the sender (a shmsrc whose
        # socket is not there yet fails at once).
        until = time.monotonic() + 20
        time.sleep(0.5)
        while ready is not None and not ready() and time.monotonic() < until and sender.poll() is None:
            time.sleep(0.05)
        # The receiver gives up on its own (15 s without a first buffer, 1 s
        # without a next); the timeout only guards against a hung pipeline.
        done = subprocess.run([counter, prefix, str(frames), str(warmup), *recv], env=env,
                              capture_output=True, text=True, timeout=60 + (frames + warmup) / 10)
        out = done.stdout
        if done.returncode != 0:
            print(f"gst_pipelines: {recv[0]}: {done.stderr.strip() or 'fewer than two buffers'}", file=sys.stderr)
    except subprocess.TimeoutExpired:
        print(f"gst_pipelines: {recv[0]}: no end after its time", file=sys.stderr)
    finally:
        stop(sender)
        remove_segments(sender.pid)
    values = dict(line.split() for line in out.splitlines() if len(line.split()) == 2)
    try:
        return float(values.get(f"{prefix}_fps", 0)), int(values.get(f"{prefix}_frames", 0))
    except ValueError:
        return 0.0, 0


def median(values):
    """The middle of the rates measured (the mean of the middle two for an
    even count), leaving out rounds that measured nothing (0.0); 0.0 for
    none."""
    v = sorted(x for x in values if x > 0)
    if not v:
        return 0.0
    mid = len(v) // 2
    return v[mid] if len(v) % 2 else (v[mid - 1] + v[mid]) / 2
