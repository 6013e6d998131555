#!/usr/bin/env bash
# Formatting and static checks with the repository's own configurations.
#   scripts/lint.sh [BUILD_DIR]   (BUILD_DIR holds compile_commands.json; default build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
cd "$root"

git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run --Werror
echo "lint: clang-format clean" >&2

# Which folder may include which (include_rules).
git ls-files '*.cpp' '*.h' '*.c' | xargs python3 scripts/check_includes.py include_rules
echo "lint: include rules kept" >&2

# Product sources only: the tests and fuzz harnesses are checked by running them.
git ls-files '*.cpp' | grep -vE '^(tests|bench|fuzz)/' | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null
echo "lint: clang-tidy clean" >&2
