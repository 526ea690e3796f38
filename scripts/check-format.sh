#!/usr/bin/env bash
# Checks that every C and C++ source follows the committed .clang-format. Fix with:
#   clang-format -i <files>
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

FOLDERS=(engine tests tools bench examples fuzz plugins)

command -v clang-format >/dev/null || murel_setup

cd "$ROOT"
existing=()
for folder in "${FOLDERS[@]}"; do
    [[ -d "$folder" ]] && existing+=("$folder")
done
mapfile -t files < <(find "${existing[@]}" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' \
    -o -name '*.cpp' \) | sort)
[[ ${#files[@]} -gt 0 ]] || murel_fail "no sources found"

echo "$(clang-format --version | head -n 1); ${#files[@]} files"
if ! clang-format --dry-run -Werror "${files[@]}"; then
    echo "format check failed: run clang-format -i on the files above" >&2
    exit 1
fi
echo "format check passed"
