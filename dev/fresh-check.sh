#!/usr/bin/env bash
# Runs the project's commands as a newcomer would: in a new Debian 12 root made with debootstrap, on a
# clone of the committed tree, as root, with an empty environment (no locale, no display, no Wine prefix).
# Reports each command's status and time, and the disk and packages after it, and removes the root and
# its mounts whatever happens.
#   dev/fresh-check.sh [COMMAND ...]    default: the Commands block of docs/contributing.md
# The base root is kept as a tar file in $TARNEL_FRESH_CACHE (default /var/cache/tarnel-fresh-check), so
# that a second run skips debootstrap; delete it to start from a new one.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-check: run as root (debootstrap, chroot and mounts need it)" >&2
  exit 1
fi
if ! command -v debootstrap >/dev/null || ! command -v bwrap >/dev/null; then
  apt-get update -q && apt-get install -y -q --no-install-recommends debootstrap bubblewrap
fi

commands=("$@")
if [ "${#commands[@]}" -eq 0 ]; then
  mapfile -t commands < <(sed -n '/^## Commands/,/^```$/p' docs/contributing.md | sed -n -E 's/^((scripts|dev)\/[^#]*[^ #]) *(#.*)?$/\1/p')
fi
if [ "${#commands[@]}" -eq 0 ]; then
  echo "fresh-check: no commands found in the Commands block of docs/contributing.md" >&2
  exit 1
fi
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "fresh-check: note: uncommitted changes are not checked; the root gets the commit $(git rev-parse --short HEAD)"
fi

# The base root: Debian 12 from the mirror this machine's apt uses.
cache=${TARNEL_FRESH_CACHE:-/var/cache/tarnel-fresh-check}
base="$cache/bookworm-base.tar"
if [ ! -f "$base" ]; then
  # shellcheck disable=SC2016  # $(REPO_URI) is apt's own field syntax, not the shell's
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' 'Created-By: Packages' |
             awk '$2 == "bookworm" { print $1; exit }')
  mirror=${mirror:-http://deb.debian.org/debian/}
  echo "fresh-check: making the base root with debootstrap from $mirror (a few minutes, once)"
  mkdir -p "$cache"
  staging=$(mktemp -d "$cache/debootstrap.XXXXXX")
  started=$SECONDS
  debootstrap bookworm "$staging" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
    { echo "fresh-check: debootstrap failed; see $cache/debootstrap.log" >&2; rm -rf --one-file-system "$staging"; exit 1; }
  tar -C "$staging" -cf "$base.part" . && mv "$base.part" "$base"
  rm -rf --one-file-system "$staging"
  echo "fresh-check: base root made in $((SECONDS - started)) s"
fi

work=$(mktemp -d /var/tmp/tarnel-fresh.XXXXXX)
root="$work/root"
# shellcheck disable=SC2317  # reached through the EXIT trap
cleanup() {
  # Whatever the commands left running there (Wine's server, Xvfb) holds the mounts.
  local process
  for process in /proc/[0-9]*; do
    [ "$(readlink "$process/root" 2>/dev/null)" = "$root" ] && kill -9 "${process#/proc/}" 2>/dev/null
  done
  sleep 1
  findmnt -n -l -o TARGET | grep "^$root/" | sort -r | xargs -r umount -l || true
  # Never delete through a mount that is still there: it could be this machine's own /dev.
  if findmnt -n -l -o TARGET | grep -q "^$root/"; then
    echo "fresh-check: mounts remain under $root; not removing $work" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
trap "exit 130" INT TERM

mkdir -p "$root"
tar -C "$root" -xf "$base"
# The same package mirrors and apt settings as this machine, its name servers, and what it needs to reach
# the npm registry: its own certificate authorities (a network may inspect TLS) and npm's global settings.
rm -f "$root/etc/apt/sources.list"
cp -a /etc/apt/sources.list* "$root/etc/apt/" 2>/dev/null || true
cp -a /etc/apt/apt.conf.d/. "$root/etc/apt/apt.conf.d/"
cp -a /etc/apt/trusted.gpg.d/. "$root/etc/apt/trusted.gpg.d/" 2>/dev/null || true
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/usr/local/share/ca-certificates" "$root/etc/ssl/certs"
cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/" 2>/dev/null || true
cp -L /etc/npmrc "$root/etc/npmrc" 2>/dev/null || true
git clone --quiet --no-hardlinks "$PWD" "$root/root/tarnel"
commit=$(git -C "$root/root/tarnel" rev-parse --short HEAD)

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"

results=("$(printf '%-24s %s' '(the fresh root)' "$(du -sh --one-file-system "$root" | cut -f1)")")
failed=0
for command in "${commands[@]}"; do
  echo
  echo "fresh-check: ==== $command"
  started=$SECONDS
  status=0
  # Not chroot: the kernel refuses a chrooted process new user namespaces, which the build root's sandbox
  # needs. bwrap makes the root the root of a mount namespace instead (its mounts above come along). The
  # root's own /proc stays, and so does this PID namespace, which it shows: a sandbox may mount a new proc
  # only where one is fully visible, and bwrap's --proc is not; under a PID namespace of bwrap's, the
  # build root's sandbox hung.
  bwrap --dev-bind "$root" / --die-with-parent \
    /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/tarnel && $command" </dev/null || status=$?
  # What a newcomer's disk holds after each command: the whole root (packages, caches, build roots, the
  # clone's build/) and the packages installed, as dpkg counts them.
  # shellcheck disable=SC2016  # dpkg-query's own field syntax
  packages=$(chroot "$root" dpkg-query -W -f '${db:Status-Abbrev} ${Installed-Size}\n' |
               awk '$1 == "ii" { n++; kb += $2 } END { printf "%d packages, %d MB installed", n, kb / 1024 }')
  results+=("$(printf '%-24s status %3d  %5d s;  then %s;  root %s' "$command" "$status" "$((SECONDS - started))" \
                 "$packages" "$(du -sh --one-file-system "$root" | cut -f1)")")
  [ "$status" -eq 0 ] || failed=1
done

echo
echo "fresh-check: Debian 12 root, commit $commit, empty environment, as root; $SECONDS s in all:"
printf '  %s\n' "${results[@]}"
echo "fresh-check: the root used $(du -sh --one-file-system "$root" | cut -f1) of disk"
exit "$failed"
