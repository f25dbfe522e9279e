#!/usr/bin/env bash
# zelvodesk.exe as scripts/windows-desktop.sh builds it (build/win-desktop):
#   1. its imports name zelvonet.dll with sendSMS2 alone; it is a GUI program
#      with the icon group IDI_ICON1 and the version resource 1.0.3.0;
#   2. the desktop tests, cross-built, pass under wine64;
#   3. started from the unzipped ZIP under Xvfb, the line edits' context menu
#      is German (its "&Kopieren" copies), and the window sends through the
#      gateway simulator, reached as the proxy: the answer box reads
#      "Antwort vom Server: OK" and the message is in the outbox;
#   4. the installer carries the version 1.0.3.0 and the program's icon; a
#      silent install into a fresh prefix puts the files, the Start menu
#      entry and the uninstall entry in place, the program started from that
#      entry sends as in 3., and the silent uninstall, waited for, leaves
#      nothing of ours behind.
# Every run starts from fresh Wine prefixes, which differ from Wine's own only
# in unmanaged windows; nothing in them touches fonts.
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
# No Mono or Gecko downloads, and no menu entries in the host's desktop.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver64
pids=()
trap 'for p in "$work"/prefix*; do WINEPREFIX=$p "$wineserver" -k 2>/dev/null; done
  kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
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
# fresh_prefix: a new prefix in $WINEPREFIX. Unmanaged windows: without a window
# manager Wine waits 2 s for each hidden one (every message box).
fresh_prefix() {
  timeout 300 "$wine" wineboot -i >>"$work/wineboot.log" 2>&1 </dev/null
  timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$work/wineboot.log" 2>&1 </dev/null
}
fresh_prefix
"$wineserver" -p 2>/dev/null  # one server for the tests and the unzipped program

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
window() { xdotool search --name "^$1\$" | head -n 1 | grep .; }
clipboard() { timeout 5 xclip -o -selection clipboard 2>/dev/null; }
# keys TEXT...: types each TEXT into the focused field, then Tab.
keys() { for t in "$@"; do [ -z "$t" ] || xdotool type --delay 40 "$t"; xdotool key Tab; sleep 0.2; done; }
# menu_up: the program shows a second window, its context menu.
menu_up() { [ "$(xdotool search --onlyvisible --class zelvodesk.exe 2>/dev/null | wc -l)" -gt 1 ]; }
copied() { xdotool key ctrl+c && sleep 1 && clipboard | grep "Antwort vom Server" >/dev/null; }
# sends LABEL TEXT: in the SendSMS window just started, checks the German
# context menu, sends TEXT through the simulator as the proxy and reads the
# answer box; then closes both. Returns 1 when there is no window.
sends() {
  local label=$1 text=$2 win answer
  until_true 120 window SendSMS >/dev/null || { cat "$work/program.log"; fail "$label: no SendSMS window"; return 1; }
  win=$(window SendSMS)
  xdotool windowfocus --sync "$win" && sleep 1
  xdotool type --delay 40 12345
  # The context menu of the customer number, once it is up: its German
  # "&Kopieren" is K.
  xdotool key ctrl+a Menu
  until_true 20 menu_up || fail "$label: no context menu"
  sleep 0.5 && xdotool key k && sleep 1
  [ "$(clipboard)" = 12345 ] || fail "$label: the line edit's context menu is not German (K did not copy)"
  # Tab order: kdnr, kuerzel, key, receiver, testSend, proxy, proxy host and
  # port, message. The message takes Tab (with or without Shift, under Wine) as
  # text: the send button, at the bottom right, is clicked.
  xdotool key Tab && keys tst geheim 01711234567 "" && xdotool key space Tab && keys 127.0.0.1 "$port"
  xdotool type --delay 40 "$text" && eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove --window "$win" $((WIDTH - 58)) $((HEIGHT - 23)) click 1
  until_true 60 grep -q "\"msg\":\"$text\"" "$work/outbox.jsonl" || fail "$label: the message is not in the outbox"
  until_true 30 copied  # a message box copies its text on Ctrl+C
  answer=$(clipboard)
  step "$label: answer box: $(tr '\n' ' ' <<<"$answer")"
  grep -q "Antwort vom Server: OK" <<<"$answer" || fail "$label: the answer box does not read 'Antwort vom Server: OK'"
  [ -z "${ZELVO_WIN_DESKTOP_SCREENSHOT:-}" ] || [ "$label" != unzipped ] || {
    import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" "$ZELVO_WIN_DESKTOP_SCREENSHOT" &&
      step "screenshot: $ZELVO_WIN_DESKTOP_SCREENSHOT"; }
  # Return closes the answer box, Alt+F4 the window.
  xdotool key Return && sleep 1 && xdotool windowfocus --sync "$win" key alt+F4
  until_true 30 sh -c '! xdotool search --name "^SendSMS\$" >/dev/null' || fail "$label: the window does not close"
}
(cd "$folder" && exec "$wine" zelvodesk.exe) >"$work/program.log" 2>&1 & disown
sends unzipped "Hallo aus Wine"
"$wineserver" -k 2>/dev/null

# ---------------------------------------------------------------- 4. the installer
setup=$(echo "$build"/zelvodesk-*-setup.exe)
step "$(basename "$setup"): $(du -k "$setup" | cut -f1) KiB"
cmake -DFILE="$setup" -DFIXED=1.0.3.0 "-DSTRINGS=ProductVersion=1.0.3;ProductName=Zelvo SMS" \
  -P "$root/cmake/check_version_resource.cmake" 2>&1 | sed 's/^/   /'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "version resource of the installer"
# The installer's icon is the program's: its images are among those of zelvodesk.exe.
icons() { wrestool -l --type=3 "$1" | while read -r _ name _; do
  wrestool -x --raw --type=3 "$name" "$1" | sha256sum; done | sort -u; }
icons "$exe" >"$work/exe-icons"
shared=$(icons "$setup" | grep -Fxcf "$work/exe-icons")
step "the installer's icon: $shared of its images are the program's ($(wc -l <"$work/exe-icons") in the program)"
[ "$shared" -gt 0 ] || fail "the installer does not carry the program's icon"
export WINEPREFIX=$work/prefix-install
fresh_prefix
timeout 300 "$wine" "$setup" /S >"$work/setup.log" 2>&1 </dev/null || fail "the silent install exited with $?"
drive=$WINEPREFIX/drive_c
installed=$drive/"Program Files"/zelvodesk
entry=$drive/ProgramData/Microsoft/Windows/"Start Menu"/Programs/"Zelvo SMS.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\zelvodesk'
got=$( (cd "$installed" 2>/dev/null && find . -type f | sed 's|^\./||' | LC_ALL=C sort | paste -sd' ') )
[ "$got" = "$(LC_ALL=C sort <(tr ' ' '\n' <<<"$files Uninstall.exe") | paste -sd' ')" ] ||
  fail "Program Files\\zelvodesk does not hold the ZIP's files and Uninstall.exe: $got"
# The entry starts the program in its folder, where it finds the catalogs.
[ -f "$entry" ] && strings -el "$entry" | grep -qx 'C:\\Program Files\\zelvodesk' ||
  fail "no Start menu entry starting zelvodesk.exe in its folder"
value() { timeout 60 "$wine" reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_[A-Z]* *//p'; }
step "installed: $(wc -w <<<"$got") files, the Start menu entry, the uninstall entry" \
  "\"$(value DisplayName)\" $(value DisplayVersion), $(($(value EstimatedSize))) KiB"
[ "$(value DisplayName)" = "Zelvo SMS" ] && [ "$(value DisplayVersion)" = 1.0.3 ] &&
  [ "$(value QuietUninstallString)" = '"C:\Program Files\zelvodesk\Uninstall.exe" /S' ] ||
  fail "the uninstall entry lacks its name, version or quiet uninstall command"
timeout 60 "$wine" start 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Zelvo SMS.lnk' \
  >"$work/program.log" 2>&1 </dev/null
sends installed "Hallo vom Startmenue" || true
# The uninstaller copies itself to %TEMP% and returns at once; its copy
# removes the files: the prefix's server ends once every program in it has.
timeout 60 "$wine" 'C:\Program Files\zelvodesk\Uninstall.exe' /S >"$work/uninstall.log" 2>&1 </dev/null ||
  fail "the silent uninstall exited with $?"
timeout 120 "$wineserver" -w || fail "the uninstaller did not end within 120 s"
left=$( { [ -e "$installed" ] && echo "$installed"; [ -e "$entry" ] && echo "$entry"
  timeout 60 "$wine" reg query "$key" >/dev/null 2>&1 && echo "$key"
  find "$drive" -iname '*zelvo*'; grep -il zelvo "$WINEPREFIX"/*.reg; } 2>/dev/null)
# What the uninstaller's copy leaves in %TEMP% goes at the next start.
timeout 120 "$wine" wineboot -r >>"$work/wineboot.log" 2>&1 </dev/null; timeout 120 "$wineserver" -w
left+=$(find "$drive"/users/*/Temp -maxdepth 1 -name '~nsu*' 2>/dev/null)
step "uninstalled; left behind: ${left:-nothing}"
[ -z "$left" ] || fail "the uninstall left $(echo $left)"

[ $failures -eq 0 ] && { echo "windows-desktop: passed"; exit 0; }
echo "windows-desktop: $failures failure(s)"
exit 1
