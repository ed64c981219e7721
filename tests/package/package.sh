#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The Debian package and the install tree.
#
#   package.sh contents BUILD_DIR   the package built by cpack holds the filter
#                                   (root-owned, 0755, in the CUPS filter
#                                   folder), the 65 PPDs and the manual page,
#                                   with the dependencies; cmake --install
#                                   makes the same tree.
#   package.sh dpkg BUILD_DIR       as root: dpkg -i installs the package on
#                                   this system, the installed PPDs pass
#                                   cupstestppd with the real filter,
#                                   cups-driverd lists them, and dpkg -r
#                                   removes every file again.
#
# Exit status 0 passed, 77 skipped (the reason on standard output), other
# failed.
set -euo pipefail

mode=${1:?mode}
build=$(cd "${2:?build folder}" && pwd)
work=$(mktemp -d)
installed_by_us=0

cleanup() {
  if ((installed_by_us)); then
    echo "cleaning up: purging the package this test installed"
    dpkg -P mirelops >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

filter_dir=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)/filter
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# The models of the product list: lines that are not comments, after the header.
models=$(grep -v '^#' "$source_dir/data/models.tsv" | tail -n +2 | grep -c .)

build_package() {
  command -v cpack >/dev/null || skip "cpack is not installed"
  command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
  (cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack could not build the package"; }
  deb=$(ls "$work"/pkg/mirelops_*.deb)
  [ -f "$deb" ] || fail "no package in $work/pkg"
}

# The regular files of the package, as absolute paths, sorted.
package_files() {
  dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {sub(/^\./, "", $6); print $6}' | sort
}

expected_files() {
  {
    echo "$filter_dir/mirelops"
    echo /usr/share/man/man8/mirelops.8
    for f in "$build"/ppd/mirelo/*.ppd; do echo "/usr/share/ppd/mirelo/$(basename "$f")"; done
  } | sort
}

contents() {
  build_package

  [ "$(dpkg-deb -f "$deb" Package)" = mirelops ] || fail "package name"
  depends=$(dpkg-deb -f "$deb" Depends)
  for dep in libcups2 libusb-1.0-0 qpdf cups-filters; do
    echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qx -- "$dep" ||
      fail "Depends lacks $dep: $depends"
  done

  [ "$(ls "$build"/ppd/mirelo/*.ppd | wc -l)" -eq "$models" ] || fail "not $models PPDs in the build"
  diff <(expected_files) <(package_files) || fail "the package holds other files than expected"

  # Owner and mode: the scheduler runs only root-owned filters that group and
  # others cannot write.
  listing=$(dpkg-deb -c "$deb")
  echo "$listing" | grep -q -- "^-rwxr-xr-x root/root .* \.$filter_dir/mirelops\$" ||
    fail "filter not root-owned 0755: $(echo "$listing" | grep mirelops\$ || true)"
  bad=$(echo "$listing" | awk '$1 ~ /^-/ && $6 ~ /\.ppd$|\.8$/ && ($1 != "-rw-r--r--" || $2 != "root/root")')
  [ -z "$bad" ] || fail "PPD or manual page with another owner or mode: $bad"

  # cmake --install makes the same tree under the prefix /usr.
  DESTDIR="$work/tree" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install failed"; }
  diff <(expected_files) <(cd "$work/tree" && find . -type f | sed 's/^\.//' | sort) ||
    fail "cmake --install made another tree"
  [ "$(stat -c %a "$work/tree$filter_dir/mirelops")" = 755 ] || fail "installed filter is not 0755"
  [ "$(stat -c %a "$work/tree/usr/share/ppd/mirelo/Mirelo-P1100.ppd")" = 644 ] || fail "PPD not 0644"
  cmp -s "$build/mirelops" "$work/tree$filter_dir/mirelops" || fail "installed filter differs from the build"
  echo "package and install tree: $(package_files | wc -l) files as expected"
}

dpkg_install_and_remove() {
  [ "$(id -u)" -eq 0 ] || skip "needs root: dpkg -i and dpkg -r change the system"
  command -v dpkg >/dev/null || skip "dpkg is not installed"
  status=$(dpkg-query -W -f='${Status}' mirelops 2>/dev/null || true)
  [ -z "$status" ] || [ "$status" = "unknown ok not-installed" ] ||
    skip "mirelops is already known to dpkg ($status); not touching it"
  for dep in libcups2 libusb-1.0-0 qpdf cups-filters; do
    dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q "install ok installed" ||
      skip "dependency $dep is not installed (scripts/install-deps.sh installs it)"
  done

  build_package
  files=$(package_files)
  for f in $files /usr/share/ppd/mirelo; do
    [ ! -e "$f" ] || skip "$f exists already; the test would replace it"
  done

  installed_by_us=1
  dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i failed"; }
  ! grep -qi 'warning\|error' "$work/install.log" || { cat "$work/install.log"; fail "dpkg -i complained"; }
  [ "$(dpkg-query -W -f='${Status}' mirelops)" = "install ok installed" ] || fail "not installed"

  for f in $files; do [ -f "$f" ] || fail "$f missing after dpkg -i"; done
  [ "$(stat -c '%U:%G %a' "$filter_dir/mirelops")" = "root:root 755" ] ||
    fail "filter is $(stat -c '%U:%G %a' "$filter_dir/mirelops")"
  [ "$(ls /usr/share/ppd/mirelo/*.ppd | wc -l)" -eq "$models" ] || fail "not $models PPDs installed"

  # With the filter in place every PPD passes without exceptions.
  cupstestppd /usr/share/ppd/mirelo/*.ppd >"$work/cupstestppd.log" 2>&1 ||
    { cat "$work/cupstestppd.log"; fail "cupstestppd failed on the installed PPDs"; }

  # cups-driverd, which answers lpinfo -m, finds them where they are.
  mkdir -p "$work/cache"
  CUPS_CACHEDIR="$work/cache" CUPS_DATADIR=/usr/share/cups CUPS_SERVERBIN="${filter_dir%/filter}" \
    "${filter_dir%/filter}/daemon/cups-driverd" list 1 0 "" >"$work/driverd.out" 2>"$work/driverd.err" ||
    { cat "$work/driverd.err"; fail "cups-driverd list failed"; }
  # The scheduler names the PPDs under /usr/share/ppd "lsb/usr/<path>".
  listed=$(grep -a -o 'lsb/usr/mirelo/[A-Za-z0-9-]*\.ppd' "$work/driverd.out" | sort -u | wc -l)
  [ "$listed" -eq "$models" ] || fail "cups-driverd lists $listed of the $models PPDs"

  # The installed filter takes a job for a plain queue (no backend: the
  # printer is known by the PPD's nickname).
  printf '%%!PS\n%%%%Page: 1 1\nshowpage\n\004\033%%-12345X\n' >"$work/job.ps"
  (cd "$work" && TMPDIR="$work" PPD=/usr/share/ppd/mirelo/Mirelo-P2200DN.ppd \
    "$filter_dir/mirelops" 1 alice test 1 "" <job.ps >out.ps 2>err.txt 4<&-) ||
    { cat "$work/err.txt"; fail "the installed filter refused a plain job"; }
  cmp -s "$work/job.ps" "$work/out.ps" || fail "the installed filter changed a plain job"

  dpkg -r mirelops >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r failed"; }
  ! grep -qi 'warning\|error' "$work/remove.log" || { cat "$work/remove.log"; fail "dpkg -r complained"; }
  status=$(dpkg-query -W -f='${Status}' mirelops 2>/dev/null || true)
  case "$status" in
    "" | "unknown ok not-installed") ;;
    *) fail "after dpkg -r the package is still '$status'" ;;
  esac
  installed_by_us=0
  for f in $files /usr/share/ppd/mirelo; do [ ! -e "$f" ] || fail "$f left after dpkg -r"; done
  echo "dpkg -i and dpkg -r: clean, $models PPDs listed by cups-driverd"
}

case "$mode" in
  contents) contents ;;
  dpkg) dpkg_install_and_remove ;;
  *) fail "unknown mode $mode" ;;
esac
