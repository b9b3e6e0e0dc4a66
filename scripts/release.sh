#!/usr/bin/env bash
# Builds tarnel.exe from the committed tree (HEAD) by its recipe, in a clean copy, signs it when given
# signing options (those of scripts/sign.sh), and packs dist/tarnel-<version>-win64.zip:
#   scripts/release.sh [--icon FILE] [SIGNING OPTIONS]
# Two unsigned releases of one commit are the same bytes, whatever the releaser's settings. The work is
# release/build.py's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(@release)
icon_arguments=0
[ "${1-}" != --icon ] || icon_arguments=2
[ $# -le "$icon_arguments" ] || tarnel_need+=(osslsigncode openssl libengine-pkcs11-openssl)
# shellcheck source=dev/deps.sh
source "$root/dev/deps.sh"
exec /usr/bin/python3 -I "$root/release/__main__.py" release "$@"
