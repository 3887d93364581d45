"""GStreamer's jpegenc as the codec benchmark's second peer, on exactly the
frames bench_codec measured (its --write-frames folder: NAME_WxH_qQ.uyvy,
raw UYVY with the camera-like noise added), at the same quality.

One pipeline per frame: the file, parsed as one UYVY picture, is repeated
FRAMES + 1 times by imagefreeze into jpegenc, and identity reports every
encoded buffer; each report is stamped on arrival here. The time between
two reports is the cost of one frame in the pipeline's single streaming
thread, so pipeline start-up does not count; as in bench_codec the fastest
frame counts, so that a moment of load from elsewhere on the host does not.
Prints "key value" lines: gst_jpegenc_NAME_HEIGHT_mpps and _bytes.
Usage: gst_jpegenc.py FRAMES FRAMES_DIR"""
import os
import re
import shutil
import subprocess
import sys
import threading
import time

FRAME_NAME = re.compile(r"^(?P<name>.+)_(?P<w>\d+)x(?P<h>\d+)_q(?P<q>\d+)\.uyvy$")
CHAIN_BYTES = re.compile(r"chain .*\((?P<bytes>\d+) bytes")


def measure(path, width, height, quality, frames):
    """The fastest frame's time in seconds and its encoded size, or None."""
    pipeline = (
        f"filesrc location={path} blocksize={width * height * 2} ! "
        f"rawvideoparse format=uyvy width={width} height={height} framerate=30/1 ! "
        f"imagefreeze num-buffers={frames + 1} ! "
        f"jpegenc quality={quality} ! identity silent=false ! fakesink sync=false")
    process = subprocess.Popen(["stdbuf", "-oL", "gst-launch-1.0", "-v"] + pipeline.split(),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    # A pipeline that never delivers must not hang the run.
    watchdog = threading.Timer(30 + frames, process.kill)
    watchdog.start()
    stamps, size = [], 0
    try:
        for line in process.stdout:
            m = CHAIN_BYTES.search(line)
            if m:
                stamps.append(time.monotonic())
                size = int(m.group("bytes"))
    finally:
        watchdog.cancel()
        process.kill()
        process.wait()
    gaps = [b - a for a, b in zip(stamps, stamps[1:]) if b > a]
    if not gaps:
        return None
    return min(gaps), size


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: gst_jpegenc.py FRAMES FRAMES_DIR")
    frames = max(2, int(sys.argv[1]))
    folder = sys.argv[2]
    if shutil.which("gst-launch-1.0") is None:
        print("gst_jpegenc.py: gst-launch-1.0 not installed, GStreamer peer skipped", file=sys.stderr)
        return
    for entry in sorted(os.listdir(folder)):
        m = FRAME_NAME.match(entry)
        if not m:
            continue
        width, height, quality = int(m.group("w")), int(m.group("h")), int(m.group("q"))
        result = measure(os.path.join(folder, entry), width, height, quality, frames)
        key = f"gst_jpegenc_{m.group('name')}_{height}"
        if result is None:
            print(f"gst_jpegenc.py: {entry}: no frames measured", file=sys.stderr)
            continue
        seconds, size = result
        print(f"{key}_mpps {width * height / seconds / 1e6:.1f}")
        print(f"{key}_bytes {size}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
