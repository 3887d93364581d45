#!/bin/bash
# Installs what is missing, builds and runs the tests.
#
#   bash scripts/test.sh         the plain build with every tier (unit,
#                                integration, fault), then the runtime and
#                                its unit tier under AddressSanitizer and
#                                UndefinedBehaviorSanitizer
#   bash scripts/test.sh --full  adds the longer fuzzing runs, a check
#                                that every function fits on a screen,
#                                the integration and fault tiers under
#                                ASan+UBSan, and the unit tier under
#                                ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
full=0
if [[ ${1:-} == --full ]]; then
  full=1
fi
# Each step says how long it took, on standard error.
step_start=$SECONDS
step() {
  echo "test.sh: $1 took $((SECONDS - step_start)) s" >&2
  step_start=$SECONDS
}

bash scripts/setup.sh
# The browser test's own: Chromium from Debian and Playwright's driver from
# npm (Node.js from Debian when the machine has none).
command -v npm >/dev/null || QRV_EXTRA_PACKAGES="nodejs npm" bash scripts/setup.sh
QRV_EXTRA_PACKAGES="chromium" bash scripts/setup.sh
(cd tests/browser && npm install --no-audit --no-fund --loglevel=error)
step "installing what is missing"

# Some tests run programs under stdbuf, whose preloaded library comes before
# the sanitizer's runtime; it replaces no allocator, so the order is harmless.
export ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0
export TSAN_OPTIONS=halt_on_error=1

bash scripts/build.sh build
step "the plain build"
python3 scripts/check-tiers.py build
(cd build && ctest --output-on-failure -j2 -LE full)
step "the plain build's tests"

# The runtime under ASan+UBSan: its unit tier, the C interface's in-process
# tests among it, and the panel's server, whose request handling is where
# bad input arrives.
bash scripts/build.sh build-asan -DQRV_SANITIZE=address,undefined -DQRV_BUILD_PANEL=ON --target unit_tests
step "the runtime under ASan+UBSan"
(cd build-asan && ctest --output-on-failure -j2 -L unit -LE 'full|no-sanitizer')
step "its unit tier"

if ((full)); then
  (cd build && ctest --output-on-failure -j2 -L full)
  step "the longer fuzzing runs"

  # Every function of the runtime, programs, tools and integrations fits on
  # a screen.
  python3 scripts/check-function-size.py build
  step "the functions' sizes"

  # Everything else under ASan+UBSan: the programs, tools and fault runs
  # against the instrumented library.
  bash scripts/build.sh build-asan
  step "the rest under ASan+UBSan"
  (cd build-asan && ctest --output-on-failure -j2 -L 'integration|fault' -LE 'full|no-sanitizer')
  step "its integration and fault tiers"

  # ThreadSanitizer over the unit tier, which holds the threaded in-process
  # tests. Left out: what runs on the prebuilt HTTP library (uninstrumented,
  # so its threads' hand-overs cannot be seen).
  bash scripts/build.sh build-tsan -DQRV_SANITIZE=thread --target unit_tests
  step "the runtime under TSan"
  (cd build-tsan && ctest --output-on-failure -j2 -L unit -LE 'full|no-sanitizer|http')
  step "its unit tier"
fi
