#!/usr/bin/env bash
# Builds tarnel.exe and runs it under Wine on a small demo application: build/demo holds embeddables\
# with a stand-in pythonw.exe that writes down what it was given, and build\tarnel.py.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

cmake --preset mingw-release >/dev/null
cmake --build --preset mingw-release --target tarnel standin

app=build/demo
rm -rf "$app"
mkdir -p "$app/embeddables" "$app/build"
cp build/standin.exe "$app/embeddables/pythonw.exe"
echo "print('hello from the application')" > "$app/build/tarnel.py"
echo
echo "Demo application folder $app:"
(cd "$app" && find . -mindepth 1 | sort | sed 's/^/  /')

export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
# The stand-in writes its report here (a Windows path to the same file, through Wine's Z: drive).
export TARNEL_STANDIN_RECORD="Z:$(pwd -P | tr / '\\')\\build\\demo-report.txt"
rm -f build/demo-report.txt
echo
echo "Running tarnel.exe in $app (the first start of Wine sets up its prefix, about 10 s) ..."
status=0
(cd "$app" && "$wine" ../tarnel.exe some ignored arguments) || status=$?
echo "tarnel.exe ended with status $status (Wine shows -1 to Linux as 255)."
echo
echo "The interpreter reported:"
iconv -f UTF-16LE -t UTF-8 build/demo-report.txt | sed 's/^/  /'
