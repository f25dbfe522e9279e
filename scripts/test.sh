#!/usr/bin/env bash
# Builds everything and runs every test: the plain build, the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, then each further
# check in scripts/checks/ (in name order). Installs missing Debian packages
# when run as root. Ends with one line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

scripts/ensure-packages.sh \
  build-essential cmake pkg-config libgtest-dev libgmock-dev \
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev \
  libcpp-httplib-dev libcli11-dev nlohmann-json3-dev libmicrohttpd-dev || exit 1

passed=0
failed=0
failures=()
record() {  # name, exit status
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1)); echo "== $1: passed"
  else
    failed=$((failed + 1)); failures+=("$1"); echo "== $1: FAILED"
  fi
}

build_and_test() {  # name, build dir, extra cmake arguments...
  local name=$1 dir=$2; shift 2
  echo "== $name: configure and build in $dir"
  if cmake -S "$root" -B "$dir" -DZELVO_WERROR=ON "$@" >"$dir.configure.log" 2>&1 &&
     cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300)
    record "$name" $?
  else
    tail -n 50 "$dir.configure.log" "$dir.build.log"
    record "$name" 1
  fi
}

mkdir -p build
build_and_test "plain build" build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
build_and_test "sanitized build" build/sanitized -DCMAKE_BUILD_TYPE=Debug -DZELVO_SANITIZE=ON

for check in scripts/checks/*.sh; do
  [ -e "$check" ] || continue
  name=$(basename "$check" .sh)
  echo "== $name"
  bash "$check" "$root"
  record "$name" $?
done

echo
[ ${#failures[@]} -eq 0 ] || echo "failed: ${failures[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
