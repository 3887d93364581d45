#!/bin/bash
# Installs what is missing, builds everything and runs the tests: once in a
# plain build, once with AddressSanitizer and UndefinedBehaviorSanitizer,
# and the transport once more with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

bash scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 600)

bash scripts/build.sh build-asan -DQRV_SANITIZE=address,undefined
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j2 --timeout 900 -LE no-sanitizer)

# ThreadSanitizer over the threaded transport (servers, links, receivers):
# only those tests are built in this pass.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQRV_SANITIZE=thread >/dev/null
cmake --build build-tsan -j2 --target transport_core_test transport_api_test
(cd build-tsan && ctest --output-on-failure -j2 --timeout 600 -R '^(TransportCore|ApiE2E)\.')
