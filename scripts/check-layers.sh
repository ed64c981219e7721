#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The house rules of the source tree, checked (CTest: layers.check):
#  - a folder includes only the folders below it (the table below, which
#    DEVELOPING.md explains);
#  - spool/ and output/ stand side by side on stream/: neither includes
#    the other;
#  - a "*-private.h" header is included only inside its own folder (the
#    tests and fuzz targets may reach it);
#  - <libusb.h> is included only by monitor/monitor-private.h;
#  - every .cpp includes a header of its own folder first (but the files
#    that only define main() or symbols for the linker);
#  - the files of app/ include each other one way only: a header and its
#    .cpp taken as one, no file includes a header whose files include it
#    back, however many steps round (app/models.h is the bottom).
#  - given the built core library as the second argument: no global
#    variable but the fixed job flags (scripts/check-globals.sh).
# Prints every breach and exits 1 when there is one.
set -u
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

declare -A allowed=(
  [common]=""
  [job]="common"
  [identify]="job common"
  [paper]="job common"
  [monitor]="job common"
  [stream]="common"
  [output]="stream monitor job common"
  [pdfpath]="identify job common"
  [spool]="stream job common"
  [core]="identify paper monitor output pdfpath spool stream job common"
  [filter]="core common"
  [app]="core common"
)
# Folders that stand side by side: neither includes the other.
apart=("spool output")
# Files with no header of their own.
no_own_header=" src/filter/main.cpp app/main.cpp app/avahi-guard.cpp app/ipp-copy.cpp "

fail=0
breach() {
  echo "$1"
  fail=1
}

files=$( (ls src/*/*.cpp src/*/*.h app/*.cpp app/*.h) 2>/dev/null)
for f in $files; do
  case $f in
    app/*) folder=app ;;
    *) folder=$(basename "$(dirname "$f")") ;;
  esac
  if [[ ! -v allowed[$folder] ]]; then
    breach "$f: the folder $folder is not in the layer table of scripts/check-layers.sh"
    continue
  fi
  first=""
  while IFS= read -r line; do
    [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([\"\<])([^\"\>]+) ]] || continue
    kind=${BASH_REMATCH[1]}
    name=${BASH_REMATCH[2]}
    [[ -z $first ]] && first="$kind$name$([[ $kind == '<' ]] && echo '>' || echo '"')"
    if [[ $name == libusb.h && $f != src/monitor/monitor-private.h ]]; then
      breach "$f: includes <libusb.h>, which only monitor/monitor-private.h may"
    fi
    [[ $kind == '"' ]] || continue
    if [[ $name != */* ]]; then
      # A header of the file's own folder, named without it (app/).
      [[ $folder == app ]] || breach "$f: includes \"$name\" without its folder"
      continue
    fi
    target=${name%%/*}
    if [[ $target == "$folder" ]]; then continue; fi
    for pair in "${apart[@]}"; do
      if [[ " $pair " == *" $folder "* && " $pair " == *" $target "* ]]; then
        breach "$f: includes $name; ${pair% *}/ and ${pair#* }/ stand side by side, neither includes the other"
        continue 2
      fi
    done
    if [[ $name == *-private.h ]]; then
      breach "$f: includes $name, private to $target/"
      continue
    fi
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      breach "$f: includes $name; $folder/ may include only: ${allowed[$folder]:-nothing of the project}"
    fi
  done < "$f"
  if [[ $f == *.cpp && $no_own_header != *" $f "* ]]; then
    case $folder in
      app) [[ $first == \"* && $first != */* ]] ;;
      *) [[ $first == \"$folder/* ]] ;;
    esac || breach "$f: the first include is ${first:-none}, not a header of its own folder"
  fi
done
# The includes among app/'s files: x.h and x.cpp are the one part x, an
# include of "y.h" in either an arrow from x to y. A cycle is a breach.
declare -A app_deps=() app_seen=()
for f in app/*.cpp app/*.h; do
  [[ -e $f ]] || continue
  part=$(basename "${f%.*}")
  app_deps[$part]+=""
  while IFS= read -r line; do
    [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"/]+)\.h\" ]] || continue
    [[ ${BASH_REMATCH[1]} == "$part" ]] || app_deps[$part]+=" ${BASH_REMATCH[1]}"
  done < "$f"
done
app_path=()
visit() {
  local part=$1 to i round
  app_seen[$part]=1
  app_path+=("$part")
  for to in ${app_deps[$part]}; do
    if [[ ${app_seen[$to]:-} == 1 ]]; then
      for i in "${!app_path[@]}"; do [[ ${app_path[$i]} == "$to" ]] && break; done
      round=$(printf '%s -> ' "${app_path[@]:$i}")
      breach "app/: the includes go round: $round$to"
    elif [[ -z ${app_seen[$to]:-} && -v app_deps[$to] ]]; then
      visit "$to"
    fi
  done
  unset 'app_path[-1]'
  app_seen[$part]=2
}
for part in $(printf '%s\n' "${!app_deps[@]}" | sort); do
  [[ -z ${app_seen[$part]:-} ]] && visit "$part"
done

if [[ -n ${2:-} ]]; then
  bash "$root/scripts/check-globals.sh" "$2" || fail=1
fi
if [[ $fail -eq 0 ]]; then
  echo "layers: $(echo "$files" | wc -w) files follow the house rules"
fi
exit $fail
