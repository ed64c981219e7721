#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Benchmarks the filter's roads against their floors (cat, a line loop), each
# fed both from a file and from a pipe on standard input, and
# cups-filters' pstops on large real jobs, and prints a table:
#   bash scripts/bench.sh [--quick] [--keep-going] [--app]
# --quick: 10 MB jobs in the main table, growth from 10 to 100 MB only, fewer
#          rounds (a couple of minutes); without it: 100 MB jobs and growth up
#          to 1 GB (about a quarter of an hour on two cores).
# --keep-going: time roads even when their output is wrong.
# --app: only the Printer Application's job path beside a CUPS queue with the
#          filter, both on a finch printer (the fake network printer of the
#          tests, in a private network; needs root): the time from submission
#          to the last byte at the printer and the peak memory of the server's
#          process tree, for a 100-page PDF and a 100 MB PostScript job (10 MB
#          with --quick). Table in build-bench-app/bench-app-table.txt.
# The jobs are made once and kept in $MIRELOPS_BENCH_CACHE (default
# ~/.cache/mirelops-bench; about 1.3 GB, 230 MB with --quick only). The table
# is also saved in build-bench/bench-table.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

quick=0
app=0
extra=()
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    --keep-going) extra+=(--keep-going) ;;
    --app) app=1 ;;
    *) echo "usage: bash scripts/bench.sh [--quick] [--keep-going] [--app]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
cache=${MIRELOPS_BENCH_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/mirelops-bench}

if ((app)); then
  # The app test program holds the fake printer, the app's server and the
  # private scheduler; its disabled benchmark test runs the jobs.
  cmake -S . -B build-bench-app -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELOPS_TESTS=ON -DMIRELOPS_BENCH=OFF \
    -DMIRELOPS_SANITIZE= >/dev/null
  cmake --build build-bench-app -j"$(nproc)" --target mirelops mirelo-printer-app test_app mtest_backend
  if ((quick)); then
    bash bench/make-jobs.sh "$cache" --quick
    ps=$cache/pdftops-10M.ps ps_label="PostScript 10 MB"
  else
    bash bench/make-jobs.sh "$cache"
    ps=$cache/pdftops-100M.ps ps_label="PostScript 100 MB"
  fi
  [ -s "$cache/doc-100.pdf" ] || qpdf --empty --pages "$cache/doc-500.pdf" 1-100 -- "$cache/doc-100.pdf"
  MIRELO_BENCH_JOBS="PDF 100 pages=$cache/doc-100.pdf,$ps_label=$ps" \
    build-bench-app/tests/test_app --gtest_also_run_disabled_tests --gtest_filter=App.DISABLED_JobPathBenchmark |
    grep -v '^\[\|^Note: \|^Running main' | tee build-bench-app/bench-app-table.txt
  exit 0
fi
# Its own build folder, with the flags the filter ships with and no tests.
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELOPS_TESTS=OFF -DMIRELOPS_BENCH=ON \
  -DMIRELOPS_SANITIZE= >/dev/null
cmake --build build-bench -j"$(nproc)" --target mirelops mirelops_bench bench_lineloop bench_peakrss

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
