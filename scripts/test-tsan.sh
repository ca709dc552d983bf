#!/usr/bin/env bash
# The service runtime under ThreadSanitizer: the lifecycle tests against the
# recording double and the supervised service end to end. Any report fails.
# Called by scripts/test.sh with the short test constants as arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="-j2"

cmake -S . -B build-tsan -G Ninja "$@" -DORVANE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-tsan $jobs --target orvane-autoupdate orvane-autoupdate-signed orvane_scm_tests

# A report ends the process at once with its own exit code, which the tests
# see as a failure; the report itself goes to standard error.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
# Recent kernels randomise mappings more than ThreadSanitizer allows; run
# without address randomisation where that is possible.
runner=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  runner=(setarch "$(uname -m)" -R)
fi
(cd build-tsan && "${runner[@]}" ctest --output-on-failure $jobs -R '^(scm\.Lifecycle\.|e2e\.test_service$)')
