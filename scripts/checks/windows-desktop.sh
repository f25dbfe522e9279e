#!/usr/bin/env bash
# zelvodesk.exe as scripts/windows-desktop.sh builds it (build/win-desktop):
#   1. its imports name zelvonet.dll with sendSMS2 alone; it is a GUI program
#      with the icon group IDI_ICON1 and the version resource 1.0.3.0;
#   2. the desktop tests, cross-built, pass under wine64;
#   3. started from the unzipped ZIP under Xvfb, the line edits' context menu
#      is German (its "&Kopieren" copies), and the window sends through the
#      gateway simulator, reached as the proxy: the answer box reads
#      "Antwort vom Server: OK" and the message is in the outbox.
# Without a complete toolkit cache (up to an hour's build) it only says so: exit 77.
# Usage: bash scripts/checks/windows-desktop.sh <repo-root>
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
if ! why=$("$root/scripts/windows-desktop.sh" --cache-status); then
  echo "windows-desktop: SKIP: $why; fill it with: scripts/windows-desktop.sh (as root)"
  exit 77
fi
[ "${ZELVO_WIN_DESKTOP_BUILT:-0}" = 1 ] || "$root/scripts/windows-desktop.sh" --no-check || exit 1
build=$root/build/win-desktop
work=$(mktemp -d /tmp/zelvo-windesk.XXXXXX)
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver64
pids=()
trap '"$wineserver" -k 2>/dev/null; kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "windows-desktop: FAILED: $*"; failures=$((failures + 1)); }
step() { echo "-- windows-desktop: $*"; }
unzip -q "$build"/zelvodesk-*-win64.zip -d "$work/unzipped" || exit 1
folder=$(echo "$work"/unzipped/zelvodesk-*)
exe=$folder/zelvodesk.exe  # as a user gets it
# until_true SECONDS COMMAND...: runs COMMAND every half second until it succeeds.
until_true() {
  local end=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do [ $SECONDS -lt $end ] || return 1; sleep 0.5; done
}

# ---------------------------------------------------------------- 1. the exe
pe=$(x86_64-w64-mingw32-objdump -p "$exe")
from_lib=$(awk '/DLL Name:/ {dll = $3; next} /^$/ {dll = ""}
  dll == "zelvonet.dll" && NF == 3 && $2 ~ /^[0-9]+$/ {print $3}' <<<"$pe" | paste -sd' ')
step "imports from zelvonet.dll: ${from_lib:-none}; DLLs: $(awk '/DLL Name:/ {printf "%s ", $3}' <<<"$pe")"
[ "$from_lib" = sendSMS2 ] || fail "zelvodesk.exe imports '$from_lib' from zelvonet.dll, not sendSMS2 alone"
grep -q 'Subsystem.*(Windows GUI)' <<<"$pe" || fail "zelvodesk.exe is not a GUI program"
wrestool -l "$exe" | grep -- "--type=14 --name='IDI_ICON1'" >/dev/null || fail "no icon group IDI_ICON1"
cmake -DFILE="$exe" -DFIXED=1.0.3.0 "-DSTRINGS=FileVersion=1.0;OriginalFilename=zelvodesk.exe" \
  -P "$root/cmake/check_version_resource.cmake" 2>&1 | sed 's/^/   /'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "version resource of zelvodesk.exe"

# ---------------------------------------------------------------- Wine, Xvfb
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
until_true 20 test -s "$work/display" || { fail "Xvfb did not start"; exit 1; }
export DISPLAY=:$(cat "$work/display")
"$wineserver" -p 2>/dev/null  # one server for the whole run
timeout 300 "$wine" wineboot -i >"$work/wineboot.log" 2>&1
# Unmanaged windows: without a window manager Wine waits 2 s for each hidden one (every
# message box). The toolkit draws Wine's own Tahoma with wrong glyphs: DejaVu Sans stands in.
{ timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
  timeout 60 "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Tahoma /d 'DejaVu Sans' /f
} >>"$work/wineboot.log" 2>&1 </dev/null

# ---------------------------------------------------------------- 2. the desktop tests
toolkit=$why
step "desktop tests under $("$wine" --version)"
# zelvonet.dll, the toolkit's DLLs and the compiler's runtime (for the
# toolkit's plugins) through Wine's search path.
winpath() { local d; d=$(cd "$1" && pwd); echo "Z:${d//\//\\}"; }
cxx=x86_64-w64-mingw32-g++-posix
rt=$(dirname "$($cxx -print-file-name=libstdc++-6.dll)") pt=$(dirname "$($cxx -print-file-name=libwinpthread-1.dll)")
WINEPATH="$(winpath "$build/bin");$(winpath "$toolkit/bin");$(winpath "$rt");$(winpath "$pt")" \
  timeout 1200 ctest --test-dir "$build/desktop" --timeout 300 --output-on-failure \
  >"$work/ctest.log" 2>&1 </dev/null
rc=$?
grep -E "tests passed|\*\*\*Failed|\*\*\*Timeout|Not Run|No tests" "$work/ctest.log" | sed 's/^/   /'
[ $rc -eq 0 ] && grep -q "tests passed" "$work/ctest.log" || { tail -n 60 "$work/ctest.log"; fail "desktop tests under Wine"; }

# ---------------------------------------------------------------- 3. the unzipped program
files=$(cd "$folder" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | paste -sd' ')
step "the program from $(basename "$build"/zelvodesk-*-win64.zip): $files"
[ "$files" = "Qt6Concurrent.dll Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libgcc_s_seh-1.dll libstdc++-6.dll \
libwinpthread-1.dll platforms/qwindows.dll qt_de.qm qtbase_de.qm qtmultimedia_de.qm \
styles/qwindowsvistastyle.dll zelvodesk.exe zelvonet.dll" ] ||
  fail "the ZIP does not hold exactly the program, its DLLs, plugins and catalogs"
host=$root/build/win-desktop-host
{ cmake -S "$root" -B "$host" -DZELVO_BUILD_DESKTOP=OFF -DZELVO_BUILD_TESTS=OFF &&
  cmake --build "$host" --target zelvo-gateway; } >"$work/host.log" 2>&1 || { tail "$work/host.log"; exit 1; }
"$host/tools/zelvo-gateway" --listen 127.0.0.1:0 --outbox "$work/outbox.jsonl" >"$work/gateway.log" 2>&1 &
pids+=($!)
until_true 20 grep -q 'listening on' "$work/gateway.log" || { fail "the simulator did not start"; exit 1; }
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/gateway.log")
(cd "$folder" && exec "$wine" zelvodesk.exe) >"$work/program.log" 2>&1 & disown
window() { xdotool search --name "^$1\$" | head -n 1 | grep .; }
until_true 120 window SendSMS >/dev/null || { cat "$work/program.log"; fail "no SendSMS window"; exit 1; }
win=$(window SendSMS)
clipboard() { timeout 5 xclip -o -selection clipboard 2>/dev/null; }
xdotool windowfocus --sync "$win" && sleep 1
xdotool type --delay 40 12345
# The context menu of the customer number: its German "&Kopieren" is K.
xdotool key ctrl+a Menu && sleep 1 && xdotool key k && sleep 1
[ "$(clipboard)" = 12345 ] || fail "the line edit's context menu is not German (K did not copy)"
# keys TEXT...: types each TEXT into the focused field, then Tab.
keys() { for t in "$@"; do [ -z "$t" ] || xdotool type --delay 40 "$t"; xdotool key Tab; sleep 0.2; done; }
# Tab order: kdnr, kuerzel, key, receiver, testSend, proxy, proxy host and
# port, message. The message takes Tab (with or without Shift, under Wine) as
# text: the send button, at the bottom right, is clicked.
xdotool key Tab && keys tst geheim 01711234567 "" && xdotool key space Tab && keys 127.0.0.1 "$port"
xdotool type --delay 40 "Hallo aus Wine" && eval "$(xdotool getwindowgeometry --shell "$win")"
xdotool mousemove --window "$win" $((WIDTH - 58)) $((HEIGHT - 23)) click 1
until_true 60 test -s "$work/outbox.jsonl" || fail "nothing reached the simulator"
copied() { xdotool key ctrl+c && sleep 1 && clipboard | grep "Antwort vom Server" >/dev/null; }
until_true 30 copied  # a message box copies its text on Ctrl+C
answer=$(clipboard)
step "answer box: $(tr '\n' ' ' <<<"$answer")"
grep -q "Antwort vom Server: OK" <<<"$answer" || fail "the answer box does not read 'Antwort vom Server: OK'"
grep -q '"msg":"Hallo aus Wine"' "$work/outbox.jsonl" || fail "the message is not in the outbox"
[ -z "${ZELVO_WIN_DESKTOP_SCREENSHOT:-}" ] || { import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" \
  "$ZELVO_WIN_DESKTOP_SCREENSHOT" && step "screenshot: $ZELVO_WIN_DESKTOP_SCREENSHOT"; }

[ $failures -eq 0 ] && { echo "windows-desktop: passed"; exit 0; }
echo "windows-desktop: $failures failure(s)"
exit 1
