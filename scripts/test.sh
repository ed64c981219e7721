#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is needed, builds the filter and its tests, and runs every
# test: once in a normal build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the monitor and integration tests (where
# the threads run) once under ThreadSanitizer; then a short libFuzzer run of
# every fuzz target. The normal build's tests also build the Debian package
# with dpkg-buildpackage (one more compile of the filter, about a minute and
# a half on two cores), run lintian on it and install it. MIRELOPS_QUICK=1
# runs the normal build only. Every build treats warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

passed=0 skipped=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

build_and_test() {  # build-dir ctest-args cmake-args...
  local dir=$1 ctest_args=$2
  shift 2
  echo "=== $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELOPS_TESTS=ON -DMIRELOPS_WERROR=ON "$@"
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" $ctest_args) | tee "$log"
  # ctest has passed every test it ran (or the script has stopped): count
  # them, the skipped ones apart.
  local total skip
  total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  skip=$(grep -c '(Skipped)$' "$log" || true)
  passed=$((passed + ${total:-0} - skip))
  skipped=$((skipped + skip))
}

build_and_test build ""
if [ "${MIRELOPS_QUICK:-0}" != 1 ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1
  export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp"
  # The package is built and installed once, by the normal build's tests.
  build_and_test build-asan "-LE system|package" -DMIRELOPS_SANITIZE=address,undefined
  export TSAN_OPTIONS=halt_on_error=1
  build_and_test build-tsan "-L monitor|integration" -DMIRELOPS_SANITIZE=thread
  unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS LSAN_OPTIONS
  echo "=== fuzz smoke run"
  MIRELOPS_WERROR=ON bash scripts/fuzz.sh "${MIRELOPS_FUZZ_SECONDS:-15}"
fi

# One closing line for every run above together.
echo "tests: $passed passed, 0 failed, $skipped skipped"
