#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the product, then builds
# and runs the tests with short delays, under the sanitizers, and on Windows
# (cross-built, under Wine; ORVANE_WINDOWS_SUITE=0 leaves that stage out).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="-j2"

scripts/setup.sh

# The product as shipped: the executable lands at build/orvane-autoupdate.
cmake -S . -B build -G Ninja -DORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build build $jobs

# Test builds: short schedule and delays, a server name that the tests answer
# for through their own loopback proxy.
short=(
  -DORVANE_UPDATE_BASE_URL=http://updates.orvane.test
  -DORVANE_TICK_MS=20 -DORVANE_INITIAL_DELAY_TICKS=25 -DORVANE_PASS_INTERVAL_TICKS=50
  -DORVANE_RETRY_DELAY_MS=300 -DORVANE_DOWNLOAD_PAUSE_MS=50 -DORVANE_STREAM_WAIT_S=1
  -DORVANE_RETRY_ATTEMPTS=10 -DORVANE_DOWNLOAD_CAP_BYTES=4194304
  -DORVANE_RESUME_ATTEMPTS=4 -DORVANE_DELTA_GAP_BYTES=4096
  # The machine policy: a file in each test's own install tree on Linux, a key
  # of the tests' own under Wine (its prefix is made for the run).
  -DORVANE_POLICY_FILE=Updater/test-policy.json
  "-DORVANE_POLICY_KEY=SOFTWARE\Policies\Halvex\Orvane Autoupdate Tests"
)

cmake -S . -B build-test -G Ninja "${short[@]}" >/dev/null
cmake --build build-test $jobs
(cd build-test && ctest --output-on-failure $jobs)

# Address and undefined-behaviour sanitizers over the unit tests and the
# service-manager double's tests; any report fails.
cmake -S . -B build-asan -G Ninja "${short[@]}" -DORVANE_SANITIZE=address,undefined \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan $jobs --target orvane_unit_tests orvane_scm_tests
(cd build-asan && ctest --output-on-failure $jobs -L 'unit|scm')

# The service runtime under ThreadSanitizer.
if [ -f scripts/test-tsan.sh ]; then scripts/test-tsan.sh "${short[@]}"; fi

# The Windows build, its unit tests and its end-to-end scenarios under Wine.
windows_logs=()
if [ "${ORVANE_WINDOWS_SUITE:-1}" != 0 ]; then
  scripts/test-windows.sh "${short[@]}"
  windows_logs=(build-windows/test-logs/*.log)
fi

# What skipped, and why: on CI every test should run.
scripts/skipped-tests build-test/Testing/Temporary/LastTest.log \
  build-asan/Testing/Temporary/LastTest.log build-tsan/Testing/Temporary/LastTest.log \
  "${windows_logs[@]}"

echo "All tests passed."
