#!/bin/bash
# Installs what is missing, builds everything and runs the tests: once in a
# plain build, once with AddressSanitizer and UndefinedBehaviorSanitizer,
# and once with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The browser test's own: Chromium from Debian and Playwright's driver from
# npm (Node.js from Debian when the machine has none).
command -v npm >/dev/null || QRV_EXTRA_PACKAGES="nodejs npm" bash scripts/setup.sh
QRV_EXTRA_PACKAGES="chromium" bash scripts/setup.sh
(cd tests/browser && npm install --no-audit --no-fund --loglevel=error)

bash scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 600)

bash scripts/build.sh build-asan -DQRV_SANITIZE=address,undefined
# Some tests run programs under stdbuf, whose preloaded library comes before
# the sanitizer's runtime; it replaces no allocator, so the order is harmless.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 ctest --output-on-failure -j2 --timeout 900 -LE no-sanitizer)

# ThreadSanitizer over everything that runs threads: the runtime, discovery,
# transport, the tools and the programs against the real runtime. Left out:
# the fuzzers (they have their own sanitizers), the short real-time pacing
# checks (their tolerances are not meant for a tenfold slowdown), the fault
# runs against whole programs (their waits are real seconds), what runs on
# the prebuilt HTTP library (uninstrumented, so its threads' hand-overs
# cannot be seen) and the benchmark pattern's program test (single-threaded,
# and slow under TSan).
bash scripts/build.sh build-tsan -DQRV_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j2 --timeout 900 \
  -LE 'no-sanitizer|fuzz|runtime-realtime|faults|http' -E '^RateProbe\.')
