#!/usr/bin/env bash
# Is a download the release of a public commit? It is made again here, by the commit's own recipe, and
# compared byte for byte; every signature is judged on its own.
#   scripts/verify.sh FILE [--rev REV] [--ca FILE] [--require-signature] [--icon FILE] [--json]
#                          [--build-cache DIR]
# Exit status: 0 VERIFIED, 1 NOT VERIFIED, 2 COULD NOT CHECK. The work is release/verify.py's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(@release)
# shellcheck source=dev/deps.sh
source "$root/dev/deps.sh"
exec /usr/bin/python3 -I "$root/release/__main__.py" verify "$@"
