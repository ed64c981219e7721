#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# No new global variable (run by the CTest test layers.check, beside
# scripts/check-layers.sh): the core library defines no writable variable
# that other files can see but the fixed process-wide job state, whose names
# scripts, tests and debuggers know. Looks at the built objects, so that a
# variable is found however it is written (at file scope, in a namespace, a
# static member, an inline variable):
#   bash scripts/check-globals.sh build/libmirelops_core.a
# Prints every other one and exits 1 when there is one.
set -u
lib=${1:?usage: check-globals.sh libmirelops_core.a}
[[ -r $lib ]] || { echo "globals: no library at $lib"; exit 2; }

# The fixed flags (src/job/job.h, src/monitor/monitor.h).
fixed=" job_canceled isfinch width height iscollate isA5Page copies dummy_thread g_bdummyEnd status_thread err_thread "

# Global and unique objects outside the read-only sections.
names=$(objdump -t "$lib" | awk '($2 == "g" || $2 == "u") && $3 == "O" && $4 !~ /^\.(rodata|data\.rel\.ro)/ { print $6 }' |
  sort -u) || exit 2
fail=0
seen=0
for name in $names; do
  # What the sanitizers add beside each global (AddressSanitizer's
  # one-definition indicators, for the read-only ones too) is theirs.
  case $name in __odr_asan.* | __asan_* | __tsan_* | __ubsan_* | __sancov_*) continue ;; esac
  seen=$((seen + 1))
  if [[ $fixed != *" $name "* ]]; then
    echo "$lib: the global variable $(c++filt "$name") is not one of the fixed job flags; keep it in its file" \
      "(an anonymous namespace) or in the job record"
    fail=1
  fi
done
if [[ $fail -eq 0 ]]; then
  echo "globals: $seen global variables, all of them fixed job flags"
fi
exit $fail
