#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Lays out the C++ sources by .clang-format:
#   bash scripts/format.sh [--check] [FILE...]
# With no FILE, every C++ file git tracks under src, app, tests, fuzz and
# bench. Without --check the files are rewritten in place; with --check
# nothing is written: the files whose layout differs are listed and the
# exit status is 1 (0 when every file is laid out already).
set -euo pipefail
cd "$(dirname "$0")/.."

check=false
if [[ ${1:-} == --check ]]; then
  check=true
  shift
fi
command -v clang-format >/dev/null || { echo "format.sh: clang-format is not installed (scripts/install-deps.sh)" >&2; exit 2; }

files=("$@")
if ((${#files[@]} == 0)); then
  mapfile -d '' files < <(git ls-files -z -- 'src/*.cpp' 'src/*.h' 'app/*.cpp' 'app/*.h' 'tests/*.cpp' \
    'tests/*.h' 'fuzz/*.cpp' 'fuzz/*.h' 'bench/*.cpp' 'bench/*.h')
fi

((${#files[@]})) || exit 0
if ! $check; then
  clang-format --style=file -i -- "${files[@]}"
  exit 0
fi
status=0
for f in "${files[@]}"; do
  if ! clang-format --style=file -- "$f" | cmp -s -- "$f" -; then
    echo "$f"
    status=1
  fi
done
exit "$status"
