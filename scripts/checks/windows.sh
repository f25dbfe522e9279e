#!/usr/bin/env bash
# The Windows deliverables, cross-built with mingw-w64 (build/win):
#   1. zelvonet.dll with its import library and the library's test programs;
#   2. the DLL's export table is exactly sendSMS2 and sendSMS, it needs no
#      DLL beyond Windows' own, and its version resource reads 1.0.3.0 with
#      the strings "1, 0, 3, 0" (from the project version);
#   3. the test programs run under wine64; where Wine cannot run here they
#      are skipped with a notice saying why;
#   4. desktop/zelvodesk.rc compiles to the project version, its icon group
#      IDI_ICON1 holding the 64, 48, 32 and 16 pixel images at 32 bits.
# Usage: bash scripts/checks/windows.sh <repo-root>
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cd "$root" || exit 1

"$root/scripts/ensure-packages.sh" build windows || exit 1

build=$root/build/win
mkdir -p "$root/build"
triplet=x86_64-w64-mingw32
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d /tmp/zelvo-windows.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "windows: FAILED: $*"; failures=$((failures + 1)); }
step() { echo "-- windows: $*"; }

version=$(sed -n 's/^project(zelvo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
IFS=. read -r vmajor vminor vpatch <<<"$version"

# ---------------------------------------------------------------- 1. build
step "cross build in $build (version $version)"
if ! cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVO_WERROR=ON \
       -DZELVO_BUILD_DESKTOP=OFF -DZELVO_BUILD_TOOLS=OFF >"$build.configure.log" 2>&1 ||
   ! cmake --build "$build" -j"$jobs" \
       --target zelvonet zelvonet_core_tests zelvonet_export_tests >"$build.build.log" 2>&1; then
  tail -n 40 "$build.configure.log" "$build.build.log" 2>/dev/null
  echo "windows: FAILED: the cross build"
  exit 1
fi
dll=$build/bin/zelvonet.dll
[ -f "$build/library/libzelvonet.dll.a" ] || fail "no import library"

# ---------------------------------------------------------------- 2. the DLL
step "zelvonet.dll: export table, imports, version resource"
cmake -DDLL="$dll" -DOBJDUMP=$triplet-objdump -DVERSION="$version" \
  -P "$root/cmake/check_dll.cmake" 2>&1 | sed 's/^/   /'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "export table, imports or version resource of zelvonet.dll"

# ---------------------------------------------------------------- 3. under Wine
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(dirname "$wine")/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo "$wineserver")
wine_reason=""
if [ ! -x "$wine" ]; then
  wine_reason="wine64 is not installed"
else
  # The first start sets up the prefix, which takes a while; the server
  # that did it is then stopped. One Wine server for this prefix serves the
  # whole run: left to itself it quits a few seconds after its last program,
  # and a test program starting just then loses its connection to it. The
  # second start brings up Wine's helper processes under that server, with
  # a file as their output: started later by a test listing, they would
  # hold ctest's pipe open until its time-out.
  timeout 300 "$wine" "$build/bin/zelvonet_export_tests.exe" --gtest_list_tests \
    >"$work/probe.log" 2>&1 </dev/null
  "$wineserver" -k >/dev/null 2>&1 </dev/null || true
  "$wineserver" -w >/dev/null 2>&1 </dev/null || true
  "$wineserver" -p >/dev/null 2>&1 </dev/null || true
  timeout 300 "$wine" "$build/bin/zelvonet_export_tests.exe" --gtest_list_tests \
    >"$work/probe.log" 2>&1 </dev/null
  rc=$?
  probe=$(cat "$work/probe.log")
  if [ $rc -ne 0 ] || ! grep -q "SendSMSIsSendSMS2WithoutTest" <<<"$probe"; then
    wine_reason="wine64 cannot run the test program here (exit $rc): $(head -c 300 <<<"$probe" | tr '\n' ' ')"
  fi
fi
if [ -n "$wine_reason" ]; then
  echo "windows: SKIP: the Windows test programs were NOT run: $wine_reason"
else
  step "the library's test programs under $("$wine" --version 2>/dev/null)"
  (cd "$build" && timeout 900 ctest -R '^library\.' -j"$jobs" --timeout 300 --output-on-failure) \
    >"$work/ctest.log" 2>&1 </dev/null
  rc=$?
  if [ $rc -ne 0 ] && grep -q "wine client error" "$work/ctest.log"; then
    # The program lost its Wine server, not a test its assertion: run the
    # failed ones once more, and say so.
    echo "   Wine server connection lost; running the failed tests once more:"
    grep -E "\*\*\*Failed" "$work/ctest.log" | sed 's/^/   /'
    (cd "$build" && timeout 600 ctest --rerun-failed -j1 --timeout 300 --output-on-failure) \
      >"$work/ctest-again.log" 2>&1 </dev/null
    rc=$?
    cat "$work/ctest-again.log" >>"$work/ctest.log"
  fi
  grep -E "tests passed|Skipped|\*\*\*Failed|\*\*\*Timeout|Not Run" "$work/ctest.log" | sed 's/^/   /'
  if [ $rc -ne 0 ]; then
    tail -n 60 "$work/ctest.log"
    fail "tests under Wine"
  fi
fi
[ -x "$wine" ] && { "$wineserver" -k >/dev/null 2>&1 || true; }

# ---------------------------------------------------------------- 4. desktop resources
# desktop/zelvodesk.rc as it stands (the numbers written in it) and as the
# build compiles it (from elsewhere, the project version passed in), linked
# into a GUI program: the version, the icon group and its four images.
step "desktop/zelvodesk.rc"
expect_strings="FileVersion=$vmajor.$vminor;ProductVersion=$vmajor.$vminor;OriginalFilename=zelvodesk.exe;CompanyName=Zelvo;FileDescription=Zelvo SMS desktop sender;InternalName=zelvodesk;ProductName=Zelvo SMS"
for how in standalone built; do
  defs=()
  [ $how = built ] && defs=(-DZELVODESK_VERSION_MAJOR="$vmajor" -DZELVODESK_VERSION_MINOR="$vminor"
                           -DZELVODESK_VERSION_PATCH="$vpatch")
  (cd "$work" && $triplet-windres -O coff -I "$root/desktop" "${defs[@]}" "$root/desktop/zelvodesk.rc" -o $how.o) ||
    { fail "windres does not compile desktop/zelvodesk.rc ($how)"; continue; }
  cmake -DFILE="$work/$how.o" -DFIXED="$version.0" "-DSTRINGS=$expect_strings" \
    -P "$root/cmake/check_version_resource.cmake" 2>&1 | sed "s/^/   $how: /"
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "zelvodesk.rc ($how) does not carry version $version"
done
printf 'int main(void) { return 0; }\n' >"$work/stub.c"
$triplet-gcc -mwindows "$work/stub.c" "$work/built.o" -o "$work/zelvodesk.exe" || fail "linking the resources"
$triplet-objdump -p "$work/zelvodesk.exe" | grep "Subsystem.*(Windows GUI)" >/dev/null || fail "not a GUI program"
wrestool -x --type=14 --name=IDI_ICON1 "$work/zelvodesk.exe" -o "$work/group.ico" 2>/dev/null
for ico in "$root/desktop/images/zelvodesk.ico" "$work/group.ico"; do
  sizes=$(icotool -l "$ico" 2>/dev/null | sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\) --bit-depth=\([0-9]*\).*/\1x\2@\3/p' | paste -sd' ')
  echo "   ${ico##*/}: $sizes"
  [ "$sizes" = "64x64@32 48x48@32 32x32@32 16x16@32" ] ||
    fail "${ico##*/} holds '$sizes', expected 64, 48, 32 and 16 pixels at 32 bits (group IDI_ICON1)"
done

if [ $failures -eq 0 ]; then
  echo "windows: passed${wine_reason:+ (Wine tests SKIPPED: $wine_reason)}"
  exit 0
fi
echo "windows: $failures failure(s)"
exit 1
