#!/usr/bin/env bash
# Installation and Debian packages, checked as their users meet them:
#   1. build what is installed (build/pkg, prefix /usr), install it into a
#      scratch prefix and check the files there;
#   2. a consumer project outside the tree finds that installation with
#      find_package and with pkg-config, builds, and sends one message through
#      a proxy it plays itself on loopback; a request for version 2 is refused;
#   3. cpack -G DEB; dpkg-deb --contents lists what each package should hold;
#   4. lintian reports no errors;
#   5. the packages install and remove cleanly with dpkg, in a throwaway root
#      (overlays on /usr, /etc and /var in a private mount namespace) where
#      the system allows one, else on this machine with the packages purged
#      afterwards; while installed, the consumer builds against /usr both ways.
# Usage: bash scripts/checks/packaging.sh <repo-root>
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cd "$root" || exit 1

"$root/scripts/ensure-packages.sh" \
  build-essential cmake pkg-config libgtest-dev libgmock-dev \
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev \
  libcpp-httplib-dev libcli11-dev nlohmann-json3-dev \
  dpkg-dev lintian icoutils util-linux || exit 1

build=$root/build/pkg
mkdir -p "$root/build"
work=$(mktemp -d /tmp/zelvo-packaging.XXXXXX)
trap 'rm -rf "$work"' EXIT
jobs=$(nproc 2>/dev/null || echo 2)
failures=0
fail() { echo "packaging: FAILED: $*"; failures=$((failures + 1)); }
step() { echo "-- packaging: $*"; }

version=$(sed -n 's/^project(zelvo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=lib/$multiarch
step "version $version, libdir $libdir"

# ---------------------------------------------------------------- 1. build, install
step "configure and build in $build"
if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
       -DZELVO_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$build.configure.log" 2>&1 ||
   ! cmake --build "$build" --target zelvo_install_set -j"$jobs" >"$build.build.log" 2>&1; then
  tail -n 40 "$build.configure.log" "$build.build.log" 2>/dev/null
  echo "packaging: FAILED: the build"
  exit 1
fi
has_desktop=0; [ -x "$build/desktop/zelvodesk" ] && has_desktop=1
tools=()
for t in zelvo-send zelvo-gateway; do
  [ -n "$(find "$build" -name "$t" -type f -perm -u+x -print -quit)" ] && tools+=("$t")
done
step "programs built: desktop=$has_desktop tools=${tools[*]:-none}"

prefix=$work/prefix
step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || fail "cmake --install"
expect_files=(
  "$libdir/libzelvonet.so.$version"
  "$libdir/libzelvonet.so.$major"
  "$libdir/libzelvonet.so"
  include/zelvonet/zelvonet.h
  "$libdir/cmake/zelvonet/zelvonetConfig.cmake"
  "$libdir/cmake/zelvonet/zelvonetConfigVersion.cmake"
  "$libdir/cmake/zelvonet/zelvonetTargets.cmake"
  "$libdir/pkgconfig/zelvonet.pc"
)
if [ $has_desktop -eq 1 ]; then
  expect_files+=(bin/zelvodesk share/zelvodesk/qt_de.qm share/applications/zelvodesk.desktop
                 share/icons/hicolor/48x48/apps/zelvodesk.png)
fi
for t in "${tools[@]}"; do expect_files+=("bin/$t"); done
for f in "${expect_files[@]}"; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
[ "$(readlink "$prefix/$libdir/libzelvonet.so")" = "libzelvonet.so.$major" ] ||
  fail "libzelvonet.so does not point to libzelvonet.so.$major"
[ "$(readlink "$prefix/$libdir/libzelvonet.so.$major")" = "libzelvonet.so.$version" ] ||
  fail "libzelvonet.so.$major does not point to libzelvonet.so.$version"
soname=$(objdump -p "$prefix/$libdir/libzelvonet.so.$version" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libzelvonet.so.$major" ] || fail "SONAME is '$soname'"
grep -qx "prefix=$prefix" "$prefix/$libdir/pkgconfig/zelvonet.pc" ||
  fail "zelvonet.pc does not name the prefix installed to: $(head -1 "$prefix/$libdir/pkgconfig/zelvonet.pc")"
if [ $has_desktop -eq 1 ]; then
  # The program loads qt_de.qm from its working directory: the menu entry
  # starts it in the directory holding the catalogs, which qt_de.qm names.
  grep -qx "Path=$prefix/share/zelvodesk" "$prefix/share/applications/zelvodesk.desktop" ||
    fail "the desktop entry does not start zelvodesk in $prefix/share/zelvodesk"
  for qm in qtbase_de.qm; do
    [ -e "$prefix/share/zelvodesk/$qm" ] || fail "$qm (named by qt_de.qm) not installed"
  done
fi
step "installed: $(cd "$prefix" && find . \( -type f -o -type l \) | wc -l) files"

# ---------------------------------------------------------------- 2. consumer
# consume <label> <via> <build dir> [cmake args...]: configures, builds and
# runs the consumer; returns non-zero on any failure.
consume() {
  local label=$1 via=$2 dir=$3; shift 3
  rm -rf "$dir"
  if ! cmake -S "$work/consumer" -B "$dir" -DZELVONET_VIA="$via" "$@" >"$dir.log" 2>&1 ||
     ! cmake --build "$dir" >>"$dir.log" 2>&1; then
    tail -n 30 "$dir.log"
    fail "consumer ($label, $via) does not build"
    return 1
  fi
  local lib
  lib=$(ldd "$dir/consumer" | awk '/libzelvonet/ {print $3}')
  echo "   consumer ($label, $via) loads $lib"
  if ! timeout 60 "$dir/consumer"; then
    fail "consumer ($label, $via) did not send its message"
    return 1
  fi
}
# The consumer lives outside the tree while it is built.
cp -r "$root/packaging/consumer" "$work/consumer"
step "consumer against $prefix"
consume prefix cmake "$work/c-cmake" -DCMAKE_PREFIX_PATH="$prefix"
PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" consume prefix pkg-config "$work/c-pc"
if cmake -S "$work/consumer" -B "$work/c-v2" -DZELVONET_VIA=cmake -DZELVONET_WANT=2.0 \
     -DCMAKE_PREFIX_PATH="$prefix" >"$work/c-v2.log" 2>&1; then
  fail "find_package(zelvonet 2.0) accepted version $version"
else
  if grep -q "zelvonetConfig.cmake, version: $version" "$work/c-v2.log"; then
    echo "   find_package(zelvonet 2.0) refuses the installed $version, as it should"
  else
    tail -n 20 "$work/c-v2.log"
    fail "find_package(zelvonet 2.0) failed for another reason than the version"
  fi
fi

# ---------------------------------------------------------------- 3. Debian packages
step "cpack -G DEB"
rm -f "$build"/*.deb
if ! (cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1); then
  tail -n 40 "$work/cpack.log"
  echo "packaging: FAILED: cpack"
  exit 1
fi
arch=$(dpkg --print-architecture)
declare -A deb
deb[library]=$build/libzelvonet${major}_${version}_$arch.deb
deb[devel]=$build/libzelvonet-dev_${version}_$arch.deb
[ $has_desktop -eq 1 ] && deb[desktop]=$build/zelvodesk_${version}_$arch.deb
[ ${#tools[@]} -gt 0 ] && deb[tools]=$build/zelvo-tools_${version}_$arch.deb
for comp in "${!deb[@]}"; do
  [ -f "${deb[$comp]}" ] || fail "no package ${deb[$comp]##*/}"
done

# contents <deb>: the paths in the package, one a line, without "./".
contents() { dpkg-deb --contents "$1" | awk '{ p = $6; sub(/^\.\//, "", p); print p }' | sed 's|/$||' | sort; }
# expect <deb> <path-regex>...: every regex matches some path in the package
# and every file or link in it matches one of the regexes.
expect() {
  local pkg=$1; shift
  local list; list=$(contents "$pkg")
  local re
  for re in "$@"; do
    grep -Eqx "$re" <<<"$list" || fail "${pkg##*/} lacks $re"
  done
  local joined; joined=$(printf '%s|' "$@"); joined="^(usr|usr/.*/|${joined%|})$"
  local stray
  stray=$(grep -Evx "$joined" <<<"$list" | grep -Ev '/$' || true)
  # Directories are fine; anything else not expected is stray.
  while read -r p; do
    [ -z "$p" ] && continue
    dpkg-deb --contents "$pkg" | awk -v p="./$p" '$6 == p && substr($1,1,1) != "d"' | grep . >/dev/null &&
      fail "${pkg##*/} holds unexpected $p"
  done <<<"$stray"
}
doc() { echo "usr/share/doc/$1/(copyright|changelog\\.gz)"; }
l=usr/$libdir
expect "${deb[library]}" "$l/libzelvonet\\.so\\.$major" "$l/libzelvonet\\.so\\.$version" "$(doc libzelvonet$major)"
expect "${deb[devel]}" "$l/libzelvonet\\.so" usr/include/zelvonet/zelvonet\\.h \
  "$l/cmake/zelvonet/zelvonet(Config|ConfigVersion|Targets|Targets-release)\\.cmake" \
  "$l/pkgconfig/zelvonet\\.pc" "$(doc libzelvonet-dev)"
if [ -n "${deb[desktop]:-}" ]; then
  expect "${deb[desktop]}" usr/bin/zelvodesk 'usr/share/zelvodesk/qt[a-z]*_de\.qm' \
    usr/share/applications/zelvodesk\\.desktop 'usr/share/icons/hicolor/[0-9]+x[0-9]+/apps/zelvodesk\.png' \
    "$(doc zelvodesk)"
fi
if [ -n "${deb[tools]:-}" ]; then
  expect "${deb[tools]}" "usr/bin/($(IFS='|'; echo "${tools[*]}"))" "$(doc zelvo-tools)"
fi
for comp in library devel desktop tools; do
  [ -n "${deb[$comp]:-}" ] || continue
  echo "   ${deb[$comp]##*/}:"
  dpkg-deb --field "${deb[$comp]}" Package Version Section Depends | sed 's/^/     /'
  contents "${deb[$comp]}" | grep -v '^usr$' | sed 's/^/     /'
done
dpkg-deb --field "${deb[devel]}" Depends | grep "libzelvonet$major (= $version)" >/dev/null ||
  fail "libzelvonet-dev does not depend on libzelvonet$major (= $version)"
if [ -n "${deb[desktop]:-}" ]; then
  dpkg-deb --field "${deb[desktop]}" Depends | grep "libzelvonet$major" >/dev/null ||
    fail "zelvodesk does not depend on libzelvonet$major"
fi
dpkg-deb --ctrl-tarfile "${deb[library]}" | tar -t | grep shlibs >/dev/null ||
  fail "libzelvonet$major has no shlibs file"

# ---------------------------------------------------------------- 4. lintian
step "lintian"
lintian_errors=0
for comp in library devel desktop tools; do
  [ -n "${deb[$comp]:-}" ] || continue
  out=$(lintian --tag-display-limit 0 "${deb[$comp]}" 2>&1)
  out=$(grep -v 'running with root privileges is not recommended' <<<"$out")
  if [ -z "$out" ]; then
    echo "   ${deb[$comp]##*/}: no tags"
  else
    echo "   ${deb[$comp]##*/}:"
    sed 's/^/     /' <<<"$out"
  fi
  if grep -q '^E: ' <<<"$out"; then lintian_errors=$((lintian_errors + 1)); fi
done
[ $lintian_errors -eq 0 ] || fail "lintian reports errors"

# ---------------------------------------------------------------- 5. dpkg -i / -r
pkgs=()
for comp in library devel desktop tools; do
  [ -n "${deb[$comp]:-}" ] && pkgs+=("$(dpkg-deb --field "${deb[$comp]}" Package)")
done
debs=()
for comp in library devel desktop tools; do [ -n "${deb[$comp]:-}" ] && debs+=("${deb[$comp]}"); done

cat >"$work/roundtrip.sh" <<'ROUNDTRIP'
# Runs as root: installs the packages, checks them in use, removes them and
# checks that nothing is left. Arguments: work dir, multiarch libdir, then
# "--", the .deb files, "--", the package names.
set -uo pipefail
work=$1 libdir=$2; shift 2
[ "$1" = -- ] && shift
debs=(); while [ "$1" != -- ]; do debs+=("$1"); shift; done; shift
pkgs=("$@")
bad=0
export DEBIAN_FRONTEND=noninteractive
if ! dpkg -i "${debs[@]}" >"$work/dpkg-i.log" 2>&1; then
  cat "$work/dpkg-i.log"; echo "roundtrip: dpkg -i failed"; exit 1
fi
echo "   dpkg -i: $(grep -c '^Setting up' "$work/dpkg-i.log") packages set up"
for p in "${pkgs[@]}"; do
  s=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)
  [ "$s" = "install ok installed" ] || { echo "roundtrip: $p is '$s'"; bad=1; }
  dpkg -L "$p" >"$work/files-$p"
done
ldconfig -p | grep "libzelvonet.so.1 " >/dev/null || { echo "roundtrip: ldconfig does not know libzelvonet.so.1"; bad=1; }
for via in cmake pkg-config; do
  d=$work/c-sys-$via; rm -rf "$d"
  if cmake -S "$work/consumer" -B "$d" -DZELVONET_VIA=$via >"$d.log" 2>&1 &&
     cmake --build "$d" >>"$d.log" 2>&1; then
    echo "   consumer (/usr, $via) loads $(ldd "$d/consumer" | awk '/libzelvonet/ {print $3}')"
    timeout 60 "$d/consumer" || { echo "roundtrip: consumer (/usr, $via) failed"; bad=1; }
  else
    tail -n 20 "$d.log"; echo "roundtrip: consumer (/usr, $via) does not build"; bad=1
  fi
done
if ! dpkg -r "${pkgs[@]}" >"$work/dpkg-r.log" 2>&1 ||
   ! dpkg --purge "${pkgs[@]}" >>"$work/dpkg-r.log" 2>&1; then
  cat "$work/dpkg-r.log"; echo "roundtrip: dpkg -r / --purge failed"; exit 1
fi
echo "   dpkg -r, then --purge: $(grep -c '^Removing' "$work/dpkg-r.log") packages removed"
for p in "${pkgs[@]}"; do
  s=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)
  case "$s" in ""|"un "*|"pn "*) ;; *) echo "roundtrip: $p is still '$s'"; bad=1 ;; esac
  while read -r f; do
    [ -e "$f" ] && [ ! -d "$f" ] && { echo "roundtrip: left behind: $f"; bad=1; }
  done <"$work/files-$p"
done
ldconfig -p | grep "libzelvonet.so.1 " >/dev/null && { echo "roundtrip: ldconfig still lists libzelvonet.so.1"; bad=1; }
exit $bad
ROUNDTRIP

step "dpkg -i and dpkg --purge of ${pkgs[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "packaging: SKIP: installing packages needs root (run as root to check it)"
  fail "install/remove not checked"
else
  # A throwaway root: the installation goes to overlays that vanish with the
  # mount namespace. First a probe whether this system allows that at all.
  ovl=$work/overlay
  mkdir -p "$ovl"/probe/{low,up,work,mnt} "$ovl"/{usr,etc,var}/{up,work}
  if unshare -m --propagation private sh -c \
       "mount -t overlay overlay -o lowerdir=$ovl/probe/low,upperdir=$ovl/probe/up,workdir=$ovl/probe/work $ovl/probe/mnt" \
       2>/dev/null; then
    echo "   in a throwaway root: overlays on /usr, /etc and /var in a private mount namespace"
    unshare -m --propagation private bash -c '
      for d in usr etc var; do
        mount -t overlay overlay -o "lowerdir=/$d,upperdir=$1/$d/up,workdir=$1/$d/work" "/$d" || exit 1
      done
      shift
      exec bash "$@"' overlay "$ovl" "$work/roundtrip.sh" "$work" "$libdir" -- "${debs[@]}" -- "${pkgs[@]}" ||
      fail "install/remove in the throwaway root"
  else
    echo "   no throwaway root here (overlays in a private mount namespace refused): using this machine"
    already=()
    for p in "${pkgs[@]}"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "ok installed" >/dev/null && already+=("$p")
    done
    if [ ${#already[@]} -gt 0 ]; then
      echo "packaging: SKIP: ${already[*]} already installed on this machine; not touching them"
      fail "install/remove not checked"
    else
      trap 'dpkg --purge '"${pkgs[*]}"' >/dev/null 2>&1; rm -rf "$work"' EXIT
      bash "$work/roundtrip.sh" "$work" "$libdir" -- "${debs[@]}" -- "${pkgs[@]}" ||
        fail "install/remove on this machine"
    fi
  fi
fi

if [ $failures -eq 0 ]; then
  echo "packaging: passed"
  exit 0
fi
echo "packaging: $failures failure(s)"
exit 1
