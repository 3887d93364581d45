"""Frames per second that our GStreamer elements move between two processes
on this host, next to GStreamer's own shmsink/shmsrc moving the same raw
3840x2160 UYVY buffers in the same run: a sending pipeline renders them as
fast as it can (sync=false), a receiving pipeline reports every buffer
through identity, and each report is stamped on arrival here. The rate is
(buffers - 1) over the time from the first counted buffer to the last,
after ten of warm-up, as for bench/peers/gst_rate.py and our runtime's own
receiver (bench/gst_pipelines.py runs both). Rounds alternate between the
peers; the best of each counts. Prints "key value" lines and a "row" line
for the report.

Usage: gst_elements.py PLUGIN_DIR [FRAMES] [ROUNDS] [BIN_DIR]

With BIN_DIR (where bench_link is), our runtime's own sender and receiver
moving the same frames between two processes take their turn as well: the
rate the elements could reach at best."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from gst_pipelines import measure_rate, stop  # noqa: E402

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
        recv = ["qrvsrc", f"source-name={name}", "color-format=fastest", "!",
                "identity", "silent=false", "!", "fakesink", "sync=false"]
    else:
        path = os.path.join(workdir, "shm")
        send = [*SOURCE.split(), "!", "shmsink", f"socket-path={path}", f"shm-size={FRAME * 4}",
                "wait-for-connection=true", "sync=false"]
        recv = ["shmsrc", f"socket-path={path}", "!", "identity", "silent=false", "!", "fakesink", "sync=false"]
    return send, recv


def run(kind, frames, env):
    with tempfile.TemporaryDirectory(prefix="qrv-gst-elements-") as workdir:
        send_cmd, recv_cmd = pipelines(kind, workdir)
        return measure_rate(send_cmd, recv_cmd, frames, env)[0]


def run_runtime(bin_dir, frames):
    """bench_link's continuous sender and its receiver: the runtime alone."""
    link = os.path.join(bin_dir, "bench_link")
    with tempfile.TemporaryDirectory(prefix="qrv-gst-elements-") as workdir:
        loc = os.path.join(workdir, "locator")
        sender = subprocess.Popen([link, "send", "--locator", loc, "--continuous"],
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
    if len(sys.argv) < 2:
        sys.exit("usage: gst_elements.py PLUGIN_DIR [FRAMES] [ROUNDS]")
    plugin_dir = sys.argv[1]
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 120
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    bin_dir = sys.argv[4] if len(sys.argv) > 4 else None
    if bin_dir and not os.path.exists(os.path.join(bin_dir, "bench_link")):
        bin_dir = None
    if shutil.which("gst-launch-1.0") is None:
        print("gst_elements.py: gst-launch-1.0 not installed, skipped", file=sys.stderr)
        return
    env = dict(os.environ, GST_PLUGIN_PATH=plugin_dir)
    best = {"qrv": 0.0, "shm": 0.0, "runtime": 0.0}
    for _ in range(rounds):
        for kind in ("qrv", "shm"):
            best[kind] = max(best[kind], run(kind, frames, env))
        if bin_dir:
            best["runtime"] = max(best["runtime"], run_runtime(bin_dir, frames))
    qrv, shm, runtime = best["qrv"], best["shm"], best["runtime"]
    print(f"gst_elements_qrv_fps {qrv:.1f}")
    print(f"gst_elements_shm_fps {shm:.1f}")
    peer = f"shmsink → shmsrc {shm:.1f} fps (ratio {qrv / shm if shm else 0:.2f})"
    if bin_dir:
        print(f"gst_elements_runtime_fps {runtime:.1f}")
        peer += f"; runtime alone {runtime:.1f} fps (ratio {qrv / runtime if runtime else 0:.2f})"
    print(f"row GStreamer elements between two processes, 3840x2160 UYVY unsynced | qrvsink → qrvsrc {qrv:.1f} fps"
          f" | {peer} | ≥ 1.0 of shm, ideally ≥ 0.90 of the runtime")


if __name__ == "__main__":
    main()
