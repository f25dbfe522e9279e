#!/usr/bin/env bash
# The benchmark's quick mode: a Release build in build/bench-release, short
# runs of the three clients, the memory and time-to-answer figures, and the
# plot of the thread scaling (build/bench-release/scaling.png). Fails only
# when a call did not get its answer or the plot cannot be made; the
# figures themselves are printed, never judged. The plot uses Debian's
# /usr/bin/python3 and its matplotlib.
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
dir=build/bench-release

scripts/ensure-packages.sh build-essential cmake libcurl4-openssl-dev python3 python3-matplotlib ||
  exit 1

mkdir -p "$dir"
if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZELVO_BUILD_TESTS=OFF \
      -DZELVO_BUILD_DESKTOP=OFF -DZELVO_BUILD_TOOLS=OFF >"$dir.configure.log" 2>&1 ||
   ! cmake --build "$dir" -j2 --target zelvo_bench >"$dir.build.log" 2>&1; then
  tail -n 40 "$dir.configure.log" "$dir.build.log"
  exit 1
fi
"$dir/bench/zelvo_bench" --quick --csv "$dir/scaling.csv" || exit 1
/usr/bin/python3 bench/plot.py "$dir/scaling.csv" "$dir/scaling.png" "quick mode" || exit 1
echo "plot: $dir/scaling.png"
