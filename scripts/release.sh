#!/usr/bin/env bash
# Builds tarnel.exe from the committed tree (HEAD) by its recipe, in a clean copy, signs it when given
# signing options (those of scripts/sign.sh), and packs dist/tarnel-<version>-win64.zip (-signed.zip when
# signed; a different file of that name is never replaced):
#   scripts/release.sh [--icon FILE] [--keep-debs DIR] [SIGNING OPTIONS]
# The build runs in a pinned Debian 12 root (release/buildroot.py); --keep-debs saves its .deb files, which
# keep the release verifiable when the archive has moved on. Two unsigned releases of one commit are the
# same bytes, whatever the releaser's settings. The work is release/build.py's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(@release libengine-pkcs11-openssl)
# shellcheck source=dev/deps.sh
source "$root/dev/deps.sh"
exec /usr/bin/python3 -I "$root/release/__main__.py" release "$@"
