"""Turns the "key value" lines of the benchmarks into a Markdown table."""
import sys


def main(source, target):
    values = {}
    with open(source) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2:
                try:
                    values[parts[0]] = float(parts[1])
                except ValueError:
                    pass

    rows = []

    def row(name, measured, peer, goal):
        rows.append(f"| {name} | {measured} | {peer} | {goal} |")

    v = values.get
    if v("accept_memcpy_fps"):
        row("Accept rate, 3840x2160 UYVY, no receiver",
            f"{v('accept_no_receiver_fps'):.1f} fps",
            f"memcpy {v('accept_memcpy_fps'):.1f} fps (ratio {v('accept_ratio'):.2f})",
            "≥ 0.90 of memcpy")
    if v("accept_one_receiver_fps"):
        row("Accept rate, 3840x2160 UYVY, one receiver on this host",
            f"{v('accept_one_receiver_fps'):.1f} fps ({v('accept_one_receiver_captured'):.0f} captured)",
            f"memcpy {v('accept_memcpy_fps'):.1f} fps (ratio {v('accept_one_receiver_ratio'):.2f})",
            "≥ 0.90 of memcpy")
    if v("pacing_mean_fps"):
        row("Pacing, mean rate of paced sends",
            f"{v('pacing_mean_fps'):.4f} fps (drift {v('pacing_drift_fps'):+.5f})",
            f"ideal loop {v('ideal_mean_fps'):.4f} fps", "within 0.01 of 29.97")
        row("Pacing jitter (std dev / p99)",
            f"{v('pacing_stddev_us'):.0f} µs / {v('pacing_p99_us'):.0f} µs",
            f"ideal loop {v('ideal_stddev_us'):.0f} µs / {v('ideal_p99_us'):.0f} µs",
            "≤ 2× the ideal loop")
    if v("delivered_fps"):
        row("Delivered to a receiver in the sending process, 3840x2160 UYVY, sender unpaced",
            f"{v('delivered_fps'):.1f} fps ({v('dropped_frames'):.0f} replaced before capture)",
            f"memcpy {v('memcpy_fps'):.1f} fps (ratio {v('ratio_to_memcpy'):.2f})",
            "≥ 0.80 of memcpy")
    if v("link_memcpy_fps") is not None and v("link_local_fps") is not None:
        ceiling = v("link_memcpy_fps")
        local = v("link_local_fps")
        shm, tcp = v("gst_shm_fps") or 0.0, v("gst_tcp_fps") or 0.0
        row("Delivered between two processes on this host, 3840x2160 UYVY",
            f"{local:.1f} fps ({v('link_local_dropped') or 0:.0f} dropped)",
            f"memcpy {ceiling:.1f} fps (ratio {local / ceiling if ceiling else 0:.2f}); "
            f"GStreamer shm {shm:.1f} fps, tcp {tcp:.1f} fps",
            "ahead of both, ≥ 0.80 of memcpy")
    if v("netns_skipped"):
        row("Across two network namespaces over TCP", "skipped (namespaces refused)", "-", "≥ 0.90 of plain TCP")
    else:
        plain = v("netns_tcp_fps") or 0.0
        for key, how in (("netns_qrv_fps", ""), ("netns_qrv_demand_fps", ", a producer on demand")):
            ours = v(key)
            if ours is not None:
                row(f"Across two network namespaces over TCP, 3840x2160 UYVY{how}",
                    f"{ours:.1f} fps",
                    f"plain TCP stream {plain:.1f} fps (ratio {ours / plain if plain else 0:.2f})",
                    "≥ 0.90 of plain TCP")
    for key, where in (("lat_local", "this host"), ("netns_lat", "across namespaces")):
        for size, label in (("1080", "1920x1080"), ("2160", "3840x2160")):
            k = f"{key}_{size}"
            if v(f"{k}_latency_median_us") is not None:
                row(f"Latency send to capture, {where}, {label} at 29.97 fps",
                    f"median {v(k + '_latency_median_us') / 1000:.2f} ms / p99 {v(k + '_latency_p99_us') / 1000:.2f} ms",
                    "-", "watch for regressions")
    if v("pattern_generation_s"):
        row("rate_probe pattern generation", f"{v('pattern_generation_s'):.2f} s", "-", "watch for regressions")
    # The codec on each picture and size, next to plain TurboJPEG and
    # GStreamer's jpegenc encoding the same frames in the same run.
    if v("codec_two_core_speedup") is not None:
        row("Two threads of plain arithmetic against one, during the codec rows",
            f"{v('codec_two_core_speedup'):.2f}×", "2.00× on two idle cores",
            "context: how much of the second core the host left free")
    for key in [k[:-len("_enc2_mpps")] for k in values if k.startswith("codec_") and k.endswith("_enc2_mpps")]:
        name, height = key[len("codec_"):].rsplit("_", 1)
        width, quality = v(key + "_width") or 0, v(key + "_quality") or 0
        enc2, dec2 = v(key + "_enc2_mpps"), v(key + "_dec2_mpps") or 0.0
        enc1, dec1 = v(key + "_enc1_mpps") or 0.0, v(key + "_dec1_mpps") or 0.0
        peer_enc, peer_dec = v(key + "_peer_enc_mpps") or 0.0, v(key + "_peer_dec_mpps") or 0.0
        mbps = (v(key + "_bytes") or 0) * 8 * 29.97 / 1e6
        peer_mbps = (v(key + "_peer_bytes") or 0) * 8 * 29.97 / 1e6
        gst = v(f"gst_jpegenc_{name}_{height}_mpps")
        gst_cell = (f"; GStreamer jpegenc {gst:.0f} Mpixel/s (ratio {enc2 / gst:.2f})" if gst
                    else "; GStreamer jpegenc not measured")
        row(f"Codec {name} {width:.0f}x{height} q{quality:.0f}: encode / decode, 2 threads (1 thread)",
            f"{enc2:.0f} / {dec2:.0f} Mpixel/s ({enc1:.0f} / {dec1:.0f}); {mbps:.0f} Mbit/s at 29.97; "
            f"PSNR Y {v(key + '_psnr_y'):.1f} U {v(key + '_psnr_u'):.1f} V {v(key + '_psnr_v'):.1f} dB",
            f"plain TurboJPEG 1 thread {peer_enc:.0f} / {peer_dec:.0f} Mpixel/s "
            f"(ratio {enc2 / peer_enc if peer_enc else 0:.2f} / {dec2 / peer_dec if peer_dec else 0:.2f}); "
            f"{peer_mbps:.0f} Mbit/s; PSNR Y {v(key + '_peer_psnr_y'):.1f}{gst_cell}",
            "encode and decode ≥ 1.7× plain TurboJPEG; Y ≥ 40 dB")
        if v(key + "_enc2_cpu_mpps") is not None:
            row(f"Codec {name} {width:.0f}x{height}: Mpixel per second of processor time, encode / decode, "
                f"2 threads (1 thread)",
                f"{v(key + '_enc2_cpu_mpps'):.0f} / {v(key + '_dec2_cpu_mpps'):.0f} "
                f"({v(key + '_enc1_cpu_mpps'):.0f} / {v(key + '_dec1_cpu_mpps'):.0f})",
                f"plain TurboJPEG {v(key + '_peer_enc_cpu_mpps'):.0f} / {v(key + '_peer_dec_cpu_mpps'):.0f}",
                "the cost of a frame: no more than the peer's")
    # Further benchmarks add their own rows as "row_<name> measured|peer|goal"
    # lines, which are passed through unchanged.
    with open(source) as f:
        for line in f:
            if line.startswith("row "):
                cells = line[4:].rstrip("\n").split("|")
                if len(cells) == 4:
                    rows.append("| " + " | ".join(c.strip() for c in cells) + " |")

    with open(target, "w") as out:
        out.write("# Benchmark results\n\n")
        out.write("| Measure | Measured | Ceiling or peer (same run) | Goal |\n")
        out.write("|---|---|---|---|\n")
        out.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
