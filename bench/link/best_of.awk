# Folds the "key value" lines of repeated rounds into one set: the highest
# value of each rate (keys ending in _fps), the last value of anything else.
$1 ~ /_fps$/ && NF == 2 { if (!($1 in best) || $2 + 0 > best[$1]) best[$1] = $2 + 0; next }
NF == 2 { last[$1] = $2 }
END {
  for (k in best) printf "%s %.1f\n", k, best[k]
  for (k in last) print k, last[k]
}
