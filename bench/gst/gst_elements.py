"""Frames per second that our GStreamer elements move between two processes
on this host, next to GStreamer's own shmsink/shmsrc moving the same raw
3840x2160 UYVY buffers in the same run: a sending pipeline renders them as
fast as it can (sync=false), a receiving pipeline counts them in its own
process (bench_gst_rate). The rate is (buffers - 1) over the time from the
first counted buffer to the last, after ten of warm-up, as for
bench/peers/gst_rate.py and our runtime's own receiver (bench/gst_pipelines.py
runs both). Our runtime's own sender and receiver moving frames of the same
size between two processes (bench_link) take their turn as well: the rate
the elements could reach at best. Its sender writes every frame whole before
it goes and lends it to an asynchronous send, as fakesrc writes each buffer
and qrvsink lends it, so that the two do the same work per frame. Rounds take
turns between the three, each round starting with the next one; the median
of each counts. Prints "key value" lines and a "row" line for the report.

Usage: gst_elements.py PLUGIN_DIR [FRAMES] [ROUNDS] BIN_DIR
(BIN_DIR holds bench_link and bench_gst_rate)."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from gst_pipelines import measure_rate, median, stop  # noqa: E402

WIDTH, HEIGHT = 3840, 2160
FRAME = WIDTH * HEIGHT * 2
CAPS = f"video/x-raw,format=UYVY,width={WIDTH},height={HEIGHT},framerate=0/1"
# The same source as bench/peers/gst_rate.py: every byte of each buffer is
# written once (zeros); the pattern itself would cost both sides alike.
SOURCE = f"fakesrc num-buffers=-1 sizetype=fixed sizemax={FRAME} filltype=zero ! {CAPS}"


def pipelines(kind, workdir):
    if kind == "qrv":
        name = f"Bench gst {os.getpid()}"
        send = [*SOURCE.split(), "!", "qrvsink", f"source-name={name}", "sync=false", "wait-for-connection=true"]
        recv = ["qrvsrc", f"source-name={name}", "color-format=fastest", "!", "fakesink", "name=count", "sync=false"]
    else:
        path = os.path.join(workdir, "shm")
        send = [*SOURCE.split(), "!", "shmsink", f"socket-path={path}", f"shm-size={FRAME * 4}",
                "wait-for-connection=true", "sync=false"]
        recv = ["shmsrc", f"socket-path={path}", "!", "fakesink", "name=count", "sync=false"]
    return send, recv


def run(kind, frames, env, bin_dir):
    with tempfile.TemporaryDirectory(prefix="qrv-gst-elements-") as workdir:
        send_cmd, recv_cmd = pipelines(kind, workdir)
        shm = os.path.join(workdir, "shm")
        return measure_rate(send_cmd, recv_cmd, frames, os.path.join(bin_dir, "bench_gst_rate"), env,
                            ready=(lambda: os.path.exists(shm)) if kind == "shm" else None)[0]


def run_runtime(bin_dir, frames):
    """bench_link's continuous sender and its receiver: the runtime alone,
    run as scripts/bench.sh runs it for link_local, but with each frame
    written before it goes (--fill)."""
    link = os.path.join(bin_dir, "bench_link")
    with tempfile.TemporaryDirectory(prefix="qrv-gst-elements-") as workdir:
        loc = os.path.join(workdir, "locator")
        sender = subprocess.Popen(["timeout", "60", link, "send", "--locator", loc, "--continuous", "--fill"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            out = subprocess.run([link, "recv", "--locator", loc, "--prefix", "rt", "--frames", str(frames),
                                  "--warmup", "10"], capture_output=True, text=True, timeout=60).stdout
        finally:
            stop(sender)
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] == "rt_fps":
            return float(parts[1])
    return 0.0


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if len(sys.argv) < 5:
        sys.exit("usage: gst_elements.py PLUGIN_DIR FRAMES ROUNDS BIN_DIR")
    plugin_dir, frames, rounds, bin_dir = sys.argv[1], int(sys.argv[2]), max(1, int(sys.argv[3])), sys.argv[4]
    missing = [p for p in ("bench_link", "bench_gst_rate") if not os.access(os.path.join(bin_dir, p), os.X_OK)]
    if shutil.which("gst-launch-1.0") is None or missing:
        print(f"gst_elements.py: gst-launch-1.0 or {' '.join(missing)} missing, skipped", file=sys.stderr)
        return
    env = dict(os.environ, GST_PLUGIN_PATH=plugin_dir)
    measures = {
        "qrv": lambda: run("qrv", frames, env, bin_dir),
        "shm": lambda: run("shm", frames, env, bin_dir),
        "runtime": lambda: run_runtime(bin_dir, frames),
    }
    kinds = list(measures)
    rates = {kind: [] for kind in kinds}
    for r in range(rounds):
        for kind in kinds[r % len(kinds):] + kinds[:r % len(kinds)]:
            rates[kind].append(measures[kind]())
    qrv, shm, runtime = (median(rates[k]) for k in kinds)

    def spread(kind):
        measured = [x for x in rates[kind] if x > 0] or [0.0]
        failed = len(rates[kind]) - len([x for x in rates[kind] if x > 0])
        return f"{min(measured):.0f}–{max(measured):.0f}" + (f", {failed} failed" if failed else "")

    print(f"gst_elements_qrv_fps {qrv:.1f}")
    print(f"gst_elements_shm_fps {shm:.1f}")
    print(f"gst_elements_runtime_fps {runtime:.1f}")
    print(f"row GStreamer elements between two processes, 3840x2160 UYVY unsynced, median of {rounds} rounds"
          f" | qrvsink → qrvsrc {qrv:.1f} fps ({spread('qrv')})"
          f" | shmsink → shmsrc {shm:.1f} fps ({spread('shm')}, ratio {qrv / shm if shm else 0:.2f});"
          f" runtime alone {runtime:.1f} fps ({spread('runtime')}, ratio {qrv / runtime if runtime else 0:.2f})"
          f" | ≥ 1.0 of shm, ≥ 0.90 of the runtime")


if __name__ == "__main__":
    main()
