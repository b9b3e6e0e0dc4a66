#!/usr/bin/env bash
# Checks that a shipped tarnel.exe (or a release zip) is the build of a public commit:
#   scripts/verify.sh FILE [--rev REV] [--ca FILE] [--require-signature] [--icon FILE]
# Rebuilds REV (default: the commit in the zip's BUILDINFO, else HEAD) from a clean copy, removes the
# signature from a copy of the shipped executable and compares the bytes; checks the signature.
# Exit status: 0 verified, 1 not verified (the verdict says which check failed), 2 could not check.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

cannot() {
  echo "verify.sh: could not check: $*" >&2
  exit 2
}
# Any other failure is a check that could not be made, never a "not verified".
trap 'cannot "unexpected failure at line $LINENO"' ERR
[ $# -ge 1 ] || { sed -n '2,3s/^# \{0,1\}//p' "$0" >&2; exit 2; }
file=$1
shift
rev='' ca='' icon=() require_signature=0
while [ $# -gt 0 ]; do
  case $1 in
    --rev) rev=${2:?--rev needs a revision}; shift ;;
    --ca) ca=${2:?--ca needs a certificate file}; shift ;;
    --icon) icon=(--icon "${2:?--icon needs an .ico file}"); shift ;;
    --require-signature) require_signature=1 ;;
    *) cannot "unknown option $1" ;;
  esac
  shift
done
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 git unzip osslsigncode openssl
             ca-certificates)
# shellcheck source=scripts/deps.sh
source "$repo/scripts/deps.sh"

# Everything that can make the check impossible is settled before the build starts.
if [ ! -f "$file" ] || [ ! -r "$file" ]; then cannot "$file: no such file, or not readable"; fi
[ -z "$ca" ] || [ -r "$ca" ] || cannot "$ca: no such file, or not readable"
[ "${#icon[@]}" -eq 0 ] || [ -r "${icon[1]}" ] || cannot "${icon[1]}: no such file, or not readable"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=()  # the checks that failed, in the verdict's words
buildinfo=''
if [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = 504b0304 ]; then
  mkdir "$work/zip"
  unzip -q "$file" -d "$work/zip" 2> /dev/null || cannot "$file: the zip cannot be unpacked"
  [ -f "$work/zip/tarnel.exe" ] || cannot "$file holds no tarnel.exe"
  if [ ! -f "$work/zip/SHA256SUMS" ]; then
    sums="MISSING"
    failed+=("SHA256SUMS")
  elif (cd "$work/zip" && sha256sum -c --strict --quiet SHA256SUMS > "$work/sums.log" 2>&1); then
    sums="ok, every member matches"
    unlisted=$(cd "$work/zip" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort |
               comm -23 - <(sed 's/^[0-9a-f]*  \**//' SHA256SUMS | sort) | tr '\n' ' ')
    [ -z "$unlisted" ] || { sums="members not listed: $unlisted"; failed+=("SHA256SUMS"); }
  else
    sums="FAILED: $(grep -v '^sha256sum' "$work/sums.log" | tr '\n' ' ')"
    failed+=("SHA256SUMS")
  fi
  [ ! -f "$work/zip/BUILDINFO" ] || buildinfo=$work/zip/BUILDINFO
  exe=$work/zip/tarnel.exe
else
  exe=$file
fi
tarnel_is_pe "$exe" || cannot "$file is not a Windows executable (no PE header)"
field() { [ -z "$buildinfo" ] || sed -n "s/^$1: //p" "$buildinfo"; }
[ -n "$rev" ] || rev=$(field commit)
[ -n "$rev" ] || rev=HEAD
commit=$(git -C "$repo" rev-parse --verify --quiet "$rev^{commit}") ||
  cannot "unknown revision '$rev' in $repo (git fetch it, or name one with --rev)"

# Whether the signature itself is intact, whoever made it: the signed attributes verify with the signer's
# public key, and their message digest is that of the signed content (which holds the file's digest,
# compared separately). This needs no trusted root, which a chain check (osslsigncode verify) does.
signature_is_intact() {  # SIGNATURE.der SIGNER.pem
  local der=$1 signer=$2 layout
  # Offsets (start, header length, length) of the signed content, the signed attributes and the signature,
  # and the names of the digest algorithm and the message digest, from the first signer's information.
  layout=$(openssl asn1parse -inform DER -in "$der" | awk '
    { split($1, at, ":"); offset = at[1]; depth = substr(at[2], 3)
      match($0, /hl= *[0-9]+/); hl = substr($0, RSTART + 3, RLENGTH - 3) + 0
      match($0, / l= *[0-9]+ /); len = substr($0, RSTART + 3, RLENGTH - 4) + 0 }
    depth == 4 && /cont \[ 0 \]/ && !content { content_next = 1; next }
    content_next && depth == 5 { content = offset " " hl " " len; content_next = 0 }
    depth == 3 && /cons: SET/ { signers = 1; algorithm = ""; attributes = ""; signature = ""; digest = "" }
    signers && depth == 6 && /OBJECT/ && algorithm == "" { algorithm = $NF; sub(/^:/, "", algorithm) }
    signers && depth == 5 && /cont \[ 0 \]/ && attributes == "" { attributes = offset " " hl " " len }
    attributes != "" && /:messageDigest/ && digest == "" { digest_next = 1 }
    digest_next && /OCTET STRING/ { digest = $NF; sub(/.*:/, "", digest); digest_next = 0 }
    attributes != "" && depth == 5 && /OCTET STRING/ && signature == "" { signature = offset " " hl " " len }
    END { print "content", content; print "attributes", attributes; print "signature", signature
          print "algorithm", algorithm; print "digest", digest }')
  local content algorithm digest c_off c_hl c_len a_off a_hl a_len s_off s_hl s_len
  read -r _ c_off c_hl c_len < <(grep '^content ' <<< "$layout") || return 1
  read -r _ a_off a_hl a_len < <(grep '^attributes ' <<< "$layout") || return 1
  read -r _ s_off s_hl s_len < <(grep '^signature ' <<< "$layout") || return 1
  algorithm=$(sed -n 's/^algorithm //p' <<< "$layout")
  digest=$(sed -n 's/^digest //p' <<< "$layout")
  [ -n "$algorithm" ] && [ -n "$digest" ] || return 1
  # Authenticode digests the signed content without its own tag and length.
  content=$(tail -c +$((c_off + c_hl + 1)) "$der" | head -c "$c_len" | openssl dgst "-$algorithm" -r | cut -d ' ' -f 1)
  [ "${content^^}" = "${digest^^}" ] || return 1
  # The signature covers the attributes encoded as a SET, where the message carries them as [0].
  { printf '\061'; tail -c +$((a_off + 2)) "$der" | head -c $((a_hl + a_len - 1)); } > "$work/attributes.der"
  tail -c +$((s_off + s_hl + 1)) "$der" | head -c "$s_len" > "$work/signature.bin"
  openssl x509 -in "$signer" -noout -pubkey > "$work/signer.pub"
  openssl dgst "-$algorithm" -verify "$work/signer.pub" -signature "$work/signature.bin" "$work/attributes.der" > /dev/null 2>&1
}

# The signature: present or not; intact (the file's digest and the signature over it); whose.
signed=0
if osslsigncode extract-signature -in "$exe" -out "$work/extracted" > /dev/null 2>&1; then
  signed=1
  # osslsigncode 2.5 keeps the certificate table entry's 8-byte header and padding; 2.9 gives the bare
  # PKCS#7 message. The message is as long as its outermost header says.
  skip=0
  [ "$(head -c 1 "$work/extracted" | od -An -tx1 | tr -d ' ')" = 30 ] || skip=8
  # (asn1parse fails on the padding after the message, having printed the header wanted here.)
  length=$(tail -c +$((skip + 1)) "$work/extracted" | { openssl asn1parse -inform DER 2> /dev/null || true; } |
           sed -n '1s/.*hl= *\([0-9]*\) *l= *\([0-9]*\).*/\1 + \2/p')
  tail -c +$((skip + 1)) "$work/extracted" | head -c $((${length:-0})) > "$work/signature.der"
  osslsigncode remove-signature -in "$exe" -out "$work/shipped.exe" > /dev/null 2>&1 ||
    cannot "the signature cannot be removed from $file"
  openssl pkcs7 -inform DER -in "$work/signature.der" -print_certs -out "$work/embedded.pem" 2> /dev/null || : > "$work/embedded.pem"
  # osslsigncode reports the file's digests and the time stamp; its verdict counts only with --ca, as it
  # always checks the chain too (against the system's roots when given none).
  system_cas=/etc/ssl/certs/ca-certificates.crt
  [ -r "$system_cas" ] || system_cas=/dev/null
  cat ${ca:+"$ca"} "$system_cas" > "$work/tsa-trust.pem"
  status=0
  osslsigncode verify -in "$exe" -CAfile "${ca:-$system_cas}" -TSA-CAfile "$work/tsa-trust.pem" > "$work/verify.log" 2>&1 || status=$?
  digest_stored=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$work/verify.log" | head -n 1)
  digest_now=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' "$work/verify.log" | head -n 1)
  timestamp=$(sed -n 's/^[[:space:]]*Timestamp time: //p; s/^The signature is timestamped: //p' "$work/verify.log" | head -n 1)
  # The signer is the certificate in the signature that issued no other one there.
  awk -v dir="$work" '/BEGIN CERTIFICATE/ { n++ } n { print > (dir "/cert-" n ".pem") }' "$work/embedded.pem"
  issuers=$(for cert in "$work"/cert-*.pem; do
              if [ -e "$cert" ]; then openssl x509 -in "$cert" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//'; fi
            done)
  signer='' subject='' issuer='' not_before='' not_after=''
  for cert in "$work"/cert-*.pem; do
    [ -e "$cert" ] || continue
    name=$(openssl x509 -in "$cert" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
    if [ -z "$subject" ] || ! grep -qxF "$name" <<< "$issuers"; then
      signer=$cert subject=$name
      issuer=$(openssl x509 -in "$cert" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//')
      not_before=$(openssl x509 -in "$cert" -noout -startdate | cut -d= -f2)
      not_after=$(openssl x509 -in "$cert" -noout -enddate | cut -d= -f2)
    fi
  done
  chain="NOT checked (give the publisher's root certificate with --ca FILE)"
  if [ -z "$digest_stored" ] || [ "$digest_stored" != "$digest_now" ]; then
    signature="signed, BROKEN: the file was changed after it was signed"
    failed+=("signature")
  elif [ -z "$signer" ] || ! signature_is_intact "$work/signature.der" "$signer"; then
    signature="signed, BROKEN: the signature does not match what it signs"
    failed+=("signature")
  else
    signature="signed, intact"
    if [ -n "$ca" ] && [ "$status" -eq 0 ]; then
      chain="checked: it leads to $ca"
    elif [ -n "$ca" ]; then
      chain="FAILED: it does not lead to $ca ($(grep -m 1 -o 'Verify error:.*' "$work/verify.log" || echo 'osslsigncode verify says why'))"
      failed+=("chain")
    fi
  fi
else
  cp "$exe" "$work/shipped.exe"
  [ "$require_signature" = 0 ] || failed+=("signature required")
fi

echo "Rebuilding $commit from a clean copy ..."
"$repo/scripts/build-commit.sh" "$commit" "$work/build" "${icon[@]}"
shipped_sha256=$(sha256sum "$work/shipped.exe" | cut -d ' ' -f 1)
rebuilt_sha256=$(sha256sum "$work/build/tarnel.exe" | cut -d ' ' -f 1)
matches=0
cmp -s "$work/shipped.exe" "$work/build/tarnel.exe" && matches=1
[ "$matches" = 1 ] || failed+=("content")
recorded=$(field unsigned-sha256)
if [ -n "$recorded" ] && [ "$recorded" != "$shipped_sha256" ]; then
  failed+=("BUILDINFO")
fi

echo
echo "$file"
[ -z "${sums-}" ] || echo "  SHA256SUMS:  $sums"
version=$(cat "$work/build/version")
if [ "$matches" = 1 ]; then
  echo "  content:     MATCHES the build of commit $commit${version:+ (tarnel $version)}"
else
  echo "  content:     DIFFERS from the build of commit $commit${version:+ (tarnel $version)}"
fi
release_commit=$(field commit)
[ -z "$release_commit" ] || [ "$release_commit" = "$commit" ] ||
  echo "               (BUILDINFO names commit $release_commit)"
echo "               shipped, without signature: $shipped_sha256"
echo "               rebuilt here:               $rebuilt_sha256"
[ -z "$recorded" ] || [ "$recorded" = "$shipped_sha256" ] ||
  echo "               BUILDINFO names another:    $recorded"
if [ "$matches" = 0 ] && [ -n "$buildinfo" ]; then
  # A different compiler, not different code, may explain a mismatch.
  toolchain_differs=$(diff <(grep -E '^(compiler|mingw-w64-runtime|binutils|cmake): ' "$buildinfo") \
                           "$work/build/toolchain" | sed -n 's/^\([<>]\) /                 \1 /p' || true)
  if [ -n "$toolchain_differs" ]; then
    echo "               note: this machine's toolchain differs from the release's (< release, > here):"
    echo "$toolchain_differs"
    echo "               a different compiler, not different code, may cause the difference"
  fi
fi
if [ "$signed" = 1 ]; then
  echo "  signature:   $signature"
  echo "  signer:      ${subject:-unknown}"
  echo "  issuer:      ${issuer:-unknown}"
  echo "  valid:       ${not_before:-?} to ${not_after:-?}"
  echo "  timestamp:   ${timestamp:-none (the signature stops being valid when the certificate expires)}"
  echo "  chain:       $chain"
else
  echo "  signature:   NOT signed"
fi
echo
if [ "${#failed[@]}" -eq 0 ]; then
  echo "VERIFIED"
  exit 0
fi
echo "NOT VERIFIED: failed check(s): ${failed[*]}"
exit 1
