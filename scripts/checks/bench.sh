#!/usr/bin/env bash
# The benchmarks' quick mode in a Release build (build/bench-release): the
# clients' figures, a short load run through the simulator and the plot of
# the thread scaling (scaling.png); then the send queue through the
# simulator, QUEUE_BENCH_MESSAGES (500) per figure, on SQLite and on a
# PostgreSQL server of its own, with its plot (queue.png), the cost of a
# forced write beside it, and a storm of QUEUE_BENCH_STORM (200) `zelvo-queue
# add` processes released at once per engine while a runner sends,
# QUEUE_BENCH_STORM_RUNS (1) times; and what watching the queue costs: a
# drain with /metrics served and fetched beside one without, the heartbeat
# in a claim, and `check` and `metrics` on a queue of QUEUE_BENCH_CHECK_MESSAGES
# (20,000; building it takes most of that part's time, 35 s of it for
# 100,000 on PostgreSQL); and QUEUE_BENCH_HTTP (2,000) submissions to
# `zelvo-queue serve` per engine from 64 keep-alive clients, beside the
# storm. Fails only when a call went unanswered, a message was lost or
# stored twice, an add, a submission or another process failed, a fetch of
# /metrics got no 200, or a plot cannot be made; the figures are printed,
# never judged (plots: Debian's matplotlib).
#
# Full run (10,000 messages per figure, storms of 500, 1,000 and 2,000 adds,
# 3 runs each, check on 100,000 messages, 10,000 submissions over HTTP;
# about 15 minutes on 2 CPUs):
#
#   QUEUE_BENCH_FULL=1 bash scripts/checks/bench.sh .
#
# Each of QUEUE_BENCH_MESSAGES, QUEUE_BENCH_STORM (sizes, e.g. "500,1000"),
# QUEUE_BENCH_STORM_RUNS, QUEUE_BENCH_CHECK_MESSAGES and QUEUE_BENCH_HTTP
# overrides its part of either mode.
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cd "$root"
dir=build/bench-release

scripts/ensure-packages.sh build tools bench python postgres || exit 1

mkdir -p "$dir"
if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZELVO_BUILD_TESTS=OFF \
      -DZELVO_BUILD_DESKTOP=OFF -DZELVO_BUILD_TOOLS=ON >"$dir.configure.log" 2>&1 ||
   ! cmake --build "$dir" -j2 --target zelvo_bench zelvo_queue_bench >"$dir.build.log" 2>&1; then
  tail -n 40 "$dir.configure.log" "$dir.build.log"
  exit 1
fi
"$dir/bench/zelvo_bench" --quick --csv "$dir/scaling.csv" || exit 1
/usr/bin/python3 bench/plot.py "$dir/scaling.csv" "$dir/scaling.png" "quick mode" || exit 1
echo "plot: $dir/scaling.png"

# PostgreSQL for the queue's runners: initdb and pg_ctl, as postgres when
# run as root, on 127.0.0.1 and a free port, stopped on the way out.
as_pg() { if [ "$(id -u)" -eq 0 ]; then setpriv --reuid=postgres --regid=postgres --init-groups "$@"; else "$@"; fi; }
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
pgdir=$root/$dir/pg
pg=()
rm -rf "$pgdir" && mkdir -p "$pgdir" && { [ "$(id -u)" -ne 0 ] || chown postgres "$pgdir"; }
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
if [ -n "$pgbin" ] && as_pg "$pgbin/initdb" -D "$pgdir/data" -U zelvo --auth=trust >"$pgdir/initdb.log" 2>&1 &&
   as_pg "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/log" -w start \
     -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$pgdir" >/dev/null; then
  trap 'as_pg "$pgbin/pg_ctl" -D "$pgdir/data" -m fast -w stop >/dev/null' EXIT
  pg=(--pg "postgresql://zelvo@127.0.0.1:$port/postgres")
else
  echo "bench: SKIP: PostgreSQL did not start (see $pgdir); its figures are left out"
fi
if [ -n "${QUEUE_BENCH_FULL:-}" ]; then
  messages=${QUEUE_BENCH_MESSAGES:-10000} storm=${QUEUE_BENCH_STORM:-500,1000,2000} runs=${QUEUE_BENCH_STORM_RUNS:-3}
  check=${QUEUE_BENCH_CHECK_MESSAGES:-100000} http=${QUEUE_BENCH_HTTP:-10000}
else
  messages=${QUEUE_BENCH_MESSAGES:-500} storm=${QUEUE_BENCH_STORM:-200} runs=${QUEUE_BENCH_STORM_RUNS:-1}
  check=${QUEUE_BENCH_CHECK_MESSAGES:-20000} http=${QUEUE_BENCH_HTTP:-2000}
fi
"$dir/bench/zelvo_queue_bench" --messages "$messages" --dir "$dir/queue-bench" \
  "${pg[@]}" --csv "$dir/queue.csv" --markdown --storm "$storm" --storm-runs "$runs" \
  --check-messages "$check" --http "$http" || exit 1
/usr/bin/python3 bench/plot.py "$dir/queue.csv" "$dir/queue.png" "$messages messages per point" || exit 1
echo "plot: $dir/queue.png"
