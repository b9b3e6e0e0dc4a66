# shellcheck shell=bash
# Sourced by the other scripts: makes sure the cross toolchain, Wine, Xvfb and GoogleTest are installed,
# and the release tools (Debian or Ubuntu; installing needs root). A script that needs only some of them
# names those in tarnel_need before sourcing this.
tarnel_packages=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools wine64 xvfb xauth
                 googletest
                 git zip unzip osslsigncode openssl ca-certificates softhsm2 libengine-pkcs11-openssl python3)
if [ -n "${tarnel_need+set}" ]; then
  tarnel_packages=("${tarnel_need[@]}")
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
