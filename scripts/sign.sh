#!/usr/bin/env bash
# Signs a Windows executable with an Authenticode SHA-256 signature through osslsigncode.
#   scripts/sign.sh IN OUT (--pkcs12 FILE | --cert FILE --key FILE | --pkcs11-module SO --pkcs11-uri URI --cert FILE)
#                   [--password-env VAR | --password-file FILE] [--timestamp URL]... [--name TEXT] [--url URL]
#                   [--resign]
# The work is release/sign.py's; this entry point installs what it needs and hands over.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(osslsigncode openssl libengine-pkcs11-openssl python3 python3-asn1crypto python3-cryptography
             python3-pefile)
# shellcheck source=dev/deps.sh
source "$root/dev/deps.sh"
exec /usr/bin/python3 -I "$root/release/__main__.py" sign "$@"
