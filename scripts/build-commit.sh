#!/usr/bin/env bash
# Builds tarnel.exe from a clean copy of one commit: scripts/build-commit.sh REV DIR [--icon FILE]
# Unpacks `git archive REV` into DIR/src, builds only the launcher there and leaves DIR/tarnel.exe,
# DIR/version (the CMake project's version) and DIR/toolchain (what built it, as BUILDINFO lines).
# Beside them: DIR/THIRD-PARTY-NOTICES.txt and DIR/tarnel.cdx.json, made from the build's linker map.
# release.sh and verify.sh both build this way, so a rebuild is made exactly as the release was.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -lt 2 ]; then
  echo "usage: scripts/build-commit.sh REV DIR [--icon FILE]" >&2
  exit 2
fi
rev=$1 dir=$2
icon=()
if [ "${3-}" = --icon ]; then
  icon=("-DTARNEL_ICON=$(realpath -e "${4:?--icon needs a file}")")
fi

commit=$(git -C "$repo" rev-parse --verify --quiet "$rev^{commit}") || {
  echo "tarnel: unknown revision '$rev' in $repo (fetch it first?)" >&2
  exit 2
}
mkdir -p "$dir/src"
git -C "$repo" archive "$commit" | tar -x -C "$dir/src"

# The version of each package that decides the bytes; the tool's own banner where dpkg does not know it.
version_of() {
  local package=$1 tool=$2 version
  if version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) && [ -n "$version" ]; then
    echo "$package $version"
  elif [ "$tool" != - ]; then
    "$tool" --version 2>/dev/null | head -n 1
  else
    echo unknown
  fi
}
{
  echo "compiler: $(version_of g++-mingw-w64-x86-64-posix x86_64-w64-mingw32-g++-posix)"
  echo "mingw-w64-runtime: $(version_of mingw-w64-x86-64-dev -)"
  echo "binutils: $(version_of binutils-mingw-w64-x86-64 x86_64-w64-mingw32-ld)"
  echo "cmake: $(cmake --version | head -n 1 | sed 's/^cmake version //')"
} > "$dir/toolchain"

log="$dir/build.log"
if ! (cd "$dir/src" &&
      cmake --preset mingw-release -DTARNEL_TESTS=OFF -DTARNEL_BENCH=OFF "${icon[@]}" &&
      cmake --build --preset mingw-release --target tarnel -j 2) > "$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "tarnel: the build of $commit failed (log: $log)" >&2
  exit 2
fi
cp "$dir/src/build/tarnel.exe" "$dir/tarnel.exe"
sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/src/build/CMakeCache.txt" > "$dir/version"

# What the executable contains, from this build's own linker map, by the commit's own generator: its
# third-party notices and SBOM (CycloneDX). The commit's time, not the clock's, so each build of one
# commit gives the same bytes. A commit from before the generator has neither.
if [ -f "$dir/src/scripts/third_party.py" ]; then
  committed=$(TZ=UTC git -C "$repo" log -1 --format=%cd --date=format-local:%Y-%m-%dT%H:%M:%SZ "$commit")
  python3 "$dir/src/scripts/third_party.py" "$dir/src/build/tarnel.map" --exe "$dir/tarnel.exe" \
    --version "$(cat "$dir/version")" --commit "$commit" --time "$committed" \
    --notices "$dir/THIRD-PARTY-NOTICES.txt" --sbom "$dir/tarnel.cdx.json" || {
    echo "tarnel: no third-party notices for $commit: the link took in something unaccounted" >&2
    exit 2
  }
fi
