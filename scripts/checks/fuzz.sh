#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz and runs each for FUZZ_SECONDS from
# its seed corpus in fuzz/corpus/<target>/. New inputs the fuzzer finds go to
# build/fuzz/corpus-<target>/, crashes to build/fuzz/artifacts/.
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
seconds=${FUZZ_SECONDS:-45}
targets=${FUZZ_TARGETS:-"reply chunk request submission"}
dir=build/fuzz

scripts/ensure-packages.sh build fuzz || exit 1

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
build_targets=()
for t in $targets; do build_targets+=(--target "fuzz_$t"); done
mkdir -p "$dir/artifacts"
if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
      -DZELVO_FUZZ=ON -DZELVO_BUILD_TESTS=OFF -DZELVO_BUILD_DESKTOP=OFF \
      -DZELVO_BUILD_TOOLS=OFF >"$dir.configure.log" 2>&1 ||
   ! cmake --build "$dir" -j2 "${build_targets[@]}" >"$dir.build.log" 2>&1; then
  tail -n 40 "$dir.configure.log" "$dir.build.log"; exit 1
fi

status=0
for t in $targets; do
  work="$dir/corpus-$t"
  mkdir -p "$work"
  echo "-- fuzz_$t for ${seconds}s"
  log="$dir/fuzz_$t.log"
  if "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" \
        "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$log" | tr '\n' ' '
    echo
  else
    echo "fuzz_$t FAILED; last lines of $log:"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
