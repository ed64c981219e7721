#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The Debian packages, built from debian/ as a packager builds them: the
# filter (mirelops) and the Printer Application (mirelo-printer-app), each
# with its -dbgsym package.
#
#   package.sh build BUILD_DIR     copies the source (the files git knows,
#                                  committed or not) to
#                                  BUILD_DIR/debian-package/ and builds the
#                                  binary packages there with
#                                  dpkg-buildpackage -us -uc -b (one more
#                                  compile of the filter, without the tests).
#   package.sh lintian BUILD_DIR   lintian -I -E --pedantic on the packages:
#                                  no error, no warning, every override used
#                                  and explained by a comment.
#   package.sh contents BUILD_DIR  the package holds what cmake --install
#                                  makes (filter root-owned 0755 in the CUPS
#                                  filter folder, the PPDs, the compressed
#                                  manual page) and Debian's own files; its
#                                  dependencies; the filter links the shared
#                                  C++ runtime, is stripped and bound now.
#                                  The app's package: cmake --install of the
#                                  app component (the unit in
#                                  /lib/systemd/system, or /usr/lib/... where
#                                  debhelper has dh_movetousr, enabled by
#                                  dh_installsystemd, state under /var/lib),
#                                  its dependencies, a stripped program.
#   package.sh dpkg BUILD_DIR      as root: dpkg -i installs the package,
#                                  the installed PPDs pass cupstestppd, a
#                                  private scheduler (its own folder, socket
#                                  and network namespace; the system's is
#                                  never asked) lists every model with
#                                  lpinfo -m and prints through the installed
#                                  filter, the cups package's own ppd-updater
#                                  routine moves queues made from older PPDs
#                                  to the installed ones, one candidate each;
#                                  dpkg -r leaves nothing behind. Then both
#                                  packages together: the installed app lists
#                                  a driver for every model, its service is
#                                  enabled (never started: the test runs only
#                                  where systemd does not), and dpkg -P of
#                                  both leaves nothing behind.
#
#   package.sh sandbox BUILD_DIR   as root: the app's unit rates 2.5 or
#                                  lower in systemd-analyze security, and
#                                  the packaged server prints with the
#                                  unit's user, groups and file-system view.
#
# Exit status 0 passed, 77 skipped (the reason on standard output), other
# failed.
set -euo pipefail

mode=${1:?mode}
build=$(cd "${2:?build folder}" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
pkgdir=$build/debian-package
work=$(mktemp -d)
chmod 755 "$work"
installed_by_us=0
cupsd_pid=

cleanup() {
  if [ -n "$cupsd_pid" ]; then kill "$cupsd_pid" 2>/dev/null || true; wait "$cupsd_pid" 2>/dev/null || true; fi
  if ((installed_by_us)); then
    echo "cleaning up: purging the package this test installed"
    dpkg -P mirelo-printer-app mirelops >/dev/null 2>&1 || true
  fi
  if [ -n "${MIRELOPS_KEEP_TEMP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

filter_dir=/usr/lib/cups/filter
# The models of the product list: lines that are not comments, after the header.
models=$(grep -v '^#' "$source_dir/data/models.tsv" | tail -n +2 | grep -c .)
version=$(sed -n '1s/^mirelops (\([^)]*\)).*/\1/p' "$source_dir/debian/changelog")

# The package that ships a shared library (by its soname) on this system:
# libcups2 on Debian 12, libcups2t64 on 13 and later (the 64-bit time_t
# transition renamed the library packages), as dpkg-shlibdeps finds it.
lib_package() {
  local path
  path=$(ldconfig -p | awk -v so="$1" '$1 == so && /x86-64|64bit/ {print $NF; exit}')
  [ -n "$path" ] || path=$(ldconfig -p | awk -v so="$1" '$1 == so {print $NF; exit}')
  [ -n "$path" ] || { echo "no-package-for-$1"; return; }
  dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -n 1 | sed 's/:.*//' || echo "no-package-for-$1"
}
libcups=$(lib_package libcups.so.2)
libusb=$(lib_package libusb-1.0.so.0)
libstdcxx=$(lib_package libstdc++.so.6)
libpappl=$(lib_package libpappl.so.1)

# Where the app's unit lands: debian/rules runs dh_movetousr where debhelper
# has it (Debian 13 and later, whose merged /usr wants /usr/lib), so the
# unit that debian/mirelo-printer-app.install puts under /lib moves there.
# dh_installudev's rule moves with it.
if command -v dh_movetousr >/dev/null; then lib_dir=/usr/lib; else lib_dir=/lib; fi
unit_dir=$lib_dir/systemd/system

# The packages made by the build step.
find_debs() {
  deb=$(ls "$pkgdir"/mirelops_"$version"_*.deb 2>/dev/null || true)
  dbgsym=$(ls "$pkgdir"/mirelops-dbgsym_"$version"_*.deb 2>/dev/null || true)
  app_deb=$(ls "$pkgdir"/mirelo-printer-app_"$version"_*.deb 2>/dev/null || true)
  app_dbgsym=$(ls "$pkgdir"/mirelo-printer-app-dbgsym_"$version"_*.deb 2>/dev/null || true)
  [ -n "$deb" ] || skip "no package in $pkgdir: the package.build test did not build one"
  [ -n "$app_deb" ] || fail "no mirelo-printer-app package in $pkgdir"
}

build_packages() {
  for tool in dpkg-buildpackage dh dh_auto_configure; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
  done
  rm -rf "$pkgdir"
  mkdir -p "$pkgdir/mirelops-$version"
  if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
       while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
       tar --null -T - -cf -) | tar -xf - -C "$pkgdir/mirelops-$version"
  else
    tar -C "$source_dir" --exclude='./build*' -cf - . | tar -xf - -C "$pkgdir/mirelops-$version"
  fi
  (cd "$pkgdir/mirelops-$version" && dpkg-checkbuilddeps) >"$pkgdir/build.log" 2>&1 ||
    { cat "$pkgdir/build.log"; skip "build dependencies missing (scripts/install-deps.sh installs them)"; }
  local start=$SECONDS
  (cd "$pkgdir/mirelops-$version" &&
     DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b) \
    >>"$pkgdir/build.log" 2>&1 || { tail -n 60 "$pkgdir/build.log"; fail "dpkg-buildpackage failed"; }
  find_debs
  [ -n "$dbgsym" ] || fail "no -dbgsym package: the filter was not stripped by debhelper"
  [ -n "$app_dbgsym" ] || fail "no mirelo-printer-app-dbgsym package: the app was not stripped by debhelper"
  echo "dpkg-buildpackage: $(cd "$pkgdir" && echo *.deb) in $((SECONDS - start)) s"
}

run_lintian() {
  command -v lintian >/dev/null || skip "lintian is not installed (scripts/install-deps.sh installs it)"
  find_debs
  # lintian leaves files of its own in TMPDIR: the test's folder, removed with it.
  TMPDIR="$work" lintian -I -E --pedantic "$deb" $dbgsym "$app_deb" $app_dbgsym >"$work/lintian.out" 2>"$work/lintian.err" || true
  cat "$work/lintian.out" "$work/lintian.err"
  ! grep -q '^[EW]: ' "$work/lintian.out" || fail "lintian reports errors or warnings"
  ! grep -q 'unused-override\|mismatched-override' "$work/lintian.out" || fail "an override does not match"
  # Overrides only for tags that are wrong for a CUPS filter, each with its
  # reason in a comment right above it; none for the app.
  [ ! -e "$source_dir/debian/mirelo-printer-app.lintian-overrides" ] || fail "overrides for the app"
  for f in "$source_dir"/debian/*.lintian-overrides; do
    awk -v f="$f" '
      /^[^#]/ {
        if (prev !~ /^#/) { print f ": override without a reason above it: " $0; bad = 1 }
        if ($2 != "executable-in-usr-lib" && $2 != "spare-manual-page") { print f ": override of " $2; bad = 1 }
      }
      { prev = $0 }
      END { exit bad }' "$f" || fail "lintian overrides"
  done
  echo "lintian -I -E --pedantic: 0 errors, 0 warnings"
}

# The regular files of a package, as absolute paths, sorted.
package_files() {
  dpkg-deb -c "$1" | awk '$1 ~ /^-/ {sub(/^\./, "", $6); print $6}' | sort
}

contents() {
  find_debs
  [ "$(dpkg-deb -f "$deb" Package)" = mirelops ] || fail "package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for dep in "$libcups" "$libusb" qpdf cups-filters "$libstdcxx"; do
    n=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -cx -- "$dep" || true)
    [ "$n" = 1 ] || fail "Depends names $dep $n times: $depends"
  done
  echo "$depends" | grep -q 'qpdf (>= 8)' || fail "Depends lacks qpdf (>= 8): $depends"
  maintainer=$(dpkg-deb -f "$deb" Maintainer)
  case "$maintainer" in *root* | *localhost*) fail "Maintainer $maintainer" ;; esac

  # cmake --install of the test build makes the tree that the package
  # carries, beside Debian's own files.
  DESTDIR="$work/tree" cmake --install "$build" --prefix /usr --component Unspecified >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install failed"; }
  [ "$(ls "$work/tree/usr/share/ppd/mirelo/"*.ppd | wc -l)" -eq "$models" ] || fail "not $models PPDs installed"
  {
    (cd "$work/tree" && find . -type f | sed 's/^\.//; s/\.8$/.8.gz/')
    echo /usr/share/cups/ppd-updaters/mirelops.ppd-updater
    echo /usr/share/doc/mirelops/changelog.gz
    echo /usr/share/doc/mirelops/copyright
    echo /usr/share/lintian/overrides/mirelops
  } | sort >"$work/expected"
  package_files "$deb" >"$work/files"
  diff "$work/expected" "$work/files" || fail "the package holds other files than cmake --install makes"

  # Owner and mode: the scheduler runs only root-owned filters that group and
  # others cannot write.
  listing=$(dpkg-deb -c "$deb")
  echo "$listing" | grep -q -- "^-rwxr-xr-x root/root .* \.$filter_dir/mirelops\$" ||
    fail "filter not root-owned 0755: $(echo "$listing" | grep mirelops\$ || true)"
  bad=$(echo "$listing" | awk '$1 ~ /^-/ && $6 !~ /filter\/mirelops$/ && ($1 != "-rw-r--r--" || $2 != "root/root")')
  [ -z "$bad" ] || fail "files with another owner or mode: $bad"

  # The same PPDs as the build's; the filter is the shared-runtime,
  # hardened, stripped one.
  dpkg-deb -x "$deb" "$work/x"
  diff -r "$work/tree/usr/share/ppd/mirelo" "$work/x/usr/share/ppd/mirelo" || fail "PPDs differ from the build's"
  dyn=$(readelf -d "$work/x$filter_dir/mirelops")
  echo "$dyn" | grep -q 'NEEDED.*\[libstdc++\.so\.6\]' || fail "the filter does not link the shared libstdc++"
  echo "$dyn" | grep -q 'BIND_NOW' || fail "the filter is not linked with -z now"
  ! readelf -S "$work/x$filter_dir/mirelops" | grep -q '\.debug_info' || fail "the filter is not stripped"
  package_files "$dbgsym" | grep -q '^/usr/lib/debug/.build-id/.*\.debug$' || fail "no symbols in $dbgsym"
  echo "package: $(wc -l <"$work/files") files as expected, Depends: $depends"
  app_contents
}

# The Printer Application's package: what cmake --install makes of the app
# component (the unit moved to Debian's unit folder, where dh_installsystemd
# enables it), the PPDs and job-time programs by dependency, a hardened,
# stripped program.
app_contents() {
  local depends
  depends=$(dpkg-deb -f "$app_deb" Depends)
  for dep in mirelops cups-filters ghostscript "$libpappl" "$libstdcxx"; do
    n=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -cx -- "$dep" || true)
    [ "$n" = 1 ] || fail "the app's Depends names $dep $n times: $depends"
  done
  echo "$depends" | grep -q "mirelops (= $version)" || fail "the app's Depends lacks mirelops (= $version): $depends"
  DESTDIR="$work/app-tree" cmake --install "$build" --prefix /usr --component app >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install --component app failed"; }
  {
    (cd "$work/app-tree" && find . -type f | sed "s/^\.//; s/\.8\$/.8.gz/; s|^/usr/lib/systemd/system/|$unit_dir/|")
    echo /usr/share/doc/mirelo-printer-app/changelog.gz
    echo /usr/share/doc/mirelo-printer-app/copyright
    # debhelper's: the service's user, its socket link, PAM service, USB rule.
    echo /usr/lib/sysusers.d/mirelo-printer-app.conf
    echo /usr/lib/tmpfiles.d/mirelo-printer-app.conf
    echo /etc/pam.d/mirelo-printer-app
    echo "$lib_dir/udev/rules.d/60-mirelo-printer-app.rules"
  } | sort >"$work/app-expected"
  package_files "$app_deb" >"$work/app-files"
  diff "$work/app-expected" "$work/app-files" || fail "the app's package holds other files than cmake --install makes"
  bad=$(dpkg-deb -c "$app_deb" | awk '$1 ~ /^-/ && $6 !~ /bin\/mirelo-printer-app$/ && ($1 != "-rw-r--r--" || $2 != "root/root")')
  [ -z "$bad" ] || fail "app files with another owner or mode: $bad"
  dpkg-deb -x "$app_deb" "$work/app-x"
  grep -qx 'StateDirectory=mirelo-printer-app' "$work/app-x$unit_dir/mirelo-printer-app.service" ||
    fail "the unit keeps no state under /var/lib"
  grep -q '^ExecStart=/usr/bin/mirelo-printer-app server .*state-file=/var/lib/mirelo-printer-app/' \
    "$work/app-x$unit_dir/mirelo-printer-app.service" || fail "the unit's ExecStart"
  dpkg-deb -I "$app_deb" postinst | grep -q 'deb-systemd-helper' || fail "dh_installsystemd did not enable the unit"
  dyn=$(readelf -d "$work/app-x/usr/bin/mirelo-printer-app")
  echo "$dyn" | grep -q 'NEEDED.*\[libpappl\.so' || fail "the app does not link PAPPL"
  echo "$dyn" | grep -q 'BIND_NOW' || fail "the app is not linked with -z now"
  ! readelf -S "$work/app-x/usr/bin/mirelo-printer-app" | grep -q '\.debug_info' || fail "the app is not stripped"
  echo "app package: $(wc -l <"$work/app-files") files as expected, Depends: $depends"
}

# A private scheduler for the installed package: ServerBin is a folder of
# links to the system's programs (so the installed filter runs) and the
# project's test backend, which plays the printer: it answers the filter's
# device ID request and stores the job. DataDir is the system's, so the
# installed PPDs are found. Everything it writes is under $work/cups; it
# listens only on a socket there and runs in a network namespace of its own.
start_scheduler() {
  command -v unshare >/dev/null || skip "unshare is not installed"
  local backend=$build/tests/mtest_backend
  [ -x "$backend" ] || skip "no test backend $backend: build with -DMIRELOPS_TESTS=ON"
  local d=$work/cups
  mkdir -p "$d/etc/ppd" "$d/etc/ssl" "$d/spool/tmp" "$d/cache" "$d/state/certs" "$d/log" "$work/out"
  chmod 1777 "$work/out"
  for sub in filter backend daemon notifier driver monitor; do
    mkdir -p "$d/bin/$sub"
    [ ! -d "/usr/lib/cups/$sub" ] || ln -s "/usr/lib/cups/$sub"/* "$d/bin/$sub/" 2>/dev/null || true
  done
  install -o root -g root -m 755 "$backend" "$d/bin/backend/mtest"
  chmod 755 "$d" "$d/etc" "$d/etc/ppd" "$d/log"
  chmod 700 "$d/etc/ssl"
  chmod 1777 "$d/spool/tmp"
  chmod 711 "$d/spool" "$d/state/certs"
  chmod 770 "$d/cache"
  sock=$d/sock
  cat >"$d/etc/cupsd.conf" <<EOF
Listen $sock
Browsing Off
LogLevel debug
MaxLogSize 0
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
  cat >"$d/etc/cups-files.conf" <<EOF
ServerRoot $d/etc
StateDir $d/state
CacheDir $d/cache
RequestRoot $d/spool
TempDir $d/spool/tmp
ServerBin $d/bin
DataDir /usr/share/cups
AccessLog $d/log/access_log
ErrorLog $d/log/error_log
PageLog $d/log/page_log
FileDevice Yes
User lp
Group lp
SystemGroup root
Sandboxing relaxed
EOF
  unshare --net /usr/sbin/cupsd -f -c "$d/etc/cupsd.conf" -s "$d/etc/cups-files.conf" \
    </dev/null >"$d/log/cupsd.out" 2>&1 &
  cupsd_pid=$!
  for _ in $(seq 200); do
    if LC_ALL=C lpstat -h "$sock" -r 2>/dev/null | grep -q 'scheduler is running'; then return; fi
    kill -0 "$cupsd_pid" 2>/dev/null || { cat "$d/log/cupsd.out"; fail "the private cupsd ended at once"; }
    sleep 0.1
  done
  fail "the private cupsd did not answer within 20 s"
}

# Prints file to the queue and waits until the job has completed; its id in
# job_id.
print_and_wait() {  # queue file lp-options...
  local queue=$1 file=$2
  shift 2
  job_id=$(lp -h "$sock" -d "$queue" "$@" "$file" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p')
  [ -n "$job_id" ] || fail "lp gave no job id"
  for _ in $(seq 300); do
    lpstat -h "$sock" -W completed -o "$queue" | grep -q -- "-$job_id " && return
    sleep 0.1
  done
  grep -a "\[Job $job_id\]" "$work/cups/log/error_log" | tail -n 40
  fail "job $job_id on $queue did not complete"
}

dpkg_install_and_remove() {
  [ "$(id -u)" -eq 0 ] || skip "needs root: dpkg -i and dpkg -r change the system"
  command -v dpkg >/dev/null || skip "dpkg is not installed"
  # One run at a time on this machine (another checkout's run would find, or
  # purge, the packages of this one).
  exec 9>/run/lock/mirelops-package-dpkg.lock
  flock -w 900 9 || skip "another package test holds /run/lock/mirelops-package-dpkg.lock"
  # Installing a file under /usr/share/cups/ppd-updaters runs the cups
  # package's trigger, which asks a running system scheduler and updates its
  # queues: never while one runs.
  [ ! -e /run/cups/cups.sock ] ||
    skip "a system scheduler runs (/run/cups/cups.sock): the cups trigger would ask it"
  # The app's maintainer scripts start its service where systemd runs.
  [ ! -d /run/systemd/system ] || skip "systemd runs here: installing the app would start its service"
  for p in mirelops mirelo-printer-app; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ -z "$status" ] || [ "$status" = "unknown ok not-installed" ] ||
      skip "$p is already known to dpkg ($status); not touching it"
  done
  for dep in "$libcups" "$libusb" "$libstdcxx" qpdf cups-filters cups "$libpappl" ghostscript poppler-utils; do
    dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q "install ok installed" ||
      skip "$dep is not installed (scripts/install-deps.sh installs it)"
  done
  local trigger=/var/lib/dpkg/info/cups.postinst
  [ -r "$trigger" ] || skip "$trigger (the cups package's trigger) is missing"
  find_debs
  files=$(package_files "$deb")
  for f in $files /usr/share/ppd/mirelo /usr/share/doc/mirelops; do
    [ ! -e "$f" ] || skip "$f exists already; the test would replace it"
  done
  updates_before=$(cat /var/cache/cups/ppd-updates 2>/dev/null || true)

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

  start_scheduler
  # lpinfo -m lists every model under the name the PPDs are installed by.
  lpinfo -h "$sock" -m >"$work/lpinfo" || fail "lpinfo -m failed"
  (cd /usr/share/ppd/mirelo && ls *.ppd) | sed 's|^|lsb/usr/mirelo/|' >"$work/installed-names"
  grep -o '^lsb/usr/mirelo/[^ ]*' "$work/lpinfo" | sort | diff "$work/installed-names" - ||
    fail "lpinfo -m does not list the installed PPDs"

  # Jobs through the installed filter: a plain queue and a finch queue
  # (collated copies and PJL tags come from the filter), made by the names
  # lpinfo gives, printing to files.
  printf '%s\n' '%!PS-Adobe-3.0' '%%Pages: 2' '%%EndComments' \
    '%%Page: 1 1' 'showpage' '%%Page: 2 2' 'showpage' '%%EOF' >"$work/job.ps"
  for q in plain:P2200DN finch:F4200DN; do
    id="MFG%3AMirelo%3BMDL%3AMirelo%20${q#*:}%20series%3BCLS%3APRINTER%3B"
    lpadmin -h "$sock" -p "${q%%:*}" -E -v "mtest:$work/out/${q%%:*}?id=$id" \
      -m "lsb/usr/mirelo/Mirelo-${q#*:}.ppd" 2>/dev/null || fail "lpadmin -m for the queue ${q%%:*}"
  done
  print_and_wait plain "$work/job.ps"
  grep -aq '^%%Page: 2 2' "$work/out/plain-$job_id.prn" || fail "the plain job did not reach the printer"
  print_and_wait finch "$work/job.ps" -n 2 -o collate=true
  out=$work/out/finch-$job_id.prn
  grep -aq "@PJL SET JOBID=$job_id" "$out" || fail "the finch job has no JOBID tag from the filter"
  [ "$(grep -ac '^%%Page:' "$out")" -eq 4 ] || fail "the finch job has not 2 collated copies of 2 pages"
  grep -aq 'mirelops' "$work/cups/log/error_log" || fail "the scheduler's log shows no mirelops run"

  lpadmin -h "$sock" -x plain && lpadmin -h "$sock" -x finch || fail "lpadmin -x"
  ppd_updater_check
  kill "$cupsd_pid"
  wait "$cupsd_pid" 2>/dev/null || true
  cupsd_pid=

  dpkg -r mirelops >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r failed"; }
  ! grep -qi 'warning\|error' "$work/remove.log" || { cat "$work/remove.log"; fail "dpkg -r complained"; }
  status=$(dpkg-query -W -f='${Status}' mirelops 2>/dev/null || true)
  case "$status" in
    "" | "unknown ok not-installed") ;;
    *) fail "after dpkg -r the package is still '$status'" ;;
  esac
  installed_by_us=0
  for f in $files /usr/share/ppd/mirelo /usr/share/doc/mirelops; do
    [ ! -e "$f" ] || fail "$f left after dpkg -r"
  done
  [ "$(cat /var/cache/cups/ppd-updates 2>/dev/null || true)" = "$updates_before" ] ||
    fail "the cups trigger changed /var/cache/cups/ppd-updates"
  echo "dpkg -i and dpkg -r: clean; $models PPDs pass cupstestppd and are listed by lpinfo -m;" \
    "jobs printed through the installed filter; ppd-updater moved $models queues"
  app_install_and_remove
}

# Both packages at once; the app is enabled as a service (not started: no
# systemd runs) and lists a driver for every model; dpkg -P removes all,
# the enabled unit and the state folder included.
app_install_and_remove() {
  local app_files leftovers="/var/lib/mirelo-printer-app /usr/share/doc/mirelo-printer-app
    /etc/systemd/system/multi-user.target.wants/mirelo-printer-app.service
    /var/lib/systemd/deb-systemd-helper-enabled/mirelo-printer-app.service.dsh-also"
  app_files=$(package_files "$app_deb")
  for f in $files $app_files $leftovers; do [ ! -e "$f" ] || skip "$f exists already"; done
  # The package makes the service's system user, which Debian keeps after a
  # purge: the test removes it again when it made it.
  local user_made=0
  getent passwd mirelo-printer-app >/dev/null || user_made=1
  installed_by_us=1
  dpkg -i "$deb" "$app_deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i of both failed"; }
  getent passwd mirelo-printer-app | grep -q ':/var/lib/mirelo-printer-app:' || fail "the package made no service user"
  id -nG mirelo-printer-app | grep -qw lp || fail "the service user is not in the group lp"
  ! grep -qi 'warning\|error' "$work/install.log" || { cat "$work/install.log"; fail "dpkg -i of both complained"; }
  for f in $app_files; do [ -f "$f" ] || fail "$f missing after dpkg -i"; done
  [ -L /etc/systemd/system/multi-user.target.wants/mirelo-printer-app.service ] ||
    fail "the service is not enabled"
  # PAPPL makes (and drops) its system to list the drivers: in a network of
  # its own, so that it listens on no port of this machine.
  n=$(unshare --net /usr/bin/mirelo-printer-app drivers 2>"$work/drivers.log" | grep -c .)
  [ "$n" -eq "$models" ] || fail "the installed app lists $n drivers, not $models"
  mkdir -p /var/lib/mirelo-printer-app && touch /var/lib/mirelo-printer-app/mirelo-printer-app.state
  dpkg -P mirelo-printer-app mirelops >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -P failed"; }
  ! grep -qi 'warning\|error' "$work/remove.log" || { cat "$work/remove.log"; fail "dpkg -P complained"; }
  installed_by_us=0
  if ((user_made)); then
    userdel mirelo-printer-app
    ! getent group mirelo-printer-app >/dev/null || groupdel mirelo-printer-app
  fi
  for f in $files $app_files $leftovers /run/mirelo-printer-app.sock; do [ ! -e "$f" ] || fail "$f left after dpkg -P"; done
  echo "both packages: dpkg -i and dpkg -P clean, service enabled and its user made, $n drivers"
}

# The cups package updates queues on an upgrade with the routine ppd_updater
# of its maintainer script, fed with the two expressions of every file in
# /usr/share/cups/ppd-updaters. It is taken from the script as it is, with
# the system's socket and PPD folder changed to the private scheduler's, and
# run on one queue per model made from an older version of its PPD: each
# queue must get its own model's installed PPD, from exactly one candidate.
ppd_updater_check() {
  local updater=/usr/share/cups/ppd-updaters/mirelops.ppd-updater
  local routine
  routine=$(sed -n '/^ppd_updater () {/,/^}/p' /var/lib/dpkg/info/cups.postinst |
    sed "s|/run/cups/cups.sock|$sock|g; s|/etc/cups/ppd|$work/cups/etc/ppd|g")
  echo "$routine" | grep -q "$sock" || fail "no ppd_updater routine in the cups trigger"
  ! echo "$routine" | grep -q '/etc/cups\|/run/cups' || fail "the routine names other system paths"

  (
    unset DRIVER_REGEXP GENNICKNAME_REGEXP
    # shellcheck disable=SC1090
    . "$updater"
    # The expression selects exactly this package's PPDs among all drivers.
    grep -E $DRIVER_REGEXP "$work/lpinfo" | cut -d ' ' -f 1 | sort | diff "$work/installed-names" - ||
      fail "DRIVER_REGEXP selects other PPDs than the installed ones"
  ) || exit 1

  for ppd in /usr/share/ppd/mirelo/*.ppd; do
    q=old-$(basename "$ppd" .ppd)
    sed 's/^\(\*NickName: ".*, mirelops \)[^"]*"/\10.9.1"/' "$ppd" >"$work/old.ppd"
    grep -q '^\*NickName: ".*, mirelops 0.9.1"' "$work/old.ppd" || fail "no version in the NickName of $ppd"
    lpadmin -h "$sock" -p "$q" -E -v "file:/dev/null" -P "$work/old.ppd" 2>/dev/null || fail "lpadmin -P for $q"
  done

  # Run by sh with set -e, as the maintainer script runs it.
  {
    echo 'set -e'
    echo ". $updater"
    echo "$routine"
    echo "tempfiles="
    echo "tmpfile0=$work/lpinfo"
    echo 'ppd_updater "$DRIVER_REGEXP" "$GENNICKNAME_REGEXP"'
    echo "echo \$tempfiles >$work/tempfiles"
  } >"$work/updater.sh"
  (cd "$work" && sh "$work/updater.sh") 2>"$work/updater.err" ||
    { cat "$work/updater.err"; fail "the ppd_updater routine failed"; }
  # The routine keeps one file of candidates per queue (after the file of
  # the driver's PPDs): one candidate each.
  n=0
  for f in $(cat "$work/tempfiles"); do
    n=$((n + 1))
    [ "$n" -gt 1 ] || continue
    [ "$(wc -l <"$f")" -eq 1 ] || fail "a queue has $(wc -l <"$f") candidate PPDs: $(cat "$f")"
  done
  rm -f $(cat "$work/tempfiles")
  [ "$n" -eq $((models + 1)) ] || fail "the routine looked at $((n - 1)) queues, not $models"

  for ppd in /usr/share/ppd/mirelo/*.ppd; do
    q=old-$(basename "$ppd" .ppd)
    for key in NickName ModelName PCFileName; do
      [ "$(grep "^\*$key:" "$work/cups/etc/ppd/$q.ppd")" = "$(grep "^\*$key:" "$ppd")" ] ||
        fail "queue $q: $key is $(grep "^\*$key:" "$work/cups/etc/ppd/$q.ppd"), not the installed PPD's"
    done
  done
  grep -c 'updated' "$work/updater.err" | grep -qx "$models" || { cat "$work/updater.err"; fail "not every queue updated"; }
}

# The app's service with its unit's own settings: systemd-analyze rates the
# unit's sandbox 2.5 or lower, and a job prints through the packaged program
# run as the unit runs it. Where systemd runs, systemd-run starts it with the
# unit's [Service] settings; elsewhere unshare and setpriv give it the unit's
# user (in a private /etc/passwd), groups, file-system view (the system
# read-only, empty /home and /root, private /tmp and /run, the state folder
# writable), no new privileges and no capabilities, in a network of its own.
app_sandbox() {
  [ "$(id -u)" -eq 0 ] || skip "needs root: the server runs as the unit's user"
  find_debs
  dpkg-deb -x "$app_deb" "$work/app-x"
  local unit=$work/app-x$unit_dir/mirelo-printer-app.service score
  score=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  [ -n "$score" ] || fail "systemd-analyze security gave no score for the unit"
  awk -v s="$score" 'BEGIN { exit !(s <= 2.5) }' || fail "the unit's exposure is $score, over 2.5"
  local user group groups
  user=$(sed -n 's/^User=//p' "$unit")
  group=$(sed -n 's/^Group=//p' "$unit")
  groups=$(sed -n 's/^SupplementaryGroups=//p' "$unit" | tr ' ' ',')
  cp "$(ls /usr/share/cups/ipptool/print-job.test)" "$work/print-job.test"
  printf '%s\n' '%!PS-Adobe-3.0' '%%Pages: 1' '%%EndComments' '%%Page: 1 1' 'showpage' '%%EOF' >"$work/job.ps"
  if [ -d /run/systemd/system ]; then
    skip "systemd runs here: systemd-run would start the service on this machine's network"
  fi
  echo "sandbox: unshare and setpriv (no systemd runs here)"
  cat >"$work/sandbox.sh" <<'SANDBOX'
set -euo pipefail
mount --make-rprivate /
ip link set lo up
mkdir -p "$work/etc" "$work/state" "$work/out"
cp /etc/passwd /etc/group "$work/etc/"
echo "$user:x:61010:61010::/var/lib/mirelo-printer-app:/usr/sbin/nologin" >>"$work/etc/passwd"
echo "$user:x:61010:" >>"$work/etc/group"
sed -i -E "s/^(lp:[^:]*:[^:]*:)(.+)$/\1\2,$user/; s/^(lp:[^:]*:[^:]*:)$/\1$user/" "$work/etc/group"
mount --bind "$work/etc/passwd" /etc/passwd
mount --bind "$work/etc/group" /etc/group
chown 61010:lp "$work/state"
chmod 700 "$work/state"
mount --bind "$work" /mnt
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /run/mirelo-printer-app /run/lock
chown 61010:lp /run/mirelo-printer-app
ln -s /run/mirelo-printer-app/mirelo-printer-app.sock /run/mirelo-printer-app.sock
mount -t tmpfs -o mode=755 tmpfs /var/lib
mkdir /var/lib/mirelo-printer-app
mount --bind /mnt/state /var/lib/mirelo-printer-app
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o ro,mode=755 tmpfs /home
mount -t tmpfs -o ro,mode=700 tmpfs /root
mount -o remount,bind,ro /
/usr/bin/python3 -c '
import pathlib, socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 9100))
s.listen(1)
while True:
    c, _ = s.accept()
    data = b""
    while True:
        b = c.recv(65536)
        if not b:
            break
        data += b
    if data:
        pathlib.Path("/mnt/out/job.prn").write_bytes(data)
        break
' &
sink=$!
read -ra exec_start <<<"$exec_start_line"
exec_start[0]=/mnt/app-x/usr/bin/mirelo-printer-app
(umask 077; exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/var/lib/mirelo-printer-app \
  MIRELO_APP_PPD_DIR="$ppd_dir" DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
  setpriv --reuid="$user" --regid="$group" --groups="$group,$groups" --no-new-privs \
    --inh-caps=-all --ambient-caps=-all --bounding-set=-all -- "${exec_start[@]}") >/mnt/server.log 2>&1 &
server=$!
for _ in $(seq 100); do [ -S /run/mirelo-printer-app/mirelo-printer-app.sock ] && break; sleep 0.1; done
/mnt/app-x/usr/bin/mirelo-printer-app add -d p -m mirelo_p2200dn -v socket://127.0.0.1:9100
ipptool -t -f /mnt/job.ps ipp://127.0.0.1:8000/ipp/print/p /mnt/print-job.test
for _ in $(seq 300); do [ -s /mnt/out/job.prn ] && break; sleep 0.1; done
ps -o user= -p "$server" >/mnt/server.user || true
kill "$server" "$sink" 2>/dev/null || true
wait || true
SANDBOX
  # The PPDs where the server sees them: the build folder may lie under the
  # /tmp that the sandbox replaces.
  cp -r "$build/ppd/mirelo" "$work/ppd"
  work=$work user=$user group=$group groups=$groups ppd_dir=/mnt/ppd \
    exec_start_line=$(sed -n 's/^ExecStart=//p' "$unit") \
    unshare --mount --net --uts --ipc --pid --fork --mount-proc bash "$work/sandbox.sh" >"$work/sandbox.log" 2>&1 ||
    { cat "$work/sandbox.log" "$work/server.log" 2>/dev/null; fail "the sandboxed server did not print"; }
  grep -aq '^%!PS' "$work/out/job.prn" 2>/dev/null ||
    { cat "$work/sandbox.log" "$work/server.log"; fail "no job reached the printer from the sandboxed server"; }
  echo "sandbox: exposure $score; a job printed through the server run as $user:$group ($groups)"
}

case "$mode" in
  build) build_packages ;;
  lintian) run_lintian ;;
  contents) contents ;;
  dpkg) dpkg_install_and_remove ;;
  sandbox) app_sandbox ;;
  *) fail "unknown mode $mode" ;;
esac
