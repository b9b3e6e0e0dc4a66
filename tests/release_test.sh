#!/usr/bin/env bash
# Release, signing and verification on the real tools: a throwaway CA made with openssl, a SoftHSM token,
# a local RFC 3161 server, and a copy of these sources committed in a scratch repository.
#   tests/release_test.sh BUILD_DIR EMULATOR...   (BUILD_DIR holds tarnel_tests.exe and standin.exe;
#   EMULATOR is the command CTest runs Windows programs with: Wine in the build tree's prefix)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
shift
wine=("$@")
t=$(mktemp -d)
tsa_pid=''
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid"; rm -rf "$t"' EXIT
failures=0

# expect STATUS 'PATTERN;PATTERN' COMMAND...: the command ends with STATUS and its output holds each pattern.
expect() {
  local status=$1 patterns=$2 got=0 pattern
  shift 2
  "$@" > "$t/out" 2>&1 || got=$?
  local ok=1
  [ "$got" = "$status" ] || ok=0
  IFS=';' read -r -a list <<< "$patterns"
  for pattern in "${list[@]}"; do
    grep -q -E -- "$pattern" "$t/out" || { ok=0; echo "  missing: $pattern"; }
  done
  if [ "$ok" = 1 ]; then
    echo "ok    $case_name"
  else
    echo "FAIL  $case_name (status $got, wanted $status)"
    sed 's/^/      /' "$t/out"
    failures=$((failures + 1))
  fi
}

# The sources as they are now, committed in a scratch repository, so the scripts under test run on
# exactly these files.
mkdir "$t/repo"
git -C "$src" ls-files -z --cached --others --exclude-standard |
  (cd "$src" && xargs -0 tar -cf - --ignore-failed-read 2> /dev/null) | tar -xf - -C "$t/repo"
repo=$t/repo
commit() { GIT_COMMITTER_DATE=2026-01-02T03:04:05Z git -C "$repo" -c user.name=t -c user.email=t@t.invalid \
             commit -q --date=2026-01-02T03:04:05Z "$@"; }
git -C "$repo" init -q && git -C "$repo" add -A && commit -m "release under test"
released=$(git -C "$repo" rev-parse HEAD)

# A CA, and certificates it issues: the publisher's, an expired one, a web server's, a time-stamp server's.
pki=$t/pki
mkdir -p "$pki/new"
: > "$pki/index.txt"
echo 01 > "$pki/serial"
cat > "$pki/ca.cnf" << EOF
[ca]
default_ca = test_ca
[test_ca]
dir = $pki
database = $pki/index.txt
serial = $pki/serial
new_certs_dir = $pki/new
certificate = $pki/ca.pem
private_key = $pki/ca.key
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[codesign]
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[web]
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
[tsa]
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
EOF
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/ca.key" -out "$pki/ca.pem" -days 30 -subj "/CN=Test Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2> /dev/null
issue() {  # NAME EXTENSIONS START END
  openssl req -newkey rsa:2048 -nodes -keyout "$pki/$1.key" -out "$pki/$1.csr" -subj "/CN=Test $1" 2> /dev/null
  openssl ca -batch -config "$pki/ca.cnf" -extensions "$2" -startdate "$3" -enddate "$4" -notext \
    -in "$pki/$1.csr" -out "$pki/$1.pem" 2> /dev/null
}
now=$(date -u +%Y%m%d%H%M%SZ)
later=$(date -u -d '+30 days' +%Y%m%d%H%M%SZ)
issue publisher codesign "$now" "$later"
issue expired codesign 20200101000000Z 20210101000000Z
issue web web "$now" "$later"
issue tsa tsa "$now" "$later"
export TARNEL_SIGN_PASSWORD=p12-secret
openssl pkcs12 -export -in "$pki/publisher.pem" -inkey "$pki/publisher.key" -certfile "$pki/ca.pem" \
  -out "$pki/publisher.p12" -passout env:TARNEL_SIGN_PASSWORD

# The publisher's key on a SoftHSM token (its PINs are throwaway ones, on softhsm2-util's command line).
export SOFTHSM2_CONF=$t/softhsm2.conf
mkdir "$t/tokens"
echo "directories.tokendir = $t/tokens" > "$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label tarnel-test --so-pin 5678 --pin 1234 > /dev/null
openssl pkcs8 -topk8 -nocrypt -in "$pki/publisher.key" -out "$pki/publisher.p8"
softhsm2-util --import "$pki/publisher.p8" --token tarnel-test --label publisher --id 01 --pin 1234 > /dev/null
module=/usr/lib/softhsm/libsofthsm2.so
token_uri='pkcs11:token=tarnel-test;object=publisher;type=private'
export TOKEN_PIN=1234 WRONG_PIN=4321

# The time-stamp server on 127.0.0.1.
cat > "$pki/tsa.cnf" << EOF
[tsa]
default_tsa = test_tsa
[test_tsa]
serial = $pki/tsa-serial
signer_cert = $pki/tsa.pem
signer_key = $pki/tsa.key
certs = $pki/ca.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
EOF
python3 "$src/tests/tsa_server.py" "$pki/tsa.cnf" "$t/tsa-port" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$t/tsa-port" ] && break; sleep 0.1; done
tsa=http://127.0.0.1:$(cat "$t/tsa-port")/

echo "== releasing, signed on the token with a time stamp, and verifying"
case_name="release signed with the token"
expect 0 'dist/tarnel-1\.0\.0-win64\.zip;unsigned tarnel.exe SHA-256: [0-9a-f]{64}' \
  "$repo/scripts/release.sh" --pkcs11-module "$module" --pkcs11-uri "$token_uri" --cert "$pki/publisher.pem" \
  --password-env TOKEN_PIN --timestamp "$tsa" --name tarnel --url https://example.invalid/tarnel
zip=$repo/dist/tarnel-1.0.0-win64.zip
cp "$zip" "$t/signed.zip"
case_name="the signed build verifies against its commit and the CA"
expect 0 "SHA256SUMS: +ok;content: +MATCHES.*$released;signed, intact;signer: +CN=Test publisher;issuer: +CN=Test Root;timestamp: +[A-Z][a-z]{2} ;chain: +checked;^VERIFIED" \
  "$repo/scripts/verify.sh" "$t/signed.zip" --ca "$pki/ca.pem" --require-signature
case_name="without --ca the chain is reported unchecked"
expect 0 'chain: +NOT checked;^VERIFIED' "$repo/scripts/verify.sh" "$t/signed.zip"

case_name="the signed executable passes the image checks and launches an application under Wine"
mkdir "$t/wine"
unzip -q -d "$t/wine" "$t/signed.zip" tarnel.exe
cp "$build/tarnel_tests.exe" "$build/standin.exe" "$t/wine/"
# (Not the size budget: it measures the code, and the signature is not code.)
expect 0 'OK \] Image\.OnlyResourceIsTheIcon;OK \] Image\.ImportsOnly;OK \] Launches\.;PASSED' \
  "${wine[@]}" "$t/wine/tarnel_tests.exe" '--gtest_filter=Image.*:Launches.*'

echo "== what a verifier must catch"
unzip -q -d "$t/unpacked" "$t/signed.zip"
# One byte in the code: the first section's first byte (.text).
cp "$t/unpacked/tarnel.exe" "$t/flipped.exe"
pe=$(od -An -tu4 -j60 -N4 "$t/flipped.exe" | tr -d ' ')
optional=$(od -An -tu2 -j $((pe + 20)) -N2 "$t/flipped.exe" | tr -d ' ')
code=$(od -An -tu4 -j $((pe + 24 + optional + 20)) -N4 "$t/flipped.exe" | tr -d ' ')
byte=$(od -An -tu1 -j "$code" -N1 "$t/flipped.exe" | tr -d ' ')
printf '%b' "\\$(printf %03o $((byte ^ 1)))" | dd of="$t/flipped.exe" bs=1 seek="$code" conv=notrunc status=none
case_name="a flipped byte in the code of a signed file"
expect 1 'signed, BROKEN;content: +DIFFERS;NOT VERIFIED' "$repo/scripts/verify.sh" "$t/flipped.exe" --rev "$released"

sed -i 's/L"Resource Error"/L"Resource Failure"/' "$repo/src/require_path.cpp"
git -C "$repo" add -A && commit -m "other sources"
other=$(git -C "$repo" rev-parse HEAD)
"$repo/scripts/build-commit.sh" HEAD "$t/other"
"$repo/scripts/sign.sh" "$t/other/tarnel.exe" "$t/other-signed.exe" --pkcs12 "$pki/publisher.p12" > /dev/null
case_name="a build of other sources signed by the same key"
expect 1 'content: +DIFFERS;signed, intact;signer: +CN=Test publisher;failed check\(s\): content' \
  "$repo/scripts/verify.sh" "$t/other-signed.exe" --rev "$released" --ca "$pki/ca.pem"

git -C "$repo" checkout -q "$released"
"$repo/scripts/release.sh" > /dev/null
cp "$zip" "$t/unsigned.zip"
"$repo/scripts/release.sh" > /dev/null
case_name="two unsigned releases of one commit are the same bytes"
expect 0 '' cmp "$t/unsigned.zip" "$zip"
case_name="an unsigned release verifies and says it is unsigned"
expect 0 'signature: +NOT signed;^VERIFIED' "$repo/scripts/verify.sh" "$t/unsigned.zip"
case_name="--require-signature fails an unsigned file"
expect 1 'signature: +NOT signed;failed check\(s\): signature required' \
  "$repo/scripts/verify.sh" "$t/unsigned.zip" --require-signature

# Zips with one thing changed: a hash in SHA256SUMS, a member.
tampered_zip() {  # NAME EDIT...
  local name=$1 dir=$t/tamper-$1
  shift
  rm -rf "$dir" && mkdir "$dir" && unzip -q -d "$dir" "$t/signed.zip"
  (cd "$dir" && "$@")
  (cd "$dir" && zip -q -X "$t/$name.zip" tarnel.exe README.md LICENSE BUILDINFO SHA256SUMS)
}
tampered_zip sums sed -i '1{/^0/!s/^./0/;t;s/^0/1/}' SHA256SUMS
tampered_zip member sed -i '1s/$/ (changed)/' README.md
tampered_zip toolchain sh -c 'sed -i "s/^compiler: .*/compiler: gcc 99.1/" BUILDINFO &&
  sha256sum tarnel.exe README.md LICENSE BUILDINFO > SHA256SUMS'
case_name="a mismatch names a toolchain other than the release's"
expect 1 'content: +DIFFERS;toolchain differs;< compiler: gcc 99\.1;> compiler: ;BUILDINFO names commit' \
  "$repo/scripts/verify.sh" "$t/toolchain.zip" --rev "$other"
for name in sums member; do
  case_name="a tampered zip: $name"
  expect 1 'SHA256SUMS: +FAILED;NOT VERIFIED.*SHA256SUMS' "$repo/scripts/verify.sh" "$t/$name.zip"
done

case_name="verify refuses a file that is not an executable, before any build"
expect 2 'could not check: .*not a Windows executable' "$repo/scripts/verify.sh" "$pki/ca.pem"
grep -q Rebuilding "$t/out" && { echo "FAIL  it started a build"; failures=$((failures + 1)); }
case_name="verify refuses an unknown revision"
expect 2 "could not check: unknown revision 'no-such-tag'" "$repo/scripts/verify.sh" "$t/flipped.exe" --rev no-such-tag

echo "== signing refuses bad input, leaves the input alone and writes nothing"
cp "$t/unpacked/tarnel.exe" "$t/signed.exe"
cp "$t/other/tarnel.exe" "$t/plain.exe"
cp "$pki/ca.pem" "$t/text.exe"
# name | input | output | pattern | options (word-split)
while IFS='|' read -r case_name input output pattern options; do
  before=$(sha256sum "$t/$input")
  # shellcheck disable=SC2086 # the options column holds several words
  expect 1 "$pattern" "$repo/scripts/sign.sh" "$t/$input" "$t/$output" $options
  [ "$(sha256sum "$t/$input")" = "$before" ] || { echo "FAIL  $case_name: the input changed"; failures=$((failures + 1)); }
  [ "$input" = "$output" ] || [ ! -e "$t/$output" ] || { echo "FAIL  $case_name: output left"; failures=$((failures + 1)); }
  [ -z "$(find "$t" -maxdepth 1 -name '.*')" ] || { echo "FAIL  $case_name: partial file left"; failures=$((failures + 1)); }
done << EOF
wrong password, signing in place|plain.exe|plain.exe|wrong password for .*publisher.p12|--pkcs12 $pki/publisher.p12 --password-env WRONG_PIN
expired certificate|plain.exe|out.exe|certificate of CN=Test expired expired on|--cert $pki/expired.pem --key $pki/expired.key
certificate not for code signing|plain.exe|out.exe|not for code signing|--cert $pki/web.pem --key $pki/web.key
token absent|plain.exe|out.exe|no token or key matches|--pkcs11-module $module --pkcs11-uri pkcs11:token=absent;object=publisher --cert $pki/publisher.pem --password-env TOKEN_PIN
wrong PIN|plain.exe|out.exe|wrong PIN for the token|--pkcs11-module $module --pkcs11-uri $token_uri --cert $pki/publisher.pem --password-env WRONG_PIN
not a PE executable|text.exe|out.exe|text.exe is not a Windows executable|--pkcs12 $pki/publisher.p12
already signed|signed.exe|out.exe|already signed; add --resign|--pkcs12 $pki/publisher.p12
EOF
case_name="--resign replaces a signature in place"
expect 0 'signed .*signed.exe for CN=Test publisher' \
  "$repo/scripts/sign.sh" "$t/signed.exe" "$t/signed.exe" --pkcs12 "$pki/publisher.p12" --resign

# One byte in the signature value (20 bytes before the end: past the padding, before no time stamp).
cp "$t/signed.exe" "$t/forged.exe"
size=$(stat -c %s "$t/forged.exe")
printf 'U' | dd of="$t/forged.exe" bs=1 seek=$((size - 20)) conv=notrunc status=none
case_name="a changed byte in the signature itself"
expect 1 'content: +MATCHES;signed, BROKEN: the signature does not match' "$repo/scripts/verify.sh" "$t/forged.exe"

echo
[ "$failures" = 0 ] && echo "release tests: all passed" || echo "release tests: $failures failed"
[ "$failures" = 0 ]
