#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Makes the benchmark's jobs once and keeps them in a cache folder:
#   bash bench/make-jobs.sh CACHE-DIR [--quick]
# - pdftops-10M.ps, pdftops-100M.ps, pdftops-1G.ps: poppler's pdftops output of
#   a text-heavy PDF (most lines are glyph widths of a few bytes), 10, 100 and
#   1000 copies of the same 180 pages (the 1 GB job is skipped with --quick);
# - ps2write-10M.ps, ps2write-100M.ps: Ghostscript's ps2write output of the
#   same kind of text (the 100 MB job is skipped with --quick);
# - doc-500.pdf: a 500-page text PDF for the Heron road.
# The PostScript jobs are wrapped in the PJL that CUPS writes for a queue with
# JCL. A file is made under a temporary name and renamed when complete, so an
# interrupted run never leaves a short job behind.
set -euo pipefail
cache=$1
quick=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$cache"
cd "$cache"

# Bump when the jobs change, so that older caches are made again.
stamp=jobs-v1
if [ ! -e "$stamp" ]; then
  rm -f pdftops-*.ps ps2write-*.ps doc-*.pdf base-*
  touch "$stamp"
fi

gs_run() { gs -q -dNOPAUSE -dBATCH -dSAFER "$@"; }

# text_pdf PAGES OUT: a PDF of PAGES text pages.
text_pdf() {
  [ -e "$2" ] && return
  gs_run -dNPAGES="$1" -sDEVICE=pdfwrite -o "$2.tmp" "$here/text-pages.ps"
  mv "$2.tmp" "$2"
}

# wrap_pjl IN TITLE: the job between the PJL header and trailer, on stdout.
wrap_pjl() {
  {
    printf '\033%%-12345X@PJL\n@PJL JOB NAME = "%s"\n@PJL ENTER LANGUAGE = POSTSCRIPT\n' "$2"
    cat "$1"
    printf '\033%%-12345X@PJL EOJ\n\033%%-12345X'
  }
}

# pdftops_job COPIES OUT: the pages of base-180.ps repeated COPIES times with
# their page numbers counted on, between its own prolog and trailer.
pdftops_job() {
  local copies=$1 out=$2
  [ -e "$out" ] && return
  echo "making $out" >&2
  local pages
  pages=$(grep -c '^%%Page: ' base-180.ps)
  {
    printf '\033%%-12345X@PJL\n@PJL JOB NAME = "%s"\n@PJL ENTER LANGUAGE = POSTSCRIPT\n' "$out"
    awk -v total=$((pages * copies)) '/^%%Page: /{exit} /^%%Pages: /{print "%%Pages: " total; next} {print}' base-180.ps
    for ((c = 0; c < copies; c++)); do
      awk -v off=$((c * pages)) '
        /^%%Trailer/ { exit }
        /^%%Page: / { on = 1; n = $3 + off; print "%%Page: " n " " n; next }
        on { print }' base-180.ps
    done
    awk '/^%%Trailer/{on=1} on{print}' base-180.ps
    printf '\033%%-12345X@PJL EOJ\n\033%%-12345X'
  } > "$out.tmp"
  mv "$out.tmp" "$out"
}

# ps2write_job PAGES OUT
ps2write_job() {
  local out=$2
  [ -e "$out" ] && return
  echo "making $out" >&2
  text_pdf "$1" "base-$1.pdf"
  gs_run -sDEVICE=ps2write -o "base-$1.ps2write" "base-$1.pdf"
  wrap_pjl "base-$1.ps2write" "$out" > "$out.tmp"
  mv "$out.tmp" "$out"
  rm -f "base-$1.ps2write" "base-$1.pdf"
}

text_pdf 180 base-180.pdf
if [ ! -e base-180.ps ]; then
  /usr/bin/pdftops base-180.pdf base-180.ps.tmp
  mv base-180.ps.tmp base-180.ps
fi
pdftops_job 1 pdftops-10M.ps
pdftops_job 10 pdftops-100M.ps
[ "$quick" = --quick ] || pdftops_job 100 pdftops-1G.ps
ps2write_job 1370 ps2write-10M.ps
[ "$quick" = --quick ] || ps2write_job 13700 ps2write-100M.ps
text_pdf 500 doc-500.pdf
ls -l "$cache" >&2
