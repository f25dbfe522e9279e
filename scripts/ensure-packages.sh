#!/usr/bin/env bash
# Installs the missing Debian packages of the named groups of
# scripts/packages.txt. As root it uses apt; otherwise it names what is
# missing and fails.
# Usage: scripts/ensure-packages.sh GROUP...
set -euo pipefail
list=$(dirname "$0")/packages.txt
wanted=()
for group in "$@"; do
  line=$(grep -E "^$group:" "$list") || { echo "no package group '$group' in $list" >&2; exit 1; }
  read -r -a names <<<"${line#*:}"
  wanted+=("${names[@]}")
done
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
stamp=/var/lib/apt/periodic/zelvo-update-stamp
if [ ! -e "$stamp" ] || [ -n "$(find "$stamp" -mmin +360 2>/dev/null)" ]; then
  apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
  mkdir -p "$(dirname "$stamp")" && touch "$stamp"
fi
apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}" >/dev/null
