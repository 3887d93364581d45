#!/bin/bash
# Discovery through a DNS server, measured: creation to listed and end to
# gone across a router (median of ROUNDS), the query load of 20 finders and
# 100 sources next to the server's own capacity in the same run. Needs root,
# knot and dnsperf (or dig). Run by hand:
#   bench/discovery/bench_unicast_dns.sh BUILD/bin [ROUNDS]
exec bash "$(dirname "$0")/../../tests/discovery/unicast_dns_test.sh" "$1" --bench "${2:-5}"
