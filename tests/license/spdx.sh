#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Every source, build and script file that git knows (committed or added)
# names its licence in its first two lines (the second after a "#!" line or
# the coding line of a manual page):
#   spdx.sh SOURCE_DIR
# Exit status 0 passed, 77 skipped (not a git work tree), other failed.
set -euo pipefail
cd "${1:?source folder}"
git rev-parse --git-dir >/dev/null 2>&1 || { echo "SKIPPED: $PWD is not a git work tree"; exit 77; }

tag='SPDX-License-Identifier: Apache-2.0'
missing=0 checked=0
while IFS= read -r -d '' f; do
  [ -f "$f" ] || continue
  case "$f" in
    *.cpp | *.h | *.cmake | CMakeLists.txt | */CMakeLists.txt | *.sh | *.drv.in | *.8 | *.supp | \
      .ci/run | debian/rules | debian/*.ppd-updater) ;;
    *) continue ;;
  esac
  checked=$((checked + 1))
  if ! head -n 2 -- "$f" | grep -q "$tag"; then
    echo "no licence line: $f"
    missing=$((missing + 1))
  fi
done < <(git ls-files -z --cached --others --exclude-standard)
echo "$checked files checked, $missing without the licence line"
[ "$missing" -eq 0 ] && [ "$checked" -gt 0 ]
