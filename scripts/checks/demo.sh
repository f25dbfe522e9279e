#!/usr/bin/env bash
# Runs the README's first command without a display: one message through
# the simulator on localhost:8080 must come back "OK". Skips, with a notice,
# when port 8080 is taken on this machine (the demo ends with 75 then),
# since the library's built-in gateway is localhost:8080.
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 3000 "$root/scripts/demo.sh" 2>&1)
status=$?
echo "$out" | tail -15
if [ "$status" -eq 75 ]; then
  echo "demo: SKIP: port 8080 is taken on this machine, the demo could not run"
  exit 77
fi
[ "$status" -eq 0 ] || { echo "demo check: the demo ended with status $status"; exit 1; }
echo "$out" | grep '200 "OK" kdnr=12345' >/dev/null || { echo "demo check: no simulator line"; exit 1; }
[ "$(echo "$out" | grep -cx 'OK')" -ge 1 ] || { echo "demo check: no answer OK"; exit 1; }
echo "demo check: the message arrived and was answered OK"
