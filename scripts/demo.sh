#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is needed, builds the filter, and prints a demo document
# through a private CUPS scheduler: a cupsd of its own, with its own
# temporary folder and socket and in a network namespace of its own (the
# system's CUPS is never asked or changed). It makes a queue for a plain, a
# finch and a Heron printer from the generated PPDs, prints to each with lp,
# shows each job's state and the first lines of what reached the printer (a
# test backend plays the printer and stores the job), and stops the
# scheduler. It also prints through the Printer Application (when PAPPL is
# there): a finch printer on a fake network printer, reached from the
# scheduler as a driverless queue. Run as root: the scheduler runs its
# filters as the user lp.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ]; then
  echo "demo.sh: run it as root (the private scheduler runs its filters as lp)" >&2
  exit 1
fi
bash scripts/install-deps.sh
cmake -S . -B build -DMIRELOPS_TESTS=ON
cmake --build build -j"$(nproc)" --target mirelops mtest_backend mirelo_ppds mirelops_demo
echo
exec build/tests/mirelops_demo
