#!/usr/bin/env bash
# Builds tarnel.exe and the test suite with mingw-w64; proves the build reproducible (two clean builds of
# these sources, in other folders, must give the same bytes); then runs the suite through Wine, under Xvfb
# so that the error dialogs really appear and can be answered.
set -euo pipefail
cd "$(dirname "$0")/.."
source dev/deps.sh

cmake --preset mingw-release
cmake --build --preset mingw-release -j "$(nproc)"

echo
echo "Reproducibility: two clean builds in other folders"
copies=$(mktemp -d)
trap 'rm -rf "$copies"' EXIT
for copy in first second/deeper; do
  mkdir -p "$copies/$copy"
  tar -cf - --exclude='./build*' --exclude=./.git . | tar -xf - -C "$copies/$copy"
  (cd "$copies/$copy" && cmake --preset mingw-release -DTARNEL_TESTS=OFF -DTARNEL_BENCH=OFF >/dev/null &&
     cmake --build --preset mingw-release --target tarnel >/dev/null)
done
sha256sum "$copies"/first/build/tarnel.exe "$copies"/second/deeper/build/tarnel.exe build/tarnel.exe
if ! cmp -s "$copies"/first/build/tarnel.exe "$copies"/second/deeper/build/tarnel.exe; then
  echo "NOT reproducible: the two clean builds differ." >&2
  exit 1
fi
echo "Reproducible: the two clean builds are the same bytes."
echo

tarnel_wine_prefix
xvfb-run -a ctest --preset mingw-release
