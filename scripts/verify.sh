#!/usr/bin/env bash
# Checks that a shipped release zip (or a bare tarnel.exe) is exactly the build of a public commit:
#   scripts/verify.sh FILE [--rev REV] [--ca FILE] [--require-signature] [--icon FILE]
# A zip is read strictly, rebuilt from its commit (REV, default: the commit in its BUILDINFO) with the
# shipped tarnel.exe put in, the way release.sh packs it, and compared byte for byte; the executable less
# its signature is compared with the rebuild, and every signature on it is checked. --icon is for a bare
# tarnel.exe built with a publisher's icon (a zip carries its own).
# Exit status: 0 verified, 1 not verified (the verdict says which check failed and why), 2 could not check.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3  # Debian's, with its asn1crypto and cryptography
max_download=$((64 << 20))

# Every text that comes from the download (or from a tool that read it) is shown with its control
# characters made visible, so that it cannot move the cursor, recolour or rewrite what the terminal shows.
shown() { printf '%s' "$1" | cat -v | tr '\n' ' '; }
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
    *) cannot "unknown option $(shown "$1")" ;;
  esac
  shift
done
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 git unzip osslsigncode openssl
             ca-certificates python3 python3-asn1crypto python3-cryptography)
# shellcheck source=dev/deps.sh
source "$repo/dev/deps.sh"

# Everything that can make the check impossible is settled before the build starts.
shown_file=$(shown "$file")
if [ ! -f "$file" ] || [ ! -r "$file" ]; then cannot "$shown_file: no such file, or not readable"; fi
[ -z "$ca" ] || [ -r "$ca" ] || cannot "$(shown "$ca"): no such file, or not readable"
[ "${#icon[@]}" -eq 0 ] || [ -r "${icon[1]}" ] || cannot "$(shown "${icon[1]}"): no such file, or not readable"
[[ $rev != -* ]] || cannot "--rev $(shown "$rev"): not a revision"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The report: the zip's lines, the executable's, the signatures'; then the verdict.
zip_lines=() content=() signature_lines=()
failed=() reasons=()     # the checks that failed, and why, in the verdict's words
fail() { failed+=("$1"); reasons+=("$2"); }
finish() {
  echo
  echo "$shown_file"
  local line
  for line in "${zip_lines[@]}" "${content[@]}" "${signature_lines[@]}"; do echo "$line"; done
  echo
  if [ "${#failed[@]}" -eq 0 ]; then
    echo "VERIFIED"
    exit 0
  fi
  echo "NOT VERIFIED: failed check(s): ${failed[*]} (${reasons[0]})"
  exit 1
}
refuse() {  # CHECK REASON: a fault after which nothing is worth building
  fail "$1" "$2"
  zip_lines+=("  $1: FAILED: $2")
  finish
}

# Only this private copy is read from here on: the file itself could change between two reads.
size=$(stat -c %s -- "$file")
[ "$size" -le "$max_download" ] || refuse download "$size bytes, more than any release ($max_download)"
cp -- "$file" "$work/download"

zip=0
if [ "$(head -c 4 "$work/download" | od -An -tx1 | tr -d ' ')" = 504b0304 ]; then
  zip=1
  [ "${#icon[@]}" -eq 0 ] || cannot "--icon is for a bare tarnel.exe: a release zip carries its own icon"
  # The listing first, strictly; then only its names are unpacked, with nothing to answer.
  status=0
  listing=$("$python" "$repo/scripts/release_zip.py" check "$work/download") || status=$?
  [ "$status" -ne 2 ] || cannot "$listing"
  [ "$status" -eq 0 ] || refuse zip "$listing"
  mapfile -t members <<< "$listing"
  mkdir "$work/zip"
  if ! unzip -qq "$work/download" "${members[@]}" -d "$work/zip" < /dev/null > "$work/unzip.log" 2>&1; then
    cannot "unzip could not unpack it: $(head -c 1000 "$work/unzip.log" | cat -v | tr '\n' ' ')"
  fi
  status=0
  fields=$("$python" "$repo/scripts/release_zip.py" read "$work/zip") || status=$?
  [ "$status" -ne 2 ] || cannot "$fields"
  if [ "$status" -ne 0 ]; then
    case $fields in
      SHA256SUMS*) refuse SHA256SUMS "$fields" ;;
      BUILDINFO*) refuse BUILDINFO "$fields" ;;
      *) refuse icon "$fields" ;;
    esac
  fi
  zip_lines+=("  SHA256SUMS:  ok, exactly the lines a release writes for these members")
  release_commit=$(sed -n 's/^commit //p' <<< "$fields")
  ! grep -qx 'icon yes' <<< "$fields" || icon=(--icon "$work/zip/icon.ico")
  exe=$work/zip/tarnel.exe
  [ -n "$rev" ] || rev=$release_commit
else
  release_commit=''
  exe=$work/download
  [ -n "$rev" ] || rev=HEAD
fi
tarnel_is_pe "$exe" || cannot "$shown_file is not a Windows executable (no PE header)"
commit=$(git -C "$repo" rev-parse --verify --quiet "$rev^{commit}") ||
  cannot "unknown revision '$(shown "$rev")' in $repo (git fetch it, or name one with --rev)"

# The signatures: read and checked by authenticode.py (digests, and each signer's signature over them);
# whom each leads to, by openssl verify on the certificates it wrote out.
mkdir "$work/sig"
status=0
"$python" "$repo/scripts/authenticode.py" "$exe" "$work/sig" > "$work/sig.txt" 2> "$work/sig.err" || status=$?
[ "$status" -eq 0 ] || cannot "the signature could not be read: $(head -c 500 "$work/sig.err" | cat -v | tr '\n' ' ')"
system_cas=/etc/ssl/certs/ca-certificates.crt
[ -r "$system_cas" ] || system_cas=/dev/null
cat ${ca:+"$ca"} "$system_cas" > "$work/tsa-trust.pem"
why() { { grep -m 1 -i -o 'error.*' "$1" || tail -n 1 "$1"; } | cat -v; }  # openssl's reason, from its log
chain_of() {  # N: whether signature N, and its time stamp, lead to the root in --ca
  local n=$1 sig=$work/sig attime=()
  [ ! -f "$sig/sig-$n-time" ] || attime=(-attime "$(cat "$sig/sig-$n-time")")
  if [ -f "$sig/sig-$n-tsa-signer.pem" ] &&
     ! openssl verify -purpose timestampsign -CAfile "$work/tsa-trust.pem" -untrusted "$sig/sig-$n-tsa-certs.pem" \
       "$sig/sig-$n-tsa-signer.pem" > "$work/chain.log" 2>&1; then
    echo "FAILED: its time stamp leads to no trusted root ($(why "$work/chain.log"))"
    return 1
  fi
  if ! openssl verify -purpose any "${attime[@]}" -CAfile "$ca" -untrusted "$sig/sig-$n-certs.pem" \
       "$sig/sig-$n-signer.pem" > "$work/chain.log" 2>&1; then
    echo "FAILED: it does not lead to $(shown "$ca") ($(why "$work/chain.log"))"
    return 1
  fi
  echo "checked: it leads to $(shown "$ca")"
}
problem='' signatures=0
if ! grep -qx unsigned "$work/sig.txt"; then
  problem=$(sed -n 's/^problem\t//p' "$work/sig.txt")
  signatures=$(grep -c '^signature	' "$work/sig.txt" || true)
  if [ -n "$problem" ]; then
    signature_lines+=("  signature:   signed, BROKEN: $problem")
    fail signature "$problem"
  elif [ "$signatures" -gt 1 ]; then
    signature_lines+=("  signature:   signed, intact: $signatures signatures, each listed")
  else
    signature_lines+=("  signature:   signed, intact")
  fi
  n=0 chain_failed=0 indent='  '
  while IFS=$'\t' read -r key value _; do
    case $key in
      signature)
        n=$value
        [ "$n" = 0 ] || { indent='    '; signature_lines+=("  nested signature $n:"); }
        ;;
      signer | issuer | serial | valid | timestamp)
        signature_lines+=("$(printf '%s%-12s %s' "$indent" "$key:" "$value")")
        ;;
      end)  # the signature's chain closes its lines
        [ -n "$problem" ] || [ -f "$work/sig/sig-$n-time" ] ||
          signature_lines+=("${indent}timestamp:   none (the signature stops being valid when the certificate expires)")
        if [ -n "$problem" ]; then
          chain="not checked: the signature is broken"
        elif [ -z "$ca" ]; then
          chain="NOT checked (give the publisher's root certificate with --ca FILE)"
        elif ! chain=$(chain_of "$n"); then
          chain_failed=1
        fi
        signature_lines+=("${indent}chain:       $chain")
        ;;
    esac
  done < "$work/sig.txt"
  if [ -n "$ca" ] && [ -z "$problem" ] && [ "$chain_failed" = 0 ]; then
    # osslsigncode's own verdict as well (it also checks the time stamp against the signature).
    if ! osslsigncode verify -in "$exe" -CAfile "$ca" -TSA-CAfile "$work/tsa-trust.pem" > "$work/verify.log" 2>&1; then
      chain_failed=1
      signature_lines+=("  chain:       FAILED: osslsigncode verify: $(grep -m 1 -E 'error|Error|failed' "$work/verify.log" | cat -v)")
    fi
  fi
  [ "$chain_failed" = 0 ] || fail chain "a signature does not lead to $(shown "$ca")"
  if ! osslsigncode remove-signature -in "$exe" -out "$work/shipped.exe" > /dev/null 2>&1; then
    [ -n "$problem" ] || cannot "osslsigncode cannot remove the signature"
    cp "$exe" "$work/shipped.exe"
  fi
else
  signature_lines+=("  signature:   NOT signed")
  cp "$exe" "$work/shipped.exe"
  [ "$require_signature" = 0 ] || fail "signature required" "the file is not signed"
fi

echo "Rebuilding $commit from a clean copy ..."
"$repo/scripts/build-commit.sh" "$commit" "$work/build" "${icon[@]}" || cannot "the rebuild of $commit failed"
shipped_sha256=$(sha256sum "$work/shipped.exe" | cut -d ' ' -f 1)
rebuilt_sha256=$(sha256sum "$work/build/tarnel.exe" | cut -d ' ' -f 1)
version=$(cat "$work/build/version")
content=()
if cmp -s "$work/shipped.exe" "$work/build/tarnel.exe"; then
  content+=("  content:     MATCHES the build of commit $commit${version:+ (tarnel $version)}")
else
  content+=("  content:     DIFFERS from the build of commit $commit${version:+ (tarnel $version)}")
  fail content "the executable less its signature is not the rebuild"
fi
[ -z "$release_commit" ] || [ "$release_commit" = "$commit" ] ||
  content+=("               (BUILDINFO names commit $release_commit)")
content+=("               shipped, without signature: $shipped_sha256"
          "               rebuilt here:               $rebuilt_sha256")

if [ "$zip" = 1 ]; then
  # The whole zip, made again as release.sh makes it: the shipped tarnel.exe and icon, the rest from the
  # rebuild. Any byte of difference is named by the first member or structure it is in.
  "$python" "$repo/scripts/release_zip.py" pack --build "$work/build" --exe "$exe" --commit "$commit" \
    --commit-time "$(git -C "$repo" log -1 --format=%ct "$commit")" "${icon[@]}" \
    "$work/rebuilt.zip"
  if difference=$("$python" "$repo/scripts/release_zip.py" compare "$work/download" "$work/rebuilt.zip"); then
    content=("  zip:         the same bytes as the release rebuilt here" "${content[@]}")
  else
    content=("  zip:         DIFFERS: $difference" "${content[@]}")
    fail zip "$difference"
    # A different compiler, not different code, may explain a mismatch.
    toolchain_differs=$(diff <(grep -E '^(compiler|mingw-w64-runtime|binutils|cmake): ' "$work/zip/BUILDINFO") \
                             "$work/build/toolchain" | sed -n 's/^\([<>]\) /                 \1 /p' | cat -v || true)
    if [ -n "$toolchain_differs" ]; then
      content+=("               note: this machine's toolchain differs from the release's (< release, > here):")
      mapfile -t -O "${#content[@]}" content <<< "$toolchain_differs"
      content+=("               a different compiler, not different code, may cause the difference")
    fi
  fi
fi
finish
