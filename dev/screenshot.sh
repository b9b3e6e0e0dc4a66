#!/usr/bin/env bash
# Makes docs/resource-error.png, the picture in the README: the real "Resource Error" dialog of tarnel.exe,
# started under Wine on Xvfb in an empty application folder, cropped to the dialog.
#   dev/screenshot.sh [OUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine64-preloader xvfb xauth
             imagemagick xdotool)
# shellcheck source=dev/deps.sh
source dev/deps.sh

# On Xvfb's display (started below): runs the launcher, photographs its dialog, answers it.
if [ "${1:-}" = --on-display ]; then
  out=$2
  (cd build/screenshot && exec "$tarnel_wine" ../tarnel.exe) &
  launcher=$!
  window=$(timeout 60 xdotool search --sync --name '^Resource Error$' | head -n 1) || {
    echo "screenshot: no \"Resource Error\" window appeared within 60 s" >&2
    kill "$launcher" 2>/dev/null || true
    exit 1
  }
  sleep 1  # the window is mapped before Wine has painted it
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # shellcheck disable=SC2153 # set by the eval above
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -strip \
    -define png:exclude-chunks=date,time "$out"
  xdotool key --window "$window" Return
  status=0
  wait "$launcher" || status=$?
  if [ "$status" -ne 255 ]; then
    echo "screenshot: tarnel.exe ended with status $status, not 255 (its -1)" >&2
    exit 1
  fi
  exit 0
fi

out=${1:-docs/resource-error.png}
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
cmake --preset mingw-release >/dev/null
cmake --build --preset mingw-release --target tarnel >/dev/null

# An application folder without embeddables\: the first check fails.
rm -rf build/screenshot
mkdir -p build/screenshot
tarnel_wine_prefix

# Without a window manager (Xvfb has none) Wine draws the caption itself only when told to; the setting
# is taken away again, whatever happens.
wine_x11='HKCU\Software\Wine\X11 Driver'
undecorate() {
  "$tarnel_wine" reg delete "$wine_x11" /v Decorated /f >/dev/null 2>&1 || true
  "$tarnel_wineserver" -w
}
trap undecorate EXIT
"$tarnel_wine" reg add "$wine_x11" /v Decorated /d N /f >/dev/null
"$tarnel_wineserver" -w

xvfb-run -a -s "-screen 0 640x400x24" "$0" --on-display "$out"
echo "screenshot: $out ($(identify -format '%wx%h' "$out"))"
