#!/usr/bin/env bash
# Builds tarnel.exe, the reference launcher and the benchmark, and runs the benchmark under Wine.
# Arguments go to the benchmark: --runs R, --rounds N, --json.
set -euo pipefail
cd "$(dirname "$0")/.."
source dev/deps.sh

cmake --preset mingw-release >/dev/null
cmake --build --preset mingw-release --target bench >/dev/null
tarnel_wine_prefix
"$tarnel_wine" build/bench.exe "$@"
