"""GStreamer's jpegenc as the codec benchmark's second peer: encode rate of
the same photographs, scaled to each size as UYVY, at the same quality.

Each photograph is encoded once with 1 buffer and once with N + 1; the
difference of the two wall times over N frames is the per-frame cost, so
that decoding the photograph and starting the pipeline do not count.
Prints "key value" lines and "row" lines for the report.
Usage: gst_jpegenc.py FRAMES IMAGE.jpg ..."""
import os
import subprocess
import sys
import time


def run(path, width, height, quality, buffers):
    pipeline = (
        f"filesrc location={path} ! jpegdec ! videoconvert ! videoscale ! "
        f"video/x-raw,format=UYVY,width={width},height={height} ! "
        f"imagefreeze num-buffers={buffers} ! video/x-raw,framerate=1000/1 ! "
        f"jpegenc quality={quality} ! fakesink sync=false")
    start = time.monotonic()
    subprocess.run(["gst-launch-1.0", "-q"] + pipeline.split(), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def main():
    frames = int(sys.argv[1])
    for path in sys.argv[2:]:
        base = path.split("/contents/")[0]
        name = os.path.basename(base)
        for width, height, quality in ((1920, 1080, 95), (3840, 2160, 85)):
            try:
                one = run(path, width, height, quality, 1)
                many = run(path, width, height, quality, frames + 1)
            except (OSError, subprocess.CalledProcessError):
                print("gst jpegenc: unavailable", file=sys.stderr)
                return
            if many - one < 0.2 * many:
                # Start-up dominated: a figure would only be noise.
                print(f"gst jpegenc: {name} {height}p not measurable with {frames} frames", file=sys.stderr)
                continue
            per_frame = (many - one) / frames
            mpps = width * height / per_frame / 1e6
            print(f"gst_jpegenc_{name}_{height}_mpps {mpps:.1f}")
            print(f"row GStreamer jpegenc {name} {width}x{height} q{quality}: encode, 1 thread | "
                  f"{mpps:.0f} Mpixel/s (the photograph without added noise) | - | peer of the codec rows")


if __name__ == "__main__":
    main()
