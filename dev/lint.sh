#!/usr/bin/env bash
# Checks the sources without building them: shellcheck on every script, clang-format on the C and C++
# sources (the style in .clang-format), cppcheck for the warnings that point at real faults, the faults
# that only MSVC would show (dev/msvc_check.py), and the hosted CI workflow against its published
# schema. Installs what it lacks (Debian packages, and the workflow validator from npm into
# build/lint-tools).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck disable=SC2034 # read by deps.sh
tarnel_need=(git shellcheck clang-format-14 cppcheck cmake make g++-mingw-w64-x86-64-posix googletest python3)
command -v npm >/dev/null || tarnel_need+=(npm)
# shellcheck source=dev/deps.sh
source dev/deps.sh

validator_version=0.6.0
failed=()
# The files git knows, and those it would add: what a commit of this tree holds.
files() { git ls-files --cached --others --exclude-standard "$@"; }

listed=$(files '*.sh' .ci/run)
mapfile -t scripts <<<"$listed"
echo "shellcheck: ${#scripts[@]} scripts"
shellcheck -x "${scripts[@]}" || failed+=(shellcheck)

listed=$(files '*.c' '*.cpp' '*.h')
mapfile -t sources <<<"$listed"
echo "clang-format: ${#sources[@]} sources"
clang-format-14 --dry-run -Werror "${sources[@]}" || failed+=(clang-format)

# Warnings, portability and performance; not style. GoogleTest's table macro with an empty prefix is
# beyond cppcheck's parser, so it is read as nothing (the rows are data).
echo "cppcheck: src tests bench"
cppcheck --quiet --error-exitcode=1 --inline-suppr --enable=warning,portability,performance --std=c++17 \
  --library=windows --library=googletest -D_WIN64 '-DINSTANTIATE_TEST_SUITE_P(...)=' -I src -I tests \
  src tests bench || failed+=(cppcheck)

# MSVC's /W4 /WX refuses what a mingw-w64 build lets through: the Windows SDK's min and max macros
# (mingw-w64's libstdc++ defines NOMINMAX itself), a wide string narrowed inside the standard library
# (C4244), a name that hides another (C4456 to C4459). Each source is compiled once more with its flags
# from a configured, unbuilt tree, as msvc_check.py tells.
echo "msvc_check.py: min and max macros, narrowed wide strings, shadowed names"
if cmake -S . -B build/lint -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
     -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null; then
  python3 dev/msvc_check.py build/lint || failed+=(msvc_check)
else
  failed+=("cmake configure for msvc_check")
fi

tools=build/lint-tools
if [ ! -x "$tools/node_modules/.bin/action-validator" ]; then
  tarnel_npm_install "$tools" "@action-validator/cli@$validator_version"
fi
listed=$(files '.github/workflows/*.yml')
mapfile -t workflows <<<"$listed"
echo "action-validator $validator_version: ${workflows[*]:-no workflow}"
for workflow in "${workflows[@]}"; do
  "$tools/node_modules/.bin/action-validator" "$workflow" || failed+=("$workflow")
done

# Every picture the README shows is in the tree: a moved or deleted image leaves a broken page.
listed=$(grep -oE '!\[[^]]*\]\([^) ]+' README.md | sed 's/.*(//' || true)
mapfile -t pictures < <(printf '%s' "$listed" | sed '/^$/d')
echo "README pictures: ${#pictures[@]}"
for picture in "${pictures[@]}"; do
  if [ ! -f "$picture" ] || [ -z "$(files "$picture")" ]; then
    echo "README shows $picture, which is not in the tree" >&2
    failed+=(README-pictures)
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "lint: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "lint: passed"
