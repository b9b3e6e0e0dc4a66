#!/usr/bin/env bash
# Builds tarnel.exe from the committed tree (HEAD) and packs dist/tarnel-<version>-win64.zip:
#   scripts/release.sh [--icon FILE] [SIGNING OPTIONS]
# The zip holds tarnel.exe, README.md, LICENSE, the icon when one is given (built in, and kept as icon.ico),
# BUILDINFO and SHA256SUMS; scripts/release_zip.py packs it, and verify.sh rebuilds it the same way.
# Signing options (see scripts/sign.sh) sign the executable before it is packed. Two unsigned releases of
# one commit are the same bytes, whatever the releaser's git settings.
set -euo pipefail
caller=$PWD  # the icon and signing options name files relative to where the caller stands
cd "$(dirname "$0")/.."
icon=''
if [ "${1-}" = --icon ]; then
  icon=$(cd "$caller" && realpath -e -- "${2:?--icon needs an .ico file}")
  shift 2
fi
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 git python3)
[ $# -eq 0 ] || tarnel_need+=(osslsigncode openssl libengine-pkcs11-openssl)
# shellcheck source=dev/deps.sh
source dev/deps.sh

# The release is HEAD as committed; changes not committed would be silently left out, so refuse them.
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "release.sh: the work tree has changes that are not committed:" >&2
  git status --short --untracked-files=no >&2
  echo "release.sh: commit or stash them; a release is built from a commit only" >&2
  exit 1
fi
commit=$(git rev-parse HEAD)
commit_time=$(git log -1 --format=%ct HEAD)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# build-commit.sh reads the commit with the releaser's git settings switched off, and checks the icon.
scripts/build-commit.sh "$commit" "$work/build" ${icon:+--icon "$icon"}
version=$(cat "$work/build/version")

if [ $# -gt 0 ]; then
  repo=$PWD
  (cd "$caller" && "$repo/scripts/sign.sh" "$work/build/tarnel.exe" "$work/tarnel.exe" "$@")
else
  cp "$work/build/tarnel.exe" "$work/tarnel.exe"
fi
zip_name=tarnel-$version-win64.zip
/usr/bin/python3 scripts/release_zip.py pack --build "$work/build" --exe "$work/tarnel.exe" --commit "$commit" \
  --commit-time "$commit_time" ${icon:+--icon "$icon"} "$work/$zip_name"
mkdir -p dist
mv -f "$work/$zip_name" "dist/$zip_name"

echo "dist/$zip_name"
echo "tarnel $version, commit $commit"
echo "unsigned tarnel.exe SHA-256: $(sha256sum "$work/build/tarnel.exe" | cut -d ' ' -f 1)"
