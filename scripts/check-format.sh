#!/usr/bin/env bash
# Fails, naming the files, when clang-format (with the project's .clang-format) would change
# any tracked C or C++ source. To fix: clang-format -i on the files named.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h' '*.c')
unformatted=()
for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -ne 0 ]; then
    echo "clang-format would change these files:" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "All ${#files[@]} sources formatted."
