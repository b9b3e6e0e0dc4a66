#!/usr/bin/env bash
# Builds tarnel.exe and the test suite with mingw-w64 and runs the suite through Wine, under Xvfb so that
# the error dialogs really appear and can be answered.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

cmake --preset mingw-release
cmake --build --preset mingw-release -j "$(nproc)"
xvfb-run -a ctest --preset mingw-release
