#!/usr/bin/env bash
# Builds tarnel.exe and the test suite with mingw-w64; proves the build reproducible (two clean builds of
# these sources, in other folders, must give the same bytes, and so must a build with the win32 thread
# model); then runs the suite through Wine, under Xvfb so that the error dialogs really appear and can be
# answered.
set -euo pipefail
cd "$(dirname "$0")/.."
source dev/deps.sh

cmake --preset mingw-release
cmake --build --preset mingw-release -j "$(nproc)"

echo
echo "Reproducibility: two clean builds in other folders, and one with the win32 thread model"
copies=$(mktemp -d)
trap 'rm -rf "$copies"' EXIT
# The third copy proves the launcher links nothing of a thread model: the posix compilers, which the tests
# need, and the win32 ones give the same bytes.
for copy in first second/deeper win32; do
  options=()
  [ "$copy" != win32 ] || options=(-DTARNEL_THREADS=win32)
  mkdir -p "$copies/$copy"
  tar -cf - --exclude='./build*' --exclude=./.git . | tar -xf - -C "$copies/$copy"
  (cd "$copies/$copy" &&
     cmake --preset mingw-release -DTARNEL_TESTS=OFF -DTARNEL_BENCH=OFF "${options[@]}" >/dev/null &&
     cmake --build --preset mingw-release --target tarnel >/dev/null)
done
sha256sum "$copies"/first/build/tarnel.exe "$copies"/second/deeper/build/tarnel.exe "$copies"/win32/build/tarnel.exe \
  build/tarnel.exe
if ! cmp -s "$copies"/first/build/tarnel.exe "$copies"/second/deeper/build/tarnel.exe; then
  echo "NOT reproducible: the two clean builds differ." >&2
  exit 1
fi
echo "Reproducible: the two clean builds are the same bytes."
if ! cmp -s "$copies"/first/build/tarnel.exe "$copies"/win32/build/tarnel.exe; then
  echo "The thread model changes the launcher: the win32 build differs (compare the two build/tarnel.map)." >&2
  exit 1
fi
echo "The win32 thread model gives the same bytes: the launcher links nothing of either."
echo

tarnel_wine_prefix
# The launcher's suite, then the release chain's, whose pytest run prints a line per test as it goes (its
# first run on a machine also makes the build root, some minutes).
xvfb-run -a ctest --preset mingw-release -LE release
xvfb-run -a ctest --preset mingw-release -L release -V
