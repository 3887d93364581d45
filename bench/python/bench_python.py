"""The Python package's benchmarks, each next to its C peer run by
bench/python/python_bench.sh in the same run. Results are "key value" lines.

    bench_python.py recv --locator FILE --frames N --warmup K --prefix P
        receives N video frames (after K not counted) from the source whose
        locator FILE holds, as bench_link recv does
    bench_python.py send --frames N
        sends N unpaced 1920x1080 BGRA windows of a NumPy array, as
        bench_sender accept-bgra does
    bench_python.py overhead --locator FILE --frames N --rounds R
        processor time per frame of the Python loop over frames() against the
        module's own capture loop that makes no Python objects, on a source
        of small frames
"""

import sys
import time

import numpy as np

import qrv


def option(name, default):
    args = sys.argv[2:]
    return args[args.index("--" + name) + 1] if "--" + name in args else default


def source_of(path):
    for _ in range(300):
        try:
            with open(path) as f:
                locator = f.readline().strip()
            if locator:
                return qrv.Source("bench", locator.split("\t")[-1])
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    sys.exit(f"no locator in {path}")


def recv():
    frames, warmup, prefix = int(option("frames", 300)), int(option("warmup", 10)), option("prefix", "py_recv")
    # The default colour format, as bench_link recv asks for.
    with qrv.Receiver(source_of(option("locator", ""))) as rx:
        got, first, last = 0, 0.0, 0.0
        for frame in rx.frames(timeout=15 if warmup else 1):
            frame.release()
            if warmup:
                warmup -= 1
                continue
            last = time.monotonic()
            if got == 0:
                first = last
            got += 1
            if got == frames:
                break
        print(f"{prefix}_fps {(got - 1) / (last - first) if got > 1 else 0:.1f}")
        print(f"{prefix}_dropped {rx.dropped}")


def send():
    frames = int(option("frames", 300))
    width, height = 1920, 1080
    lines = 4 * height
    content = ((np.arange(lines * width * 4, dtype=np.uint64) * 2654435761) >> 24).astype(np.uint8)
    content = content.reshape(lines, width, 4)
    with qrv.Sender("Accept benchmark BGRA from Python", pace=False) as tx:
        def run(first, count):
            start = time.perf_counter()
            for j in range(first, first + count):
                row = j % (lines - height)
                tx.send_video(content[row:row + height], fourcc="BGRA")
            tx.flush()
            return count / (time.perf_counter() - start)
        run(0, 8)
        print(f"accept_bgra_1080_py_fps {run(8, frames):.1f}")


def overhead():
    """Processor time per frame (every thread of this process): the frames()
    loop against the module's own loop. Waiting for the source costs no
    processor time, so the difference is what the Python layer adds."""
    frames, rounds = int(option("frames", 2000)), int(option("rounds", 3))
    with qrv.Receiver(source_of(option("locator", "")), color="fastest") as rx:
        rx._native.capture_loop(50, 10.0)
        native, python = [], []
        for _ in range(rounds):
            start = time.process_time()
            got = rx._native.capture_loop(frames, 5.0)
            native.append((time.process_time() - start) / max(got, 1))
            start, got = time.process_time(), 0
            for frame in rx.frames(timeout=5):
                frame.release()
                got += 1
                if got == frames:
                    break
            python.append((time.process_time() - start) / max(got, 1))
        print(f"py_frame_native_us {min(native) * 1e6:.2f}")
        print(f"py_frame_python_us {min(python) * 1e6:.2f}")
        print(f"py_frame_overhead_us {(min(python) - min(native)) * 1e6:.2f}")


if __name__ == "__main__":
    {"recv": recv, "send": send, "overhead": overhead}[sys.argv[1]]()
