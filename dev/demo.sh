#!/usr/bin/env bash
# Builds tarnel.exe and runs it under Wine on a small demo application: build/demo holds embeddables\
# with a stand-in pythonw.exe that writes down what it was given, and build\tarnel.py. Then runs it on
# Xvfb in a folder that lacks build\tarnel.py, and shows the dialog it puts up.
set -euo pipefail
cd "$(dirname "$0")/.."
source dev/deps.sh

# On Xvfb's display (started at the end): the launcher in the broken folder, and dialog_reader.exe, which
# reads its dialog through the Windows functions and presses OK.
if [ "${1:-}" = --on-display ]; then
  (cd "$2" && exec "$tarnel_wine" ../tarnel.exe) &
  launcher=$!
  reader=0
  "$tarnel_wine" build/dialog_reader.exe 60 | sed 's/^/  /' || reader=$?
  status=0
  wait "$launcher" || status=$?
  echo "tarnel.exe ended with status $status$([ "$status" -eq 255 ] && echo ': its -1, as before')."
  # End Wine's session while the display is still there: a Wine process that outlives Xvfb complains
  # ("X connection to :100 broken").
  "$tarnel_wineserver" -w
  exit "$reader"
fi

cmake --preset mingw-release >/dev/null
cmake --build --preset mingw-release --target tarnel standin dialog_reader

app=build/demo
rm -rf "$app"
mkdir -p "$app/embeddables" "$app/build"
cp build/standin.exe "$app/embeddables/pythonw.exe"
echo "print('hello from the application')" > "$app/build/tarnel.py"
echo
echo "Demo application folder $app:"
(cd "$app" && find . -mindepth 1 | sort | sed 's/^/  /')
tarnel_wine_prefix

# The stand-in writes its report to build/demo-report.txt, which it knows by its Windows name.
rm -f build/demo-report.txt
TARNEL_STANDIN_RECORD=$("$tarnel_wine" winepath -w "$PWD/build/demo-report.txt" | tr -d '\r')
export TARNEL_STANDIN_RECORD
echo
echo "Running tarnel.exe in $app with the arguments: some ignored arguments"
status=0
(cd "$app" && "$tarnel_wine" ../tarnel.exe some ignored arguments) || status=$?
if [ "$status" -eq 255 ]; then
  echo "tarnel.exe ended with status 255: its -1, which Wine shows to Linux as one byte."
else
  echo "tarnel.exe ended with status $status."
fi
echo
if [ ! -f build/demo-report.txt ]; then
  echo "The interpreter did not run."
  exit 1
fi
echo "The interpreter (the stand-in pythonw.exe) reported:"
printf '%s\n' "(The stand-in is a small Windows program, not Python: it writes down how it was started and does" \
  ' not run build\tarnel.py. Under Wine the Linux root / is drive Z:, hence the Z:\... below.)'
# Of the report, what the launcher decides: the command line, the directory, the environment it passes on
# (the variable set above for tarnel.exe, and a count: the rest is Wine's), and that it waited.
iconv -f UTF-16LE -t UTF-8 build/demo-report.txt | awk -F= '
  $1 == "command" { sub(/^command=/, ""); id = $0; sub(/.*--pid=/, "", id)
                    print "  its command line:      " $0 "   (" id ": the id of tarnel.exe)" }
  $1 == "directory" { print "  its current directory: " substr($0, 11) }
  $1 == "pid" { print "  its own process id:    " $2 }
  $1 == "environment" { n = split(substr($0, 13), variables, "\037") - 1
                        print "  its environment:       " n " variables, inherited from tarnel.exe, among them"
                        for (i = 1; i <= n; i++) if (variables[i] ~ /^TARNEL_STANDIN_RECORD=/) print "    " variables[i] }
  $1 == "launcher-running-at-end" { print "  tarnel.exe still waiting for it when it ended: " $2 }'

broken=build/demo-broken
rm -rf "$broken"
mkdir -p "$broken/embeddables"
cp build/standin.exe "$broken/embeddables/pythonw.exe"
echo
printf '%s\n' "A broken application folder $broken, without build\\tarnel.py:"
(cd "$broken" && find . -mindepth 1 | sort | sed 's/^/  /')
echo "Running tarnel.exe there; its dialog says:"
# Wine's session so far had no display: let it end, so that the next one starts on Xvfb's.
"$tarnel_wineserver" -w
xvfb-run -a "$0" --on-display "$broken"
