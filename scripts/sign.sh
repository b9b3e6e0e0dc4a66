#!/usr/bin/env bash
# Signs a Windows executable with an Authenticode SHA-256 signature through osslsigncode.
#   scripts/sign.sh IN OUT (--pkcs12 FILE | --cert FILE --key FILE | --pkcs11-module SO --pkcs11-uri URI --cert FILE)
#                   [--password-env VAR | --password-file FILE] [--timestamp URL]... [--name TEXT] [--url URL]
#                   [--resign]
# The password or PIN comes from an environment variable (TARNEL_SIGN_PASSWORD by default) or a file,
# never from the command line, and is handed to the tools through a pipe. IN is never changed; OUT
# appears, whole, only once signing has succeeded (IN and OUT may be the same file).
set -euo pipefail

fail() {
  echo "sign.sh: $*" >&2
  exit 1
}
usage() {
  sed -n '2,4s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

[ $# -ge 2 ] || usage
in=$1 out=$2
shift 2
pkcs12='' cert='' key='' module='' uri='' password_env='' password_file='' name='' url='' resign=0
timestamps=()
while [ $# -gt 0 ]; do
  case $1 in
    --pkcs12) pkcs12=${2:?--pkcs12 needs a file}; shift ;;
    --cert) cert=${2:?--cert needs a file}; shift ;;
    --key) key=${2:?--key needs a file}; shift ;;
    --pkcs11-module) module=${2:?--pkcs11-module needs a library}; shift ;;
    --pkcs11-uri) uri=${2:?--pkcs11-uri needs a pkcs11: URI}; shift ;;
    --password-env) password_env=${2:?--password-env needs a variable name}; shift ;;
    --password-file) password_file=${2:?--password-file needs a file}; shift ;;
    --timestamp) timestamps+=("${2:?--timestamp needs a URL}"); shift ;;
    --name) name=${2:?--name needs a text}; shift ;;
    --url) url=${2:?--url needs a URL}; shift ;;
    --resign) resign=1 ;;
    --password | --pin | --pass) fail "$1 is not accepted: a password on the command line is visible to every local user; use --password-env VAR or --password-file FILE" ;;
    *) echo "sign.sh: unknown option $1" >&2; usage ;;
  esac
  shift
done

if [ -n "$pkcs12" ]; then
  [ -z "$cert$key$module$uri" ] || fail "--pkcs12 goes alone: not with --cert, --key or the --pkcs11 options"
  source=pkcs12
elif [ -n "$module$uri" ]; then
  if [ -z "$module" ] || [ -z "$uri" ] || [ -z "$cert" ] || [ -n "$key" ]; then
    fail "a token needs --pkcs11-module SO, --pkcs11-uri pkcs11:... and --cert FILE (the token's certificate)"
  fi
  [[ $uri == pkcs11:* ]] || fail "--pkcs11-uri must be a pkcs11: URI, for example 'pkcs11:token=MyToken;object=MyKey'"
  # A PIN in the address would reach osslsigncode's command line, where every local user can read it.
  shopt -s nocasematch
  [[ $uri != *pin-value* && $uri != *pin-source* ]] ||
    fail "--pkcs11-uri may not hold pin-value or pin-source: give the PIN with --password-env VAR or --password-file FILE"
  shopt -u nocasematch
  source=pkcs11
elif [ -n "$cert$key" ]; then
  [ -n "$cert" ] || fail "--key needs --cert FILE, its certificate"
  [ -n "$key" ] || fail "--cert needs --key FILE (or --pkcs11-module and --pkcs11-uri for a key on a token)"
  source=pem
else
  fail "no key given: use --pkcs12 FILE, --cert FILE --key FILE, or --pkcs11-module SO --pkcs11-uri URI --cert FILE"
fi

# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(osslsigncode openssl libengine-pkcs11-openssl)
# shellcheck source=dev/deps.sh
source "$(dirname "$0")/../dev/deps.sh"

# The input: an existing PE executable.
[ -f "$in" ] || fail "$in: no such file"
[ -r "$in" ] || fail "$in: not readable"
tarnel_is_pe "$in" || fail "$in is not a Windows executable (no PE header); nothing was signed"
for file in "$pkcs12" "$cert" "$key" "$password_file"; do
  [ -z "$file" ] || [ -r "$file" ] || fail "$file: no such file, or not readable"
done
[ -d "$(dirname "$out")" ] || fail "$(dirname "$out"): no such folder for the output"
[ ! -d "$out" ] || fail "$out is a folder; name the signed file to write"
# A password file that others can read has given the secret away already.
if [ -n "$password_file" ] && [ -f "$password_file" ] && [ $((8#$(stat -L -c %a "$password_file") & 8#044)) -ne 0 ]; then
  fail "$password_file can be read by other users (chmod go-r it, and change the password it holds)"
fi

# The secret: from the named variable, a file, or TARNEL_SIGN_PASSWORD; none for an unprotected key.
have_password=0 password=''
if [ -n "$password_file" ]; then
  password=$(cat "$password_file")
  have_password=1
elif [ -n "$password_env" ]; then
  [ -n "${!password_env+set}" ] || fail "the variable $password_env named by --password-env is not set"
  password=${!password_env}
  have_password=1
elif [ -n "${TARNEL_SIGN_PASSWORD+set}" ]; then
  password=$TARNEL_SIGN_PASSWORD
  have_password=1
fi
# Commands read the secret from a pipe (fd 3 for openssl, a /dev/fd path for osslsigncode); printf is a
# shell builtin, so the secret is in no process's arguments.
with_secret() {
  "$@" 3< <(printf '%s' "$password")
}
passin=(-passin pass:)
[ "$have_password" = 0 ] || passin=(-passin fd:3)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The signer's certificate, checked before any signing: a clear word beats osslsigncode's error stack.
case $source in
  pkcs12)
    if ! with_secret openssl pkcs12 -in "$pkcs12" "${passin[@]}" -nokeys -clcerts -out "$work/signer.pem" 2> "$work/err" &&
       ! with_secret openssl pkcs12 -legacy -in "$pkcs12" "${passin[@]}" -nokeys -clcerts -out "$work/signer.pem" 2>> "$work/err"; then
      if grep -q -i 'mac verify\|invalid password' "$work/err"; then
        fail "wrong password for $pkcs12 (or none given: --password-env VAR, --password-file FILE)"
      fi
      fail "$pkcs12 is not a readable PKCS#12 file: $(head -n 1 "$work/err")"
    fi
    ;;
  pem | pkcs11)
    openssl x509 -in "$cert" -out "$work/signer.pem" 2> /dev/null ||
      openssl x509 -inform DER -in "$cert" -out "$work/signer.pem" 2> /dev/null ||
      fail "$cert holds no certificate (PEM or DER)"
    ;;
esac
if [ "$source" = pem ]; then
  if ! with_secret openssl pkey -in "$key" "${passin[@]}" -pubout -out "$work/key.pub" 2> /dev/null; then
    [ "$have_password" = 0 ] ||
      fail "wrong password for $key (or it is not a private key)"
    fail "cannot read the private key $key (encrypted? give its password with --password-env or --password-file)"
  fi
  openssl x509 -in "$work/signer.pem" -noout -pubkey > "$work/cert.pub"
  cmp -s "$work/key.pub" "$work/cert.pub" || fail "the key $key does not belong to the certificate $cert"
fi
subject=$(openssl x509 -in "$work/signer.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
openssl x509 -in "$work/signer.pem" -noout -checkend 0 > /dev/null ||
  fail "the certificate of $subject expired on $(openssl x509 -in "$work/signer.pem" -noout -enddate | cut -d= -f2)"
not_before=$(date -d "$(openssl x509 -in "$work/signer.pem" -noout -startdate | cut -d= -f2)" +%s)
[ "$not_before" -le "$(date +%s)" ] || fail "the certificate of $subject is not valid yet"
# Windows accepts a certificate without an extended key usage for anything; one that names purposes must
# name code signing, and a key usage, if present, must allow digital signatures.
extensions=$(openssl x509 -in "$work/signer.pem" -noout -ext extendedKeyUsage,keyUsage 2> /dev/null || true)
if grep -q 'Extended Key Usage' <<< "$extensions" && ! grep -q 'Code Signing' <<< "$extensions"; then
  fail "the certificate of $subject is not for code signing (its extended key usage lacks Code Signing)"
fi
if grep -q 'X509v3 Key Usage' <<< "$extensions" && ! grep -q 'Digital Signature' <<< "$extensions"; then
  fail "the certificate of $subject may not make digital signatures (key usage)"
fi

# A signed input is refused unless --resign, which signs a copy without the old signature.
unsigned=$in
if osslsigncode extract-signature -in "$in" -out "$work/old.p7" > /dev/null 2>&1; then
  [ "$resign" = 1 ] || fail "$in is already signed; add --resign to replace its signature"
  osslsigncode remove-signature -in "$in" -out "$work/unsigned.exe" > /dev/null
  unsigned=$work/unsigned.exe
fi

key_options=()
case $source in
  pkcs12) key_options=(-pkcs12 "$pkcs12") ;;
  pem) key_options=(-certs "$cert" -key "$key") ;;
  pkcs11)
    [ -r "$module" ] || fail "PKCS#11 module $module not found (the token's driver library)"
    # OpenSSL finds the engine by its id in its own engines folder. Naming the engine's file instead
    # (-pkcs11engine) fails with osslsigncode 2.5, which hands the path to the engine as its id.
    engines=$(openssl version -e | sed 's/^ENGINESDIR: "\(.*\)"$/\1/')
    [ -e "$engines/pkcs11.so" ] || fail "the OpenSSL PKCS#11 engine is missing ($engines/pkcs11.so): install libengine-pkcs11-openssl"
    key_options=(-pkcs11module "$module" -certs "$cert" -key "$uri")
    ;;
esac
[ "$have_password" = 0 ] || key_options+=(-readpass /dev/fd/3)
[ -z "$name" ] || key_options+=(-n "$name")
[ -z "$url" ] || key_options+=(-i "$url")
for server in "${timestamps[@]}"; do
  key_options+=(-ts "$server")
done

# Signed in a private folder beside OUT (on its file system, where no other user can swap the partial
# file for a link), given its mode there, then renamed in one step: OUT is whole or absent.
partial_dir=$(mktemp -d "$(dirname "$out")/.sign.XXXXXX")
partial=$partial_dir/$(basename "$out")
# Stopping sign.sh stops osslsigncode too: it runs in the background, and the trap ends it.
signer_pid=''
trap '[ -z "$signer_pid" ] || kill "$signer_pid" 2> /dev/null || true; rm -rf "$work" "$partial_dir"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
status=0
(exec osslsigncode sign "${key_options[@]}" -h sha256 -in "$unsigned" -out "$partial" 3< <(printf '%s' "$password")) \
  > "$work/log" 2>&1 &
signer_pid=$!
wait "$signer_pid" || status=$?
signer_pid=''
if [ "$status" -ne 0 ]; then
  if grep -q 'PIN incorrect\|PIN_INCORRECT' "$work/log"; then
    fail "wrong PIN for the token ($uri)"
  elif grep -q 'PIN_LOCKED\|PIN locked' "$work/log"; then
    fail "the token's PIN is locked"
  elif grep -q 'No matching initialized token\|object not found\|No token\|not found at' "$work/log"; then
    fail "no token or key matches $uri (is the token plugged in? pkcs11-tool --module $module -L lists them)"
  elif grep -q -i 'Engine\|DSO' "$work/log" && [ "$source" = pkcs11 ]; then
    fail "the PKCS#11 engine did not load: $(grep -m1 -i 'engine\|DSO' "$work/log")"
  elif [ "${#timestamps[@]}" -gt 0 ] && grep -q -i 'timestamp\|curl\|connect' "$work/log"; then
    fail "no time-stamp server answered (${timestamps[*]}): $(grep -m1 -i 'timestamp\|curl\|connect' "$work/log")"
  fi
  sed 's/^/  /' "$work/log" >&2
  fail "osslsigncode could not sign $in"
fi
chmod --reference="$in" "$partial"
mv -f -T "$partial" "$out"
echo "signed $out for $subject${timestamps:+ (time-stamped)}"
