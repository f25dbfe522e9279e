#!/usr/bin/env bash
# Every C and C++ file in git is formatted as .clang-format says; lists the
# files that are not (fix with: git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i).
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cd "$root" || exit 1
scripts/ensure-packages.sh format || exit 1
bad=$(git ls-files -z '*.c' '*.cpp' '*.h' |
  xargs -0 -n 1 sh -c 'clang-format --dry-run --Werror "$0" >/dev/null 2>&1 || echo "$0"')
echo "format: $(git ls-files '*.c' '*.cpp' '*.h' | wc -l) files checked with $(clang-format --version)"
[ -z "$bad" ] && exit 0
echo "format: FAILED: not formatted: $(echo $bad)"; exit 1
