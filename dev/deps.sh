# shellcheck shell=bash
# Sourced by the other scripts: makes sure the cross toolchain, Wine, Xvfb, GoogleTest and the release
# tools are installed (Debian or Ubuntu; installing needs root), and gives Wine the settings every script
# runs it with, and the checks the scripts share. A script that needs only some of the packages names those
# in tarnel_need before sourcing.

# imagemagick: the release test makes a publisher's icon from a picture, as the README tells publishers to.
# wine64-preloader reserves the address ranges that Windows images need before the Linux loader can put
# anything there; without it a start now and then fails at random (wine64 only suggests it).
tarnel_packages=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools wine64
                 wine64-preloader xvfb xauth googletest
                 git zip unzip osslsigncode openssl ca-certificates softhsm2 libengine-pkcs11-openssl python3
                 python3-asn1crypto python3-cryptography g++-mingw-w64-x86-64-win32 imagemagick)
# npm for the SBOM's validator (tests/release/test_notices.py), only where there is none: a Node.js from
# elsewhere conflicts with Debian's npm package.
command -v npm >/dev/null || tarnel_packages+=(npm)
# What the release chain needs (release.sh, verify.sh, its tests): git, Debian's Python and its readers of PE
# files, signatures, copyright files and licence expressions, osslsigncode, and what makes the build root
# (mmdebstrap, bubblewrap; uidmap for a user who is not root). The compilers are the root's, not these.
# "@release" in tarnel_need.
tarnel_release_packages=(git python3 python3-asn1crypto python3-cryptography python3-pefile python3-debian
                         python3-license-expression mmdebstrap bubblewrap uidmap osslsigncode openssl
                         ca-certificates)
tarnel_packages+=("${tarnel_release_packages[@]}" python3-pytest)
if [ -n "${tarnel_need+set}" ]; then
  tarnel_packages=()
  for package in "${tarnel_need[@]}"; do
    if [ "$package" = @release ]; then
      tarnel_packages+=("${tarnel_release_packages[@]}")
    else
      tarnel_packages+=("$package")
    fi
  done
fi
tarnel_missing=()
for package in "${tarnel_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || tarnel_missing+=("$package")
done
if [ "${#tarnel_missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "tarnel: missing packages: ${tarnel_missing[*]}; install them as root (apt-get install ...)" >&2
    exit 1
  fi
  echo "tarnel: installing ${tarnel_missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${tarnel_missing[@]}"
fi

# Wine stores Windows file names on the Linux side in the locale's encoding: under a locale that is not
# UTF-8 (none at all, as in a container or a fresh server) a name such as "日本" cannot be created. C.UTF-8
# is always there on Debian; a caller's own UTF-8 locale is kept.
if [ "$(locale charmap 2>/dev/null)" != "UTF-8" ]; then
  export LC_ALL=C.UTF-8
fi

# The same private prefix in the build tree as the toolchain file gives CTest. Without mscoree and mshtml
# Wine does not offer to download Mono and Gecko.
WINEPREFIX="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/wineprefix"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
tarnel_wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
tarnel_wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# Creates or updates the prefix and waits until Wine has finished with it: the first start of Wine goes
# on setting the prefix up in the background, and a program started meanwhile can fail at random. Only
# the set-up's known chatter is held back (its notes on the prefix, and the 32-bit rundll32.exe that a
# 64-bit-only Wine cannot start); any other message comes through.
tarnel_wine_prefix() {
  local output status=0
  [ -f "$WINEPREFIX/system.reg" ] || echo "tarnel: setting up the Wine prefix $WINEPREFIX (about 15 s)"
  mkdir -p "$(dirname "$WINEPREFIX")"
  output=$("$tarnel_wine" wineboot --init 2>&1) || status=$?
  grep -v -E '^wine: (created the configuration directory|configuration in .* has been updated)' <<<"$output" |
    grep -v -E '^wine: failed to open .*syswow64.{1,2}rundll32\.exe.*c0000135' >&2 || true
  "$tarnel_wineserver" -w
  if [ "$status" -ne 0 ]; then
    echo "tarnel: Wine could not set up its prefix (wineboot status $status)" >&2
    exit 1
  fi
}

# npm install into a folder of the build tree, pinned packages only. The system's npm settings (a
# network's certificate authority, say) are in /etc/npmrc, which an npm not installed by Debian does not
# read on its own; bounded, so that an unreachable registry fails instead of hanging.
tarnel_npm_install() {  # PREFIX PACKAGE@VERSION...
  local prefix=$1 settings=(--fetch-retries=2 --fetch-timeout=60000)
  shift
  [ ! -r /etc/npmrc ] || settings+=(--globalconfig /etc/npmrc)
  npm install "${settings[@]}" --loglevel=error --no-save --no-audit --no-fund --prefix "$prefix" "$@"
}
