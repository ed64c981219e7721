#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Builds the fuzz targets with clang's libFuzzer (plus ASan and UBSan) and
# runs each for a while: bash scripts/fuzz.sh [seconds-per-target] (default 20).
# New inputs that libFuzzer finds stay in build-fuzz/corpus/<target>; a
# crashing input is written to build-fuzz/crash-* and the run fails. The
# targets' own diagnostics are silenced (-close_fd_mask=3); sanitizer and
# libFuzzer reports still show. MIRELOPS_WERROR=ON (as scripts/test.sh sets
# it) treats compiler warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

bash scripts/install-deps.sh

CXX=clang++ cmake -S . -B build-fuzz -DMIRELOPS_FUZZ=ON -DMIRELOPS_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELOPS_WERROR="${MIRELOPS_WERROR:-OFF}"
cmake --build build-fuzz -j"$(nproc)"

# Leaks inside libcups are not ours to mend.
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

status=0
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" _fuzz.cpp)
  mkdir -p "build-fuzz/corpus/$name" "build-fuzz/tmp/$name"
  echo "=== fuzz_$name for ${seconds}s"
  # Temporary files of the target (and of one that crashed) stay in build-fuzz/tmp.
  TMPDIR="$PWD/build-fuzz/tmp/$name" build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -max_len=9000 \
    -close_fd_mask=3 -artifact_prefix=build-fuzz/ -print_final_stats=1 "build-fuzz/corpus/$name" "fuzz/corpus/$name" > "build-fuzz/$name.log" 2>&1 || { status=1; tail -n 60 "build-fuzz/$name.log"; }
  tail -n 4 "build-fuzz/$name.log"
  rm -rf "build-fuzz/tmp/$name"
done
exit $status
