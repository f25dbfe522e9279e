#!/usr/bin/env bash
# The README's first command: installs the missing Debian packages (as root),
# builds everything in build/demo, starts the gateway simulator on
# localhost:8080 with the demo account, then
#   - with a display: the desktop program; the simulator's log shows each
#     message as it arrives; the demo ends when the window is closed;
#   - without one: sends one demo message with zelvo-send and prints the
#     simulator's line for it and the answer.
# Everything it started is stopped again when it ends.
# Exit status: that of the demo send (0 when the simulator said OK) or of
# the window; 75 when port 8080 is taken; 1 when the build fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/demo
jobs=$(nproc 2>/dev/null || echo 2)

scripts/ensure-packages.sh build desktop tools || exit 1

mkdir -p "$build"
buildlog=$root/build/demo.build.log
echo "== building in build/demo (log: build/demo.build.log)"
# The programs only: the tests are built and run by scripts/test.sh.
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVO_BUILD_TESTS=OFF \
         -DZELVONET_GATEWAY_HOST=localhost &&
       cmake --build "$build" -j"$jobs" --target zelvonet zelvo-gateway zelvo-send; } \
     >"$buildlog" 2>&1; then
  tail -n 40 "$buildlog"
  echo "demo: the build failed (see build/demo.build.log)" >&2
  exit 1
fi
if [ -f "$root/desktop/CMakeLists.txt" ] &&
   ! cmake --build "$build" -j"$jobs" --target zelvodesk >>"$buildlog" 2>&1; then
  echo "== the desktop program did not build (see build/demo.build.log); the demo goes on without it"
fi

gateway=$build/tools/zelvo-gateway
send=$build/tools/zelvo-send
desk=$build/desktop/zelvodesk
log=$build/gateway.log
outbox=$build/outbox.jsonl

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

: >"$log"
"$gateway" --listen 127.0.0.1:8080 --outbox "$outbox" >"$log" 2>&1 &
gwpid=$!
pids+=("$gwpid")
for _ in $(seq 100); do
  grep -q "listening on" "$log" && break
  kill -0 "$gwpid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "listening on" "$log"; then
  cat "$log" >&2
  if grep -q "already in use" "$log"; then
    echo "demo: port 8080 on localhost is taken by another program; the library's built-in" \
         "gateway is localhost:8080, so the demo needs it. Stop that program and run again." >&2
    exit 75
  fi
  echo "demo: the gateway simulator did not start" >&2
  exit 1
fi
head -1 "$log"
echo "== demo account: customer number (kdnr) 12345, company (firma) 1, user tst, key geheim"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$desk" ]; then
  echo "== starting the desktop program; every message shows up below as it arrives."
  echo "== close the window to end the demo."
  tail -n +2 -f "$log" &
  pids+=($!)
  (cd "$(dirname "$desk")" && "./$(basename "$desk")")
  status=$?
  sleep 0.2
  exit "$status"
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "== no desktop program built (build/demo/desktop/zelvodesk); sending with zelvo-send instead"
fi
before=$(wc -l <"$log")
echo "== sending one demo message with zelvo-send:"
echo "   ZELVONET_KEY=geheim zelvo-send --kdnr 12345 --firma 1 --user tst --to 01711234567 \\"
echo "     \"Hallo aus der Demo! Grüße vom Simulator.\""
answer=$(ZELVONET_KEY=geheim "$send" --kdnr 12345 --firma 1 --user tst --to 01711234567 \
           "Hallo aus der Demo! Grüße vom Simulator.")
status=$?
for _ in $(seq 50); do
  [ "$(wc -l <"$log")" -gt "$before" ] && break
  sleep 0.1
done
echo "== the simulator's line for it:"
tail -n +"$((before + 1))" "$log"
echo "== the answer zelvo-send printed (exit status $status):"
echo "$answer"
echo "== stored in build/demo/outbox.jsonl:"
tail -n 1 "$outbox"
exit "$status"
