# Folds the "key value" lines of repeated rounds into one set: the median
# of each rate (keys ending in _fps) over the rounds that measured it (the
# mean of the middle two for an even count; a round that failed reports 0
# and is left out, 0 when all did), the last value of anything else. One lucky or unlucky round on a busy host moves a median little,
# where it would decide a best or a worst.
$1 ~ /_fps$/ && NF == 2 {
  if (!($1 in count)) count[$1] = 0
  if ($2 + 0 > 0) { n = ++count[$1]; rate[$1, n] = $2 + 0 }
  next
}
NF == 2 { last[$1] = $2 }
END {
  for (k in count) {
    n = count[k]
    for (i = 1; i <= n; i++) v[i] = rate[k, i]
    # Insertion sort: a handful of rounds.
    for (i = 2; i <= n; i++) {
      x = v[i]
      for (j = i - 1; j >= 1 && v[j] > x; j--) v[j + 1] = v[j]
      v[j + 1] = x
    }
    m = n == 0 ? 0 : n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    printf "%s %.1f\n", k, m
  }
  for (k in last) print k, last[k]
}
