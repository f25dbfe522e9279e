#!/usr/bin/env bash
# Builds everything and runs every test: the plain build, the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, then each further
# check in scripts/checks/ (in name order). Installs missing Debian packages
# when run as root. Ends with one line "N passed, N failed, N skipped" (a check
# that cannot run here exits 77 and has said why on a SKIP: line).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# The queue's PostgreSQL tests start a server of their own from these, its
# metrics test a Prometheus server.
scripts/ensure-packages.sh build desktop tools python postgres monitoring browser || exit 1

passed=0
failed=0
failures=()
skipped=0
record() {  # name, exit status (77: the check could not run here and said why)
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1)); echo "== $1: passed"
  elif [ "$2" -eq 77 ]; then
    skipped=$((skipped + 1)); echo "== $1: SKIPPED"
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

# Test code against product code: non-blank lines of the C, C++, Python and
# shell files in git; test code lives under tests/, testing/ or fuzz/, in
# scripts/checks/, or in files named *_test.* or tst_*. Above a test share
# of 0.35 the run fails.
code_share() {
  git -C "$root" ls-files -z -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp' '*.py' '*.sh' |
    while IFS= read -r -d '' f; do
      case "/$f" in
        */tests/* | */testing/* | */fuzz/* | /scripts/checks/* | *_test.* | */tst_*) kind=test ;;
        *) kind=product ;;
      esac
      echo "$kind $(grep -c -v '^[[:space:]]*$' "$root/$f")"
    done | awk '{n[$1] += $2}
      END {t = n["test"] + 0; p = n["product"] + 0
           printf "test code: %d lines, product code: %d lines, test share %.3f\n", t, p, t / (t + p)
           exit (t / (t + p) > 0.35)}'
}
echo
code_share
record "test share at most 0.35" $?

echo
[ ${#failures[@]} -eq 0 ] || echo "failed: ${failures[*]}"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
