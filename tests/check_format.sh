#!/usr/bin/env bash
# Fails when a C++ file differs from what clang-format makes of it with the root .clang-format.
# clang-format comes from PyPI, at the version pinned in tests/constraints.txt, so that every
# machine formats alike. To reformat in place: clang-format -i $(bash tests/check_format.sh --list)
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(find src tests/cpp tests/fuzz bench -name '*.cpp' -o -name '*.hpp' | LC_ALL=C sort)
if [ "${1:-}" = --list ]; then
    echo "$files"
    exit 0
fi
wanted=$(grep -o 'clang-format==[0-9.]*' tests/constraints.txt | cut -d= -f3)
found=$(clang-format --version | grep -o '[0-9][0-9.]*' | head -1)
if [ "$found" != "$wanted" ]; then
    echo "check_format.sh: clang-format $found found, $wanted wanted (pip install -c tests/constraints.txt clang-format)" >&2
    exit 1
fi
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
echo "check_format.sh: $(echo "$files" | wc -l) files formatted as .clang-format says"
