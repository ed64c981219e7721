#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Checks that every system program and file that the tests, the demo and the
# benchmark start comes from a Debian package that scripts/install-deps.sh
# installs, so that the commands of the README work on a fresh machine. The
# programs are found in the code itself:
# - C++ sources (src/, tests/, bench/): absolute paths in string literals,
#   the first word of an argument list ({"gs", ...}), program-name constants;
# - shell scripts (scripts/, bench/, tests/, .ci/): the words in command
#   position;
# - the backends of the device URIs that tests give their queues;
# and a short list of what the scheduler itself starts, which no line of
# ours names. Each is mapped to its package with dpkg -S. A word that names
# no installed program is not a program (it is data that looks like one).
# Exit status 1 when a package is not named by install-deps.sh or a path is
# owned by no package.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v dpkg >/dev/null; then
  echo "check-deps: no dpkg here: not a Debian system" >&2
  exit 77
fi

# What cupsd starts for our tests and the demo without our code naming it:
# its helpers (cups-exec runs every filter and backend, cups-driverd lists
# and copies PPDs) and the filters of a PostScript queue's chains for PDF
# and PostScript jobs.
scheduler_started=(
  /usr/lib/cups/daemon/cups-exec /usr/lib/cups/daemon/cups-driverd
  /usr/lib/cups/filter/pdftopdf /usr/lib/cups/filter/pdftops /usr/lib/cups/filter/pstops
)

# The packages install-deps.sh names: the words of its packages=( ... ) list.
mapfile -t named < <(sed -n '/^packages=(/,/^)/p' scripts/install-deps.sh | sed 's/#.*//' |
  tr -s ' \t()' '\n\n\n\n' | grep -v -e '^packages=$' -e '^$')

cpp_files=$(find src tests bench -name '*.cpp' -o -name '*.h' | sort)
sh_files=$(find scripts bench tests .ci -type f \( -name '*.sh' -o -name run \) ! -name check-deps.sh 2>/dev/null | sort)

candidates() {
  # Absolute paths in string literals (not devices, folders or our own /opt).
  grep -ohE '"/(usr|bin|sbin|lib)/[^" ]+"' $cpp_files | tr -d '"'
  # The first word of an argument list, and program-name constants.
  grep -ohE '\{ *"[A-Za-z0-9_.+-]+" *,' $cpp_files | sed -E 's/^\{ *"([^"]+)".*/\1/'
  grep -ohE '\[\] *= *"[a-z][A-Za-z0-9_.+-]*";' $cpp_files | sed -E 's/.*"(.+)";/\1/'
  # Backends of the device URIs that queues are made with.
  grep -ohE 'AddQueue\([^;]*"[a-z]+://' $cpp_files | sed -E 's|.*"([a-z]+)://$|/usr/lib/cups/backend/\1|'
  # Shell: the first word of every command (after assignments and keywords).
  for f in $sh_files; do
    sed -e 's/#.*//' -e 's/\$(/\n/g' -e 's/[|;&(){}`]/\n/g' "$f" |
      sed -E 's/^[[:space:]]*((if|then|else|elif|while|until|do|for|in|exec|time|!|command|sudo)[[:space:]]+)*//' |
      sed -E 's/^([A-Za-z_][A-Za-z0-9_]*=[^[:space:]]*[[:space:]]+)*//' | awk '{print $1}'
  done
  printf '%s\n' "${scheduler_started[@]}"
}

# The links from a path to its final target, one step at a time (c++ ->
# /etc/alternatives/c++ -> /usr/bin/g++ -> g++-14 -> x86_64-linux-gnu-g++-14).
link_chain() {
  local p=$1 next n=0
  while [ -L "$p" ] && ((n++ < 16)); do
    next=$(readlink "$p")
    [[ $next == /* ]] || next=$(dirname "$p")/$next
    p=$(realpath -s -- "$next")
    echo "$p"
  done
}

# The package owning a path: the path as given, the first link on its way to
# the target that a package owns (the package that names the program, such
# as g++, rather than the release's versioned or per-architecture one that
# ships the binary), the other side of the /usr merge, and for a CUPS backend
# the copy Debian ships in backend-available (its postinst puts it into
# backend/).
owner() {
  local p=$1 cand
  for cand in "$p" $(link_chain "$p") "${p#/usr}" "/usr$p" \
    "${p/\/cups\/backend\//\/cups\/backend-available\/}"; do
    dpkg -S "$cand" 2>/dev/null | grep -v '^diversion' | grep -F ": $cand" | head -n 1 |
      sed -E 's/: .*//; s/:[a-z0-9]+//g' && return 0
  done
  return 1
}

status=0 checked=0
declare -A seen
while read -r word; do
  [ -n "$word" ] && [ -z "${seen[$word]:-}" ] || continue
  seen[$word]=1
  if [[ $word == /* ]]; then
    [ -d "$word" ] && continue
    if [ ! -e "$word" ]; then
      # A program of CUPS that is not there: its package is missing.
      if [[ $word == /usr/lib/cups/* || $word == /usr/sbin/* ]]; then
        echo "MISSING: $word is not installed"
        status=1
      fi
      continue
    fi
    path=$word
  elif [[ $word == */* ]]; then
    continue  # a program of this tree (build/..., scripts/...)
  else
    [ "$(type -t -- "$word" 2>/dev/null)" = file ] || continue
    path=$(command -v -- "$word")
  fi
  case $path in "$PWD"/* | /opt/*) continue ;; esac
  if ! pkgs=$(owner "$path"); then
    echo "NO PACKAGE: $word ($path) belongs to no Debian package"
    status=1
    continue
  fi
  checked=$((checked + 1))
  # A path in more than one package (a shared folder) is fine when one is named.
  ok=0
  IFS=', ' read -r -a list <<<"$pkgs"
  for pkg in "${list[@]}"; do
    for n in "${named[@]}"; do [ "$pkg" = "$n" ] && ok=1; done
  done
  if ((ok)); then
    echo "ok: $word -> $pkgs"
  else
    echo "NOT INSTALLED BY scripts/install-deps.sh: $word ($path) comes from $pkgs"
    status=1
  fi
done < <(candidates | sort -u)

echo "check-deps: $checked programs and files checked"
exit $status
