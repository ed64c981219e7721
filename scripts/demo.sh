#!/bin/bash
# Installs what is needed, builds the filter, and runs it as the scheduler
# would on a demo job: once for a supported plain printer, once for a
# printer that is not supported.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)" --target mirelops

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A two-page demo document, made with Ghostscript and wrapped in the PJL that
# CUPS puts around a job for a queue with JCL.
cat > "$work/demo.ps" <<'PS'
%!PS
/Helvetica findfont 32 scalefont setfont
72 700 moveto (mirelops demo, page 1) show showpage
72 700 moveto (mirelops demo, page 2) show showpage
PS
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -o "$work/demo.pdf" "$work/demo.ps"
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=ps2write -o "$work/demo-ps2write.ps" "$work/demo.pdf"
{
  printf '\033%%-12345X@PJL\n@PJL JOB NAME = "demo"\n@PJL ENTER LANGUAGE = POSTSCRIPT\n'
  cat "$work/demo-ps2write.ps"
  printf '\033%%-12345X@PJL EOJ\n\033%%-12345X'
} > "$work/job.ps"

# run_filter PPD: runs the filter with no backend on the side channel, so the
# printer is identified by the PPD's ShortNickName.
run_filter() {
  local ppd=$1 status=0
  # Argument 0 is the queue name, as the scheduler passes it.
  (export PPD="$ppd" DEVICE_URI="socket://127.0.0.1:9100" TMPDIR="$work"
   exec -a demo-queue build/mirelops 1 "${USER:-root}" "demo" 1 "") \
    < "$work/job.ps" > "$work/out.ps" 2> "$work/err.txt" || status=$?
  echo "exit status: $status; $(wc -c < "$work/out.ps") bytes to the printer"
  echo "--- standard error:"
  sed 's/^/    /' "$work/err.txt" | tr -d '\033\004'
  if [ -s "$work/out.ps" ]; then
    echo "--- first lines sent to the printer:"
    head -n 6 "$work/out.ps" | cat -v | sed 's/^/    /'
  fi
}

echo "=== A supported plain printer (Mirelo P2200DN)"
run_filter tests/fixtures/ppd/plain.ppd
echo
echo "=== A printer that is not supported"
run_filter tests/fixtures/ppd/unsupported.ppd
