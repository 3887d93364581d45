"""Running a pair of gst-launch-1.0 pipelines between two processes and
timing the buffers that reach the receiving one, for the benchmarks that
compare GStreamer transports with ours.

The receiving pipeline reports every buffer through `identity
silent=false`; each report is stamped on arrival here. The first buffers
are passed over as warm-up (the pipelines' first frames fault in fresh
memory on both sides), as our own benchmark receiver does with --warmup;
the rate is (buffers - 1) over the time from the first counted buffer to
the last, the same measure as that receiver's.

shmsink keeps its buffers in a shared-memory segment, /dev/shm/shmpipe.<pid>.<n>
(the numbers space-padded), which it removes only when its pipeline shuts
down: each pipeline is ended as Ctrl-C would end it, and a segment that the
sender still left behind is removed by the sender's process id."""
import os
import signal
import subprocess
import threading
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


def measure_rate(send, recv, frames, env=None, warmup=WARMUP):
    """Starts the sending pipeline (a list of gst-launch-1.0 arguments), half
    a second later the receiving one, and counts up to frames buffers after
    warmup more. Returns (buffers per second, buffers counted); (0.0, n) when
    fewer than two were counted. A receiver that never delivers is killed
    after 20 s plus a tenth of a second a frame."""
    sender = subprocess.Popen(["gst-launch-1.0", "-q", *send], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    receiver = None
    stamps = []
    try:
        time.sleep(0.5)
        receiver = subprocess.Popen(["stdbuf", "-oL", "gst-launch-1.0", "-v", *recv], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        # The watchdog ends the receiver, which ends the loop below.
        watchdog = threading.Timer(20 + (frames + warmup) / 10, receiver.kill)
        watchdog.start()
        try:
            seen = 0
            for line in receiver.stdout:
                if "chain" in line and "bytes" in line:
                    seen += 1
                    if seen <= warmup:
                        continue
                    stamps.append(time.monotonic())
                    if len(stamps) >= frames:
                        break
        finally:
            watchdog.cancel()
    finally:
        for p in (receiver, sender):
            if p is not None:
                stop(p)
        remove_segments(sender.pid)
    if len(stamps) < 2 or stamps[-1] <= stamps[0]:
        return 0.0, len(stamps)
    return (len(stamps) - 1) / (stamps[-1] - stamps[0]), len(stamps)
