#!/usr/bin/env bash
# The third-party notices and the SBOM against real links: tests/third_party_test.sh BUILD-DIR SOURCE-DIR
# BUILD-DIR holds the suite's own tarnel.exe and its linker map. The script also links the launcher with a
# planted extra library, builds it with the win32 thread model, and once more in another folder.
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2")
generator=$source/scripts/third_party.py
validator_version=10.3.0  # @cyclonedx/cyclonedx-library, with the official CycloneDX schemas
tools=$build/sbom-tools

for need in "$build/tarnel.map" "$build/tarnel.exe"; do
  [ -f "$need" ] || { echo "precondition: $need is missing: build the tarnel target first" >&2; exit 1; }
done
command -v npm >/dev/null || { echo "precondition: npm is missing (apt-get install npm)" >&2; exit 1; }
# For tarnel_npm_install alone: no package is installed from here.
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=()
# shellcheck source=dev/deps.sh
source "$source/dev/deps.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

commit=0123456789abcdef0123456789abcdef01234567
generate() {  # MAP EXE OUT: OUT.txt (notices) and OUT.cdx.json
  python3 "$generator" "$1" --exe "$2" --version 1.0.0 --commit "$commit" --time 2026-01-01T00:00:00Z \
    --notices "$3.txt" --sbom "$3.cdx.json"
}
launcher_build() {  # FOLDER [CMAKE-OPTIONS...]: the launcher alone, from these sources, in FOLDER
  local folder=$1
  shift
  if ! { cmake -S "$source" -B "$folder" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=MinSizeRel -DTARNEL_TESTS=OFF -DTARNEL_BENCH=OFF "$@" &&
          cmake --build "$folder" --target tarnel -j 2; } >"$folder.log" 2>&1; then
    cat "$folder.log" >&2
    return 1
  fi
}
size_without_icon() {  # the file less its .rsrc section's raw size
  local rsrc
  rsrc=$(x86_64-w64-mingw32-objdump -h "$1" | awk '$2 == ".rsrc" { print $3 }')
  echo $(($(stat -c %s "$1") - (0x${rsrc:-0} + 511) / 512 * 512))
}

echo "== the suite's own link: every object accounted for"
python3 "$generator" "$build/tarnel.map" --list >"$work/list"
components=$(grep -v '^ ' "$work/list" | cut -f1 | tr '\n' ' ')
[ "$components" = "tarnel libstdc++ libgcc winpthreads mingw-w64-crt " ] ||
  fail "components: $components"
# Package, version and licence for every third-party component.
grep -v '^ ' "$work/list" | awk -F'\t' '$1 != "tarnel" && ($2 == "-" || $3 == "-" || $4 == "")' | grep . &&
  fail "a component without package, version or licence"
# The map read a second way: each archive member and input object, as archive(member) or object.
sed -n '2,/^Discarded input sections/p' "$build/tarnel.map" |
  sed -n -E 's#^([^ (]*/)?([^ /(]+)\(([^)]+)\).*#\2(\3)#p' | sort -u >"$work/map-members"
sed -n -E 's#^LOAD (/[^ ]*/)?([^ /]+\.o(bj)?)$#\2#p' "$build/tarnel.map" | sort -u >>"$work/map-members"
sort -u -o "$work/map-members" "$work/map-members"
sed -n 's/^  //p' "$work/list" | sort -u >"$work/listed"
diff "$work/map-members" "$work/listed" >"$work/members.diff" || fail "listed objects differ from the map's: $(cat "$work/members.diff")"
echo "$(wc -l <"$work/listed") objects, components: $components"

generate "$build/tarnel.map" "$build/tarnel.exe" "$work/posix"
# The notices that the licences ask for in a binary: winpthreads' (MIT, Lockless Inc.'s BSD text in its
# headers), mingw-w64's ZPL and gdtoa's, GCC's runtime exception; each licence named has its text.
for wanted in "Copyright: 2011-2016 mingw-w64 project" "Copyright: 2010 Lockless Inc." \
              "Copyright: 2009-2016 the mingw-w64 project" "Copyright: 1997-2001 Lucent Technologies" \
              "Redistributions in binary form must reproduce the accompanying" \
              "GCC RUNTIME LIBRARY EXCEPTION" "GNU GENERAL PUBLIC LICENSE"; do
  grep -qiF "$wanted" "$work/posix.txt" || fail "notices lack '$wanted'"
done
grep -q 'gives no further text' "$work/posix.txt" && fail "a licence in the notices has no text"
# Every licence text that a component refers to is there, and none is there that none refers to.
diff <(grep -E '^  License: ' "$work/posix.txt" | grep -oE '\[[0-9]+\]' | sort -u) \
     <(grep -oE '^\[[0-9]+\]' "$work/posix.txt" | sort -u) || fail "licence texts and references differ"

echo "== unaccounted objects fail"
# A member of a library that the table does not know, planted in the map; then a real link with an
# extra static library, once under an unknown name and once under a known name but from no package.
sed '1a /usr/lib/x86_64-linux-gnu/libz.a(inflate.o)' "$build/tarnel.map" >"$work/planted.map"
expect_refusal() {  # MAP TEXT: the generator must fail and name TEXT
  local status=0
  python3 "$generator" "$1" --list >"$work/out" 2>"$work/err" || status=$?
  if [ "$status" -eq 1 ] && grep -qF "$2" "$work/err"; then
    echo "refused: $(cat "$work/err")"
  else
    fail "$1: status $status, expected a refusal naming $2: $(cat "$work/err")"
  fi
}
expect_refusal "$work/planted.map" "libz.a(inflate.o)"
echo 'int planted_value = 42;' >"$work/planted.c"
x86_64-w64-mingw32-gcc-posix -c "$work/planted.c" -o "$work/planted.o"
for name in libplanted.a libmoldname.a; do
  rm -f "$work/$name" && x86_64-w64-mingw32-ar rcs "$work/$name" "$work/planted.o"
  # The launcher's own link, as CMake makes it (its objects archive, from the build folder), plus the library.
  (cd "$build" && x86_64-w64-mingw32-g++-posix -Os -mwindows -static -municode -Wl,--gc-sections \
     "-Wl,-Map=$work/$name.map" -Wl,--whole-archive CMakeFiles/tarnel.dir/objects.a "$work/$name" \
     -Wl,--no-whole-archive -o "$work/planted.exe" -lshlwapi -luser32)
  if [ "$name" = libplanted.a ]; then
    expect_refusal "$work/$name.map" "libplanted.a(planted.o)"
  else
    expect_refusal "$work/$name.map" "no Debian package owns it"
  fi
done

echo "== the win32 thread model: what is linked changes the notices"
launcher_build "$work/win32" -DTARNEL_THREADS=win32
generate "$work/win32/tarnel.map" "$work/win32/tarnel.exe" "$work/win32-out"
grep -q '^winpthreads: ' "$work/posix.txt" || fail "posix notices lack winpthreads"
grep -q '^winpthreads: ' "$work/win32-out.txt" && fail "win32 notices name winpthreads, which it does not link"
grep -q 'Lockless' "$work/win32-out.txt" && fail "win32 notices carry winpthreads' header licence"
grep -q 'g++-mingw-w64-x86-64-win32 ' "$work/win32-out.txt" || fail "win32 notices do not name the win32 compiler's package"
grep -q '"name": "winpthreads"' "$work/win32-out.cdx.json" && fail "win32 SBOM lists winpthreads"
echo "size without icon: posix $(size_without_icon "$build/tarnel.exe") bytes," \
  "win32 $(size_without_icon "$work/win32/tarnel.exe") bytes"

echo "== the SBOM: CycloneDX's own schema and validator, and what it says of tarnel"
if [ ! -f "$tools/node_modules/@cyclonedx/cyclonedx-library/package.json" ] ||
   ! grep -q "\"version\": \"$validator_version\"" "$tools/node_modules/@cyclonedx/cyclonedx-library/package.json" ||
   [ ! -f "$tools/node_modules/spdx-expression-parse/package.json" ]; then
  tarnel_npm_install "$tools" \
    "@cyclonedx/cyclonedx-library@$validator_version" ajv@8.17.1 ajv-formats@3.0.1 ajv-formats-draft2019@1.6.1 \
    spdx-expression-parse@4.0.0
fi
validate() { NODE_PATH=$tools/node_modules node "$source/tests/validate_sbom.js" "$1"; }
for sbom in "$work/posix.cdx.json" "$work/win32-out.cdx.json"; do
  validate "$sbom" || fail "$sbom does not validate"
done
# The validator must also be able to say no: a hash algorithm the schema does not know, a licence
# expression that is no SPDX expression.
sed 's/"alg": "SHA-256"/"alg": "SHA-257"/' "$work/posix.cdx.json" >"$work/broken.cdx.json"
validate "$work/broken.cdx.json" 2>/dev/null && fail "the validator accepted an unknown hash algorithm"
sed 's/"expression": "MIT AND BSD-3-Clause"/"expression": "MIT AND expat"/' "$work/posix.cdx.json" >"$work/broken.cdx.json"
validate "$work/broken.cdx.json" 2>/dev/null && fail "the validator accepted the licence name expat"
python3 - "$work/posix.cdx.json" "$(sha256sum <"$build/tarnel.exe" | cut -d' ' -f1)" "$commit" <<'EOF' || fail "SBOM content"
import json, sys
bom = json.load(open(sys.argv[1]))
tarnel = bom["metadata"]["component"]
assert tarnel["name"] == "tarnel" and tarnel["version"] == "1.0.0", tarnel
assert tarnel["hashes"] == [{"alg": "SHA-256", "content": sys.argv[2]}], tarnel["hashes"]
assert tarnel["licenses"] == [{"license": {"id": "MIT"}}]
assert {"name": "tarnel:commit", "value": sys.argv[3]} in tarnel["properties"]
parts = {c["name"]: c for c in tarnel["components"]}
assert sorted(parts) == ["libgcc", "libstdc++", "mingw-w64-crt", "winpthreads"], sorted(parts)
for c in parts.values():
    assert c["version"] and c["licenses"][0]["expression"], c
    assert {"name": "tarnel:linkage", "value": "static"} in c["properties"], c["name"]
assert parts["winpthreads"]["licenses"][0]["expression"] == "MIT AND BSD-3-Clause"
assert bom["dependencies"][0] == {"ref": "tarnel", "dependsOn": [c["bom-ref"] for c in tarnel["components"]]}
EOF

echo "== two builds in different folders: the same bytes"
mkdir -p "$work/second"
launcher_build "$work/second/deeper"
generate "$work/second/deeper/tarnel.map" "$work/second/deeper/tarnel.exe" "$work/second-out"
for suffix in txt cdx.json; do
  cmp "$work/posix.$suffix" "$work/second-out.$suffix" || fail "the $suffix output differs between two builds"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all third-party checks passed"
