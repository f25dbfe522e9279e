#!/usr/bin/env bash
# zelvodesk.exe for 64-bit Windows: the toolkit cross-built from Debian's
# source, the program and its ZIP, checked under Wine.
#
#   1. qtbase 6.4.2 for x86_64 Windows (mingw-w64, cmake/mingw-w64-x86_64.cmake)
#      from Debian's source package qt6-base, with only what the program and
#      its tests use, as shared libraries; moc, rcc and uic come from Debian's
#      own packages (QT_HOST_PATH). The build is cached outside the build
#      tree, keyed by the toolkit's version and configuration: only the first
#      run on a machine pays for it (half an hour to an hour on two cores).
#   2. zelvodesk.exe and zelvonet.dll against it (build/win-desktop), the
#      folder a Windows user unzips, CPack's zelvodesk-1.0.3-win64.zip and
#      the installer zelvodesk-1.0.3-setup.exe (makensis).
#   3. unless --no-check: the checks of scripts/checks/windows-desktop.sh
#      under wine64 and Xvfb.
#
# Usage: scripts/windows-desktop.sh [--no-check] [--screenshot FILE]
#        scripts/windows-desktop.sh --toolkit-only   (fills the cache, nothing else)
#        scripts/windows-desktop.sh --cache-status   (0 and its directory: the cache is complete)
# Environment: ZELVO_QT_CACHE  cache directory (default /var/cache/zelvo/qt-6.4.2-mingw64)
#              ZELVO_JOBS      parallel build jobs (default 2)
set -euo pipefail
{ # the whole script is read before it runs: a build may outlast an edit of it
root=$(cd "$(dirname "$0")/.." && pwd)

qt_version=6.4.2
cache=${ZELVO_QT_CACHE:-/var/cache/zelvo/qt-$qt_version-mingw64}
jobs=${ZELVO_JOBS:-2}
triplet=x86_64-w64-mingw32
toolchain=$root/cmake/mingw-w64-x86_64.cmake
build=$root/build/win-desktop
check=1 screenshot="" status_only=0 toolkit_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --no-check) check=0 ;;
    --screenshot) screenshot=$(realpath -m "$2"); shift ;;
    --cache-status) status_only=1 ;;
    --toolkit-only) toolkit_only=1 ;;
    *) echo "usage: $0 [--no-check] [--screenshot FILE] | --toolkit-only | --cache-status" >&2; exit 64 ;;
  esac
  shift
done
log() { echo "-- windows-desktop: $*"; }
die() { echo "windows-desktop: FAILED: $*" >&2; exit 1; }
seconds() { date +%s; }

# What the toolkit is built with. The program needs Widgets and Concurrent,
# its tests Test and Network; everything else of qtbase is left out:
#   sql, dbus, printsupport, xml   modules the program never loads
#   opengl         the widgets paint in software (INPUT_opengl=no: with
#                  FEATURE_opengl=OFF alone the Windows plugin keeps its
#                  dynamic OpenGL loading and does not compile)
#   tabletevent    the Windows plugin's tablet code needs wintab.h, which
#                  Debian's source leaves out; the window takes no pen input
#   ssl, schannel  the tests' loopback peers talk plain HTTP (the Windows TLS
#                  plugin is built whenever schannel is on, ssl or not)
#   jpeg, gif, ico the image plugins: the pictures are PNG (in QtGui itself),
#                  the program icon comes from the exe's resources
#   direct2d       a second Windows platform plugin besides qwindows; its
#                  DirectWrite font database goes with it (directwrite3: QtGui
#                  builds that database only beside direct2d, and qwindows
#                  would not link), the fonts come through GDI
#   vulkan, sql drivers, examples, tests: nothing of them is used
# The libraries Windows lacks (zlib, PCRE2, HarfBuzz, FreeType, libpng,
# double-conversion) are the copies in the source; pkg-config is off so
# that nothing of the build machine's own libraries can slip in.
qt_features=(
  -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DINPUT_opengl=no
  -DFEATURE_xml=OFF -DFEATURE_tabletevent=OFF -DFEATURE_ssl=OFF -DFEATURE_schannel=OFF
  -DFEATURE_jpeg=OFF
  -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF
  -DFEATURE_vulkan=OFF
  -DFEATURE_pkg_config=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF
  -DFEATURE_system_doubleconversion=OFF
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DBUILD_SHARED_LIBS=ON
  -DCMAKE_BUILD_TYPE=Release
)
# The cross compiler is part of the key: install it first (--cache-status
# only looks).
[ $status_only -eq 1 ] || "$root/scripts/ensure-packages.sh" build desktop windows windows-desktop
# The cache key: toolkit version, the configuration above, the toolchain
# file and the cross compiler's version.
key=$( {
  echo "$qt_version"
  printf '%s\n' "${qt_features[@]}"
  cat "$toolchain"
  $triplet-g++-posix --version 2>/dev/null | head -n 1 || true
} | sha256sum | cut -c1-12)
prefix=$cache/$key
stamp=$prefix/.zelvo-complete

if [ $status_only -eq 1 ]; then
  # Prints the toolkit's directory when it is complete.
  [ -f "$stamp" ] && { echo "$prefix"; exit 0; }
  echo "no complete toolkit build in $prefix"
  exit 1
fi

# ---------------------------------------------------------------- 1. toolkit
build_toolkit() {
  local t0 work src debver
  t0=$(seconds)
  log "building qtbase $qt_version for Windows into $prefix (one-time, half an hour to an hour)"
  mkdir -p "$cache"
  # One build tree for every configuration, reconfigured in place: a changed
  # configuration rebuilds only what it changes.
  work=$(readlink -f "$cache/work")
  # Debian's source package, from Debian's archive.
  local list=/etc/apt/sources.list.d/zelvo-deb-src.sources
  if ! apt-cache showsrc qt6-base 2>/dev/null | grep "^Version: $qt_version" >/dev/null; then
    [ "$(id -u)" -eq 0 ] || die "the toolkit's source needs a deb-src entry: run as root"
    local suite
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    cat >"$list" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
  fi
  mkdir -p "$work/source"
  src=$(find "$work/source" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n 1)
  if [ -z "$src" ] || [ ! -f "$src/CMakeLists.txt" ]; then
    rm -rf "$work/source" && mkdir -p "$work/source"
    (cd "$work/source" && apt-get source -q qt6-base="$(apt-cache showsrc qt6-base |
      sed -n "s/^Version: \($qt_version.*\)/\1/p" | head -n 1)") >"$work/source.log" 2>&1 ||
      { tail -n 20 "$work/source.log"; die "apt-get source qt6-base"; }
    src=$(find "$work/source" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n 1)
  fi
  debver=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
  log "source: Debian's qt6-base $debver"
  # The build directory stays until the install is complete, so that an
  # interrupted build goes on where it stopped.
  configure() {
    nice -n 10 cmake -S "$src" -B "$work/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
      "${qt_features[@]}" >"$work/configure.log" 2>&1
  }
  log "configuring (log: $work/configure.log)"
  # A tree configured for another source starts afresh.
  grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$src" "$work/build/CMakeCache.txt" 2>/dev/null ||
    rm -rf "$work/build"
  configure || { tail -n 40 "$work/configure.log"; die "configuring qtbase"; }
  log "building with -j$jobs (log: $work/build.log)"
  # -k 0: a failing step does not stop the others, so one run shows every
  # failure and what did build is kept for the next run.
  nice -n 10 cmake --build "$work/build" -j"$jobs" -- -k 0 >"$work/build.log" 2>&1 ||
    { grep -B2 -A12 -m3 'FAILED\|error:' "$work/build.log" | head -n 60; die "building qtbase"; }
  rm -rf "$prefix"
  cmake --install "$work/build" >"$work/install.log" 2>&1 ||
    { tail -n 20 "$work/install.log"; die "installing qtbase"; }
  [ -f "$prefix/bin/Qt6Widgets.dll" ] && [ -f "$prefix/plugins/platforms/qwindows.dll" ] ||
    die "the installed toolkit lacks Qt6Widgets.dll or platforms/qwindows.dll"
  # Written last: only a complete install counts.
  printf 'qtbase %s (Debian %s), built %s in %s s\nconfiguration:\n%s\n' "$qt_version" "$debver" \
    "$(date -u +%FT%TZ)" "$(($(seconds) - t0))" "$(printf '  %s\n' "${qt_features[@]}")" >"$stamp.tmp"
  mv "$stamp.tmp" "$stamp"
  rm -rf "$work"
  log "toolkit complete in $(($(seconds) - t0)) s"
}

t_start=$(seconds)
mkdir -p "$cache"
exec 9>"$cache/.lock"
if [ ! -f "$stamp" ]; then
  flock 9
  [ -f "$stamp" ] || build_toolkit
fi
flock -s 9
log "toolkit: $prefix ($(head -n 1 "$stamp"))"
[ $toolkit_only -eq 0 ] || exit 0

# ---------------------------------------------------------------- 2. program
# The toolkit's own toolchain file adds its prefix to the cross search paths
# and names the host tools; it chains to the project's.
t_program=$(seconds)
log "configuring and building in $build"
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_BUILD_TYPE=Release -DZELVO_WERROR=ON -DZELVO_BUILD_DESKTOP=ON -DZELVO_BUILD_TOOLS=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$build.configure.log" 2>&1 ||
  { tail -n 40 "$build.configure.log"; die "configuring the program"; }
# desktop/all: the program, its tests and catalogs, and zelvonet.dll.
nice -n 10 cmake --build "$build" -j"$jobs" --target desktop/all >"$build.build.log" 2>&1 ||
  { grep -A12 -m5 'FAILED\|error' "$build.build.log" | head -n 80; die "building the program"; }
rm -f "$build"/zelvodesk-*-win64.zip "$build"/zelvodesk-*-setup.exe
# One run for both of the configuration's generators, ZIP and NSIS: the
# files are staged once.
(cd "$build" && cpack) >"$build.cpack.log" 2>&1 || { tail -n 30 "$build.cpack.log"; die "cpack"; }
zip=$(find "$build" -maxdepth 1 -name 'zelvodesk-*-win64.zip')
[ -f "$zip" ] || die "cpack made no zelvodesk ZIP"
log "$(basename "$zip"): $(du -k "$zip" | cut -f1) KiB, $(unzip -Z1 "$zip" | grep -vc '/$') files"
setup=$(find "$build" -maxdepth 1 -name 'zelvodesk-*-setup.exe')
[ -f "$setup" ] || die "cpack made no zelvodesk installer"
log "$(basename "$setup"): $(du -k "$setup" | cut -f1) KiB"
log "program and ZIP in $(($(seconds) - t_program)) s"

# ---------------------------------------------------------------- 3. checks
if [ $check -eq 1 ]; then
  ZELVO_WIN_DESKTOP_BUILT=1 ZELVO_WIN_DESKTOP_SCREENSHOT=$screenshot \
    bash "$root/scripts/checks/windows-desktop.sh" "$root" || exit 1
fi
log "done in $(($(seconds) - t_start)) s"
exit 0
}
