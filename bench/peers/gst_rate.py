"""Frames per second that GStreamer moves between two processes: a source
pipeline sends raw 3840x2160 UYVY buffers over shmsink or tcpserversink, a
receiving pipeline takes them with shmsrc or tcpclientsrc and counts them
in its own process (bench_gst_rate). The rate is (buffers - 1) over the time
from the first counted buffer to the last, after a warm-up, the same measure
as our own receiver's (see bench/gst_pipelines.py). Prints "key value" lines.

Usage: gst_rate.py FRAMES BIN_DIR (where bench_gst_rate is)"""
import os
import shutil
import signal
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from gst_pipelines import WARMUP, measure_rate  # noqa: E402

WIDTH, HEIGHT = 3840, 2160
FRAME = WIDTH * HEIGHT * 2
CAPS = f"video/x-raw,format=UYVY,width={WIDTH},height={HEIGHT},framerate=0/1"


def pipelines(kind, frames, workdir):
    # fakesrc writes every byte of each buffer once (zeros) into memory of
    # its own, which shmsink then copies into its segment: a buffer never
    # written would be read from the kernel's one page of zeros, far faster
    # than pixels, while our sender copies real ones.
    src = (f"fakesrc num-buffers={frames + WARMUP + 8} sizetype=fixed sizemax={FRAME} "
           f"filltype=zero ! {CAPS}")
    if kind == "shm":
        path = os.path.join(workdir, "shm")
        send = f"{src} ! shmsink socket-path={path} shm-size={FRAME * 4} wait-for-connection=true sync=false"
        recv = f"shmsrc socket-path={path} ! fakesink name=count sync=false"
    else:
        port = 47000 + os.getpid() % 2000
        # No waiting for a client here: the source runs on until it is
        # stopped, and a client that lags skips to the newest buffer (as our
        # own sender does) instead of queueing without bound.
        src = src.replace(f"num-buffers={frames + WARMUP + 8}", "num-buffers=-1")
        send = (f"{src} ! tcpserversink host=127.0.0.1 port={port} sync=false "
                f"buffers-soft-max=3 recover-policy=latest")
        # The stream arrives in pieces (tcpclientsrc reads at most 4 KiB at a
        # time); rawvideoparse puts whole frames back together, as any
        # receiver of raw video over TCP must. The queue lets reading and
        # parsing run on threads of their own.
        recv = (f"tcpclientsrc host=127.0.0.1 port={port} ! queue ! "
                f"rawvideoparse format=uyvy width={WIDTH} height={HEIGHT} framerate=0/1 ! "
                f"fakesink name=count sync=false")
    return send, recv


def run(kind, frames, counter):
    with tempfile.TemporaryDirectory(prefix="qrv-gst-") as workdir:
        send_cmd, recv_cmd = pipelines(kind, frames, workdir)
        shm = os.path.join(workdir, "shm")
        return measure_rate(send_cmd.split(), recv_cmd.split(), frames, counter,
                            ready=(lambda: os.path.exists(shm)) if kind == "shm" else None)


def main():
    # Termination unwinds like an error, so that the pipelines are ended and
    # their segments removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 120
    if frames < 2:
        sys.exit("gst_rate.py: at least 2 frames")
    counter = os.path.join(sys.argv[2], "bench_gst_rate") if len(sys.argv) > 2 else ""
    if shutil.which("gst-launch-1.0") is None or not os.access(counter, os.X_OK):
        print("gst_rate.py: gst-launch-1.0 or bench_gst_rate missing, GStreamer peer skipped", file=sys.stderr)
        return
    for kind in ("shm", "tcp"):
        fps, got = run(kind, frames, counter)
        print(f"gst_{kind}_fps {fps:.1f}")
        print(f"gst_{kind}_frames {got}")


if __name__ == "__main__":
    main()
