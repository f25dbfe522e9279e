#!/usr/bin/env bash
# Installation and Debian packages, checked as their users meet them:
#   1. what is installed (build/pkg, prefix /usr) goes into a scratch prefix;
#      a consumer project outside the tree finds it with find_package and
#      with pkg-config, builds, and sends one message through a proxy it
#      plays itself on loopback; find_package(zelvonet 2.0) is refused;
#   2. cpack -G DEB: each package holds exactly the files listed below and
#      depends on what it needs; lintian reports no errors;
#   3. the packages install and purge cleanly with dpkg, in a throwaway root
#      (overlays on /usr, /etc and /var in a private mount namespace) where
#      the system allows one, else on this machine, purged afterwards; while
#      installed, the consumer builds against /usr both ways;
#   4. systemd-analyze security rates the unit's sandbox 2.0 ("OK") or better.
# Usage: bash scripts/checks/packaging.sh <repo-root>
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cd "$root" || exit 1
scripts/ensure-packages.sh build desktop tools packaging || exit 1

build=$root/build/pkg
work=$(mktemp -d /tmp/zelvo-packaging.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "packaging: FAILED: $*"; failures=$((failures + 1)); }
step() { echo "-- packaging: $*"; }
version=$(sed -n 's/^project(zelvo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=usr/lib/$multiarch

step "version $version: configure and build in $build"
mkdir -p "$root/build"
if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
       -DZELVO_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$build.configure.log" 2>&1 ||
   ! cmake --build "$build" --target zelvo_install_set -j2 >"$build.build.log" 2>&1; then
  tail -n 40 "$build.configure.log" "$build.build.log"
  echo "packaging: FAILED: the build"; exit 1
fi

# consume LABEL VIA DIR [cmake args...]: builds the consumer and lets it send.
consume() {
  local label=$1 via=$2 dir=$3; shift 3
  rm -rf "$dir"
  if ! cmake -S "$work/consumer" -B "$dir" -DZELVONET_VIA="$via" "$@" >"$dir.log" 2>&1 ||
     ! cmake --build "$dir" >>"$dir.log" 2>&1; then
    tail -n 30 "$dir.log"; fail "consumer ($label, $via) does not build"; return
  fi
  echo "   consumer ($label, $via) loads $(ldd "$dir/consumer" | awk '/libzelvonet/ {print $3}')"
  timeout 60 "$dir/consumer" || fail "consumer ($label, $via) did not send its message"
}
cp -r packaging/consumer "$work/consumer"
prefix=$work/prefix
step "cmake --install into $prefix; the consumer against it"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || fail "cmake --install"
consume prefix cmake "$work/c-cmake" -DCMAKE_PREFIX_PATH="$prefix"
PKG_CONFIG_PATH="$prefix/${lib#usr/}/pkgconfig" consume prefix pkg-config "$work/c-pc"
if cmake -S "$work/consumer" -B "$work/c-v2" -DZELVONET_WANT=2.0 -DCMAKE_PREFIX_PATH="$prefix" \
     >"$work/c-v2.log" 2>&1; then
  fail "find_package(zelvonet 2.0) accepted version $version"
elif ! grep -q "zelvonetConfig.cmake, version: $version" "$work/c-v2.log"; then
  tail -n 20 "$work/c-v2.log"; fail "find_package(zelvonet 2.0) failed for another reason"
fi

step "cpack -G DEB"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { tail -n 40 "$work/cpack.log"; echo "packaging: FAILED: cpack"; exit 1; }
arch=$(dpkg --print-architecture)
# holds PACKAGE DEPENDS-REGEX FILE-REGEX...: the .deb exists, its Depends
# match, and its files and links are exactly those the regexes match.
debs=() pkgs=()
holds() {
  local name=$1 depends=$2; shift 2
  local deb=$build/${name}_${version}_$arch.deb list re stray
  [ -f "$deb" ] || { fail "no package ${deb##*/}"; return; }
  debs+=("$deb") pkgs+=("$name")
  list=$(dpkg-deb --contents "$deb" | awk 'substr($1, 1, 1) != "d" {p = $6; sub(/^\.\//, "", p); print p}')
  echo "   ${deb##*/}: $(wc -l <<<"$list") files; Depends: $(dpkg-deb --field "$deb" Depends)"
  for re in "$@" "usr/share/doc/$name/(copyright|changelog\\.gz)"; do
    grep -Eqx "$re" <<<"$list" || fail "${deb##*/} lacks $re"
  done
  re=$(printf '%s|' "$@")
  stray=$(grep -Evx "(${re%|}|usr/share/doc/$name/(copyright|changelog\\.gz))" <<<"$list")
  [ $? -le 1 ] && [ -z "$stray" ] || fail "${deb##*/} holds unexpected files: $(echo $stray)"
  dpkg-deb --field "$deb" Depends | grep -E "$depends" >/dev/null || fail "${deb##*/} does not depend on $depends"
}
holds "libzelvonet$major" 'libc6' "$lib/libzelvonet\\.so\\.$major" "$lib/libzelvonet\\.so\\.$version" \
  "usr/share/lintian/overrides/libzelvonet$major"
dpkg-deb --ctrl-tarfile "${debs[0]}" | tar -t | grep shlibs >/dev/null || fail "libzelvonet$major has no shlibs file"
holds libzelvonet-dev "libzelvonet$major \\(= $version\\)" "$lib/libzelvonet\\.so" \
  usr/include/zelvonet/zelvonet\\.h "$lib/pkgconfig/zelvonet\\.pc" \
  'usr/share/man/man3/(zelvonet|sendSMS2|sendSMS)\.3\.gz' \
  "$lib/cmake/zelvonet/zelvonet(Config|ConfigVersion|Targets|Targets-release)\\.cmake"
holds zelvodesk "libzelvonet$major .*libqt6widgets6" usr/bin/zelvodesk usr/share/applications/zelvodesk\\.desktop \
  usr/share/man/man1/zelvodesk\\.1\\.gz \
  'usr/share/zelvodesk/qt[a-z]*_de\.qm' 'usr/share/icons/hicolor/(16x16|32x32|48x48|64x64)/apps/zelvodesk\.png'
holds zelvo-tools "libzelvonet$major .*libpq5.*libsqlite3" \
  'usr/bin/zelvo-(send|gateway|queue)' usr/lib/systemd/system/zelvo-queue\\.service \
  usr/lib/systemd/system/zelvo-queue-serve\\.service \
  usr/share/man/man1/zelvo-send\\.1\\.gz usr/share/man/man1/zelvo-gateway\\.1\\.gz \
  usr/share/man/man1/zelvo-queue\\.1\\.gz usr/share/man/man5/zelvo-queue\\.conf\\.5\\.gz \
  usr/lib/sysusers\\.d/zelvo-queue\\.conf etc/zelvo/queue\\.conf etc/default/zelvo-queue
[ "${#debs[@]}" -eq 4 ] && { dpkg-deb --ctrl-tarfile "${debs[3]}" | tar -xO ./conffiles 2>/dev/null |
  grep -x /etc/zelvo/queue.conf >/dev/null || fail "zelvo-tools does not mark /etc/zelvo/queue.conf a conffile"; }

step "manual pages"
# Each page as man renders it: groff's warnings (man --warnings) are faults.
for deb in "${debs[@]}"; do
  rm -rf "$work/man" && mkdir -p "$work/man" && dpkg-deb -x "$deb" "$work/man"
  while read -r page; do
    warned=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warned" ] || fail "man --warnings on ${page#"$work/man/"}: $warned"
    echo "   ${page#"$work/man/"}: $(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l) lines"
  done < <(find "$work/man/usr/share/man" -type f -name '*.gz' 2>/dev/null | sort)
done

step "lintian"
for deb in "${debs[@]}"; do
  out=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges')
  echo "   ${deb##*/}: ${out:-no tags}" | sed '2,$s/^/     /'
  grep -q '^[EW]: ' <<<"$out" && fail "lintian reports errors or warnings on ${deb##*/}"
done

# Runs as root: install, check in use, purge, check that nothing is left.
cat >"$work/roundtrip.sh" <<'ROUNDTRIP'
set -uo pipefail
work=$1; shift
debs=(); while [ "$1" != -- ]; do debs+=("$1"); shift; done; shift
pkgs=("$@") bad=0
no() { echo "roundtrip: $*"; bad=1; }
export DEBIAN_FRONTEND=noninteractive
dpkg -i "${debs[@]}" >"$work/dpkg-i.log" 2>&1 || { cat "$work/dpkg-i.log"; no "dpkg -i failed"; exit 1; }
for p in "${pkgs[@]}"; do dpkg -L "$p" >"$work/files-$p"; done
ldconfig -p | grep "libzelvonet.so.1 " >/dev/null || no "ldconfig does not know libzelvonet.so.1"
# What a user types after installing: each page by its name.
for page in zelvo-queue zelvo-queue.conf zelvo-send zelvo-gateway zelvodesk zelvonet sendSMS2; do
  MANWIDTH=80 man "$page" 2>/dev/null | grep -q '^NAME' || no "man $page shows no page"
done
if command -v systemd-sysusers >/dev/null; then getent passwd zelvo >/dev/null || no "postinst made no user zelvo"; fi
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /usr/lib/systemd/system/zelvo-queue{,-serve}.service 2>&1 |
    grep -v 'Failed to .*bus\|not found\|is not executable' | grep . && no "systemd-analyze finds fault with the unit"
fi
for via in cmake pkg-config; do
  d=$work/c-sys-$via
  if cmake -S "$work/consumer" -B "$d" -DZELVONET_VIA=$via >"$d.log" 2>&1 && cmake --build "$d" >>"$d.log" 2>&1; then
    timeout 60 "$d/consumer" || no "consumer (/usr, $via) failed"
  else
    tail -n 20 "$d.log"; no "consumer (/usr, $via) does not build"
  fi
done
dpkg --purge "${pkgs[@]}" >"$work/dpkg-r.log" 2>&1 || { cat "$work/dpkg-r.log"; no "dpkg --purge failed"; exit 1; }
for p in "${pkgs[@]}"; do
  while read -r f; do [ -e "$f" ] && [ ! -d "$f" ] && no "left behind: $f"; done <"$work/files-$p"
done
ldconfig -p | grep "libzelvonet.so.1 " >/dev/null && no "ldconfig still lists libzelvonet.so.1"
[ $bad -eq 0 ] && echo "   installed, used by the consumer both ways, purged without a trace"
exit $bad
ROUNDTRIP

step "dpkg -i and dpkg --purge of ${pkgs[*]}"
args=("$work" "${debs[@]}" -- "${pkgs[@]}")
ovl=$work/overlay
mkdir -p "$ovl"/probe/{low,up,work,mnt} "$ovl"/{usr,etc,var}/{up,work}
if [ "$(id -u)" -ne 0 ]; then
  echo "packaging: SKIP: installing packages needs root"; fail "install/remove not checked"
elif unshare -m --propagation private mount -t overlay overlay \
       -o "lowerdir=$ovl/probe/low,upperdir=$ovl/probe/up,workdir=$ovl/probe/work" "$ovl/probe/mnt" 2>/dev/null; then
  echo "   in a throwaway root: overlays on /usr, /etc and /var in a private mount namespace"
  unshare -m --propagation private bash -c '
    for d in usr etc var; do
      mount -t overlay overlay -o "lowerdir=/$d,upperdir=$0/$d/up,workdir=$0/$d/work" "/$d" || exit 1
    done
    exec bash "$@"' "$ovl" "$work/roundtrip.sh" "${args[@]}" || fail "install/remove in the throwaway root"
elif dpkg-query -W -f='${Status}\n' "${pkgs[@]}" 2>/dev/null | grep "ok installed" >/dev/null; then
  echo "packaging: SKIP: the packages are installed on this machine already; not touching them"
  fail "install/remove not checked"
else
  trap 'dpkg --purge '"${pkgs[*]}"' >/dev/null 2>&1; rm -rf "$work"' EXIT
  bash "$work/roundtrip.sh" "${args[@]}" || fail "install/remove on this machine"
fi

step "systemd-analyze security of the units"
if command -v systemd-analyze >/dev/null; then
  for unit in zelvo-queue zelvo-queue-serve; do
    rating=$(systemd-analyze security --offline=yes "$root/tools/queue/service/$unit.service" 2>&1 | grep 'Overall exposure')
    echo "   ${rating:-no rating}"
    score=$(sed -n 's/.*: \([0-9.]*\) .*/\1/p' <<<"$rating")
    awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.0) }' || fail "$unit's exposure is ${score:-unknown}, above 2.0"
  done
else
  echo "packaging: SKIP: no systemd-analyze; the unit's sandbox is not rated"
fi

[ $failures -eq 0 ] && { echo "packaging: passed"; exit 0; }
echo "packaging: $failures failure(s)"; exit 1
