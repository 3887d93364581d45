"""Frames per second that GStreamer moves between two processes: a source
pipeline sends raw 3840x2160 UYVY buffers over shmsink or tcpserversink, a
receiving pipeline takes them with shmsrc or tcpclientsrc and reports every
buffer through identity; each report is stamped on arrival here. The rate
is (buffers - 1) over the time from the first buffer to the last, the same
measure as our own receiver's. Prints "key value" lines.

shmsink keeps its buffers in a shared-memory segment, /dev/shm/shmpipe.<pid>.<n>
(the numbers space-padded), which it removes only when its pipeline shuts
down: each pipeline is ended as Ctrl-C would end it, and a segment that the
sender still left behind is removed by the sender's process id."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

WIDTH, HEIGHT = 3840, 2160
FRAME = WIDTH * HEIGHT * 2
CAPS = f"video/x-raw,format=UYVY,width={WIDTH},height={HEIGHT},framerate=0/1"


def pipelines(kind, frames, workdir):
    # fakesrc writes every byte of each buffer once (zeros): with shmsink
    # the buffers come from its shared memory, so an unfilled buffer would
    # move no bytes at all, while our sender copies the caller's pixels.
    src = (f"fakesrc num-buffers={frames + 8} sizetype=fixed sizemax={FRAME} "
           f"filltype=zero ! {CAPS}")
    if kind == "shm":
        path = os.path.join(workdir, "shm")
        send = f"{src} ! shmsink socket-path={path} shm-size={FRAME * 4} wait-for-connection=true sync=false"
        recv = f"shmsrc socket-path={path} ! identity silent=false ! fakesink sync=false"
    else:
        port = 47000 + os.getpid() % 2000
        # No waiting for a client here: the source runs on until it is
        # stopped, and a client that lags skips to the newest buffer (as our
        # own sender does) instead of queueing without bound.
        src = src.replace(f"num-buffers={frames + 8}", "num-buffers=-1")
        send = (f"{src} ! tcpserversink host=127.0.0.1 port={port} sync=false "
                f"buffers-soft-max=3 recover-policy=latest")
        # The stream arrives in pieces (tcpclientsrc reads at most 4 KiB at a
        # time); rawvideoparse puts whole frames back together, as any
        # receiver of raw video over TCP must. The queue lets reading and
        # parsing run on threads of their own.
        recv = (f"tcpclientsrc host=127.0.0.1 port={port} ! queue ! "
                f"rawvideoparse format=uyvy width={WIDTH} height={HEIGHT} framerate=0/1 ! "
                f"identity silent=false ! fakesink sync=false")
    return send, recv


SHM_DIR = "/dev/shm"


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


def run(kind, frames):
    with tempfile.TemporaryDirectory(prefix="qrv-gst-") as workdir:
        send_cmd, recv_cmd = pipelines(kind, frames, workdir)
        sender = subprocess.Popen(["gst-launch-1.0", "-q"] + send_cmd.split(),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        receiver = None
        stamps = []
        try:
            time.sleep(0.5)
            receiver = subprocess.Popen(["stdbuf", "-oL", "gst-launch-1.0", "-v"] + recv_cmd.split(),
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            # A pipeline that never delivers must not hang the run: the
            # watchdog ends the receiver, which ends the loop below.
            watchdog = threading.Timer(20 + frames / 10, receiver.kill)
            watchdog.start()
            try:
                for line in receiver.stdout:
                    if "chain" in line and "bytes" in line:
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


def main():
    # Termination unwinds like an error, so that the pipelines are ended and
    # their segments removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 120
    if frames < 2:
        sys.exit("gst_rate.py: at least 2 frames")
    if shutil.which("gst-launch-1.0") is None:
        print("gst_rate.py: gst-launch-1.0 not installed, GStreamer peer skipped", file=sys.stderr)
        return
    for kind in ("shm", "tcp"):
        fps, got = run(kind, frames)
        print(f"gst_{kind}_fps {fps:.1f}")
        print(f"gst_{kind}_frames {got}")


if __name__ == "__main__":
    main()
