#!/usr/bin/env bash
# The documents hold together: every section the README once had has a home
# (docs-sections.txt: "old heading -> file#heading"), and every relative link
# of README.md and docs/*.md reaches an existing file and heading.
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
if ! command -v python3 >/dev/null; then
  echo "docs: SKIP: no python3 to read the documents"; exit 77
fi
exec python3 "$root/scripts/checks/docs.py" "$root"
