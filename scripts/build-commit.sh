#!/usr/bin/env bash
# Builds tarnel.exe from a clean copy of one commit: scripts/build-commit.sh REV DIR [--icon FILE]
# Unpacks `git archive REV` into DIR/src, builds only the launcher there and leaves DIR/tarnel.exe,
# DIR/version (the CMake project's version) and DIR/toolchain (what built it, as BUILDINFO lines).
# Beside them: DIR/THIRD-PARTY-NOTICES.txt and DIR/tarnel.cdx.json, made from the build's linker map.
# release.sh and verify.sh both build this way, so a rebuild is made exactly as the release was.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

# The commit's bytes as git stores them, whoever runs this: git archive would apply the system's, the
# user's and the clone's attributes (filters, end-of-line conversion) to what it writes.
export GIT_ATTR_NOSYSTEM=1
git=(git -C "$repo" -c core.attributesFile=/dev/null -c core.autocrlf=false -c core.eol=lf)

if [ $# -lt 2 ]; then
  echo "usage: scripts/build-commit.sh REV DIR [--icon FILE]" >&2
  exit 2
fi
rev=$1 dir=$2
icon=()
if [ "${3-}" = --icon ]; then
  icon_file=$(realpath -e "${4:?--icon needs a file}")
  if ! problem=$(/usr/bin/python3 "$repo/scripts/release_zip.py" icon "$icon_file"); then
    echo "tarnel: the icon $4 cannot be built in: $problem" >&2
    exit 2
  fi
  icon=("-DTARNEL_ICON=$icon_file")
fi

commit=$("${git[@]}" rev-parse --verify --quiet "$rev^{commit}") || {
  echo "tarnel: unknown revision '$rev' in $repo (fetch it first?)" >&2
  exit 2
}
# Attributes that no option switches off: the clone's own file, and filters or substitutions that the
# commit's .gitattributes would hand to this machine's configuration.
info_attributes=$("${git[@]}" rev-parse --git-path info/attributes)
[[ $info_attributes == /* ]] || info_attributes=$repo/$info_attributes
if [ -f "$info_attributes" ] && grep -q -v -E '^[[:space:]]*(#|$)' "$info_attributes"; then
  echo "tarnel: $info_attributes sets attributes that would change the commit's files; empty it to build" >&2
  exit 2
fi
while IFS= read -r -d '' path; do
  if "${git[@]}" cat-file blob "$commit:$path" | grep -q -E '(filter|export-subst|working-tree-encoding)'; then
    echo "tarnel: $path in $commit asks for filters or substitutions; a build takes the commit's bytes as stored" >&2
    exit 2
  fi
done < <("${git[@]}" ls-tree -r -z --name-only "$commit" | grep -z -E '(^|/)\.gitattributes$' || true)
mkdir -p "$dir/src"
"${git[@]}" archive "$commit" | tar -x -C "$dir/src"

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
