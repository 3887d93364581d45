"""GStreamer's jpegenc as the codec benchmark's second peer, on exactly the
frames bench_codec measured (its --write-frames folder: NAME_WxH_qQ.uyvy,
raw UYVY with the camera-like noise added), at the same quality.

One pipeline per frame: the file, parsed as one UYVY picture, is repeated
FRAMES + 1 times by imagefreeze into jpegenc and on to fakesink. GStreamer's
own scheduling log stamps each encoded buffer as it reaches fakesink, in the
pipeline's single streaming thread; the time between two stamps is the cost
of one frame, so pipeline start-up does not count. As in bench_codec the
fastest frame counts, so that a moment of load from elsewhere on the host
does not. Prints "key value" lines: gst_jpegenc_NAME_HEIGHT_mpps and _bytes.
Usage: gst_jpegenc.py FRAMES FRAMES_DIR"""
import os
import re
import shutil
import subprocess
import sys

FRAME_NAME = re.compile(r"^(?P<name>.+)_(?P<w>\d+)x(?P<h>\d+)_q(?P<q>\d+)\.uyvy$")
# "0:00:01.234567890 ... <fakesink0:sink> calling chainfunction ... size 1627484,"
SINK_CHAIN = re.compile(r"^(?P<h>\d+):(?P<m>\d+):(?P<s>\d+\.\d+) .*<fakesink0:sink> calling chainfunction"
                        r".* size (?P<bytes>\d+),")


def measure(path, width, height, quality, frames):
    """The fastest frame's time in seconds and its encoded size, or None."""
    pipeline = (
        f"filesrc location={path} blocksize={width * height * 2} ! "
        f"rawvideoparse format=uyvy width={width} height={height} framerate=30/1 ! "
        f"imagefreeze num-buffers={frames + 1} ! "
        f"jpegenc quality={quality} ! fakesink sync=false")
    env = dict(os.environ, GST_DEBUG="GST_SCHEDULING:5", GST_DEBUG_NO_COLOR="1")
    try:
        done = subprocess.run(["gst-launch-1.0", "-q"] + pipeline.split(), env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, errors="replace", timeout=60 + 2 * frames)
    except subprocess.TimeoutExpired:
        return None
    stamps, size = [], 0
    for line in done.stderr.splitlines():
        m = SINK_CHAIN.match(line)
        if m:
            stamps.append(int(m.group("h")) * 3600 + int(m.group("m")) * 60 + float(m.group("s")))
            size = int(m.group("bytes"))
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
