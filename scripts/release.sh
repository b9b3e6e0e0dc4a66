#!/usr/bin/env bash
# Builds tarnel.exe from the committed tree (HEAD) and packs dist/tarnel-<version>-win64.zip with
# tarnel.exe, README.md, LICENSE, SHA256SUMS and BUILDINFO. Signing options (see scripts/sign.sh) sign the
# executable before it is packed. Two unsigned releases of one commit are the same bytes.
set -euo pipefail
caller=$PWD  # signing options name files relative to where the caller stands
cd "$(dirname "$0")/.."
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 git zip)
[ $# -eq 0 ] || tarnel_need+=(osslsigncode openssl libengine-pkcs11-openssl)
# shellcheck source=scripts/deps.sh
source scripts/deps.sh

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
scripts/build-commit.sh "$commit" "$work/build"
version=$(cat "$work/build/version")
unsigned_sha256=$(sha256sum "$work/build/tarnel.exe" | cut -d ' ' -f 1)

stage=$work/tarnel-$version-win64
mkdir "$stage"
if [ $# -gt 0 ]; then
  repo=$PWD
  (cd "$caller" && "$repo/scripts/sign.sh" "$work/build/tarnel.exe" "$stage/tarnel.exe" "$@")
else
  cp "$work/build/tarnel.exe" "$stage/tarnel.exe"
fi
cp "$work/build/src/README.md" "$work/build/src/LICENSE" "$stage/"
{
  echo "name: tarnel"
  echo "version: $version"
  echo "commit: $commit"
  echo "commit-time: $(TZ=UTC date -d "@$commit_time" +%Y-%m-%dT%H:%M:%SZ)"
  echo "unsigned-sha256: $unsigned_sha256"
  cat "$work/build/toolchain"
} > "$stage/BUILDINFO"
members=(tarnel.exe README.md LICENSE BUILDINFO)
(cd "$stage" && sha256sum "${members[@]}" > SHA256SUMS)
members+=(SHA256SUMS)

# Fixed member order, permissions and times (the commit's), no extra fields: the zip depends on the
# commit alone.
chmod 0644 "$stage"/*
touch -d "@$commit_time" "$stage"/*
mkdir -p dist
zip_name=tarnel-$version-win64.zip
(cd "$stage" && TZ=UTC zip -q -X -D "$work/$zip_name" "${members[@]}")
mv -f "$work/$zip_name" "dist/$zip_name"

echo "dist/$zip_name"
echo "tarnel $version, commit $commit"
echo "unsigned tarnel.exe SHA-256: $unsigned_sha256"
