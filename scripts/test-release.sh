#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Builds and tests this tree on another Debian release, as a packager would:
#
#   bash scripts/test-release.sh [--rootfs-only] SUITE [COMMAND...]
#                                              (SUITE: trixie, sid, ...)
#
# Makes a root file system of SUITE with mmdebstrap, with everything that
# scripts/install-deps.sh installs there, and keeps it as a tarball in
# $MIRELOPS_RELEASE_CACHE/SUITE (default /var/cache/mirelops-release/SUITE)
# for the next run; it is made anew when it is older than
# $MIRELOPS_RELEASE_MAX_DAYS days (default 7) or install-deps.sh has changed.
# Each run unpacks it into a fresh folder under /var/tmp, copies the tree's
# committed and changed files into /src/mirelops there (a git work tree of
# its own, nothing that is ignored), and runs in it, as root, in a mount and
# PID namespace of its own:
#
#   MIRELOPS_QUICK=1 bash scripts/test.sh   (install-deps, the build, the
#                                            normal suite with the package)
#
# with proc, sys, dev, a tmpfs /tmp and a tmpfs /run mounted. The mounts
# live in that namespace only, so none is left behind however the run ends;
# the folder is removed on exit (kept, and named, with MIRELOPS_RELEASE_KEEP=1).
# MIRELOPS_RELEASE_SNAPSHOT=1 takes a mirror that is a snapshot of the
# archive, whose Release files are past their Valid-Until date.
# A COMMAND runs in /src/mirelops there in place of the suite (bash -c
# 'cmake ... && ctest -R ...' to look at one test). --rootfs-only makes or
# refreshes the cached root file system and stops. Run as root; needs the
# network for Debian's packages when the cache is made.
set -euo pipefail
cd "$(dirname "$0")/.."

rootfs_only=0
if [ "${1:-}" = --rootfs-only ]; then
  rootfs_only=1
  shift
fi
suite=${1:?usage: test-release.sh [--rootfs-only] SUITE [COMMAND...]}
shift
command=(bash scripts/test.sh)
(($#)) && command=("$@")
[[ $suite =~ ^[a-z0-9-]+$ ]] || { echo "test-release: not a suite name: $suite" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "test-release: run as root" >&2; exit 2; }

command -v mmdebstrap >/dev/null || bash scripts/install-deps.sh

cache=${MIRELOPS_RELEASE_CACHE:-/var/cache/mirelops-release}/$suite
max_days=${MIRELOPS_RELEASE_MAX_DAYS:-7}
mkdir -p "$cache"
tarball=$cache/rootfs.tar
key="$suite $(sha256sum scripts/install-deps.sh | cut -d' ' -f1)"

# The Debian mirror this machine's apt uses (mmdebstrap's own default
# otherwise).
mirror=$(apt-get indextargets --format '$(REPO_URI) $(ORIGIN) $(LABEL)' 2>/dev/null |
  awk '$2 == "Debian" && $3 == "Debian" {print $1; exit}')

started=$SECONDS
# One run at a time makes or reads a suite's cache.
exec 9>"$cache/lock"
flock 9
if [ ! -s "$tarball" ] || [ "$(cat "$cache/key" 2>/dev/null)" != "$key" ] ||
  [ -n "$(find "$tarball" -mtime +"$max_days")" ]; then
  echo "=== test-release: making the $suite root file system in $cache"
  rm -f "$tarball.new"
  snapshot=()
  # A mirror that is a snapshot of the archive has Release files past their
  # Valid-Until date (unstable's last a week).
  if [ "${MIRELOPS_RELEASE_SNAPSHOT:-0}" = 1 ]; then
    snapshot=(--aptopt='Acquire::Check-Valid-Until "false"')
  fi
  # A stock /etc/hosts (localhost names 127.0.0.1 and ::1), as the installer
  # writes it, whatever this machine's is.
  mmdebstrap --variant=apt --mode=root --format=tar "${snapshot[@]}" \
    --customize-hook='printf "127.0.0.1\tlocalhost\n127.0.1.1\t%s\n\n::1\t\tlocalhost ip6-localhost ip6-loopback\nff02::1\t\tip6-allnodes\nff02::2\t\tip6-allrouters\n" "$(uname -n)" >"$1/etc/hosts"' \
    --customize-hook='copy-in scripts/install-deps.sh /tmp' \
    --customize-hook='chroot "$1" bash /tmp/install-deps.sh' \
    --customize-hook='rm -f "$1/tmp/install-deps.sh"' \
    "$suite" "$tarball.new" ${mirror:+"$mirror"} || { rm -f "$tarball.new"; exit 1; }
  mv "$tarball.new" "$tarball"
  echo "$key" >"$cache/key"
  echo "=== test-release: root file system made in $((SECONDS - started)) s"
fi
if ((rootfs_only)); then
  exit 0
fi

root=$(mktemp -d /var/tmp/mirelops-release-"$suite".XXXXXX)
if [ "${MIRELOPS_RELEASE_KEEP:-0}" = 1 ]; then
  trap 'echo "=== test-release: kept $root"' EXIT
else
  trap 'rm -rf --one-file-system "$root"' EXIT
fi
tar -x -C "$root" -f "$tarball"
flock -u 9
cp /etc/resolv.conf "$root/etc/resolv.conf"  # for apt, should install-deps need more

# The tree: what git lists, as it is in the work tree (changes not yet
# committed and new files included, ignored ones not), as a git work tree of
# its own (the tests that list the files ask git).
src=$root/src/mirelops
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard | tar -c --null --no-recursion --ignore-failed-read -T - -f - | tar -x -C "$src" -f -
git -C "$src" init -q
git -C "$src" add -A

# In a private mount and PID namespace: the root file system bound onto
# itself (a mount point, as a machine's / is, for the tests'
# `unshare --propagation private`), then proc, sys, dev, /tmp and /run, and
# the run itself in a clean environment (a child of the namespace's first
# process, a shell that reaps every orphan, as init would).
echo "=== test-release: $suite: MIRELOPS_QUICK=1 ${command[*]} in $root"
log=$root/var/tmp/test-release.log
status=0
unshare --mount --pid --fork --kill-child --propagation private -- bash -euc '
  root=$1
  shift
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  mount -t tmpfs -o mode=755 tmpfs "$root/run"
  mkdir -p "$root/run/lock"
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 CI="${CI:-}" MIRELOPS_QUICK=1 \
    bash -c "cd /src/mirelops && exec \"\$@\"" run "$@"
' test-release "$root" "${command[@]}" 2>&1 | tee "$log" || status=${PIPESTATUS[0]}
echo "=== test-release: $suite: exit $status after $((SECONDS - started)) s"
# The suite's closing line once more, named by the release, as the last.
total=$(grep -E '^tests: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1 || true)
[ -z "$total" ] || echo "$suite: ${total#tests: }"
exit $status
