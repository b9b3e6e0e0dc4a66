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
python=/usr/bin/python3  # Debian's, with the asn1crypto the scripts use
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
expect 0 "SHA256SUMS: +ok;content: +MATCHES.*$released;signed, intact;signer: +CN=Test publisher;issuer: +CN=Test Root;timestamp: +[0-9]{4}-[0-9]{2}-[0-9]{2}T;chain: +checked;^VERIFIED" \
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
  "$python" "$src/tests/hostile.py" pack "$t/$name.zip" "$dir" "$t/signed.zip"
}
tampered_zip sums sed -i '1{/^0/!s/^./0/;t;s/^0/1/}' SHA256SUMS
tampered_zip member sed -i '1s/$/ (changed)/' README.md
tampered_zip toolchain sh -c 'sed -i "s/^compiler: .*/compiler: gcc 99.1/" BUILDINFO &&
  sha256sum tarnel.exe README.md LICENSE THIRD-PARTY-NOTICES.txt tarnel.cdx.json BUILDINFO > SHA256SUMS'
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
echo p12-secret > "$t/open-password"
chmod 0644 "$t/open-password"
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
a PIN in the token address|plain.exe|out.exe|may not hold pin-value or pin-source|--pkcs11-module $module --pkcs11-uri pkcs11:token=tarnel-test;object=publisher;pin-value=1234 --cert $pki/publisher.pem
a PIN source in the token address, in capitals|plain.exe|out.exe|may not hold pin-value or pin-source|--pkcs11-module $module --pkcs11-uri pkcs11:token=tarnel-test;object=publisher;PIN-SOURCE=file:$t/pin --cert $pki/publisher.pem
a password file that others can read|plain.exe|out.exe|open-password can be read by other users|--pkcs12 $pki/publisher.p12 --password-file $t/open-password
EOF
mkdir "$t/out-folder"
case_name="an OUT that is a folder is refused, and nothing is put in it"
expect 1 "out-folder is a folder" "$repo/scripts/sign.sh" "$t/plain.exe" "$t/out-folder" --pkcs12 "$pki/publisher.p12"
[ -z "$(ls -A "$t/out-folder")" ] || { echo "FAIL  $case_name: it wrote into the folder"; failures=$((failures + 1)); }

# Stopping sign.sh while osslsigncode waits for a time-stamp server that never answers.
"$python" -c '
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen()
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
c, _ = s.accept()
open(sys.argv[2], "w").write("connected")
time.sleep(120)' "$t/silent-port" "$t/silent-connected" &
silent_pid=$!
for _ in $(seq 50); do [ -s "$t/silent-port" ] && break; sleep 0.1; done
"$repo/scripts/sign.sh" "$t/plain.exe" "$t/stopped.exe" --pkcs12 "$pki/publisher.p12" \
  --timestamp "http://127.0.0.1:$(cat "$t/silent-port")/" > "$t/stopped.log" 2>&1 &
sign_pid=$!
for _ in $(seq 100); do [ -e "$t/silent-connected" ] && break; sleep 0.1; done
case_name="stopping sign.sh stops its osslsigncode and leaves no output"
if [ ! -e "$t/silent-connected" ]; then
  echo "FAIL  $case_name: osslsigncode never reached the time-stamp server"; failures=$((failures + 1))
else
  kill "$sign_pid"
  wait "$sign_pid" || true
  sleep 0.5
  left=$(pgrep -f -- "-in $t/plain.exe" || true)
  if [ -n "$left" ] || [ -e "$t/stopped.exe" ] || [ -n "$(find "$t" -maxdepth 1 -name '.sign.*')" ]; then
    echo "FAIL  $case_name: osslsigncode ${left:-ended}, output or partial folder left"; failures=$((failures + 1))
    [ -z "$left" ] || kill "$left"
  else
    echo "ok    $case_name"
  fi
fi
kill "$silent_pid" 2> /dev/null || true
case_name="--resign replaces a signature in place"
expect 0 'signed .*signed.exe for CN=Test publisher' \
  "$repo/scripts/sign.sh" "$t/signed.exe" "$t/signed.exe" --pkcs12 "$pki/publisher.p12" --resign

# One byte in the signature value (20 bytes before the end: past the padding, before no time stamp).
cp "$t/signed.exe" "$t/forged.exe"
size=$(stat -c %s "$t/forged.exe")
printf 'U' | dd of="$t/forged.exe" bs=1 seek=$((size - 20)) conv=notrunc status=none
case_name="a changed byte in the signature itself"
expect 1 'content: +MATCHES;signed, BROKEN: the signature does not match' "$repo/scripts/verify.sh" "$t/forged.exe"

echo "== releases with the publisher's icon"
# Three sizes, made from a picture with ImageMagick; and seven, drawn as the default icon is, in other colours.
convert -size 64x64 gradient:orange-purple "$t/picture.png"
convert "$t/picture.png" -define icon:auto-resize=48,32,16 "$t/three.ico"
"$python" - "$src/res" "$t/seven.ico" << 'PY'
import sys
sys.path.insert(0, sys.argv[1])
import make_icon
drawn = make_icon.colour
make_icon.colour = lambda x, y: (lambda r, g, b, a: (b, r, g, a))(*drawn(x, y))
sys.argv = ["make_icon.py", sys.argv[2]]
make_icon.main()
PY
for icon in three seven; do
  case_name="a release with the $icon-size icon"
  expect 0 "dist/tarnel-1\.0\.0-win64\.zip" "$repo/scripts/release.sh" --icon "$t/$icon.ico"
  cp "$zip" "$t/icon-$icon.zip"
  case_name="the $icon-size icon release holds the icon"
  expect 0 '^icon.ico$' unzip -Z1 "$t/icon-$icon.zip"
  case_name="the $icon-size icon release names the icon in BUILDINFO"
  expect 0 "^icon-sha256: $(sha256sum "$t/$icon.ico" | cut -d ' ' -f 1)\$" unzip -p "$t/icon-$icon.zip" BUILDINFO
  case_name="the $icon-size icon release verifies from the zip alone"
  expect 0 "zip: +the same bytes;content: +MATCHES;^VERIFIED" "$repo/scripts/verify.sh" "$t/icon-$icon.zip"
  # The image test, beside the released executable, compares it with the zip's own icon.ico.
  mkdir "$t/wine-$icon"
  unzip -q -d "$t/wine-$icon" "$t/icon-$icon.zip" tarnel.exe icon.ico
  cp "$build/tarnel_tests.exe" "$t/wine-$icon/"
  case_name="the $icon-size icon release holds exactly the zip's icon"
  expect 0 'OK \] Image\.OnlyResourceIsTheIconBuiltFromItsIcoFile;SKIPPED \] Image\.DefaultIcon;PASSED' \
    env "TARNEL_TEST_ICON=Z:${t//\//\\}\\wine-$icon\\icon.ico" "${wine[@]}" "$t/wine-$icon/tarnel_tests.exe" \
    '--gtest_filter=Image.*'
done
case_name="the image test tells the three-size release from the seven-size icon"
expect 1 'FAILED +\] Image\.OnlyResourceIsTheIconBuiltFromItsIcoFile' \
  env "TARNEL_TEST_ICON=Z:${t//\//\\}\\wine-seven\\icon.ico" "${wine[@]}" "$t/wine-three/tarnel_tests.exe" \
  '--gtest_filter=Image.OnlyResourceIsTheIconBuiltFromItsIcoFile'
unzip -q -d "$t/icon-exe" "$t/icon-seven.zip" tarnel.exe
case_name="a bare tarnel.exe with an icon verifies with --icon"
expect 0 "content: +MATCHES;^VERIFIED" "$repo/scripts/verify.sh" "$t/icon-exe/tarnel.exe" --rev "$released" \
  --icon "$t/seven.ico"
case_name="--icon is refused beside a zip, which carries its own"
expect 2 "could not check: --icon is for a bare tarnel.exe" "$repo/scripts/verify.sh" "$t/icon-seven.zip" \
  --icon "$t/seven.ico"

echo "== hostile downloads: none of them is VERIFIED"
# An intruder's own key, and one whose name carries terminal escape codes.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/intruder.key" -out "$pki/intruder.pem" -days 3 \
  -subj "/CN=Intruder" 2> /dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/escaped.key" -out "$pki/escaped.pem" -days 3 \
  -subj "/CN=$(printf '\033[2K\r\033[32mVERIFIED\033[0m')" 2> /dev/null
hostile=$t/hostile
mkdir "$hostile"
"$python" "$src/tests/hostile.py" zips "$hostile" "$t/signed.zip" "$t/icon-three.zip" "$pki/web.pem"
unzip -q -d "$t/genuine" "$t/signed.zip" tarnel.exe
osslsigncode sign -nest -certs "$pki/intruder.pem" -key "$pki/intruder.key" -h sha256 \
  -in "$t/genuine/tarnel.exe" -out "$t/nested.exe" > /dev/null
"$python" "$src/tests/hostile.py" repack "$t/signed.zip" "$t/nested.exe" "$hostile/sig-nested-intruder.zip"
osslsigncode remove-signature -in "$t/genuine/tarnel.exe" -out "$t/stripped.exe" > /dev/null
osslsigncode sign -certs "$pki/escaped.pem" -key "$pki/escaped.key" -h sha256 \
  -in "$t/stripped.exe" -out "$t/escaped.exe" > /dev/null
"$python" "$src/tests/hostile.py" repack "$t/signed.zip" "$t/escaped.exe" "$hostile/sig-escaped-signer.zip"
cp "$t/signed.zip" "$hostile/tarnel1.zip"
cp "$hostile/readme-changed.zip" "$hostile/tarnel[1].zip"
truncate -s 65M "$hostile/huge.zip"
printf 'PK\003\004' | dd of="$hostile/huge.zip" conv=notrunc status=none

# refused KIND STATUS 'REASON' OPTIONS...: verify.sh gives STATUS (1 or 2) with one verdict line that holds
# REASON, prints no raw control character and leaves nothing behind.
mkdir "$t/verify-tmp"
refused() {
  local kind=$1 status=$2 reason=$3 got=0 ok=1
  shift 3
  TMPDIR=$t/verify-tmp "$repo/scripts/verify.sh" "$hostile/$kind" "$@" > "$t/out" 2>&1 < /dev/null || got=$?
  [ "$got" = "$status" ] || { ok=0; echo "  status $got, wanted $status"; }
  local verdicts
  verdicts=$(grep -c -E '^(NOT VERIFIED: |VERIFIED|verify.sh: could not check: )' "$t/out" || true)
  [ "$verdicts" = 1 ] || { ok=0; echo "  $verdicts verdict lines"; }
  grep -E '^(NOT VERIFIED: |verify.sh: could not check: )' "$t/out" | grep -q -E -- "$reason" ||
    { ok=0; echo "  the verdict does not say: $reason"; }
  if LC_ALL=C grep -q -P '[\x00-\x08\x0b-\x1f\x7f]|\xc2[\x80-\x9f]' "$t/out"; then
    ok=0; echo "  a raw control character was printed"
  fi
  [ -z "$(ls -A "$t/verify-tmp")" ] || { ok=0; echo "  left behind: $(ls -A "$t/verify-tmp")"; rm -rf "$t/verify-tmp"/*; }
  if [ "$ok" = 1 ]; then
    echo "ok    hostile: $kind: $(grep -E '^(NOT VERIFIED|verify.sh: could not)' "$t/out" | head -c 160)"
  else
    echo "FAIL  hostile: $kind"
    sed 's/^/      /' "$t/out" | cat -v
    failures=$((failures + 1))
  fi
}
for kind in control-repacked.zip control-resigned.zip tarnel1.zip; do
  case_name="the generator's $kind, nothing changed, verifies"
  expect 0 "^VERIFIED" "$repo/scripts/verify.sh" "$hostile/$kind"
done
cp "$t/signed.zip" "$hostile/-genuine[1].zip"
case_name="a genuine zip named with a leading dash and a wildcard verifies"
expect 0 "^VERIFIED" "$repo/scripts/verify.sh" "$hostile/-genuine[1].zip"
# kind | status | reason | options
while IFS='|' read -r kind status reason options; do
  [ -n "$kind" ] || continue
  # shellcheck disable=SC2086 # the options column holds several words
  refused "$kind" "$status" "$reason" $options
done << EOF2
planted-interpreter.zip|1|zip .*member that no release holds: 'embeddables/pythonw.exe'|
readme-changed.zip|1|zip .*README.md differs from the rebuilt one|
license-changed.zip|1|zip .*LICENSE differs from the rebuilt one|
notices-changed.zip|1|zip .*THIRD-PARTY-NOTICES.txt differs from the rebuilt one|
sbom-changed.zip|1|zip .*tarnel.cdx.json differs from the rebuilt one|
notices-missing.zip|1|zip .*no THIRD-PARTY-NOTICES.txt in the zip|
version-changed.zip|1|zip .*BUILDINFO differs from the rebuilt one|
toolchain-changed.zip|1|zip .*BUILDINFO differs from the rebuilt one|
name-upper-case.zip|1|zip .*one file on Windows: 'tarnel.exe' and 'TARNEL.EXE'|
name-trailing-dot.zip|1|zip .*one file on Windows: 'tarnel.exe' and 'tarnel.exe.'|
name-trailing-space.zip|1|zip .*one file on Windows: 'README.md' and 'README.md '|
name-twice.zip|1|zip .*one file on Windows|
name-readme-bat.zip|1|zip .*no release holds: 'README.bat'|
name-escapes.zip|1|zip .*control characters: '\\\\x1b\]0;owned\\\\x07|
name-path.zip|1|zip .*no release holds: '\.\./tarnel.exe'|
name-not-ascii.zip|1|zip .*not ASCII|
commit-branch.zip|1|BUILDINFO .*not a full 40-hex commit id: main|
commit-short.zip|1|BUILDINFO .*not a full 40-hex commit id|
commit-upper-case.zip|1|BUILDINFO .*not a full 40-hex commit id|
commit-missing.zip|1|BUILDINFO .*lacks commit|
field-twice.zip|1|BUILDINFO .*names version twice|
field-unknown.zip|1|BUILDINFO .*a field no release writes: run|
buildinfo-escapes.zip|1|BUILDINFO .*not a field: version: 1.0.0\\\\x1b\[2K\\\\x0d|
hidden-local-entry.zip|1|zip .*outside its members, before 'tarnel.exe' \(a hidden entry\)|
data-before-directory.zip|1|zip .*outside its members, before the central directory|
data-after-zip.zip|1|zip .*no end record at the end|
zip-comment.zip|1|zip .*no end record at the end|
sums-hostname.zip|1|SHA256SUMS .*7 lines where a release writes 6|
sums-dev-zero.zip|1|SHA256SUMS .*7 lines where a release writes 6|
sums-binary-mode.zip|1|SHA256SUMS .*line 1 is not what a release writes|
sums-wrong-hash.zip|1|SHA256SUMS .*line 1 is not what a release writes|
sums-missing-line.zip|1|SHA256SUMS .*line 1 is not what a release writes|
bomb-deflated.zip|1|zip .*'README.md' is compressed|
size-claimed-huge.zip|1|zip .*1073741824 bytes, more than a release's can be|
huge.zip|1|download .*more than any release|
member-encrypted.zip|1|zip .*'README.md' is encrypted|
member-symlink.zip|1|zip .*'LICENSE' is not stored as a regular Unix file|
member-directory.zip|1|zip .*'LICENSE' is not stored as a regular Unix file|
member-executable-mode.zip|1|zip .*'LICENSE' is not stored as a regular Unix file with mode 0644|
made-on-windows.zip|1|zip .*not stored as a regular Unix file|
member-extra-field.zip|1|zip .*'README.md' has extra fields|
member-bad-crc.zip|1|zip .*'README.md' does not match its checksum|
local-name-differs.zip|1|zip .*local header of 'README.md' differs from the central directory|
member-missing.zip|1|zip .*no LICENSE in the zip|
exe-missing.zip|1|zip .*no tarnel.exe in the zip|
members-reordered.zip|1|zip .*not in a release's order|
member-time-changed.zip|1|zip .*headers \(times, attributes\) differ|
tarnel[1].zip|1|zip .*README.md differs|
icon-byte-sums-rewritten.zip|1|content zip .*not the rebuild|
icon-byte.zip|1|icon .*icon.ico is not the icon BUILDINFO names|
icon-removed.zip|1|BUILDINFO .*names an icon but the zip has no icon.ico|
icon-added.zip|1|icon .*has an icon.ico but BUILDINFO no icon-sha256|
icon-directory-outside.zip|1|icon .*lies outside the file|
icon-not-ico.zip|1|icon .*not a .ico file|
sig-table-grown.zip|1|signature .*bytes that no signature covers|--ca $pki/ca.pem
sig-second-entry.zip|1|signature .*holds more than its one entry|
sig-bytes-after-table.zip|1|signature .*does not end at the end of the file|
sig-truncated.zip|1|signature .*for a [0-9]+-byte signature|
sig-checksum-changed.zip|1|signature .*the header's checksum is not the signed file's|
sig-certificate-twice.zip|1|signature .*carries a certificate twice|
sig-digest-algorithm-added.zip|1|signature .*lists digest algorithms other than its signer's|
sig-intruder-certificate.zip|1|signature .*not on its signer's chain: CN=Test web|--ca $pki/ca.pem
sig-signer-missing.zip|1|signature .*the certificate the signer information names .* is missing|
sig-unexpected-attribute.zip|1|signature .*unexpected unsigned attribute 1.2.3.4.5|
sig-signed-digest-byte.zip|1|signature .*the signature signs a digest that is not its content's|--ca $pki/ca.pem
sig-value-byte.zip|1|signature .*the signature does not match what it signs|
sig-timestamp-byte.zip|1|signature .*the time stamp of the signature does not match what it signs|
sig-nested-intruder.zip|1|chain .*a signature does not lead to|--ca $pki/ca.pem
sig-escaped-signer.zip|1|chain .*a signature does not lead to|--ca $pki/ca.pem
EOF2
case_name="a broken signature beside --ca: the chain line says it was not checked, and why"
expect 1 "chain: +not checked: the signature is broken" \
  "$repo/scripts/verify.sh" "$hostile/sig-value-byte.zip" --ca "$pki/ca.pem"
case_name="a nested signature is listed with its own signer and chain"
expect 1 "nested signature 1:;signer: +CN=Intruder;chain: +FAILED: it does not lead;signer: +CN=Test publisher" \
  "$repo/scripts/verify.sh" "$hostile/sig-nested-intruder.zip" --ca "$pki/ca.pem"
case_name="the signer is the one the signer information names, not a guess from the set"
expect 1 "signer: +CN=Test publisher;not on its signer's chain" \
  "$repo/scripts/verify.sh" "$hostile/sig-intruder-certificate.zip"

echo "== two releasers with different git settings get the same zip"
cat > "$t/gitconfig" << EOF2
[core]
	autocrlf = true
	attributesFile = $t/gitattributes
[filter "smudgy"]
	smudge = sed s/Resource/Smudged/
EOF2
echo '* filter=smudgy' > "$t/gitattributes"
git -C "$repo" config core.autocrlf true
case_name="a release under a smudge filter, autocrlf and eol settings"
expect 0 "dist/tarnel-1\.0\.0-win64\.zip" env GIT_CONFIG_GLOBAL="$t/gitconfig" "$repo/scripts/release.sh"
case_name="it is the same zip as the plain release"
expect 0 '' cmp "$t/unsigned.zip" "$zip"
git -C "$repo" config --unset core.autocrlf
info_attributes=$(git -C "$repo" rev-parse --git-path info/attributes)
mkdir -p "$repo/$(dirname "$info_attributes")"
echo '*.cpp filter=smudgy' > "$repo/$info_attributes"
case_name="attributes of the clone itself are refused, not applied"
expect 2 "sets attributes that would change the commit's files" env GIT_CONFIG_GLOBAL="$t/gitconfig" \
  "$repo/scripts/release.sh"
rm "$repo/$info_attributes"

echo
[ "$failures" = 0 ] && echo "release tests: all passed" || echo "release tests: $failures failed"
[ "$failures" = 0 ]
