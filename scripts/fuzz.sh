#!/bin/bash
# Builds the fuzz targets with clang's libFuzzer (plus ASan and UBSan) and
# runs each for a while: bash scripts/fuzz.sh [seconds-per-target] (default 20).
# New inputs that libFuzzer finds stay in build-fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

bash scripts/install-deps.sh

CXX=clang++ cmake -S . -B build-fuzz -DMIRELOPS_FUZZ=ON -DMIRELOPS_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j"$(nproc)"

status=0
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" _fuzz.cpp)
  mkdir -p "build-fuzz/corpus/$name"
  echo "=== fuzz_$name for ${seconds}s"
  build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -max_len=9000 \
    -print_final_stats=1 "build-fuzz/corpus/$name" "fuzz/corpus/$name" 2>&1 | tail -n 4 || status=1
done
exit $status
