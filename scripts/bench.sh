#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Benchmarks the filter's roads against their floors (cat, a line loop), each
# fed both from a file and from a pipe on standard input, and
# cups-filters' pstops on large real jobs, and prints a table:
#   bash scripts/bench.sh [--quick] [--keep-going]
# --quick: 10 MB jobs in the main table, growth from 10 to 100 MB only, fewer
#          rounds (a couple of minutes); without it: 100 MB jobs and growth up
#          to 1 GB (about a quarter of an hour on two cores).
# --keep-going: time roads even when their output is wrong.
# The jobs are made once and kept in $MIRELOPS_BENCH_CACHE (default
# ~/.cache/mirelops-bench; about 1.3 GB, 230 MB with --quick only). The table
# is also saved in build-bench/bench-table.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

quick=0
extra=()
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    --keep-going) extra+=(--keep-going) ;;
    *) echo "usage: bash scripts/bench.sh [--quick] [--keep-going]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
# Its own build folder, with the flags the filter ships with and no tests.
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELOPS_TESTS=OFF -DMIRELOPS_BENCH=ON \
  -DMIRELOPS_SANITIZE= >/dev/null
cmake --build build-bench -j"$(nproc)" --target mirelops mirelops_bench bench_lineloop bench_peakrss

cache=${MIRELOPS_BENCH_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/mirelops-bench}
if ((quick)); then
  bash bench/make-jobs.sh "$cache" --quick
  jobs=(--main "pdftops 10 MB=$cache/pdftops-10M.ps" --main "ps2write 10 MB=$cache/ps2write-10M.ps"
        --growth "10 MB=$cache/pdftops-10M.ps" --growth "100 MB=$cache/pdftops-100M.ps")
  rounds=(--rounds 5 --slow-rounds 1)
else
  bash bench/make-jobs.sh "$cache"
  jobs=(--main "pdftops 100 MB=$cache/pdftops-100M.ps" --main "ps2write 100 MB=$cache/ps2write-100M.ps"
        --growth "10 MB=$cache/pdftops-10M.ps" --growth "100 MB=$cache/pdftops-100M.ps"
        --growth "1 GB=$cache/pdftops-1G.ps")
  rounds=(--rounds 5 --slow-rounds 3)
fi
echo "jobs in $cache: $(du -sh "$cache" | cut -f1)"

build-bench/bench/mirelops_bench \
  --filter "$repo/build-bench/mirelops" \
  --lineloop "$repo/build-bench/bench/bench_lineloop" \
  --preload "$repo/build-bench/bench/libbench_peakrss.so" \
  --ppd-dir "$repo/tests/fixtures/ppd" \
  --work "$cache/work" \
  "${rounds[@]}" "${jobs[@]}" --heron "$cache/doc-500.pdf:500" "${extra[@]}" \
  | tee build-bench/bench-table.txt
